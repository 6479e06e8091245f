#include "python/binding.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <new>

#include <unistd.h>
#if defined(__linux__)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#endif

namespace tidemark::py {

// ---------------------------------------------------------------------------
// Failures
// ---------------------------------------------------------------------------

void raise(PyObject* type, const char* msg) {
    PyErr_SetString(type, msg);
    throw PyErrSet{};
}

void raise(PyObject* type, const std::string& msg) { raise(type, msg.c_str()); }

const char* type_name(PyObject* obj) {
    const char* n = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(n, '.');
    return dot ? dot + 1 : n;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", type_name(obj), target);
    throw PyErrSet{};
}

PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (!type) {
        type = PyErr_NewExceptionWithDoc(
            "_tidemark.PanicException",
            "Raised when native code of the extension fails an internal check.\n\n"
            "Like SystemExit, it derives from BaseException, so it usually propagates\n"
            "to the top and ends the program instead of being swallowed by a broad\n"
            "`except Exception` handler.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

void set_panic(const char* msg) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // the failure to create it is the pending error
    PyErr_SetString(type, msg);
}

void set_error_from_exception() noexcept {
    try {
        throw;
    } catch (const PyErrSet&) {
    } catch (const RuleError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        set_panic(e.what());
    } catch (...) {
        set_panic("unknown internal error");
    }
}

// ---------------------------------------------------------------------------
// Signatures
// ---------------------------------------------------------------------------

std::string Sig::full_name() const {
    std::string s;
    if (owner) {
        s += owner;
        s += '.';
    }
    s += name;
    s += "()";
    return s;
}

std::string Sig::text_signature(bool with_self) const {
    std::string s = "(";
    bool first = true;
    if (with_self) {
        s += "$self";
        first = false;
    }
    for (const Param& p : params) {
        if (!first) s += ", ";
        first = false;
        s += p.name;
        if (p.def) {
            s += '=';
            s += p.def;
        }
    }
    s += ')';
    return s;
}

namespace {

PyObject** interned_names(const Sig& sig) {
    if (!sig.interned) {
        auto** names = new PyObject*[sig.params.size() + 1];
        for (std::size_t i = 0; i < sig.params.size(); ++i) {
            names[i] = PyUnicode_InternFromString(sig.params[i].name);
            if (!names[i]) {
                for (std::size_t j = 0; j < i; ++j) Py_DECREF(names[j]);
                delete[] names;
                throw_py();
            }
        }
        sig.interned = names;
    }
    return sig.interned;
}

std::size_t required_count(const Sig& sig) {
    std::size_t n = 0;
    for (const Param& p : sig.params) n += p.required() ? 1 : 0;
    return n;
}

[[noreturn]] void too_many_positional(const Sig& sig, Py_ssize_t given) {
    std::size_t total = sig.params.size();
    std::size_t req = required_count(sig);
    const char* verb = given == 1 ? "was" : "were";
    std::string name = sig.full_name();
    if (req == total) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", name.c_str(), total,
                     given, verb);
    } else {
        PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                     name.c_str(), req, total, given, verb);
    }
    throw PyErrSet{};
}

// Index of the parameter named `key`, or -1.
Py_ssize_t find_param(const Sig& sig, PyObject* key) {
    PyObject** names = interned_names(sig);
    const std::size_t n = sig.params.size();
    for (std::size_t i = 0; i < n; ++i)
        if (names[i] == key) return static_cast<Py_ssize_t>(i);
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(names[i], key);
        if (eq == -1 && PyErr_Occurred()) throw_py();
        if (eq == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

void bind_keyword(const Sig& sig, PyObject* key, PyObject* value, Bound& out) {
    Py_ssize_t i = find_param(sig, key);
    // The name goes into the message as the str it is (%U), never through
    // UTF-8: a name without a UTF-8 form, such as a lone surrogate, must still
    // give the binder's TypeError rather than an encoding error. Python code
    // passes only str names; C callers might not, and get the name's repr.
    if (i < 0) {
        std::string name = sig.full_name();
        PyErr_Format(PyExc_TypeError,
                     PyUnicode_Check(key) ? "%s got an unexpected keyword argument '%U'"
                                          : "%s got an unexpected keyword argument '%R'",
                     name.c_str(), key);
        throw PyErrSet{};
    }
    if (out[static_cast<std::size_t>(i)]) {
        // Only a str equal to a parameter name finds one.
        std::string name = sig.full_name();
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", name.c_str(), key);
        throw PyErrSet{};
    }
    out[static_cast<std::size_t>(i)] = value;
}

void check_missing(const Sig& sig, const Bound& out) {
    std::size_t missing = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i)
        if (sig.params[i].required() && !out[i]) ++missing;
    if (missing == 0) return;
    std::string msg = sig.full_name() + " missing " + std::to_string(missing) + " required positional " +
                      (missing == 1 ? "argument" : "arguments") + ": ";
    std::size_t k = 0;
    for (std::size_t i = 0; i < sig.params.size(); ++i) {
        if (!sig.params[i].required() || out[i]) continue;
        if (k > 0) {
            if (missing > 2) msg += ',';
            msg += ' ';
            if (k == missing - 1) msg += "and ";
        }
        msg += '\'';
        msg += sig.params[i].name;
        msg += '\'';
        ++k;
    }
    raise(PyExc_TypeError, msg);
}

}  // namespace

void bind_fast(const Sig& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (static_cast<std::size_t>(nargs) > sig.params.size()) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
    if (kwnames) {
        Py_ssize_t nk = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nk; ++j) bind_keyword(sig, PyTuple_GET_ITEM(kwnames, j), args[nargs + j], out);
    }
    check_missing(sig, out);
}

void bind_tuple(const Sig& sig, PyObject* args, PyObject* kwargs, Bound& out) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (static_cast<std::size_t>(nargs) > sig.params.size()) too_many_positional(sig, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) bind_keyword(sig, key, value, out);
    }
    check_missing(sig, out);
}

void prefix_argument_error(const char* name) {
    // Only an exact TypeError gets the prefix; subclasses and other errors
    // pass unchanged.
    if (PyErr_Occurred() != PyExc_TypeError) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* msg = value ? PyObject_Str(value) : nullptr;
    if (!msg) {
        // Keep whatever failed while formatting; the original is lost anyway.
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, name);
        return;
    }
    PyObject* text = PyUnicode_FromFormat("argument '%s': %U", name, msg);
    Py_DECREF(msg);
    PyObject* replacement = text ? PyObject_CallOneArg(PyExc_TypeError, text) : nullptr;
    Py_XDECREF(text);
    if (replacement) {
        PyObject* cause = PyException_GetCause(value);  // new reference or null
        if (cause) PyException_SetCause(replacement, cause);  // steals
        PyErr_SetObject(PyExc_TypeError, replacement);
        Py_DECREF(replacement);
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
}

// ---------------------------------------------------------------------------
// Integer and sequence conversion
// ---------------------------------------------------------------------------

namespace detail {

long long index_to_i64(PyObject* o) {
    long long v;
    if (PyLong_CheckExact(o)) {
        v = PyLong_AsLongLong(o);
    } else {
        PyRef idx = PyRef::check(PyNumber_Index(o));
        v = PyLong_AsLongLong(idx.get());
    }
    if (v == -1 && PyErr_Occurred()) throw_py();
    return v;
}

unsigned long long index_to_u64(PyObject* o) {
    unsigned long long v;
    if (PyLong_CheckExact(o)) {
        v = PyLong_AsUnsignedLongLong(o);
    } else {
        PyRef idx = PyRef::check(PyNumber_Index(o));
        v = PyLong_AsUnsignedLongLong(idx.get());
    }
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_py();
    return v;
}

long long index_to_narrow(PyObject* o, long long lo, long long hi) {
    PyRef holder;
    if (!PyLong_CheckExact(o)) {
        holder = PyRef::check(PyNumber_Index(o));
        o = holder.get();
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_py();
    if (overflow != 0 || v < lo || v > hi) raise(PyExc_OverflowError, "out of range integral type conversion attempted");
    return v;
}

bool Blank::map(std::size_t bytes) {
    unmap();
#if defined(__linux__)
    // Read-only private pages of nothing: each read maps the shared zero
    // page, and none is charged to the process until then.
    void* p = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    p_ = p;
    bytes_ = bytes;
    return true;
#else
    (void)bytes;
    return false;
#endif
}

#if defined(__linux__)
namespace {

// The page-table scan of /proc/PID/pagemap (Linux 6.7 on), declared here for
// system headers older than it.
struct PageRegion {
    uint64_t start, end, categories;
};
struct PageScanArg {
    uint64_t size, flags, start, end, walk_end, vec, vec_len, max_pages;
    uint64_t category_inverted, category_mask, category_anyof_mask, return_mask;
};
constexpr uint64_t kPageIsPresent = 1 << 3;
constexpr uint64_t kPageIsSwapped = 1 << 4;
constexpr unsigned long kPagemapScan = _IOWR('f', 16, PageScanArg);

// Whether a page of [base, base + bytes) is mapped: 1 or 0, or -1 when the
// kernel cannot answer this way. The scan walks the page tables and passes
// over a missing table whole, so an untouched block of terabytes costs a few
// steps, where mincore answers a byte per page.
int scan_mapped(const void* base, std::size_t bytes) {
    // Opened for each scan: a descriptor kept across a fork would scan the
    // parent's pages.
    const int fd = open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    PageRegion found{};
    PageScanArg arg{};
    arg.size = sizeof(arg);
    arg.start = reinterpret_cast<uintptr_t>(base);
    arg.end = arg.start + bytes;
    arg.vec = reinterpret_cast<uintptr_t>(&found);
    arg.vec_len = 1;
    arg.max_pages = 1;  // the first mapped page settles it
    arg.category_anyof_mask = kPageIsPresent | kPageIsSwapped;
    arg.return_mask = kPageIsPresent | kPageIsSwapped;
    const int got = ioctl(fd, kPagemapScan, &arg);
    close(fd);
    if (got < 0) return -1;  // an older kernel, or one that says no
    if (got > 0) return 1;
    return arg.walk_end >= arg.end ? 0 : -1;  // a walk cut short settles nothing
}

// The same from mincore, a stretch at a time, eight pages to a word.
bool mincore_mapped(const void* base, std::size_t bytes) {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    constexpr std::size_t kWords = 1 << 10;
    uint64_t seen[kWords];
    auto* first_page = static_cast<unsigned char*>(const_cast<void*>(base));
    const std::size_t pages = (bytes + page - 1) / page;
    for (std::size_t first = 0; first < pages; first += kWords * 8) {
        const std::size_t count = std::min(pages - first, kWords * 8);
        std::memset(seen, 0, sizeof(seen));
        // A failure would leave the answer unknown: count the block as read.
        if (mincore(first_page + first * page, count * page, reinterpret_cast<unsigned char*>(seen)) != 0)
            return true;
        for (std::size_t w = 0; w < (count + 7) / 8; ++w)
            if (seen[w] & 0x0101010101010101ULL) return true;
    }
    return false;
}

}  // namespace
#endif

bool Blank::touched() const {
#if defined(__linux__)
    // A page that was read is mapped (to the zero page); one never read is
    // not.
    const int scanned = scan_mapped(p_, bytes_);
    return scanned >= 0 ? scanned == 1 : mincore_mapped(p_, bytes_);
#else
    return false;
#endif
}

void Blank::unmap() {
#if defined(__linux__)
    if (p_) munmap(p_, bytes_);
#endif
    p_ = nullptr;
    bytes_ = 0;
}

void require_memory(double bytes) {
    static const double memory = [] {
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) : 0x1p40;
    }();
    if (bytes > memory) throw std::bad_alloc();
}

void reserve_items(std::size_t item_size, Py_ssize_t n, const std::function<void(std::size_t)>& reserve) {
    require_memory(static_cast<double>(n) * static_cast<double>(item_size));
    constexpr Py_ssize_t kUpFront = 1 << 16;
    reserve(static_cast<std::size_t>(std::min(n, kUpFront)));
}

Py_ssize_t sequence_length(PyObject* o) {
    if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(o)) raise_cannot_convert(o, "Sequence");
    // CPython cannot take an item of a memoryview of more than one dimension
    // (NotImplementedError): it is no sequence of anything here.
    if (PyMemoryView_Check(o) && PyMemoryView_GET_BUFFER(o)->ndim > 1) raise_cannot_convert(o, "Sequence");
    Py_ssize_t n = PySequence_Size(o);
    if (n < 0) throw_py();
    return n;
}

PyRef sequence_item(PyObject* o, Py_ssize_t i) { return PyRef::check(PySequence_GetItem(o, i)); }

void LengthGate::before_caller_code() {
    if (owed_.empty()) return;
    // More arrays can only add reasons to refuse: once refused, always.
    if (!refused_) refused_ = refused_by_(lengths_);
    if (!refused_)
        for (const std::function<void()>& copy : owed_) copy();
    owed_.clear();
}

void check_tuple(PyObject* o, std::size_t n) {
    if (!PyTuple_Check(o)) raise_cannot_convert(o, "PyTuple");
    auto got = static_cast<std::size_t>(PyTuple_GET_SIZE(o));
    if (got != n)
        raise(PyExc_ValueError,
              "expected tuple of length " + std::to_string(n) + ", but got tuple of length " + std::to_string(got));
}

// ---------------------------------------------------------------------------
// Defaults read from signature text
// ---------------------------------------------------------------------------

namespace {
[[noreturn]] void bad_default(const char* text) {
    throw Fault(std::string("unreadable parameter default: ") + (text ? text : "(null)"));
}
}  // namespace

double parse_default_double(const char* text) {
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0') bad_default(text);
    return v;
}

long long parse_default_int(const char* text) {
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE) bad_default(text);
    return v;
}

unsigned long long parse_default_uint(const char* text) {
    char* end = nullptr;
    errno = 0;
    if (text[0] == '-') bad_default(text);
    unsigned long long v = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE) bad_default(text);
    return v;
}

bool parse_default_bool(const char* text) {
    if (std::strcmp(text, "True") == 0) return true;
    if (std::strcmp(text, "False") == 0) return false;
    bad_default(text);
}

std::string parse_default_str(const char* text) {
    std::size_t n = std::strlen(text);
    if (n < 2 || (text[0] != '"' && text[0] != '\'') || text[n - 1] != text[0]) bad_default(text);
    return std::string(text + 1, n - 2);
}

void require_none_default(const char* text) {
    if (std::strcmp(text, "None") != 0) bad_default(text);
}

const char* make_doc(const char* name, const std::string& text_signature, const char* doc) {
    // Docstrings live as long as the functions and types that point at them.
    static std::deque<std::string> docs;
    std::string d = name;
    d += text_signature;
    d += "\n--\n\n";
    if (doc) d += doc;
    docs.push_back(std::move(d));
    return docs.back().c_str();
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

}  // namespace detail

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

PyTypeObject* build_class(ClassSpec spec) {
    // Every table handed to CPython must outlive the type, which lives for the
    // process: keep them here and never free them.
    struct Kept {
        std::string qualified;
        std::string doc;
        std::vector<PyGetSetDef> getset;
        std::vector<PyMethodDef> methods;
        std::vector<PyType_Slot> slots;
        PyType_Spec type_spec;
    };
    static std::deque<Kept> kept;
    Kept& k = kept.emplace_back();
    k.qualified = std::string("builtins.") + spec.name;
    if (spec.ctor_sig) {
        k.doc = std::string(spec.name) + spec.ctor_sig->text_signature(false) + "\n--\n\n" + spec.doc;
    } else {
        k.doc = spec.doc;
    }
    k.getset = std::move(spec.getset);
    k.getset.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
    k.methods = std::move(spec.methods);
    k.methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});

    k.slots.push_back({Py_tp_doc, const_cast<char*>(k.doc.c_str())});
    k.slots.push_back({Py_tp_new, reinterpret_cast<void*>(spec.tp_new)});
    if (spec.dealloc) k.slots.push_back({Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)});
    if (k.getset.size() > 1) k.slots.push_back({Py_tp_getset, k.getset.data()});
    if (k.methods.size() > 1) k.slots.push_back({Py_tp_methods, k.methods.data()});
    if (spec.repr) k.slots.push_back({Py_tp_repr, reinterpret_cast<void*>(spec.repr)});
    if (spec.length) k.slots.push_back({Py_mp_length, reinterpret_cast<void*>(spec.length)});
    k.slots.push_back({0, nullptr});

    k.type_spec.name = k.qualified.c_str();
    k.type_spec.basicsize = spec.basicsize ? static_cast<int>(spec.basicsize) : static_cast<int>(sizeof(ObjBase));
    k.type_spec.itemsize = 0;
    k.type_spec.flags = Py_TPFLAGS_DEFAULT;
    k.type_spec.slots = k.slots.data();
    PyObject* type = PyType_FromSpec(&k.type_spec);
    if (!type) throw_py();
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tidemark::py
