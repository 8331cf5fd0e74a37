// Reduction strategies: zero-sized markers that pick, at compile time, what a whole-array
// reduction computes. Summation is the only one.
#pragma once

namespace kavrel_ops::application::reduction::strategies {

struct SumAxis {};

}  // namespace kavrel_ops::application::reduction::strategies
