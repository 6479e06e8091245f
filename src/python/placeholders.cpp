// Names whose engines are not built yet. Each is registered with its final
// signature and documentation line so that the module's surface is complete;
// calling one binds its arguments as usual and then raises NotImplementedError.
// Each entry goes away when its engine lands.
#include "python/registry.h"

namespace tidemark::py {

namespace {

template <const Sig& S>
PyObject* placeholder_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Bound b{};
        bind_fast(S, args, nargs, kwnames, b);
        PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", S.name);
        throw PyErrSet{};
    });
}

template <const Sig& S>
PyObject* placeholder_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound b{};
        bind_tuple(S, args, kwargs, b);
        PyErr_Format(PyExc_NotImplementedError, "%s is not built yet", S.owner);
        throw PyErrSet{};
    });
}

template <const Sig& S>
PyMethodDef placeholder_def(const char* doc) {
    return {S.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&placeholder_call<S>)),
            METH_FASTCALL | METH_KEYWORDS, detail::make_doc(S.name, S.text_signature(false), doc)};
}

struct PlaceholderClass {
    const char* name;
    const char* doc;
};

template <const PlaceholderClass& C>
PyTypeObject* placeholder_type() {
    static PyTypeObject* t = [] {
        ClassSpec s;
        s.name = C.name;
        s.doc = C.doc;
        return build_class(std::move(s));
    }();
    return t;
}

template <const PlaceholderClass& C, const Sig& S>
PyTypeObject* placeholder_type_with_ctor() {
    static PyTypeObject* t = [] {
        ClassSpec s;
        s.name = C.name;
        s.doc = C.doc;
        s.ctor_sig = &S;
        s.tp_new = &placeholder_new<S>;
        return build_class(std::move(s));
    }();
    return t;
}

#define TM_FN(NAME, ...)                            \
    constexpr Param p_##NAME[] = {__VA_ARGS__};     \
    const Sig s_##NAME{nullptr, #NAME, p_##NAME};

// --- strategy runners ------------------------------------------------------

// --- market data -----------------------------------------------------------

// --- analytics ---------------------------------------------------------------

#undef TM_FN

// --- classes -------------------------------------------------------------------

#define TM_CTOR(CLASS, ...)                                 \
    constexpr Param pc_##CLASS[] = {__VA_ARGS__};           \
    const Sig sc_##CLASS{#CLASS, "__new__", pc_##CLASS};

#undef TM_CTOR

}  // namespace

void export_placeholders(Exports&) {}

}  // namespace tidemark::py
