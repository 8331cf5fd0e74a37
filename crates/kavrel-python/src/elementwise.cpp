#include "kavrel_python/elementwise.hpp"

namespace kavrel_python::elementwise {

// The bodies below answer NotImplementedError until the element-wise kernels land.

PyResult<Ref> add_py(CallContext&, const ArrayView<float, 2>&, const ArrayView<float, 2>&) {
    return convention::not_built("add");
}

PyResult<Ref> sub_py(CallContext&, const ArrayView<float, 2>&, const ArrayView<float, 2>&) {
    return convention::not_built("sub");
}

PyResult<Ref> mul_py(CallContext&, const ArrayView<float, 2>&, const ArrayView<float, 2>&) {
    return convention::not_built("mul");
}

PyResult<Ref> div_py(CallContext&, const ArrayView<float, 2>&, const ArrayView<float, 2>&) {
    return convention::not_built("div");
}

PyResult<Ref> sum_py(CallContext&, const ArrayView<float, 2>&) { return convention::not_built("sum"); }

PyResult<Ref> sum_dyn_py(CallContext&, const numpy_bridge::DynInput&) { return convention::not_built("sum_dyn"); }

}  // namespace kavrel_python::elementwise
