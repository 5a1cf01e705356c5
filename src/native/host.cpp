#include "host.hpp"

#include <new>

namespace orvex::host {

// A module already in sys.modules (the common case at call time), else an empty object. Entries
// that are None (import blocked) or still initialising take the full import path, which raises
// or waits exactly as the interpreter does.
static nb::object already_imported(const char *name) {
    nb::str key(name);
    PyObject *mod = PyImport_GetModule(key.ptr());  // new reference, or NULL with/without error
    if (!mod) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::object();
    }
    nb::object m = nb::steal(mod);
    if (m.is_none()) return nb::object();
    nb::object module_spec = getattr_or(m, ORVEX_STR("__spec__"), nb::none());
    if (!module_spec.is_none() && truthy(getattr_or(module_spec, ORVEX_STR("_initializing"), nb::bool_(false))))
        return nb::object();
    return m;
}

nb::object import_module(const char *name) {
    if (nb::object m = already_imported(name); m.is_valid()) return m;
    PyObject *mod = PyImport_ImportModule(name);
    if (!mod) throw nb::python_error();
    return nb::steal(mod);
}

nb::object import_from(const char *module, const char *name) {
    if (nb::object m = already_imported(module); m.is_valid()) {
        PyObject *value = PyObject_GetAttrString(m.ptr(), name);
        if (value) return nb::steal(value);
        // A missing name may be a submodule not imported yet: the full path below decides.
        // Any other error (an interrupt, a failing module __getattr__) is the answer.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    }
    nb::object fromlist = nb::make_tuple(nb::str(name));
    PyObject *mod = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!mod) throw nb::python_error();
    nb::object m = nb::steal(mod);
    PyObject *value = PyObject_GetAttrString(m.ptr(), name);
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    // Same text and attributes as the interpreter's `from x import y` failure.
    nb::object message = nb::str("cannot import name '{}' from '{}'").format(name, module);
    nb::object path = getattr_or(m, "__file__", nb::none());
    PyErr_SetImportError(message.ptr(), nb::str(module).ptr(), path.ptr());
    throw nb::python_error();
}

#if PY_VERSION_HEX >= 0x030C0000
nb::object fetch_error() noexcept {
    PyObject *exc = PyErr_GetRaisedException();
    return nb::steal(exc);
}

void restore_error(nb::handle exc) noexcept { PyErr_SetRaisedException(nb::borrow(exc).release().ptr()); }
#else
nb::object fetch_error() noexcept {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return nb::object();
    PyErr_NormalizeException(&type, &value, &tb);
    nb::object t = nb::steal(type), v = nb::steal(value), trace = nb::steal(tb);
    if (trace.is_valid()) PyException_SetTraceback(v.ptr(), trace.ptr());
    return v;
}

void restore_error(nb::handle exc) noexcept {
    PyObject *tb = PyException_GetTraceback(exc.ptr());  // new reference or NULL
    PyErr_Restore(nb::borrow(exc.type()).release().ptr(), nb::borrow(exc).release().ptr(), tb);
}
#endif

nb::object error_value(const nb::python_error &e) {
    nb::python_error copy(e);
    copy.restore();
    return fetch_error();
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
            case nb::exception_type::import_error: type = PyExc_ImportError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::bad_cast &) {
        PyErr_SetString(PyExc_TypeError, "value has an unexpected type");
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected native error");
    }
}

// The instance `raise exc` raises. The PyException_* accessors and the error indicator take
// exception instances only: anything else would be written to as if it were one.
static nb::object exception_to_raise(nb::handle exc) {
    if (PyExceptionInstance_Check(exc.ptr())) return nb::borrow(exc);
    if (!PyExceptionClass_Check(exc.ptr())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        throw nb::python_error();
    }
    PyObject *made = PyObject_CallNoArgs(exc.ptr());
    if (!made) throw nb::python_error();
    nb::object instance = nb::steal(made);
    if (!PyExceptionInstance_Check(made)) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %R",
                     exc.ptr(), (PyObject *) Py_TYPE(made));
        throw nb::python_error();
    }
    return instance;
}

[[noreturn]] void raise(nb::handle exc) {
    restore_error(exception_to_raise(exc));
    throw nb::python_error();
}

[[noreturn]] void raise_from(nb::handle exc, nb::handle cause) {
    nb::object instance = exception_to_raise(exc);
    set_cause(instance, cause);
    if (cause.is_valid() && PyExceptionInstance_Check(cause.ptr()))
        PyException_SetContext(instance.ptr(), nb::borrow(cause).release().ptr());
    raise(instance);
}

void set_cause(nb::handle exc, nb::handle cause) noexcept {
    if (!cause.is_valid() || !PyExceptionInstance_Check(exc.ptr()) || !PyExceptionInstance_Check(cause.ptr()))
        return;
    // PyException_SetCause steals its argument and sets __suppress_context__.
    PyException_SetCause(exc.ptr(), nb::borrow(cause).release().ptr());
}

void set_context(nb::handle exc, nb::handle context) noexcept {
    if (!context.is_valid() || exc.ptr() == context.ptr()) return;
    if (!PyExceptionInstance_Check(exc.ptr()) || !PyExceptionInstance_Check(context.ptr())) return;
    PyObject *current = PyException_GetContext(exc.ptr());  // new reference or NULL
    nb::object existing = nb::steal(current);
    if (!existing.is_valid()) PyException_SetContext(exc.ptr(), nb::borrow(context).release().ptr());
}

[[noreturn]] void raise_new(nb::handle exc_type, const std::string &message) {
    nb::object exc = exc_type(nb::str(message.data(), message.size()));
    raise(exc);
}

PyObject *intern_or_die(const char *text) noexcept {
    PyObject *s = PyUnicode_InternFromString(text);
    if (!s) Py_FatalError("orvex_cloud: out of memory while interning a name");
    return s;
}

nb::object getattr_or(nb::handle obj, const char *name, nb::handle fallback) {
    return getattr_or(obj, nb::str(name), fallback);
}

nb::object getattr_or(nb::handle obj, nb::handle name, nb::handle fallback) {
    PyObject *value = PyObject_GetAttr(obj.ptr(), name.ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(fallback);
}

nb::object str(nb::handle obj) {
    PyObject *s = PyObject_Str(obj.ptr());
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

bool isinstance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

static nb::object checked(PyObject *o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

static bool compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object add(nb::handle a, nb::handle b) { return checked(PyNumber_Add(a.ptr(), b.ptr())); }
nb::object sub(nb::handle a, nb::handle b) { return checked(PyNumber_Subtract(a.ptr(), b.ptr())); }
bool less(nb::handle a, nb::handle b) { return compare(a, b, Py_LT); }
bool less_equal(nb::handle a, nb::handle b) { return compare(a, b, Py_LE); }
bool equal(nb::handle a, nb::handle b) { return compare(a, b, Py_EQ); }
bool not_equal(nb::handle a, nb::handle b) {
    return truthy(checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_NE)));
}

nb::object call(nb::handle fn, nb::handle args_tuple, nb::handle kwargs_dict) {
    return checked(PyObject_Call(fn.ptr(), args_tuple.ptr(),
                                 kwargs_dict.is_valid() && !kwargs_dict.is_none() ? kwargs_dict.ptr()
                                                                                 : nullptr));
}

std::vector<nb::object> unpack(nb::handle obj, size_t n) {
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(obj.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object iterator = nb::steal(it);
    std::vector<nb::object> items;
    for (;;) {
        PyObject *item = PyIter_Next(iterator.ptr());
        if (!item) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        items.push_back(nb::steal(item));
        if (items.size() > n) {
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw nb::python_error();
        }
    }
    if (items.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                     items.size());
        throw nb::python_error();
    }
    return items;
}

nb::object to_bytes(nb::handle obj) {
    return checked(PyObject_CallOneArg((PyObject *) &PyBytes_Type, obj.ptr()));
}
nb::object to_dict(nb::handle obj) {
    return checked(PyObject_CallOneArg((PyObject *) &PyDict_Type, obj.ptr()));
}
nb::object to_int(nb::handle obj) { return checked(PyNumber_Long(obj.ptr())); }
nb::object bytes_fromhex(nb::handle text) {
    return checked(PyObject_CallMethod((PyObject *) &PyBytes_Type, "fromhex", "O", text.ptr()));
}

nb::dict kwargs(std::initializer_list<std::pair<nb::handle, nb::handle>> items) {
    nb::dict d;
    for (const auto &[key, value] : items)
        if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw nb::python_error();
    return d;
}

nb::dict kwargs(std::initializer_list<std::pair<const char *, nb::handle>> items) {
    nb::dict d;
    for (const auto &[key, value] : items) d[key] = value;
    return d;
}

void log(nb::handle logger, const char *level, const char *message,
         std::initializer_list<nb::handle> args, nb::handle extra) {
    nb::object method = logger.attr(level);
    nb::list positional;
    positional.append(nb::str(message));
    for (nb::handle a : args) positional.append(a);
    nb::dict kw;
    if (extra.is_valid()) kw[ORVEX_STR("extra")] = extra;
    call(method, nb::tuple(positional), kw);
}

}  // namespace orvex::host
