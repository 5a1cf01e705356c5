// Host bridge: how native modules reach the Python host.
//
// Everything a module "imports" is read from the host at call time (module attributes, late
// imports through the import machinery), errors are raised as the host's own exception objects,
// and logging goes through the host's logging package with printf-style arguments.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace orvex::host {

namespace nb = nanobind;

// An interned Python string for a name used on a hot path, created once per process (an
// immutable constant, like the interpreter's own identifiers): attribute and key lookups with
// it skip building a new string each time.
#define ORVEX_STR(text)                                                                   \
    ([]() -> ::nanobind::handle {                                                         \
        static PyObject *interned = ::orvex::host::intern_or_die(text);                   \
        return interned;                                                                  \
    }())

// PyUnicode_InternFromString for ORVEX_STR; only fails when memory is exhausted at start-up.
PyObject *intern_or_die(const char *text) noexcept;

// ---- imports -------------------------------------------------------------------------------

// `import name` through the host's import machinery (sys.modules decides).
nb::object import_module(const char *name);

// `from module import name`, with the host's ImportError when the name is missing.
nb::object import_from(const char *module, const char *name);

// ---- errors ----------------------------------------------------------------------------------

// Takes the pending Python error as one normalised exception instance with its traceback
// attached. Returns an empty object when no error is pending.
nb::object fetch_error() noexcept;

// Makes `exc` (an exception instance) the pending Python error, traceback included.
void restore_error(nb::handle exc) noexcept;

// Converts the C++ exception being handled into the pending Python error. Call only inside a
// catch block; a C++ exception must never reach the host.
void set_error_from_current_exception() noexcept;

// `raise exc`: raises the exception instance `exc` (built by calling a host exception class).
// As with the interpreter's `raise`, an exception class is called without arguments and
// anything else gives TypeError, so a rebound error class cannot smuggle in a non-exception.
[[noreturn]] void raise(nb::handle exc);

// `raise exc from cause`: __cause__ and __context__ are `cause`, __suppress_context__ is true.
[[noreturn]] void raise_from(nb::handle exc, nb::handle cause);

// exc.__cause__ = cause, with __suppress_context__ set, as `raise exc from cause` does. Does
// nothing unless both are exception instances (raising a non-exception fails in `raise`).
void set_cause(nb::handle exc, nb::handle cause) noexcept;

// `exc` as raised inside an `except` block handling `context` (or a `finally` block while
// `context` propagates): sets __context__ unless the exception already has one. Does nothing
// unless both are exception instances.
void set_context(nb::handle exc, nb::handle context) noexcept;

// Builds `exc_type(message)` and raises it.
[[noreturn]] void raise_new(nb::handle exc_type, const std::string &message);

// The exception instance carried by a caught python_error, normalised (before 3.12 a
// python_error may hold the raw constructor argument, such as the message text, as its value).
nb::object error_value(const nb::python_error &e);

// True when the pending-style error `e` is an instance of `type` (class or tuple of classes).
inline bool error_matches(const nb::python_error &e, nb::handle type) { return e.matches(type); }

// ---- calls and values ------------------------------------------------------------------------

// getattr(obj, name, default)
nb::object getattr_or(nb::handle obj, nb::handle name, nb::handle fallback);
nb::object getattr_or(nb::handle obj, const char *name, nb::handle fallback);

// `str(obj)` as a host object.
nb::object str(nb::handle obj);

// Python truth value, raising what __bool__ raises.
bool truthy(nb::handle obj);

// isinstance(obj, cls) with the host's rules (subclasses, __instancecheck__).
bool isinstance(nb::handle obj, nb::handle cls);

// Python arithmetic and comparison on host objects.
nb::object add(nb::handle a, nb::handle b);
nb::object sub(nb::handle a, nb::handle b);
bool less(nb::handle a, nb::handle b);
bool less_equal(nb::handle a, nb::handle b);
bool equal(nb::handle a, nb::handle b);
// `a != b` exactly as the operator (no identity shortcut).
bool not_equal(nb::handle a, nb::handle b);

// Calling Python through nanobind: never pass an accessor (`x.attr(...)`, `x[...]`) straight as
// an argument of `callable(...)`. nanobind resolves it while packing the arguments, where an
// error cannot propagate and ends the process; bind it to an nb::object first.

// Calls `fn(*args, **kwargs)` where kwargs is a dict (may be empty/none).
nb::object call(nb::handle fn, nb::handle args_tuple, nb::handle kwargs_dict);

// `a, b, ... = obj` for n targets, with the interpreter's errors for a wrong count.
std::vector<nb::object> unpack(nb::handle obj, size_t n);

// The host's builtins used as functions: bytes(x), dict(x), int(x), bytes.fromhex(text).
nb::object to_bytes(nb::handle obj);
nb::object to_dict(nb::handle obj);
nb::object to_int(nb::handle obj);
nb::object bytes_fromhex(nb::handle text);

// isinstance(obj, (bytes, bytearray)), subclasses included.
inline bool is_bytes_like(nb::handle obj) {
    return PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr());
}

// dict(**{k: v ...}) built from pairs; keys are str objects (usually ORVEX_STR("name")).
nb::dict kwargs(std::initializer_list<std::pair<nb::handle, nb::handle>> items);
nb::dict kwargs(std::initializer_list<std::pair<const char *, nb::handle>> items);

// ---- logging ---------------------------------------------------------------------------------

// logger.<level>(message, *args, extra=extra): the host formats the message, never us.
void log(nb::handle logger, const char *level, const char *message,
         std::initializer_list<nb::handle> args = {}, nb::handle extra = nb::handle());

// ---- module attributes -----------------------------------------------------------------------

// A module whose attributes are read at every use, so monkeypatching works as with Python code.
class Module {
public:
    explicit Module(nb::handle module) : module_(nb::borrow(module)) {}
    nb::object attr(const char *name) const { return module_.attr(name); }
    nb::object attr(nb::handle name) const { return module_.attr(name); }
    nb::handle ptr() const { return module_; }

private:
    nb::object module_;
};

}  // namespace orvex::host
