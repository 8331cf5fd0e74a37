// One pass of giving memory back: abandoned segments whose blocks have all been freed
// become retained, and then every retained empty segment and every retained large block of
// every node is unmapped.
#pragma once

namespace ostrel_decay::step {

// Any thread may run it; it takes one pool lock at a time. The abandoned segments it pops
// are its alone until it files them again, so it may reclaim their pages.
void decay_step();

}  // namespace ostrel_decay::step
