// Bodies of the float32 functions: add, sub, mul and div map two matrices into a new array;
// sum and sum_dyn return the sum of all elements as a Python float; dot returns the dot product
// of two vectors as a Python float; matmul and batched_matmul return the product of two
// matrices or two stacks of matrices as a new array. Each receives its arguments already bound,
// type-checked, borrowed and turned into views by the calling convention, and releases the
// interpreter lock once around its work.
#pragma once

#include "kavrel_python/convention.hpp"
#include "kavrel_python/numpy_bridge.hpp"

namespace kavrel_python::elementwise {

using convention::CallContext;
using numpy_bridge::ArrayView;
using python::PyResult;
using python::Ref;

PyResult<Ref> add_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b);
PyResult<Ref> sub_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b);
PyResult<Ref> mul_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b);
PyResult<Ref> div_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b);
PyResult<Ref> sum_py(CallContext& ctx, const ArrayView<float, 2>& a);
// Library errors are ValueError with their display text, formatted before the lock is taken back.
PyResult<Ref> dot_py(CallContext& ctx, const ArrayView<float, 1>& a, const ArrayView<float, 1>& b);
// A column count of a other than b's row count is ValueError "Dimension mismatch for matrix
// multiplication", before the output is allocated.
PyResult<Ref> matmul_py(CallContext& ctx, const ArrayView<float, 2>& a, const ArrayView<float, 2>& b);
// a.shape[2] other than b.shape[1] is ValueError "Inner dimension mismatch for batched matmul",
// before the output [max(a.shape[0], b.shape[0]), a.shape[1], b.shape[2]] is allocated.
PyResult<Ref> batched_matmul_py(CallContext& ctx, const ArrayView<float, 3>& a, const ArrayView<float, 3>& b);
// The data of `a` stays NumPy's; build the row-major ArrayD with numpy_bridge::dyn_array.
PyResult<Ref> sum_dyn_py(CallContext& ctx, const numpy_bridge::DynInput& a);

}  // namespace kavrel_python::elementwise
