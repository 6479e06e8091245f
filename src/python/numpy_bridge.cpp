// NumPy arrays in and out. Outputs take over the engine's vectors without a
// second copy. This is the only file that includes NumPy's headers; NumPy's
// API is loaded on first use.
//
// Inputs are checked (dimensions, dtype) and then either read where they lie
// or copied once into owned vectors before any engine work. An argument taken
// as an ArrayArg is read in place when all of these hold, and copied otherwise:
//  - the array is C-contiguous and aligned for its element (a strided,
//    reversed or unaligned view is copied, in logical order, as before);
//  - the entry holds the interpreter lock from start to finish, calls no
//    Python code while it reads, and keeps nothing of the array once it
//    returns (ArrayArg is for such bodies only; the three batch functions,
//    which release the lock, and records that keep their data, such as
//    BatchSpreadItem and the sessions' attached columns, take Series);
//  - converting each later argument is quiet (see Quiet in binding.h): no
//    __float__, __index__, sequence __getitem__ or warning of the caller's
//    can run between the read and the end of the call.
// The last rule is what keeps the two paths indistinguishable. Holding a
// reference keeps the array object alive, but not its contents: Python code
// that ran after the array was read could write into it (the copy would not
// see that, the view would), change its shape or dtype in place, or free its
// block (resize(refcheck=False)). A copy made when the argument is reached
// sees exactly what the caller's array held at that moment; with no Python
// code after that moment, the view sees the same bytes until the body has
// returned, and the body has read everything by then. So the later arguments
// are looked at (their types only, which runs nothing) when an array is
// reached; if one of them could call back, this array is copied as before.
// Arrays held in a list or tuple argument (the rows of instruments the
// portfolio and basket runners take and the strategies of the multi-strategy
// runner, as tuples of ArrayArg) follow the same
// rule, settled once for the whole argument before any of them is read: all
// are read in place when the later arguments and every item of the list
// convert quietly, and all are copied otherwise, since a later row's weight
// could rewrite an earlier row's array.
// A view that is copied under that rule (strided, reversed, unaligned) is
// not copied when it is reached but once every argument has been converted,
// and only when the call's arrays have one length or the call reads it (see
// ArrayArg and call_function in binding.h): a view of billions of elements
// next to arrays of another length is refused as the call refuses lengths,
// without the copy. Nothing can change it in between, by the same rule.
// Another thread writing the array without the lock (NumPy releases it inside
// its loops) races with a copy just as it races with a view.
#include "python/binding.h"

#include <numpy/arrayobject.h>

namespace tidemark::py {

namespace {

void ensure_numpy() {
    if (PyArray_API == nullptr && _import_array() < 0) throw_py();
}

constexpr const char* kArrayKind = "PyArray<T, D>";

PyArrayObject* check_array(PyObject* o, int ndim, int npy_type) {
    ensure_numpy();
    if (!PyArray_Check(o)) raise_cannot_convert(o, kArrayKind);
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != ndim) {
        PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d", PyArray_NDIM(a), ndim);
        throw PyErrSet{};
    }
    PyArray_Descr* want = PyArray_DescrFromType(npy_type);
    if (!want) throw_py();
    bool same = PyArray_EquivTypes(PyArray_DESCR(a), want);
    if (!same) {
        PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%S, to=%S", reinterpret_cast<PyObject*>(PyArray_DESCR(a)),
                     reinterpret_cast<PyObject*>(want));
        Py_DECREF(want);
        throw PyErrSet{};
    }
    Py_DECREF(want);
    return a;
}

template <class T>
bool contiguous_aligned(const void* data, npy_intp stride) {
    return stride == static_cast<npy_intp>(sizeof(T)) && reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
}

template <class T>
bool contiguous_aligned(PyArrayObject* a) {
    return contiguous_aligned<T>(PyArray_DATA(a), PyArray_STRIDE(a, 0));
}

// `n` elements from `src`, `stride` bytes apart.
template <class T>
Series<T> copy_strided(const char* src, npy_intp stride, std::size_t n) {
    Series<T> out;
    if (n == 0) return out;
    if (contiguous_aligned<T>(src, stride)) {
        // One pass, by a block copy: the vector is not zeroed first.
        copy_block(append_uninitialized(out, n), src, n * sizeof(T));
    } else {
        // A strided view (a[::2], a[::-1], a matrix column) or unaligned data
        // is an ordinary value: copy it in logical order.
        out.resize(n);
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(&out[i], src + static_cast<npy_intp>(i) * stride, sizeof(T));
    }
    return out;
}

template <class T>
Series<T> copy_1d(PyArrayObject* a) {
    return copy_strided<T>(static_cast<const char*>(PyArray_DATA(a)), PyArray_STRIDE(a, 0),
                           static_cast<std::size_t>(PyArray_DIM(a, 0)));
}

template <class T>
Series<T> read_1d(PyObject* o, int npy_type) {
    return copy_1d<T>(check_array(o, 1, npy_type));
}

template <class T>
ArrayArg<T> read_arg(PyObject* o, int npy_type, bool in_place) {
    PyArrayObject* a = check_array(o, 1, npy_type);
    if (!in_place) return ArrayArg<T>(copy_1d<T>(a));
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    if (!contiguous_aligned<T>(a)) return ArrayArg<T>::pending(PyRef(Py_NewRef(o)), n);
    return ArrayArg<T>(PyRef(Py_NewRef(o)), static_cast<const T*>(PyArray_DATA(a)), n);
}

template <class T>
void free_vector(PyObject* capsule) {
    delete static_cast<Series<T>*>(PyCapsule_GetPointer(capsule, "tidemark.buffer"));
}

// A new array that owns `v`'s storage through a capsule base.
template <class T>
PyObject* vector_to_array(Series<T>&& v, int nd, npy_intp* dims, int npy_type) {
    ensure_numpy();
    if (v.empty()) return PyArray_SimpleNew(nd, dims, npy_type);
    auto* holder = new Series<T>(std::move(v));
    PyObject* arr = PyArray_SimpleNewFromData(nd, dims, npy_type, holder->data());
    if (!arr) {
        delete holder;
        throw_py();
    }
    PyObject* base = PyCapsule_New(holder, "tidemark.buffer", &free_vector<T>);
    if (!base) {
        Py_DECREF(arr);
        delete holder;
        throw_py();
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr), base) < 0) {  // steals base
        Py_DECREF(arr);
        throw_py();
    }
    return arr;
}

template <class T>
PyObject* vector_to_array_1d(Series<T>&& v, int npy_type) {
    npy_intp dims[1] = {static_cast<npy_intp>(v.size())};
    return vector_to_array(std::move(v), 1, dims, npy_type);
}

}  // namespace

Series<double> From<Series<double>>::get(PyObject* o) { return read_1d<double>(o, NPY_FLOAT64); }
Series<int64_t> From<Series<int64_t>>::get(PyObject* o) { return read_1d<int64_t>(o, NPY_INT64); }
BoolVec From<BoolVec>::get(PyObject* o) { return read_1d<uint8_t>(o, NPY_BOOL); }

template <>
Series<double> detail::copy_array<double>(PyObject* array) {
    return copy_1d<double>(reinterpret_cast<PyArrayObject*>(array));
}
template <>
Series<int64_t> detail::copy_array<int64_t>(PyObject* array) {
    return copy_1d<int64_t>(reinterpret_cast<PyArrayObject*>(array));
}
template <>
Series<uint8_t> detail::copy_array<uint8_t>(PyObject* array) {
    return copy_1d<uint8_t>(reinterpret_cast<PyArrayObject*>(array));
}

ArrayArg<double> From<ArrayArg<double>>::get(PyObject* o, bool in_place) {
    return read_arg<double>(o, NPY_FLOAT64, in_place);
}
ArrayArg<int64_t> From<ArrayArg<int64_t>>::get(PyObject* o, bool in_place) {
    return read_arg<int64_t>(o, NPY_INT64, in_place);
}
BoolArg From<BoolArg>::get(PyObject* o, bool in_place) { return read_arg<uint8_t>(o, NPY_BOOL, in_place); }

bool detail::numpy_real_scalar(PyObject* o) {
    // Until an array has been seen NumPy may not be loaded, and loading it
    // here would run Python code; such a value is simply not counted quiet.
    // Subclasses (heap types) may define their own conversions.
    if (PyArray_API == nullptr || (Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE)) return false;
    // Long doubles are left out: narrowing one is not a plain field read.
    return PyArray_IsScalar(o, Integer) || (PyArray_IsScalar(o, Floating) && !PyArray_IsScalar(o, LongDouble));
}

MatrixF64 From<MatrixF64>::get(PyObject* o) {
    PyArrayObject* a = check_array(o, 2, NPY_FLOAT64);
    MatrixF64 m;
    m.rows = static_cast<std::size_t>(PyArray_DIM(a, 0));
    m.cols = static_cast<std::size_t>(PyArray_DIM(a, 1));
    const std::size_t count = m.rows * m.cols;
    if (count == 0) return m;
    const char* src = static_cast<const char*>(PyArray_DATA(a));
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    if (s1 == static_cast<npy_intp>(sizeof(double)) && s0 == static_cast<npy_intp>(m.cols * sizeof(double)) &&
        reinterpret_cast<std::uintptr_t>(src) % alignof(double) == 0) {
        // One pass: the vector is built from the block, not zeroed first.
        const auto* first = reinterpret_cast<const double*>(src);
        m.data.assign(first, first + count);
        return m;
    }
    // Any other layout (Fortran order, transposed, sliced, unaligned) is read
    // row-major.
    m.data.resize(count);
    double* dst = m.data.data();
    for (std::size_t r = 0; r < m.rows; ++r) {
        const char* row = src + static_cast<npy_intp>(r) * s0;
        for (std::size_t c = 0; c < m.cols; ++c) std::memcpy(dst++, row + static_cast<npy_intp>(c) * s1, sizeof(double));
    }
    return m;
}

PyObject* To<Series<double>>::make(Series<double>&& v) { return vector_to_array_1d(std::move(v), NPY_FLOAT64); }
PyObject* To<Series<int64_t>>::make(Series<int64_t>&& v) { return vector_to_array_1d(std::move(v), NPY_INT64); }
PyObject* To<BoolVec>::make(BoolVec&& v) {
    // Booleans are stored one byte each; keep them strictly 0 or 1.
    for (auto& b : v) b = b ? 1 : 0;
    return vector_to_array_1d(std::move(v), NPY_BOOL);
}
PyObject* To<Series<int8_t>>::make(Series<int8_t>&& v) { return vector_to_array_1d(std::move(v), NPY_INT8); }

PyObject* To<MatrixF64>::make(MatrixF64&& m) {
    if (m.data.size() != m.rows * m.cols) throw Fault("matrix data does not match its shape");
    npy_intp dims[2] = {static_cast<npy_intp>(m.rows), static_cast<npy_intp>(m.cols)};
    return vector_to_array(std::move(m.data), 2, dims, NPY_FLOAT64);
}

PyObject* To<std::vector<OhlcvBar>>::make(const std::vector<OhlcvBar>& bars) {
    const std::size_t n = bars.size();
    Series<int64_t> ts(n);
    Series<double> open(n), high(n), low(n), close(n), volume(n);
    for (std::size_t i = 0; i < n; ++i) {
        const OhlcvBar& b = bars[i];
        ts[i] = b.ts;
        open[i] = b.open;
        high[i] = b.high;
        low[i] = b.low;
        close[i] = b.close;
        volume[i] = b.volume;
    }
    PyRef t0 = PyRef::check(vector_to_array_1d(std::move(ts), NPY_INT64));
    PyRef t1 = PyRef::check(vector_to_array_1d(std::move(open), NPY_FLOAT64));
    PyRef t2 = PyRef::check(vector_to_array_1d(std::move(high), NPY_FLOAT64));
    PyRef t3 = PyRef::check(vector_to_array_1d(std::move(low), NPY_FLOAT64));
    PyRef t4 = PyRef::check(vector_to_array_1d(std::move(close), NPY_FLOAT64));
    PyRef t5 = PyRef::check(vector_to_array_1d(std::move(volume), NPY_FLOAT64));
    return PyTuple_Pack(6, t0.get(), t1.get(), t2.get(), t3.get(), t4.get(), t5.get());
}

// ---------------------------------------------------------------------------
// Lists of series
// ---------------------------------------------------------------------------

namespace {

// Whether `o` is a 2-D float64 array whose items are the rows NumPy's own
// indexing makes (not a subclass that indexes otherwise, as np.matrix
// does): its rows are then counted and measured without making one.
bool reads_as_rows(PyObject* o) {
    if (!PyArray_Check(o)) return false;
    const PySequenceMethods* own = PyArray_Type.tp_as_sequence;
    const PySequenceMethods* its = Py_TYPE(o)->tp_as_sequence;
    if (!its || its->sq_item != own->sq_item) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 2) return false;
    PyArray_Descr* want = PyArray_DescrFromType(NPY_FLOAT64);
    if (!want) throw_py();
    const bool same = PyArray_EquivTypes(PyArray_DESCR(a), want);
    Py_DECREF(want);
    return same;
}

}  // namespace

SeriesList From<SeriesList>::get(PyObject* o, bool quiet) {
    const Py_ssize_t n = detail::sequence_length(o);
    ensure_numpy();
    SeriesList out;
    out.count_ = static_cast<std::size_t>(n);
    if (reads_as_rows(o)) {
        out.rows_ = PyRef(Py_NewRef(o));
        out.cols_ = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(o), 1));
    } else {
        detail::reserve_items(out.items_, n);
        detail::reserve_items(out.lengths_, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyRef item = detail::sequence_item(o, i);
            out.lengths_.push_back(
                static_cast<std::size_t>(PyArray_DIM(check_array(item.get(), 1, NPY_FLOAT64), 0)));
            out.items_.push_back(std::move(item));
        }
    }
    if (!quiet)
        out.copied_ = std::make_unique<SeriesList::Copy>(SeriesList::copy_now(out.rows_.get(), out.items_, out.count_));
    return out;
}

SeriesList From<SeriesList>::get(PyObject* o, bool quiet, detail::LengthGate* gate) {
    if (!gate) return get(o, quiet);
    // Another sequence's __len__ and __getitem__ are the caller's code.
    if (!Quiet<SeriesList>::check(o)) gate->before_caller_code();
    SeriesList out = get(o, true);
    // A 2-D array's rows are all as long: one of them tells what all do.
    if (out.rows_) {
        if (out.count_ > 0) gate->note(out.cols_);
    } else {
        for (std::size_t length : out.lengths_) gate->note(length);
    }
    if (!quiet) {
        out.copied_ = std::make_unique<SeriesList::Copy>();
        // The list holds the arrays for the whole call, so the closure may
        // borrow them; the items' block moves with the list, unchanged.
        gate->owe([copy = out.copied_.get(), rows = out.rows_.get(), items = std::span<const PyRef>(out.items_),
                   count = out.count_] { copy->emplace(SeriesList::copy_now(rows, items, count)); });
    }
    return out;
}

bool Quiet<SeriesList>::check(PyObject* o) {
    ensure_numpy();
    if (PyArray_CheckExact(o)) return true;
    if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
    PyObject** items = PySequence_Fast_ITEMS(o);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!PyArray_Check(items[i])) return false;
    return true;
}

std::vector<Series<double>> SeriesList::take() {
    if (copied_ && *copied_) {
        std::vector<Series<double>> out = std::move(**copied_);
        copied_.reset();
        return out;
    }
    return copy_now(rows_.get(), items_, count_);
}

SeriesList SeriesList::lend() const {
    SeriesList out;
    if (rows_) out.rows_ = PyRef(Py_NewRef(rows_.get()));
    out.items_.reserve(items_.size());
    for (const PyRef& item : items_) out.items_.emplace_back(Py_NewRef(item.get()));
    out.lengths_ = lengths_;
    out.count_ = count_;
    out.cols_ = cols_;
    if (copied_ && *copied_) out.copied_ = std::make_unique<Copy>(**copied_);
    return out;
}

std::vector<Series<double>> SeriesList::copy_now(PyObject* rows, std::span<const PyRef> items, std::size_t count) {
    // Python code run while the later arguments were read may have reshaped
    // an array since it was checked: the copy reads the arrays as they are
    // now, and the caller checks the copies again. Their sizes now are what
    // must fit, all of them together. The rows of a 2-D array are read where
    // they lie, without an object for each: making one could run the
    // caller's code (a subclass's __array_finalize__).
    PyArrayObject* matrix = rows ? check_array(rows, 2, NPY_FLOAT64) : nullptr;
    double values = 0.0;
    if (matrix) {
        count = static_cast<std::size_t>(PyArray_DIM(matrix, 0));
        values = static_cast<double>(PyArray_SIZE(matrix));
    } else {
        for (const PyRef& item : items)
            values += static_cast<double>(PyArray_SIZE(reinterpret_cast<PyArrayObject*>(item.get())));
    }
    detail::require_memory(static_cast<double>(count) * sizeof(Series<double>) + values * sizeof(double));
    std::vector<Series<double>> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (matrix) {
            const char* row = static_cast<const char*>(PyArray_DATA(matrix)) +
                              static_cast<npy_intp>(i) * PyArray_STRIDE(matrix, 0);
            out.push_back(copy_strided<double>(row, PyArray_STRIDE(matrix, 1),
                                               static_cast<std::size_t>(PyArray_DIM(matrix, 1))));
        } else {
            out.push_back(From<Series<double>>::get(items[i].get()));
        }
    }
    return out;
}

}  // namespace tidemark::py
