"""The NumPy bridge, reached through the test-only hook extension: views over NumPy
buffers, the hand-over of result buffers, the copy of other layouts, and outputs."""

import gc
import os
import weakref

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import kavrel_python


def _address(a):
    return a.__array_interface__["data"][0]


def _owner(a):
    """The object at the end of a result's base chain: what owns its buffer."""
    while isinstance(a, np.ndarray):
        a = a.base
    return a


def _strided(shape, byte_strides, dtype):
    backing = np.zeros(4096, dtype=np.uint8)
    a = as_strided(backing.view(dtype), shape=shape, strides=byte_strides)
    return a, backing


VIEW_CASES = [
    # shape, byte strides, element strides of the view, storage length
    ((3, 4), (32, 8), (4, 1), 12),
    ((1, 3), (800, 8), (100, 1), 3),      # extent-1 axis: any multiple of the element size
    ((1, 3), (-16, 8), (-2, 1), 3),       # ... also a negative one; its bounds ignore it
    ((3, 1), (8, 24), (1, 3), 3),
    ((0, 5), (40, 8), (5, 1), 0),         # empty: storage length 0 passes every check
    ((1, 1), (8, 8), (1, 1), 1),
]


@pytest.mark.parametrize("shape,byte_strides,strides,length", VIEW_CASES)
def test_float64_matrix_view(hooks, shape, byte_strides, strides, length):
    a, keep = _strided(shape, byte_strides, np.float64)
    assert a.flags.c_contiguous
    got_shape, got_strides, offset, got_length, data = hooks.view_f64_2(a)
    assert (got_shape, got_strides, offset, got_length) == (shape, strides, 0, length)
    assert data == _address(a)


@pytest.mark.parametrize("shape,byte_strides", [((1, 3), (4, 8)), ((1, 3), (12, 8)), ((0, 3), (5, 8))])
def test_byte_stride_not_a_multiple_of_the_element_size(hooks, shape, byte_strides):
    a, keep = _strided(shape, byte_strides, np.float64)
    assert a.flags.c_contiguous
    with pytest.raises(ValueError, match="^Non-element-aligned NumPy stride$"):
        hooks.view_f64_2(a)


def test_one_axis_views(hooks):
    a = np.arange(5, dtype=np.float32)
    assert hooks.view_f32_1(a)[:4] == ((5,), (1,), 0, 5)
    one, keep = _strided((1,), (12,), np.float32)
    assert hooks.view_f32_1(one)[:4] == ((1,), (3,), 0, 1)
    odd, keep = _strided((1,), (3,), np.float32)
    with pytest.raises(ValueError, match="^Non-element-aligned NumPy stride$"):
        hooks.view_f32_1(odd)
    empty = np.zeros(0, dtype=np.float32)
    assert hooks.view_f32_1(empty)[:4] == ((0,), (empty.strides[0] // 4,), 0, 0)


def test_six_axis_view(hooks):
    a = np.zeros((2, 1, 3, 1, 2, 2), dtype=np.float32)
    assert hooks.view_f32_6(a)[:4] == ((2, 1, 3, 1, 2, 2), (12, 12, 4, 4, 2, 1), 0, 24)


def test_dynamic_array_for_sum_dyn(hooks):
    cases = [
        ((2, 3, 4), (12, 4, 1), 24),
        ((), (), 1),
        ((7,), (1,), 7),
        ((2, 0, 3), (0, 3, 1), 0),
        ((1, 1, 1, 1, 1, 1, 1), (1, 1, 1, 1, 1, 1, 1), 1),
    ]
    for shape, strides, length in cases:
        assert hooks.dyn_info(np.zeros(shape, dtype=np.float32)) == (shape, strides, length), shape
    with pytest.raises(ValueError, match="^a must be C-contiguous$"):
        hooks.dyn_info(np.zeros((3, 4), dtype=np.float32)[:, ::2])


# --- Results ---------------------------------------------------------------------------


def test_result_takes_the_buffer_over(hooks):
    r, buffer = hooks.output(2, 3)
    assert r.dtype == np.float32 and r.shape == (2, 3)
    assert _address(r) == buffer
    assert r.flags.c_contiguous and r.flags.writeable and not r.flags.owndata
    assert type(_owner(r)).__name__ == "BufferOwner"
    np.testing.assert_array_equal(r, np.arange(6, dtype=np.float32).reshape(2, 3))
    r[1, 2] = 42.0
    assert r[1, 2] == 42.0


def test_result_buffer_dies_with_its_last_view(hooks):
    r, _ = hooks.output(4, 4)
    owner = weakref.ref(_owner(r))
    row = r[1]
    del r
    gc.collect()
    assert owner() is not None
    assert row[0] == 4.0
    del row
    gc.collect()
    assert owner() is None


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_result_buffers_are_freed_over_many_calls(hooks):
    # 400 results of 4 MiB each: 1.6 GB if any of them leaked.
    for _ in range(5):
        hooks.output(1024, 1024)
    before = _rss_bytes()
    for _ in range(400):
        r, _ = hooks.output(1024, 1024)
        assert r[1023, 1023] == 1024 * 1024 - 1
        del r
    assert _rss_bytes() - before < 256 * 2**20


def test_other_layouts_are_copied_once_in_logical_order(hooks):
    a = np.arange(12, dtype=np.float32).reshape(3, 4)
    r, buffer = hooks.relayout(a, 0)
    np.testing.assert_array_equal(r, a)
    assert _address(r) == buffer
    for mode in (1, 2, 3):          # column-major storage, offset 5, longer buffer
        r, buffer = hooks.relayout(a, mode)
        np.testing.assert_array_equal(r, a)
        assert r.flags.c_contiguous and r.dtype == np.float32
        assert _address(r) != buffer, mode
        assert type(_owner(r)).__name__ == "BufferOwner"
    for mode in range(4):
        r, _ = hooks.relayout(np.zeros((0, 4), dtype=np.float32), mode)
        assert r.shape == (0, 4)
        r, _ = hooks.relayout(np.ones((1, 1), dtype=np.float32), mode)
        assert r.shape == (1, 1) and r[0, 0] == 1.0


def test_three_axis_result(hooks):
    a = np.arange(24, dtype=np.float32).reshape(2, 3, 4)
    r = hooks.roundtrip3(a)
    assert r.shape == (2, 3, 4) and r.dtype == np.float32
    np.testing.assert_array_equal(r, a)
    assert type(_owner(r)).__name__ == "BufferOwner"


@pytest.mark.parametrize("kind,dtype", [(0, np.float32), (1, np.float64), (2, np.uint64), (3, np.complex128)])
def test_one_axis_results(hooks, kind, dtype):
    r, buffer = hooks.vector(kind, 5)
    assert r.dtype == dtype and r.shape == (5,)
    assert _address(r) == buffer
    assert type(r.base).__name__ == "BufferOwner"
    expected = np.arange(5) + (0.5j * np.arange(5) if dtype == np.complex128 else 0)
    np.testing.assert_array_equal(r, expected.astype(dtype))
    empty, _ = hooks.vector(kind, 0)
    assert empty.dtype == dtype and empty.shape == (0,)


# --- Outputs ---------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(1, 1), (3, 5), (512, 512), (1024, 1023), (1024, 1024), (3000, 2000)])
def test_outputs_are_zero_filled_also_over_freed_memory(hooks, shape):
    # Below 4 MiB from calloc, from 4 MiB on a fresh mapping; each size again after results of
    # the same size were written and freed, so reused memory must come back zeroed too.
    for _ in range(3):
        r, _ = hooks.output(*shape)
        del r
        z = hooks.zeros(*shape)
        assert z.shape == shape and z.dtype == np.float32
        assert not np.any(z.view(np.uint32))  # +0.0 everywhere, bit for bit


def test_large_results_reuse_a_freed_mapping_only_for_overwritten_memory(hooks):
    # add's result (48 MB) is overwritten whole: it may come from the mapping of the last one
    # freed, so memory stays bounded over many calls; a zero-filled output never does, so a
    # freed result's values never show through.
    a = np.full((3000, 4000), 1.5, dtype=np.float32)
    kavrel_python.add(a, a)
    before = _rss_bytes()
    for i in range(30):
        r = kavrel_python.add(a, np.full((3000, 4000), float(i), dtype=np.float32))
        assert r[0, 0] == 1.5 + i and r[-1, -1] == 1.5 + i
        del r
        z = hooks.zeros(3000, 4000)
        assert not np.any(z.view(np.uint32))
        del z
    assert _rss_bytes() - before < 512 * 2**20


def test_output_layout_overflow_is_a_value_error(hooks):
    with pytest.raises(ValueError) as e:
        hooks.output(2**32, 2**31)
    assert str(e.value) == "Arithmetic overflow in layout calculations: C-contiguous stride multiplication"
    with pytest.raises(ValueError) as e:
        hooks.output(2**63, 1)
    assert str(e.value) == "Arithmetic overflow in layout calculations: C-contiguous dimension conversion"


def test_output_whose_byte_size_overflows_is_memory_error(hooks):
    with pytest.raises(MemoryError):
        hooks.output(2**62, 1)
    with pytest.raises(MemoryError):
        hooks.output(2**31, 2**31)
    assert hooks.borrow_count() == 0


def test_output_that_cannot_be_allocated_is_memory_error(hooks):
    with open("/proc/sys/vm/overcommit_memory") as f:
        if f.read().strip() == "1":
            pytest.skip("overcommit mode 1 grants any request")
    with pytest.raises(MemoryError):
        hooks.output(2**22, 2**22)      # 64 TiB
    r, _ = hooks.output(2, 2)           # and the interpreter goes on
    assert r.shape == (2, 2)


def test_empty_outputs(hooks):
    for shape in [(0, 3), (3, 0), (0, 0), (2**40, 0)]:
        r, _ = hooks.output(*shape)
        assert r.shape == shape and r.dtype == np.float32


def test_module_and_hooks_share_one_numpy(hooks):
    # Both extensions load NumPy's table from the same core module, where the borrow table
    # lives too; a writable borrow taken by one is seen by the other.
    x = np.zeros((2, 2), dtype=np.float32)
    held = hooks.hold_writable(x)
    with pytest.raises(BaseException):
        kavrel_python.sum(x)
    del held
