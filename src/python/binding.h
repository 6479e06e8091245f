// The Python boundary. Every entry from Python goes through the templates
// here: one parameter table per callable drives the argument binder, the
// docstring's first line and `__text_signature__`; converters turn Python
// values into plain C++ values (and back); object guards keep a borrow count
// per object; and one wrapper turns every C++ failure into a Python exception
// so that nothing ever unwinds into CPython.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/errors.h"
#include "core/types.h"

namespace tidemark::py {

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

// A Python exception is already set; unwinds to the entry wrapper.
struct PyErrSet {};

[[noreturn]] inline void throw_py() { throw PyErrSet{}; }
[[noreturn]] void raise(PyObject* type, const char* msg);
[[noreturn]] void raise(PyObject* type, const std::string& msg);
// TypeError "'{type}' object cannot be converted to '{target}'".
[[noreturn]] void raise_cannot_convert(PyObject* obj, const char* target);

// The exception raised for a broken internal invariant. Derives from
// BaseException so that ordinary `except Exception` handlers let it through.
PyObject* panic_exception_type();
void set_panic(const char* msg);

// Bare type name of an object ("dict", "ndarray", "BacktestConfig").
const char* type_name(PyObject* obj);

// Owned reference.
class PyRef {
public:
    PyRef() = default;
    explicit PyRef(PyObject* p) : p_(p) {}
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    PyRef& operator=(PyRef&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }
    // Takes a new reference returned by the C API, throwing when it is null.
    static PyRef check(PyObject* p) {
        if (!p) throw_py();
        return PyRef(p);
    }

private:
    PyObject* p_ = nullptr;
};

// Releases the interpreter lock for a scope and takes it back on leaving it,
// also when an exception leaves the scope, so that the exception is turned
// into a Python error with the lock held. Nothing in the scope may touch a
// Python object.
class AllowThreads {
public:
    AllowThreads() : state_(PyEval_SaveThread()) {}
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;
    ~AllowThreads() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};
// Sets the Python exception for the C++ exception being handled; called only
// from a catch block. An error already set stays; a broken rule becomes
// ValueError; memory that cannot be had becomes MemoryError, as everywhere
// else in Python; anything else is a broken invariant (PanicException).
void set_error_from_exception() noexcept;

// Runs a body and maps every C++ failure to a Python exception.
template <class F>
PyObject* guarded(F&& f) noexcept {
    try {
        return f();
    } catch (...) {
        set_error_from_exception();
    }
    return nullptr;
}

template <class F>
int guarded_int(F&& f) noexcept {
    try {
        f();
        return 0;
    } catch (...) {
        set_error_from_exception();
    }
    return -1;
}

// ---------------------------------------------------------------------------
// Signatures and the binder
// ---------------------------------------------------------------------------

// One parameter: its name and, for optional parameters, its default as it is
// shown in the signature. `value` overrides the text the default value is read
// from where the shown text is not a literal (for example "...").
struct Param {
    const char* name;
    const char* def = nullptr;
    const char* value = nullptr;

    bool required() const { return def == nullptr; }
    const char* default_value_text() const { return value ? value : def; }
};

inline constexpr std::size_t kMaxParams = 32;

struct Sig {
    const char* owner;  // class name, or nullptr for a module function
    const char* name;   // function, method or "__new__"
    std::span<const Param> params;
    // Interned parameter names, made on first use, for pointer-fast keyword
    // matching.
    mutable PyObject** interned = nullptr;

    std::string full_name() const;  // "f()" or "Class.method()"
    // "(a, b=1.0)", with "$self, " first for methods.
    std::string text_signature(bool with_self) const;
};

using Bound = std::array<PyObject*, kMaxParams>;

// Clears the slots of the declared parameters, the only ones read; zeroing
// all 32 costs a string store per call, a third of a small method's time.
inline void clear_bound(Bound& b, const Sig& sig) {
    for (std::size_t i = 0; i < sig.params.size(); ++i) b[i] = nullptr;
}

// Binds a vectorcall's arguments to the parameters; absent ones stay null.
void bind_fast(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out);
// Binds an argument tuple and keyword dictionary (constructors).
void bind_tuple(const Sig& sig, PyObject* args, PyObject* kwargs, Bound& out);

// Rewrites a pending exact TypeError as "argument '{name}': {message}",
// keeping its cause; any other pending error is left as it is.
void prefix_argument_error(const char* name);

// ---------------------------------------------------------------------------
// Objects and borrows
// ---------------------------------------------------------------------------

struct ObjBase {
    PyObject_HEAD
    // 0 free, > 0 shared borrows, -1 exclusively borrowed.
    Py_ssize_t borrow;
};

template <class R>
struct Obj : ObjBase {
    R rec;
};

class ReadBorrow {
public:
    explicit ReadBorrow(ObjBase* o) : o_(o) {
        if (o_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++o_->borrow;
    }
    ReadBorrow(const ReadBorrow&) = delete;
    ReadBorrow& operator=(const ReadBorrow&) = delete;
    ~ReadBorrow() { --o_->borrow; }

private:
    ObjBase* o_;
};

class WriteBorrow {
public:
    explicit WriteBorrow(ObjBase* o) : o_(o) {
        if (o_->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
        o_->borrow = -1;
    }
    WriteBorrow(const WriteBorrow&) = delete;
    WriteBorrow& operator=(const WriteBorrow&) = delete;
    ~WriteBorrow() { o_->borrow = 0; }

private:
    ObjBase* o_;
};

// Which Python class holds a record type. Each class specialises it where it
// is defined; `type()` builds the type object on first use.
template <class R>
struct PyClass;

template <class R>
concept Record = requires {
    { PyClass<R>::type() } -> std::same_as<PyTypeObject*>;
    { PyClass<R>::name } -> std::convertible_to<const char*>;
};

template <Record R>
Obj<R>* as_obj(PyObject* o) {
    return reinterpret_cast<Obj<R>*>(o);
}

// A new Python object owning `rec`.
template <Record R>
PyObject* new_object(R&& rec) {
    PyTypeObject* tp = PyClass<R>::type();
    PyObject* o = tp->tp_alloc(tp, 0);
    if (!o) throw_py();  // the MemoryError tp_alloc set
    auto* obj = reinterpret_cast<Obj<R>*>(o);
    obj->borrow = 0;
    new (&obj->rec) R(std::move(rec));
    return o;
}

template <Record R>
PyObject* new_object(const R& rec) {
    return new_object(R(rec));
}

// A shared borrow of another object's record, held for the call.
template <Record R>
class Ref {
public:
    explicit Ref(Obj<R>* o) : o_(o) {
        if (o_->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
        ++o_->borrow;
    }
    Ref(Ref&& other) noexcept : o_(other.o_) { other.o_ = nullptr; }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref& operator=(Ref&&) = delete;
    ~Ref() {
        if (o_) --o_->borrow;
    }
    const R& operator*() const { return o_->rec; }
    const R* operator->() const { return &o_->rec; }
    // A second shared borrow of the same object.
    Ref share() const { return Ref(o_); }

private:
    Obj<R>* o_;
};

// ---------------------------------------------------------------------------
// Argument kinds that are not plain C++ value types
// ---------------------------------------------------------------------------

// A 2-D float64 array copied in row-major order.
struct MatrixF64 {
    Series<double> data;
    std::size_t rows = 0;
    std::size_t cols = 0;
};

// A Python sequence (not a str) of items converted as T.
template <class T>
struct Seq {
    std::vector<T> items;

    Seq() = default;
    // Copyable only when its items are (a vector's copy does not say so).
    Seq(const Seq&)
        requires std::is_copy_constructible_v<T>
    = default;
    Seq(Seq&&) noexcept = default;
    Seq& operator=(const Seq&)
        requires std::is_copy_constructible_v<T>
    = default;
    Seq& operator=(Seq&&) noexcept = default;
};

namespace detail {
// Address space that reads as zeros and holds no memory until a page of it is
// read: what a call is lent in place of a copy it may never need (see
// ArrayArg). Where the system cannot lend such a block (or not one this
// large), map() says so and the copy is made instead.
class Blank {
public:
    Blank() = default;
    Blank(const Blank&) = delete;
    Blank& operator=(const Blank&) = delete;
    Blank(Blank&& o) noexcept : p_(o.p_), bytes_(o.bytes_) { o.p_ = nullptr, o.bytes_ = 0; }
    Blank& operator=(Blank&& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(bytes_, o.bytes_);
        return *this;
    }
    ~Blank() { unmap(); }

    // Maps `bytes` (> 0) of blank; false when it cannot be had.
    bool map(std::size_t bytes);
    const void* data() const { return p_; }
    // Whether any of it has been read since it was mapped.
    bool touched() const;
    void unmap();

private:
    void* p_ = nullptr;
    std::size_t bytes_ = 0;
};

// The elements of a 1-D array of T (its type, dtype and dimension already
// checked) in logical order.
template <class T>
Series<T> copy_array(PyObject* array);
}  // namespace detail

// A 1-D input array for the length of one call: a view of the caller's array
// where it may be read in place, else a copy (see numpy_bridge.cpp for when).
// Only a body that holds the interpreter lock from start to finish, runs no
// Python code (nor makes a Python object) while it reads the array and keeps
// nothing of it once it returns may take one; anything else takes a Series.
//
// A view that has to be copied but is reached where no later argument can run
// Python code is not copied at once: it stays pending, with its length known,
// until the call's arrays have all been converted. The binder then copies it
// when every array of the call has one length; otherwise it first makes the
// function's length rule, if it has one, and lends the body a blank of the
// view's length (see call_function), so that a call that refuses its lengths
// before reading the view never copies it.
//
// A view that a later argument's Python code could change is owed a copy made
// before that code runs; in a call with a length rule it too stays pending
// until then, and is never copied once the lengths refuse the call (see
// LengthGate).
template <class T>
class ArrayArg {
public:
    ArrayArg() = default;
    // The caller's data, kept alive by `array`.
    ArrayArg(PyRef array, const T* data, std::size_t size) : array_(std::move(array)), data_(data), size_(size) {}
    explicit ArrayArg(Series<T>&& copy) : copy_(std::move(copy)), data_(copy_.data()), size_(copy_.size()) {}
    // The caller's array of `size` elements, to be copied by settle().
    static ArrayArg pending(PyRef array, std::size_t size) {
        ArrayArg a(std::move(array), nullptr, size);
        a.pending_ = true;
        return a;
    }
    // A moved vector keeps its block, so the pointer stays good.
    ArrayArg(ArrayArg&&) noexcept = default;
    ArrayArg& operator=(ArrayArg&&) noexcept = default;
    ArrayArg(const ArrayArg&) = delete;
    ArrayArg& operator=(const ArrayArg&) = delete;

    std::span<const T> span() const { return {data_, size_}; }
    operator std::span<const T>() const { return span(); }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    bool is_pending() const { return pending_; }
    // Leaves the caller's array (a view read in place, or pending already)
    // pending, to be copied by settle().
    void defer() {
        data_ = nullptr;
        pending_ = true;
    }
    // Defers the array, and returns what copies it as it is now: called before
    // Python code of the caller's runs, it keeps what the call was given. The
    // copy goes to a block of its own, which keeps its address however this
    // argument is moved, until take_early().
    std::function<void()> owe() {
        defer();
        early_ = std::make_unique<std::optional<Series<T>>>();
        return [early = early_.get(), array = array_.get(), n = size_] {
            early->emplace(n > 0 ? detail::copy_array<T>(array) : Series<T>());
        };
    }
    // Holds the copy owe() made, if it was made; otherwise stays pending.
    void take_early() {
        if (early_ && *early_) {
            copy_ = std::move(**early_);
            data_ = copy_.data();
            pending_ = false;
        }
        early_.reset();
    }
    // Copies a pending view; the blank lent in its place, if any, goes.
    void settle() {
        if (!pending_) return;
        if (size_ > 0) copy_ = detail::copy_array<T>(array_.get());
        data_ = copy_.data();
        pending_ = false;
        blank_.unmap();
    }
    // Points a pending view at a blank of its length; false when none can be
    // had (the view must then be copied).
    bool lend_blank() {
        if (size_ == 0) return true;
        if (!blank_.data() && (size_ > SIZE_MAX / sizeof(T) || !blank_.map(size_ * sizeof(T)))) return false;
        data_ = static_cast<const T*>(blank_.data());
        return true;
    }
    bool blank_touched() const { return blank_.data() && blank_.touched(); }
    // The elements as a series of the body's own: the copy this holds, moved
    // out, or else a copy of what it reads (a view, or a blank lent in its
    // place). Nothing is left to read afterwards.
    Series<T> take() {
        Series<T> out;
        if (size_ > 0 && data_ == copy_.data())
            out = std::move(copy_);
        else if (size_ > 0)
            copy_block(append_uninitialized(out, size_), data_, size_ * sizeof(T));
        data_ = nullptr;
        size_ = 0;
        return out;
    }
    // A view of what this holds now, for a body that must not take it over.
    ArrayArg lend() const { return ArrayArg(PyRef(), data_, size_); }

private:
    PyRef array_;
    Series<T> copy_;
    const T* data_ = nullptr;
    std::size_t size_ = 0;
    bool pending_ = false;
    detail::Blank blank_;
    std::unique_ptr<std::optional<Series<T>>> early_;
};

using BoolArg = ArrayArg<uint8_t>;

// ---------------------------------------------------------------------------
// Converters: From<T>::get(obj) reads a Python value, To<T>::make(v) builds one
// ---------------------------------------------------------------------------

template <class T>
struct From;
template <class T>
struct To;

namespace detail {
class LengthGate;
// Converts `o` as T, in place where T can be read so and `in_place` allows;
// `gate`, where given, is the call's (see LengthGate).
template <class T>
T get_item(PyObject* o, bool in_place, LengthGate* gate);
}  // namespace detail

template <>
struct From<double> {
    static double get(PyObject* o) {
        if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
        double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw_py();
        return v;
    }
};

namespace detail {
long long index_to_i64(PyObject* o);
unsigned long long index_to_u64(PyObject* o);
// Narrow integers: read as 64-bit, then range-checked with one message.
long long index_to_narrow(PyObject* o, long long lo, long long hi);
}  // namespace detail

template <>
struct From<int64_t> {
    static int64_t get(PyObject* o) { return detail::index_to_i64(o); }
};
template <>
struct From<uint64_t> {
    static uint64_t get(PyObject* o) { return detail::index_to_u64(o); }
};
template <>
struct From<int32_t> {
    static int32_t get(PyObject* o) {
        return static_cast<int32_t>(detail::index_to_narrow(o, INT32_MIN, INT32_MAX));
    }
};
template <>
struct From<uint32_t> {
    static uint32_t get(PyObject* o) { return static_cast<uint32_t>(detail::index_to_narrow(o, 0, UINT32_MAX)); }
};
template <>
struct From<int8_t> {
    static int8_t get(PyObject* o) { return static_cast<int8_t>(detail::index_to_narrow(o, INT8_MIN, INT8_MAX)); }
};

template <>
struct From<bool> {
    static bool get(PyObject* o) {
        if (o == Py_True) return true;
        if (o == Py_False) return false;
        raise_cannot_convert(o, "PyBool");
    }
};

template <>
struct From<std::string> {
    static std::string get(PyObject* o) {
        if (!PyUnicode_Check(o)) raise_cannot_convert(o, "PyString");
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s) throw_py();
        return std::string(s, static_cast<std::size_t>(n));
    }
};

template <class T>
struct From<std::optional<T>> {
    static std::optional<T> get(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return From<T>::get(o);
    }
    static std::optional<T> get(PyObject* o, bool in_place, detail::LengthGate* gate = nullptr)
        requires requires { From<T>::get(o, in_place); }
    {
        if (o == Py_None) return std::nullopt;
        return detail::get_item<T>(o, in_place, gate);
    }
};

template <Record R>
struct From<Ref<R>> {
    static Ref<R> get(PyObject* o) {
        if (!PyObject_TypeCheck(o, PyClass<R>::type())) raise_cannot_convert(o, PyClass<R>::name);
        return Ref<R>(as_obj<R>(o));
    }
};

// NumPy arrays (see numpy_bridge.cpp), copied into series.
template <>
struct From<Series<double>> {
    static Series<double> get(PyObject* o);
};
template <>
struct From<Series<int64_t>> {
    static Series<int64_t> get(PyObject* o);
};
template <>
struct From<BoolVec> {
    static BoolVec get(PyObject* o);
};
template <>
struct From<MatrixF64> {
    static MatrixF64 get(PyObject* o);
};

// A list of float64 series: a sequence of 1-D arrays, or a 2-D array read as
// its rows. Converting the argument checks every item and notes its length
// but copies nothing; the body checks the lengths against its other
// arguments and then takes the copy, so that a view of millions of long rows
// is refused at once instead of after gigabytes of copying.
class SeriesList {
public:
    std::size_t size() const { return count_; }
    std::size_t length(std::size_t i) const { return rows_ ? cols_ : lengths_[i]; }
    // Valid while this list is.
    SeriesLengths lengths() const {
        return {count_, [this](std::size_t i) { return length(i); }};
    }
    // The series copied, once; MemoryError when together they could never
    // fit in memory. A list converted before a later argument that can run
    // Python code was copied then (see Quiet), or in a call with a length
    // rule just before that code ran (see LengthGate): the copy holds what
    // the caller passed, whatever that code did to the arrays afterwards.
    // Copying runs nothing of the caller's and makes no Python object, so a
    // body may take it while it holds other arrays in place.
    std::vector<Series<double>> take();
    // The same arrays and lengths, and a copy of the series if this holds
    // them, for a body whose outcome may be dropped (see call_function).
    SeriesList lend() const;

private:
    friend struct From<SeriesList>;
    using Copy = std::optional<std::vector<Series<double>>>;
    static std::vector<Series<double>> copy_now(PyObject* rows, std::span<const PyRef> items, std::size_t count);

    PyRef rows_;                        // a 2-D array read as its rows, or null
    std::vector<PyRef> items_;          // otherwise the items, held as checked
    std::vector<std::size_t> lengths_;  // of the items
    std::size_t count_ = 0;
    std::size_t cols_ = 0;
    // The copy made before the body, if one was due, in a block of its own
    // that keeps its address however the list is moved: a copy owed to the
    // call's gate is made into it later.
    std::unique_ptr<Copy> copied_;
};

template <>
struct From<SeriesList> {
    // `quiet`: no later argument can run Python code, so the copy may wait
    // for the body's shape checks.
    static SeriesList get(PyObject* o, bool quiet);
    // In a call with a length rule (`gate`, if given): the length of every
    // series is noted, and a copy that is due is owed to the gate instead of
    // made.
    static SeriesList get(PyObject* o, bool quiet, detail::LengthGate* gate);
};

// Arrays read in place when `in_place` (no later argument's conversion can run
// Python code) and the layout allows; copied otherwise.
template <>
struct From<ArrayArg<double>> {
    static ArrayArg<double> get(PyObject* o, bool in_place);
};
template <>
struct From<ArrayArg<int64_t>> {
    static ArrayArg<int64_t> get(PyObject* o, bool in_place);
};
template <>
struct From<BoolArg> {
    static BoolArg get(PyObject* o, bool in_place);
};

namespace detail {
// The copies a call with a length rule owes before Python code of the
// caller's runs, and the lengths that may spare them.
//
// An array followed by an argument whose conversion could run such code (an
// __index__, a __float__, a sequence's own __len__ or __getitem__) must be
// copied before that code runs, which could rewrite, resize or free it. In a
// call with a length rule it is not copied when it is reached: the gate notes
// its length and defers it, and just before the caller's code runs (nothing
// else has run since it was reached, so a copy then holds what the call was
// given) asks whether the lengths of the arrays reached so far already refuse
// the call. When they do, nothing is copied, then or later: the call can only
// fail, by a conversion error, a rule on another argument or its lengths, and
// none of that reads an element. Otherwise the owed arrays are copied there
// and then. One reached after the last such code stays pending, as in a
// quiet call (see ArrayArg).
//
// `refused` answers from the lengths in the order the arrays were reached; it
// must only say yes when the length rule refuses every call that begins so,
// whatever the arrays and arguments after them.
class LengthGate {
public:
    using Refused = bool (*)(std::span<const std::size_t> lengths);
    explicit LengthGate(Refused refused) : refused_by_(refused) {}
    LengthGate(const LengthGate&) = delete;
    LengthGate& operator=(const LengthGate&) = delete;

    // Reads an array argument without copying it; `in_place` as for From.
    template <class T>
    ArrayArg<T> read(PyObject* o, bool in_place) {
        ArrayArg<T> a = From<ArrayArg<T>>::get(o, true);
        lengths_.push_back(a.size());
        if (!in_place) {
            if (refused_)
                a.defer();
            else
                owed_.push_back(a.owe());
        }
        return a;
    }
    // For arrays held other than as an ArrayArg (a list of series): notes the
    // length of one, in the order reached, and owes what copies them.
    void note(std::size_t length) { lengths_.push_back(length); }
    void owe(std::function<void()> copy) {
        if (!refused_) owed_.push_back(std::move(copy));
    }
    // Called before a conversion that could run Python code of the caller's.
    void before_caller_code();

private:
    Refused refused_by_;
    bool refused_ = false;
    std::vector<std::size_t> lengths_;
    std::vector<std::function<void()>> owed_;
};

// Whether a length check refuses, as the engine's checks do: by a broken rule
// or a fault.
template <class F>
bool refuses(F&& check) {
    try {
        check();
    } catch (const RuleError&) {
        return true;
    } catch (const Fault&) {
        return true;
    }
    return false;
}

// Checks that `o` is a sequence other than str and returns its length.
Py_ssize_t sequence_length(PyObject* o);
PyRef sequence_item(PyObject* o, Py_ssize_t i);
// Checks for an exact-length tuple.
void check_tuple(PyObject* o, std::size_t n);
// Makes room for the items of an `n`-item sequence. A length whose items
// could never fit in this machine's memory (a broadcast view, a lying
// __len__) fails at once with MemoryError instead of converting items for
// hours; the room reserved up front is bounded, so a length that is only
// claimed costs nothing.
void reserve_items(std::size_t item_size, Py_ssize_t n, const std::function<void(std::size_t)>& reserve);
// Fails with MemoryError when `bytes` could never fit in this machine's
// memory.
void require_memory(double bytes);
template <class V>
void reserve_items(V& v, Py_ssize_t n) {
    reserve_items(sizeof(typename V::value_type), n, [&v](std::size_t k) { v.reserve(k); });
}
}  // namespace detail

template <class T>
struct Quiet;

namespace detail {
template <class T>
struct IsArrayArg : std::false_type {};
template <class T>
struct IsArrayArg<ArrayArg<T>> : std::true_type {
    using Element = T;
};

template <class T>
T get_item(PyObject* o, bool in_place, LengthGate* gate) {
    if constexpr (IsArrayArg<T>::value) {
        return gate ? gate->read<typename IsArrayArg<T>::Element>(o, in_place) : From<T>::get(o, in_place);
    } else if constexpr (requires { From<T>::get(o, in_place, gate); }) {
        return From<T>::get(o, in_place, gate);  // the items of an optional value, sequence or tuple
    } else {
        if (gate && !Quiet<T>::check(o)) gate->before_caller_code();
        if constexpr (requires { From<T>::get(o, in_place); })
            return From<T>::get(o, in_place);
        else
            return From<T>::get(o);
    }
}
}  // namespace detail

template <class T>
struct From<Seq<T>> {
    static Seq<T> get(PyObject* o) { return read(o, false, nullptr); }
    // Items holding arrays. Whether they are read in place is settled once,
    // for the whole sequence and before any item is read: only when no later
    // argument (`in_place`) and no item of the sequence can run Python code,
    // so that an array read early cannot be rewritten by a later item's
    // __float__. Otherwise every array is copied when its item is reached
    // (by the gate, if any, before the caller's code runs).
    static Seq<T> get(PyObject* o, bool in_place, detail::LengthGate* gate = nullptr)
        requires requires { From<T>::get(o, in_place); }
    {
        return read(o, in_place && Quiet<Seq<T>>::check(o), gate);
    }

private:
    static Seq<T> read(PyObject* o, bool in_place, detail::LengthGate* gate) {
        // Only an exact list or tuple hands out its length and items without
        // calling anything.
        const bool calls_back = gate && !PyList_CheckExact(o) && !PyTuple_CheckExact(o);
        if (calls_back) gate->before_caller_code();
        Py_ssize_t n = detail::sequence_length(o);
        Seq<T> out;
        detail::reserve_items(out.items, n);
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (calls_back) gate->before_caller_code();
            PyRef item = detail::sequence_item(o, i);
            out.items.push_back(detail::get_item<T>(item.get(), in_place, gate));
        }
        return out;
    }
};

template <class... T>
struct From<std::tuple<T...>> {
    static std::tuple<T...> get(PyObject* o) {
        detail::check_tuple(o, sizeof...(T));
        return read(o, false, nullptr, std::index_sequence_for<T...>{});
    }
    // Items holding arrays: read in place on the same terms as a sequence's.
    static std::tuple<T...> get(PyObject* o, bool in_place, detail::LengthGate* gate = nullptr)
        requires(requires { From<T>::get(o, in_place); } || ...)
    {
        in_place = in_place && Quiet<std::tuple<T...>>::check(o);
        detail::check_tuple(o, sizeof...(T));
        return read(o, in_place, gate, std::index_sequence_for<T...>{});
    }

private:
    template <std::size_t... I>
    static std::tuple<T...> read(PyObject* o, bool in_place, detail::LengthGate* gate, std::index_sequence<I...>) {
        // Braced initialisation converts the items left to right.
        return std::tuple<T...>{detail::get_item<T>(PyTuple_GET_ITEM(o, I), in_place, gate)...};
    }
};

// Borrowed Python object, unconverted.
template <>
struct From<PyObject*> {
    static PyObject* get(PyObject* o) { return o; }
};

// ---------------------------------------------------------------------------
// Quiet conversions: Quiet<T>::check(o) is true when converting `o` as T can
// run no Python code (no __float__, __index__, __len__ or __getitem__ of the
// caller's, no warning, no object that the garbage collector tracks), so
// nothing the caller wrote can run and change an array already read. Kinds
// without a rule are never quiet. A conversion that fails is quiet too: the
// call then ends before its body reads anything.
// ---------------------------------------------------------------------------

namespace detail {
// An exact NumPy integer or floating scalar (np.int64, np.float32, ...),
// whose conversions are NumPy's own C code.
bool numpy_real_scalar(PyObject* o);
}  // namespace detail

template <class T>
struct Quiet {
    static bool check(PyObject*) { return false; }
};
template <>
struct Quiet<double> {
    // Any float subclass is read from its field; an exact int is converted by
    // CPython's own code.
    static bool check(PyObject* o) { return PyFloat_Check(o) || PyLong_CheckExact(o) || detail::numpy_real_scalar(o); }
};
template <class T>
    requires std::is_integral_v<T> && (!std::is_same_v<T, bool>)
struct Quiet<T> {
    static bool check(PyObject* o) { return PyLong_CheckExact(o) || detail::numpy_real_scalar(o); }
};
template <>
struct Quiet<bool> {
    static bool check(PyObject*) { return true; }  // True, False or an error
};
template <>
struct Quiet<std::string> {
    static bool check(PyObject*) { return true; }
};
template <Record R>
struct Quiet<Ref<R>> {
    static bool check(PyObject*) { return true; }
};
template <class T>
struct Quiet<std::optional<T>> {
    static bool check(PyObject* o) { return o == Py_None || Quiet<T>::check(o); }
};
// Arrays are only checked for their type and shape, and read by NumPy's C
// structures.
template <>
struct Quiet<Series<double>> {
    static bool check(PyObject*) { return true; }
};
template <>
struct Quiet<Series<int64_t>> {
    static bool check(PyObject*) { return true; }
};
template <>
struct Quiet<BoolVec> {
    static bool check(PyObject*) { return true; }
};
template <>
struct Quiet<MatrixF64> {
    static bool check(PyObject*) { return true; }
};
template <class T>
struct Quiet<ArrayArg<T>> {
    static bool check(PyObject*) { return true; }
};
// A 2-D array, or an exact list or tuple of arrays.
template <>
struct Quiet<SeriesList> {
    static bool check(PyObject* o);
};
// An exact list or tuple hands out its items without calling anything.
template <class T>
struct Quiet<Seq<T>> {
    static bool check(PyObject* o) {
        if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return PyUnicode_Check(o);
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!Quiet<T>::check(items[i])) return false;
        return true;
    }
};
template <class... T>
struct Quiet<std::tuple<T...>> {
    static bool check(PyObject* o) {
        if (!PyTuple_Check(o) || PyTuple_GET_SIZE(o) != static_cast<Py_ssize_t>(sizeof...(T))) return true;
        return items(o, std::index_sequence_for<T...>{});
    }
    template <std::size_t... I>
    static bool items(PyObject* o, std::index_sequence<I...>) {
        return (Quiet<T>::check(PyTuple_GET_ITEM(o, I)) && ...);
    }
};

// Whether a kind can be read in place (see ArrayArg).
template <class T>
concept ReadsInPlace = requires(PyObject* o) { From<T>::get(o, true); };

template <>
struct To<double> {
    static PyObject* make(double v) { return PyFloat_FromDouble(v); }
};
template <>
struct To<bool> {
    static PyObject* make(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
};
template <>
struct To<int64_t> {
    static PyObject* make(int64_t v) { return PyLong_FromLongLong(v); }
};
template <>
struct To<uint64_t> {
    static PyObject* make(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
};
template <>
struct To<int32_t> {
    static PyObject* make(int32_t v) { return PyLong_FromLong(v); }
};
template <>
struct To<uint32_t> {
    static PyObject* make(uint32_t v) { return PyLong_FromUnsignedLong(v); }
};
template <>
struct To<int8_t> {
    static PyObject* make(int8_t v) { return PyLong_FromLong(v); }
};
template <>
struct To<std::string> {
    static PyObject* make(const std::string& v) {
        return PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size()));
    }
};
template <>
struct To<const char*> {
    static PyObject* make(const char* v) { return PyUnicode_FromString(v); }
};
template <class T>
struct To<std::optional<T>> {
    static PyObject* make(const std::optional<T>& v) {
        if (!v) Py_RETURN_NONE;
        return To<T>::make(*v);
    }
    static PyObject* make(std::optional<T>&& v) {
        if (!v) Py_RETURN_NONE;
        return To<T>::make(std::move(*v));
    }
};
template <>
struct To<PyRef> {
    static PyObject* make(PyRef&& v) { return v.release(); }
};
template <Record R>
struct To<R> {
    static PyObject* make(R&& v) { return new_object(std::move(v)); }
    static PyObject* make(const R& v) { return new_object(v); }
};

// New NumPy arrays. An rvalue series is handed over without a copy.
template <>
struct To<Series<double>> {
    static PyObject* make(Series<double>&& v);
    static PyObject* make(const Series<double>& v) { return make(Series<double>(v)); }
};
template <>
struct To<Series<int64_t>> {
    static PyObject* make(Series<int64_t>&& v);
    static PyObject* make(const Series<int64_t>& v) { return make(Series<int64_t>(v)); }
};
template <>
struct To<BoolVec> {
    static PyObject* make(BoolVec&& v);
    static PyObject* make(const BoolVec& v) { return make(BoolVec(v)); }
};
template <>
struct To<Series<int8_t>> {
    static PyObject* make(Series<int8_t>&& v);
    static PyObject* make(const Series<int8_t>& v) { return make(Series<int8_t>(v)); }
};
template <>
struct To<MatrixF64> {
    static PyObject* make(MatrixF64&& m);
};
// Finished bars as the tuple of six columns (timestamps, open, high, low,
// close, volume).
template <>
struct To<std::vector<OhlcvBar>> {
    static PyObject* make(const std::vector<OhlcvBar>& bars);
};

template <class... T>
struct To<std::tuple<T...>> {
    static PyObject* make(std::tuple<T...>&& t) {
        return build(std::move(t), std::index_sequence_for<T...>{});
    }
    template <std::size_t... I>
    static PyObject* build(std::tuple<T...>&& t, std::index_sequence<I...>) {
        PyRef tup = PyRef::check(PyTuple_New(sizeof...(T)));
        (set_item<I>(tup.get(), std::move(std::get<I>(t))), ...);
        return tup.release();
    }
    template <std::size_t I, class V>
    static void set_item(PyObject* tup, V&& v) {
        PyObject* item = To<std::decay_t<V>>::make(std::forward<V>(v));
        if (!item) throw_py();
        PyTuple_SET_ITEM(tup, I, item);
    }
};

// A new list of `n` items, item i the new reference make(i) returns (null
// with an error set when it fails).
template <class F>
PyRef list_of(std::size_t n, F&& make) {
    PyRef list = PyRef::check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) throw_py();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

// A list, each item converted as T. (Series, the numeric columns, become
// arrays instead.) From an rvalue the items are moved into their objects.
template <class T>
struct To<std::vector<T>> {
    static PyObject* make(const std::vector<T>& v) {
        return list_of(v.size(), [&](std::size_t i) { return To<T>::make(v[i]); }).release();
    }
    static PyObject* make(std::vector<T>&& v) {
        return list_of(v.size(), [&](std::size_t i) { return To<T>::make(std::move(v[i])); }).release();
    }
};

template <class T>
PyObject* to_py(T&& v) {
    PyObject* o = To<std::decay_t<T>>::make(std::forward<T>(v));
    if (!o) throw_py();
    return o;
}

// ---------------------------------------------------------------------------
// Defaults and argument conversion
// ---------------------------------------------------------------------------

namespace detail {
// Reads a default value from its signature text; a text that does not fit the
// C++ type is a programming error reported at import.
template <class T>
struct DefaultText;

double parse_default_double(const char* text);
long long parse_default_int(const char* text);
unsigned long long parse_default_uint(const char* text);
bool parse_default_bool(const char* text);
std::string parse_default_str(const char* text);
void require_none_default(const char* text);

template <>
struct DefaultText<double> {
    static double parse(const char* t) { return parse_default_double(t); }
};
template <>
struct DefaultText<bool> {
    static bool parse(const char* t) { return parse_default_bool(t); }
};
template <>
struct DefaultText<std::string> {
    static std::string parse(const char* t) { return parse_default_str(t); }
};
template <class T>
    requires std::is_integral_v<T> && std::is_signed_v<T>
struct DefaultText<T> {
    static T parse(const char* t) { return static_cast<T>(parse_default_int(t)); }
};
template <class T>
    requires std::is_integral_v<T> && std::is_unsigned_v<T> && (!std::is_same_v<T, bool>)
struct DefaultText<T> {
    static T parse(const char* t) { return static_cast<T>(parse_default_uint(t)); }
};
template <class T>
struct DefaultText<std::optional<T>> {
    static std::optional<T> parse(const char* t) {
        if (std::strcmp(t, "None") == 0) return std::nullopt;
        return DefaultText<T>::parse(t);
    }
};
template <class T>
struct DefaultText {
    // Kinds without literal defaults (arrays, records, sequences) can only
    // default to None through std::optional.
    static T parse(const char* t) {
        require_none_default(t);
        throw Fault("parameter default must be optional");
    }
};

// Per-callable cache of parsed defaults, one optional slot per parameter.
template <class... A>
struct Defaults {
    std::tuple<std::optional<std::decay_t<A>>...> values;
};

template <class... A, std::size_t... I>
Defaults<A...> parse_defaults(const Sig& sig, std::index_sequence<I...>) {
    if (sig.params.size() != sizeof...(A))
        throw Fault(sig.full_name() + ": parameter table does not match the body");
    Defaults<A...> d;
    auto one = [&](auto& slot, const Param& p) {
        using T = typename std::decay_t<decltype(slot)>::value_type;
        if (!p.required()) slot.emplace(DefaultText<T>::parse(p.default_value_text()));
    };
    (one(std::get<I>(d.values), sig.params[I]), ...);
    (void)one;  // empty parameter lists
    return d;
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Whether the arguments after a given one convert quietly (see Quiet), asked
// when an array argument is reached: the objects are looked at then, not
// before, since an earlier conversion that runs Python code may change them.
// Once the answer is yes it stays yes for every later argument, as nothing
// after that point can run Python code.
class QuietAfter {
public:
    using Check = bool (*)(PyObject*);
    QuietAfter(const Bound& b, const Check* checks, std::size_t n) : b_(b), checks_(checks), n_(n) {}
    bool operator()(std::size_t i) { return from(i + 1); }
    // Whether every argument converts quietly, asked before the first.
    bool all() { return from(0); }

private:
    bool from(std::size_t first) {
        if (known_) return true;
        for (std::size_t j = first; j < n_; ++j)
            if (b_[j] && !checks_[j](b_[j])) return false;
        known_ = true;
        return true;
    }

    const Bound& b_;
    const Check* checks_;
    std::size_t n_;
    bool known_ = false;
};

template <class T, class Slot>
std::decay_t<T> convert_arg(PyObject* o, const Sig& sig, std::size_t i, const Slot& dflt, QuietAfter& quiet_after,
                            LengthGate* gate) {
    using V = std::decay_t<T>;
    if (!o) {
        if (!dflt) throw Fault(sig.full_name() + ": required argument was not bound");
        if constexpr (std::is_copy_constructible_v<V>) {
            return V(*dflt);
        } else if constexpr (IsOptional<V>::value) {
            // Move-only kinds (borrowed records) can only default to None.
            return V{};
        } else {
            throw Fault("non-copyable default");
        }
    }
    try {
        if constexpr (ReadsInPlace<V>) {
            return get_item<V>(o, quiet_after(i), gate);
        } else {
            (void)quiet_after;
            return get_item<V>(o, false, gate);
        }
    } catch (const PyErrSet&) {
        prefix_argument_error(sig.params[i].name);
        throw;
    }
}

template <class... A, std::size_t... I>
std::tuple<std::decay_t<A>...> convert_args(const Bound& b, const Sig& sig, const Defaults<A...>& d,
                                            LengthGate* gate, std::index_sequence<I...>) {
    static constexpr QuietAfter::Check checks[sizeof...(A) + 1] = {&Quiet<std::decay_t<A>>::check..., nullptr};
    QuietAfter quiet_after(b, checks, sizeof...(A));
    // A call that converts quietly owes no copy: it reads no array through
    // the gate, which would only note lengths nobody asks for.
    if (gate && quiet_after.all()) gate = nullptr;
    // Braced initialisation converts in declaration order.
    return std::tuple<std::decay_t<A>...>{
        convert_arg<A>(b[I], sig, I, std::get<I>(d.values), quiet_after, gate)...};
}

template <class R, class Tuple, class F>
PyObject* call_and_convert(F&& f, Tuple& args) {
    if constexpr (std::is_void_v<R>) {
        std::apply([&](auto&... a) { f(std::move(a)...); }, args);
        Py_RETURN_NONE;
    } else {
        return to_py(std::apply([&](auto&... a) -> R { return f(std::move(a)...); }, args));
    }
}

// ---------------------------------------------------------------------------
// The arrays of one call (see ArrayArg): every ArrayArg among the converted
// arguments, also inside optional values, sequences and tuples.
// ---------------------------------------------------------------------------

template <class T>
struct Arrays {
    static constexpr bool any = false;
    template <class F>
    static void visit(T&, F&) {}
    // A value the body may take while `v` keeps its own.
    static T lend(T& v) {
        static_assert(std::is_copy_constructible_v<T>, "an argument kind the binder cannot lend");
        return v;
    }
};
template <class T>
struct Arrays<ArrayArg<T>> {
    static constexpr bool any = true;
    template <class F>
    static void visit(ArrayArg<T>& a, F& f) {
        f(a);
    }
    static ArrayArg<T> lend(ArrayArg<T>& a) { return a.lend(); }
};
template <class T>
struct Arrays<std::optional<T>> {
    static constexpr bool any = Arrays<T>::any;
    template <class F>
    static void visit(std::optional<T>& v, F& f) {
        if (v) Arrays<T>::visit(*v, f);
    }
    static std::optional<T> lend(std::optional<T>& v) {
        if (!v) return std::nullopt;
        return Arrays<T>::lend(*v);
    }
};
template <class T>
struct Arrays<Seq<T>> {
    static constexpr bool any = Arrays<T>::any;
    template <class F>
    static void visit(Seq<T>& v, F& f) {
        for (T& item : v.items) Arrays<T>::visit(item, f);
    }
    static Seq<T> lend(Seq<T>& v) {
        Seq<T> out;
        out.items.reserve(v.items.size());
        for (T& item : v.items) out.items.push_back(Arrays<T>::lend(item));
        return out;
    }
};
template <class... T>
struct Arrays<std::tuple<T...>> {
    static constexpr bool any = (Arrays<T>::any || ...);
    template <class F>
    static void visit(std::tuple<T...>& v, F& f) {
        std::apply([&](T&... item) { (Arrays<T>::visit(item, f), ...); }, v);
    }
    static std::tuple<T...> lend(std::tuple<T...>& v) {
        return std::apply([](T&... item) { return std::tuple<T...>{Arrays<T>::lend(item)...}; }, v);
    }
};
template <Record R>
struct Arrays<Ref<R>> {
    static constexpr bool any = false;
    template <class F>
    static void visit(Ref<R>&, F&) {}
    static Ref<R> lend(Ref<R>& r) { return r.share(); }
};

// A list of series holds no ArrayArg, but a body that may be called twice
// must not take the copy it holds (see SeriesList::lend).
template <>
struct Arrays<SeriesList> {
    static constexpr bool any = false;
    template <class F>
    static void visit(SeriesList&, F&) {}
    static SeriesList lend(SeriesList& v) { return v.lend(); }
};

// Makes the arrays a gate copied early hold their copies.
template <class Tuple>
void take_early_copies(Tuple& args) {
    if constexpr (Arrays<Tuple>::any) {
        auto take = [](auto& a) { a.take_early(); };
        Arrays<Tuple>::visit(args, take);
    }
}

// Copies every pending view of a call.
template <class Tuple>
void settle_arrays(Tuple& args) {
    if constexpr (Arrays<Tuple>::any) {
        auto settle = [](auto& a) { a.settle(); };
        Arrays<Tuple>::visit(args, settle);
    }
}

// Calls a module function whose arguments include arrays. Where the function
// has a length rule (`check_lengths`: the checks its body makes first, from
// the arrays' lengths and its other arguments alone, failing as the body
// would) and a view is pending, the rule is made first: a call it refuses ends
// there, with neither copy nor blank, however long the views. It is made
// whatever the views' lengths, since it may also compare lengths that are not
// an ArrayArg's (a list of series). Then arrays of one length are read as
// usual: pending views copied, then one call. A call whose arrays differ in
// length is one that may refuse them, from their lengths, before it reads
// anything: the pending views are lent as blanks of their lengths, and when
// the call ends (returning or raising) without having read a blank, that is
// its outcome, the views never copied. Otherwise its outcome is dropped, the
// views are copied and the call is made again. Either way the outcome is the
// one the copies would give: a body of ArrayArg reads nothing but its
// arguments and keeps nothing of them, so a call that never read a view
// behaves as if it had the copy.
template <class R, class Tuple, class F, class C>
PyObject* call_function(F&& f, Tuple& args, C&& check_lengths) {
    if constexpr (!Arrays<Tuple>::any) {
        return call_and_convert<R>(f, args);
    } else {
        std::size_t pending = 0, shortest = SIZE_MAX, longest = 0;
        auto measure = [&](auto& a) {
            pending += a.is_pending();
            shortest = std::min(shortest, a.size());
            longest = std::max(longest, a.size());
        };
        Arrays<Tuple>::visit(args, measure);
        if (pending > 0) check_lengths(args);
        bool lent = pending > 0 && shortest != longest;
        if (lent) {
            auto lend = [&](auto& a) { lent = lent && (!a.is_pending() || a.lend_blank()); };
            Arrays<Tuple>::visit(args, lend);
        }
        if (lent) {
            bool touched = false;
            auto read = [&](auto& a) { touched = touched || a.blank_touched(); };
            try {
                Tuple views = Arrays<Tuple>::lend(args);
                if constexpr (std::is_void_v<R>) {
                    std::apply([&](auto&... a) { f(std::move(a)...); }, views);
                    Arrays<Tuple>::visit(args, read);
                    if (!touched) Py_RETURN_NONE;
                } else {
                    R out = std::apply([&](auto&... a) -> R { return f(std::move(a)...); }, views);
                    Arrays<Tuple>::visit(args, read);
                    if (!touched) return to_py(std::move(out));
                }
            } catch (...) {
                Arrays<Tuple>::visit(args, read);
                if (!touched) throw;
                PyErr_Clear();  // the outcome of blanks, not of the caller's arrays
            }
        }
        settle_arrays(args);
        return call_and_convert<R>(f, args);
    }
}

// Function-pointer traits.
template <class F>
struct FnTraits;
template <class R, class... A>
struct FnTraits<R (*)(A...)> {
    using Ret = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <class... A>
struct DefaultsOf;
template <class... A>
struct DefaultsOf<std::tuple<A...>> {
    using type = Defaults<A...>;
    static type parse(const Sig& sig) { return parse_defaults<A...>(sig, std::index_sequence_for<A...>{}); }
};

// Drops the receiver from a method's argument list.
template <class T>
struct TailArgs;
template <class Self, class... A>
struct TailArgs<std::tuple<Self, A...>> {
    using Self_t = Self;
    using type = std::tuple<A...>;
};

template <class Tuple>
struct Converter;
template <class... A>
struct Converter<std::tuple<A...>> {
    static std::tuple<std::decay_t<A>...> run(const Bound& b, const Sig& sig, const Defaults<A...>& d,
                                              LengthGate* gate = nullptr) {
        return convert_args<A...>(b, sig, d, gate, std::index_sequence_for<A...>{});
    }
};

// Makes the documentation string "name(sig)\n--\n\n" + doc, kept for the
// life of the process.
const char* make_doc(const char* name, const std::string& text_signature, const char* doc);
}  // namespace detail

// ---------------------------------------------------------------------------
// Callables
// ---------------------------------------------------------------------------

// Parsed defaults of one callable, built the first time the callable is
// registered or called.
template <const Sig& S, class ArgsTuple>
const typename detail::DefaultsOf<ArgsTuple>::type& defaults_of() {
    static const auto d = detail::DefaultsOf<ArgsTuple>::parse(S);
    return d;
}

// Module function or static method: Body(args...) -> R. `Lengths`, where
// given, is its length rule (see call_function): a function of the same
// arguments, taken by const reference, that reads no array's elements and
// fails exactly as Body fails first from the same lengths. `Refused`, given
// with it, is the same rule asked from the lengths of the arrays reached so
// far (see LengthGate).
template <const Sig& S, auto Body, auto Lengths = nullptr, auto Refused = nullptr>
PyObject* fastcall_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static_assert(std::is_null_pointer_v<decltype(Refused)> || !std::is_null_pointer_v<decltype(Lengths)>,
                  "a function refused from its lengths needs its length rule");
    return guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Body)>;
        Bound b;
        clear_bound(b, S);
        bind_fast(S, args, nargs, kwnames, b);
        const auto& defaults = defaults_of<S, typename T::Args>();
        auto converted = [&] {
            if constexpr (std::is_null_pointer_v<decltype(Refused)>) {
                return detail::Converter<typename T::Args>::run(b, S, defaults);
            } else {
                detail::LengthGate gate(Refused);
                auto out = detail::Converter<typename T::Args>::run(b, S, defaults, &gate);
                detail::take_early_copies(out);
                return out;
            }
        }();
        auto check_lengths = [](const auto& a) {
            if constexpr (!std::is_null_pointer_v<decltype(Lengths)>) std::apply(Lengths, a);
        };
        return detail::call_function<typename T::Ret>(Body, converted, check_lengths);
    });
}

// Method: Body(R& self, args...) takes the object exclusively; Body(const R&
// self, args...) shares it.
template <const Sig& S, auto Body>
PyObject* fastcall_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Body)>;
        using Tail = detail::TailArgs<typename T::Args>;
        using SelfRef = typename Tail::Self_t;
        using Rec = std::remove_cvref_t<SelfRef>;
        Bound b;
        clear_bound(b, S);
        bind_fast(S, args, nargs, kwnames, b);
        auto* obj = as_obj<Rec>(self);
        auto run = [&](auto& guard) -> PyObject* {
            (void)guard;
            auto converted = detail::Converter<typename Tail::type>::run(b, S, defaults_of<S, typename Tail::type>());
            detail::settle_arrays(converted);
            auto f = [&](auto&&... a) -> decltype(auto) { return Body(obj->rec, std::forward<decltype(a)>(a)...); };
            return detail::call_and_convert<typename T::Ret>(f, converted);
        };
        if constexpr (std::is_const_v<std::remove_reference_t<SelfRef>>) {
            ReadBorrow g(obj);
            return run(g);
        } else {
            WriteBorrow g(obj);
            return run(g);
        }
    });
}

// No-argument method: Body(const R&) or Body(R&).
template <auto Body>
PyObject* noargs_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Body)>;
        using SelfRef = std::tuple_element_t<0, typename T::Args>;
        using Rec = std::remove_cvref_t<SelfRef>;
        auto* obj = as_obj<Rec>(self);
        if constexpr (std::is_const_v<std::remove_reference_t<SelfRef>>) {
            ReadBorrow g(obj);
            return to_py(Body(obj->rec));
        } else {
            WriteBorrow g(obj);
            return to_py(Body(obj->rec));
        }
    });
}

template <const Sig& S, auto Body, auto Lengths = nullptr, auto Refused = nullptr>
PyMethodDef function_def(const char* doc) {
    using T = detail::FnTraits<decltype(Body)>;
    (void)defaults_of<S, typename T::Args>();
    return {S.name,
            reinterpret_cast<PyCFunction>(
                reinterpret_cast<void (*)()>(&fastcall_function<S, Body, Lengths, Refused>)),
            METH_FASTCALL | METH_KEYWORDS, detail::make_doc(S.name, S.text_signature(false), doc)};
}

template <const Sig& S, auto Body>
PyMethodDef static_method(const char* doc) {
    PyMethodDef d = function_def<S, Body>(doc);
    d.ml_flags |= METH_STATIC;
    return d;
}

template <const Sig& S, auto Body>
PyMethodDef method(const char* doc) {
    using T = detail::FnTraits<decltype(Body)>;
    (void)defaults_of<S, typename detail::TailArgs<typename T::Args>::type>();
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_method<S, Body>)),
            METH_FASTCALL | METH_KEYWORDS, detail::make_doc(S.name, S.text_signature(true), doc)};
}

template <auto Body>
PyMethodDef method0(const char* name, const char* doc) {
    return {name, &noargs_method<Body>, METH_NOARGS, detail::make_doc(name, "($self)", doc)};
}

// Constructor: Body(args...) -> R, bound as "Class.__new__()".
template <const Sig& S, auto Body>
PyObject* tp_new_impl(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Body)>;
        using R = typename T::Ret;
        Bound b;
        clear_bound(b, S);
        bind_tuple(S, args, kwargs, b);
        auto converted = detail::Converter<typename T::Args>::run(b, S, defaults_of<S, typename T::Args>());
        detail::settle_arrays(converted);
        R rec = std::apply([&](auto&... a) -> R { return Body(std::move(a)...); }, converted);
        PyObject* o = subtype->tp_alloc(subtype, 0);
        if (!o) throw_py();
        auto* obj = reinterpret_cast<Obj<R>*>(o);
        obj->borrow = 0;
        new (&obj->rec) R(std::move(rec));
        return o;
    });
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*);

template <Record R>
void dealloc_impl(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    reinterpret_cast<Obj<R>*>(self)->rec.~R();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---------------------------------------------------------------------------
// Properties
// ---------------------------------------------------------------------------

namespace detail {
template <class M>
struct MemberTraits;
template <class R, class T>
struct MemberTraits<T R::*> {
    using Rec = R;
    using Type = T;
};
int refuse_delete();
}  // namespace detail

template <auto MP>
PyObject* member_get(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        using M = detail::MemberTraits<decltype(MP)>;
        auto* obj = as_obj<typename M::Rec>(self);
        ReadBorrow g(obj);
        return to_py(obj->rec.*MP);
    });
}

template <auto MP>
int member_set(PyObject* self, PyObject* value, void*) {
    if (!value) return detail::refuse_delete();
    return guarded_int([&] {
        using M = detail::MemberTraits<decltype(MP)>;
        auto v = From<typename M::Type>::get(value);
        auto* obj = as_obj<typename M::Rec>(self);
        WriteBorrow g(obj);
        obj->rec.*MP = std::move(v);
    });
}

// Getter computed from the record: Fn(const R&) -> T.
template <auto Fn>
PyObject* fn_get(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Fn)>;
        using Rec = std::remove_cvref_t<std::tuple_element_t<0, typename T::Args>>;
        auto* obj = as_obj<Rec>(self);
        ReadBorrow g(obj);
        return to_py(Fn(obj->rec));
    });
}

// Setter through a function: Fn(R&, V).
template <auto Fn>
int fn_set(PyObject* self, PyObject* value, void*) {
    if (!value) return detail::refuse_delete();
    return guarded_int([&] {
        using T = detail::FnTraits<decltype(Fn)>;
        using Rec = std::remove_cvref_t<std::tuple_element_t<0, typename T::Args>>;
        using V = std::decay_t<std::tuple_element_t<1, typename T::Args>>;
        auto v = From<V>::get(value);
        auto* obj = as_obj<Rec>(self);
        WriteBorrow g(obj);
        Fn(obj->rec, std::move(v));
    });
}

template <auto MP>
PyGetSetDef rw(const char* name, const char* doc = nullptr) {
    return {name, &member_get<MP>, &member_set<MP>, doc, nullptr};
}
template <auto MP>
PyGetSetDef ro(const char* name, const char* doc = nullptr) {
    return {name, &member_get<MP>, nullptr, doc, nullptr};
}
template <auto Fn>
PyGetSetDef ro_fn(const char* name, const char* doc = nullptr) {
    return {name, &fn_get<Fn>, nullptr, doc, nullptr};
}
template <auto Get, auto Set>
PyGetSetDef rw_fn(const char* name, const char* doc = nullptr) {
    return {name, &fn_get<Get>, &fn_set<Set>, doc, nullptr};
}

// __repr__: Fn(const R&) -> std::string.
template <auto Fn>
PyObject* repr_impl(PyObject* self) {
    return guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Fn)>;
        using Rec = std::remove_cvref_t<std::tuple_element_t<0, typename T::Args>>;
        auto* obj = as_obj<Rec>(self);
        ReadBorrow g(obj);
        return to_py(Fn(obj->rec));
    });
}

// __len__: Fn(const R&) -> std::size_t, under a shared borrow.
template <auto Fn>
Py_ssize_t len_impl(PyObject* self) {
    Py_ssize_t n = -1;
    guarded([&]() -> PyObject* {
        using T = detail::FnTraits<decltype(Fn)>;
        using Rec = std::remove_cvref_t<std::tuple_element_t<0, typename T::Args>>;
        auto* obj = as_obj<Rec>(self);
        ReadBorrow g(obj);
        const std::size_t len = Fn(obj->rec);
        if (len > static_cast<std::size_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "length too large");
        n = static_cast<Py_ssize_t>(len);
        return Py_None;
    });
    return n;
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

struct ClassSpec {
    const char* name;
    const char* doc;
    // Constructor signature, shown as the class's text signature; null for
    // classes that Python cannot construct.
    const Sig* ctor_sig = nullptr;
    newfunc tp_new = &no_constructor;
    destructor dealloc = nullptr;
    Py_ssize_t basicsize = 0;
    std::vector<PyGetSetDef> getset;
    std::vector<PyMethodDef> methods;
    reprfunc repr = nullptr;
    lenfunc length = nullptr;  // len(); see len_impl
};

// Builds a heap type named "builtins.<name>". The tables are kept for the
// life of the process, as is the type.
PyTypeObject* build_class(ClassSpec spec);

template <Record R>
ClassSpec class_spec(const char* doc) {
    ClassSpec s;
    s.name = PyClass<R>::name;
    s.doc = doc;
    s.dealloc = &dealloc_impl<R>;
    s.basicsize = static_cast<Py_ssize_t>(sizeof(Obj<R>));
    return s;
}

template <const Sig& S, auto Body>
void set_constructor(ClassSpec& s) {
    using T = detail::FnTraits<decltype(Body)>;
    (void)defaults_of<S, typename T::Args>();
    s.ctor_sig = &S;
    s.tp_new = &tp_new_impl<S, Body>;
}

// ---------------------------------------------------------------------------
// Dictionaries
// ---------------------------------------------------------------------------

// Sets `key` of `dict` to a new value; the value is converted with To<T>.
template <class T>
void dict_set(PyObject* dict, const char* key, T&& value) {
    PyRef v = PyRef::check(To<std::decay_t<T>>::make(std::forward<T>(value)));
    if (PyDict_SetItemString(dict, key, v.get()) < 0) throw_py();
}

}  // namespace tidemark::py
