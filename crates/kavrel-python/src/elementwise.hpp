// Bodies of the float32 element-wise functions: add, sub, mul and div map two matrices
// into a new array; sum and sum_dyn return the sum of all elements as a Python float.
// Each receives its arguments already bound, type-checked, borrowed and turned into views
// by the calling convention, and releases the interpreter lock once around its work.
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
// The data of `a` stays NumPy's; build the row-major ArrayD with numpy_bridge::dyn_array.
PyResult<Ref> sum_dyn_py(CallContext& ctx, const numpy_bridge::DynInput& a);

}  // namespace kavrel_python::elementwise
