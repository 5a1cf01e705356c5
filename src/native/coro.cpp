#include "coro.hpp"

#include <structmember.h>

#include <memory>
#include <new>

namespace orvex::coro {

namespace {

constexpr const char *kBridgeModule = "orvex_cloud._bridge";
// The bridge module's capsule holding its types, and the capsule's name.
constexpr const char *kTypesAttr = "_types";
constexpr const char *kTypesCapsule = "orvex_cloud._bridge._types";

// ---------------------------------------------------------------------------------------------
// NativeCoroutine
// ---------------------------------------------------------------------------------------------

struct CoroutineState {
    Task task;
    nb::object delegate;  // iterator of the awaitable the frame waits on
    nb::object name;
    nb::object qualname;
    bool started = false;
    bool running = false;
    bool finished = false;
};

struct CoroutineObject {
    PyObject_HEAD
    CoroutineState *state;
    PyObject *weakreflist;
};

// Instances are made by make_coroutine / make_function only: one made from Python would have no
// state behind it.
PyObject *refuse_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

enum class Outcome { Yielded, Returned, Raised };

struct Step {
    Outcome kind;
    nb::object value;  // yielded value, return value or exception instance
};

CoroutineState &state_of(PyObject *self) { return *reinterpret_cast<CoroutineObject *>(self)->state; }

// The result of a call into an iterator protocol function that returned `r`.
Step iteration_result(PyObject *r) {
    if (r) return {Outcome::Yielded, nb::steal(r)};
    if (!PyErr_Occurred()) return {Outcome::Returned, nb::none()};
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        nb::object stop = host::fetch_error();
        PyObject *value = PyObject_GetAttrString(stop.ptr(), "value");
        if (!value) return {Outcome::Raised, host::fetch_error()};
        return {Outcome::Returned, nb::steal(value)};
    }
    return {Outcome::Raised, host::fetch_error()};
}

Step send_to(nb::handle iterator, nb::handle value) {
#if PY_VERSION_HEX >= 0x030A0000
    // PyIter_Send returns a generator's or coroutine's result without raising StopIteration.
    PyObject *out = nullptr;
    switch (PyIter_Send(iterator.ptr(), value.ptr(), &out)) {
        case PYGEN_NEXT: return {Outcome::Yielded, nb::steal(out)};
        case PYGEN_RETURN: return {Outcome::Returned, nb::steal(out)};
        default: return {Outcome::Raised, host::fetch_error()};
    }
#else
    iternextfunc next = Py_TYPE(iterator.ptr())->tp_iternext;
    if (value.is_none() && next) return iteration_result(next(iterator.ptr()));
    return iteration_result(PyObject_CallMethod(iterator.ptr(), "send", "O", value.ptr()));
#endif
}

// The iterator behind `await obj`, with the interpreter's error texts.
nb::object awaitable_iterator(nb::handle obj) {
    PyTypeObject *type = Py_TYPE(obj.ptr());
    unaryfunc await_slot = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!await_slot) {
        // Generators decorated with types.coroutine are awaitable as they are.
        if (PyGen_CheckExact(obj.ptr())) {
            nb::object code = obj.attr(ORVEX_STR("gi_code"));
            if (PyCode_Check(code.ptr()) &&
                (reinterpret_cast<PyCodeObject *>(code.ptr())->co_flags & CO_ITERABLE_COROUTINE))
                return nb::borrow(obj);
        }
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression",
                     type->tp_name);
        throw nb::python_error();
    }
    PyObject *it = await_slot(obj.ptr());
    if (!it) throw nb::python_error();
    nb::object iterator = nb::steal(it);
    if (PyCoro_CheckExact(it)) {
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        throw nb::python_error();
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'",
                     Py_TYPE(it)->tp_name);
        throw nb::python_error();
    }
    return iterator;
}

void finish(CoroutineState &s) {
    s.finished = true;
    s.delegate = nb::object();
    s.task.reset();
}

bool is_generator_exit(nb::handle exc) {
    return exc.is_valid() && PyErr_GivenExceptionMatches(exc.ptr(), PyExc_GeneratorExit);
}

// Runs the coroutine until it yields, returns or raises. Exactly one of `sent` / `thrown`
// is meaningful (`thrown` wins when valid).
Step advance(CoroutineState &s, nb::object sent, nb::object thrown) {
    // A chain of coroutines awaiting one another recurses on the C stack, one level per
    // coroutine: counted as the interpreter counts a coroutine frame. Past the limit the
    // coroutine ends with RecursionError without running its handlers, as a Python one does.
    if (Py_EnterRecursiveCall("")) {
        s.started = true;
        finish(s);
        return {Outcome::Raised, host::fetch_error()};
    }
    struct Running {
        CoroutineState &s;
        explicit Running(CoroutineState &s) : s(s) { s.running = true; }
        ~Running() {
            s.running = false;
            Py_LeaveRecursiveCall();
        }
    } running(s);

    for (;;) {
        if (s.delegate.is_valid()) {
            nb::object delegate = s.delegate;
            std::optional<Step> step;
            if (thrown.is_valid()) {
                if (is_generator_exit(thrown)) {
                    // As `yield from`: close the inner iterator, then raise in the frame.
                    s.delegate = nb::object();
                    PyObject *close = PyObject_GetAttrString(delegate.ptr(), "close");
                    if (close) {
                        nb::object close_fn = nb::steal(close);
                        nb::object r = nb::steal(PyObject_CallNoArgs(close_fn.ptr()));
                        if (!r.is_valid()) thrown = host::fetch_error();
                    } else {
                        PyErr_Clear();
                    }
                } else {
                    PyObject *throw_fn = PyObject_GetAttrString(delegate.ptr(), "throw");
                    if (throw_fn) {
                        nb::object fn = nb::steal(throw_fn);
                        step = iteration_result(PyObject_CallOneArg(fn.ptr(), thrown.ptr()));
                    } else {
                        PyErr_Clear();
                        s.delegate = nb::object();
                    }
                }
            } else {
                step = send_to(delegate, sent.is_valid() ? nb::handle(sent) : nb::none());
            }
            if (step) {
                if (step->kind == Outcome::Yielded) return std::move(*step);
                s.delegate = nb::object();
                if (step->kind == Outcome::Returned) {
                    sent = std::move(step->value);
                    thrown = nb::object();
                } else {
                    thrown = std::move(step->value);
                    sent = nb::object();
                }
            }
        }

        Promise &p = s.task.handle().promise();
        p.sent = std::move(sent);
        p.thrown = std::move(thrown);
        sent = thrown = nb::object();
        s.started = true;
        s.task.handle().resume();

        if (s.task.handle().done()) {
            s.finished = true;
            Step done = p.error.is_valid() ? Step{Outcome::Raised, std::move(p.error)}
                                           : Step{Outcome::Returned, p.result.is_valid()
                                                                         ? std::move(p.result)
                                                                         : nb::none()};
            s.task.reset();  // release the frame's references now, not at deallocation
            return done;
        }

        nb::object awaitable = std::move(p.awaiting);
        p.awaiting = nb::object();
        try {
            s.delegate = awaitable_iterator(awaitable);
            sent = nb::none();
        } catch (nb::python_error &e) {
            // Raised at the co_await site, as the interpreter does for a bad await.
            e.restore();
            thrown = host::fetch_error();
        }
    }
}

// Turns a step into the iterator-protocol result: the yielded value, or NULL with
// StopIteration(value) or the raised exception pending.
PyObject *deliver(Step step) {
    switch (step.kind) {
        case Outcome::Yielded:
            return step.value.release().ptr();
        case Outcome::Returned: {
            PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, step.value.ptr());
            if (!stop) return nullptr;
            nb::object exc = nb::steal(stop);
            host::restore_error(exc);
            return nullptr;
        }
        case Outcome::Raised:
            if (PyErr_GivenExceptionMatches(step.value.ptr(), PyExc_StopIteration)) {
                // A StopIteration escaping a coroutine would end the awaiting task silently.
                PyObject *err = PyObject_CallFunction(PyExc_RuntimeError, "s",
                                                      "coroutine raised StopIteration");
                if (!err) return nullptr;
                nb::object exc = nb::steal(err);
                host::restore_error(exc);
                nb::object chained = host::fetch_error();
                PyException_SetCause(chained.ptr(), nb::borrow(step.value).release().ptr());
                PyException_SetContext(chained.ptr(), step.value.release().ptr());
                host::restore_error(chained);
                return nullptr;
            }
            host::restore_error(step.value);
            return nullptr;
    }
    return nullptr;
}

template <typename F>
PyObject *guarded(F &&f) noexcept {
    try {
        return f();
    } catch (...) {
        host::set_error_from_current_exception();
        return nullptr;
    }
}

bool check_not_running(CoroutineState &s) {
    if (s.running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

// The checks send, __next__ and am_send share; false with the error set.
bool may_send(CoroutineState &s, PyObject *value) {
    if (!check_not_running(s)) return false;
    if (s.finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return false;
    }
    if (!s.started && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        return false;
    }
    return true;
}

PyObject *coro_send_impl(PyObject *self, PyObject *value) {
    return guarded([&]() -> PyObject * {
        CoroutineState &s = state_of(self);
        if (!may_send(s, value)) return nullptr;
        return deliver(advance(s, nb::borrow(value), nb::object()));
    });
}

PyObject *coro_send(PyObject *self, PyObject *value) { return coro_send_impl(self, value); }

PyObject *coro_iternext(PyObject *self) { return coro_send_impl(self, Py_None); }

#if PY_VERSION_HEX >= 0x030A0000
// am_send: lets an awaiting task or coroutine take our result without a StopIteration object.
PySendResult coro_am_send(PyObject *self, PyObject *value, PyObject **out) {
    *out = nullptr;
    try {
        CoroutineState &s = state_of(self);
        if (!may_send(s, value)) return PYGEN_ERROR;
        Step step = advance(s, nb::borrow(value), nb::object());
        if (step.kind == Outcome::Yielded) {
            *out = step.value.release().ptr();
            return PYGEN_NEXT;
        }
        if (step.kind == Outcome::Returned) {
            *out = step.value.release().ptr();
            return PYGEN_RETURN;
        }
        deliver(std::move(step));  // sets the error, with the StopIteration rule
        return PYGEN_ERROR;
    } catch (...) {
        host::set_error_from_current_exception();
        return PYGEN_ERROR;
    }
}
#endif

// The exception instance for throw(type[, value[, traceback]]), as generators accept it.
nb::object exception_for_throw(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        throw nb::python_error();
    }
    nb::handle typ = args[0];
    nb::handle val = nargs > 1 ? nb::handle(args[1]) : nb::none();
    nb::handle tb = nargs > 2 ? nb::handle(args[2]) : nb::none();
    if (!tb.is_none() && !PyTraceBack_Check(tb.ptr())) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        throw nb::python_error();
    }
    nb::object exc;
    if (PyExceptionInstance_Check(typ.ptr())) {
        if (!val.is_none()) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            throw nb::python_error();
        }
        exc = nb::borrow(typ);
    } else if (PyExceptionClass_Check(typ.ptr())) {
        // Normalised as the interpreter does: a value whose class is a subclass is used as it is.
        int is_subclass = 0;
        if (PyExceptionInstance_Check(val.ptr())) {
            is_subclass = PyObject_IsSubclass((PyObject *) Py_TYPE(val.ptr()), typ.ptr());
            if (is_subclass < 0) throw nb::python_error();
        }
        if (is_subclass) {
            exc = nb::borrow(val);
        } else {
            PyObject *made = val.is_none() ? PyObject_CallNoArgs(typ.ptr())
                             : PyTuple_Check(val.ptr()) ? PyObject_Call(typ.ptr(), val.ptr(), nullptr)
                                                        : PyObject_CallOneArg(typ.ptr(), val.ptr());
            if (!made) throw nb::python_error();
            exc = nb::steal(made);
            if (!PyExceptionInstance_Check(made)) {
                PyErr_Format(PyExc_TypeError,
                             "calling %R should have returned an instance of BaseException, not %s",
                             typ.ptr(), Py_TYPE(made)->tp_name);
                throw nb::python_error();
            }
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ.ptr())->tp_name);
        throw nb::python_error();
    }
    if (!tb.is_none()) PyException_SetTraceback(exc.ptr(), tb.ptr());
    return exc;
}

PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    return guarded([&]() -> PyObject * {
        CoroutineState &s = state_of(self);
        nb::object exc = exception_for_throw(args, nargs);
        if (!check_not_running(s)) return nullptr;
        if (s.finished || !s.started) {
            // Nothing ran (or nothing is left to run): the exception comes straight back.
            finish(s);
            host::restore_error(exc);
            return nullptr;
        }
        return deliver(advance(s, nb::object(), exc));
    });
}

PyObject *coro_close(PyObject *self, PyObject *) {
    return guarded([&]() -> PyObject * {
        CoroutineState &s = state_of(self);
        if (!check_not_running(s)) return nullptr;
        if (s.finished || !s.started) {
            finish(s);
            return nb::none().release().ptr();
        }
        nb::object exit = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
        if (!exit.is_valid()) return nullptr;
        Step step = advance(s, nb::object(), exit);
        if (step.kind == Outcome::Yielded) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
            return nullptr;
        }
        if (step.kind == Outcome::Raised &&
            !PyErr_GivenExceptionMatches(step.value.ptr(), PyExc_GeneratorExit) &&
            !PyErr_GivenExceptionMatches(step.value.ptr(), PyExc_StopIteration)) {
            host::restore_error(step.value);
            return nullptr;
        }
        return nb::none().release().ptr();
    });
}

PyObject *coro_await(PyObject *self) { return nb::borrow(self).release().ptr(); }

void coro_finalize(PyObject *self) {
    CoroutineState *s = reinterpret_cast<CoroutineObject *>(self)->state;
    if (!s || s->finished) return;
    nb::object saved = host::fetch_error();
    if (!s->started) {
        // Same warning as for an `async def` coroutine that nobody awaited.
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%U' was never awaited",
                             s->qualname.ptr()) < 0)
            PyErr_WriteUnraisable(self);
        finish(*s);
    } else {
        nb::object r = nb::steal(coro_close(self, nullptr));
        if (!r.is_valid()) PyErr_WriteUnraisable(self);
    }
    if (saved.is_valid()) host::restore_error(saved);
}

int coro_traverse(PyObject *self, visitproc visit, void *arg) {
    CoroutineState *s = reinterpret_cast<CoroutineObject *>(self)->state;
    Py_VISIT(Py_TYPE(self));
    if (s) {
        Py_VISIT(s->delegate.ptr());
        Py_VISIT(s->name.ptr());
        Py_VISIT(s->qualname.ptr());
    }
    return 0;
}

int coro_clear(PyObject *self) {
    CoroutineState *s = reinterpret_cast<CoroutineObject *>(self)->state;
    if (s) s->delegate = nb::object();
    return 0;
}

void coro_dealloc(PyObject *self) {
    auto *obj = reinterpret_cast<CoroutineObject *>(self);
    // As the interpreter's coroutines: weak references die before the cleanup runs, and the
    // object is tracked while it runs, so a cleanup that resurrects it leaves a valid object.
    PyObject_GC_UnTrack(self);
    if (obj->weakreflist) PyObject_ClearWeakRefs(self);
    PyObject_GC_Track(self);
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    delete std::exchange(obj->state, nullptr);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *coro_repr(PyObject *self) {
    CoroutineState &s = state_of(self);
    return PyUnicode_FromFormat("<coroutine object %U at %p>", s.qualname.ptr(), self);
}

PyObject *get_name(PyObject *self, void *) { return nb::borrow(state_of(self).name).release().ptr(); }
PyObject *get_qualname(PyObject *self, void *) {
    return nb::borrow(state_of(self).qualname).release().ptr();
}
int set_text(PyObject *value, nb::object &slot, const char *what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    slot = nb::borrow(value);
    return 0;
}
int set_name(PyObject *self, PyObject *value, void *) {
    return set_text(value, state_of(self).name, "__name__");
}
int set_qualname(PyObject *self, PyObject *value, void *) {
    return set_text(value, state_of(self).qualname, "__qualname__");
}
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(state_of(self).running); }
PyObject *get_await(PyObject *self, void *) {
    CoroutineState &s = state_of(self);
    return (s.delegate.is_valid() ? nb::borrow(s.delegate) : nb::none()).release().ptr();
}
PyObject *get_none(PyObject *, void *) { return nb::none().release().ptr(); }
PyObject *get_suspended(PyObject *self, void *) {
    CoroutineState &s = state_of(self);
    return PyBool_FromLong(s.started && !s.finished && !s.running);
}

PyMethodDef coro_methods[] = {
    {"send", (PyCFunction) coro_send, METH_O, "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", (PyCFunction) (void (*)(void)) coro_throw, METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or raise StopIteration."},
    {"close", (PyCFunction) coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr}};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroutineObject, weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot coro_slots[] = {
    {Py_tp_new, (void *) refuse_new},
    {Py_tp_dealloc, (void *) coro_dealloc},
    {Py_tp_finalize, (void *) coro_finalize},
    {Py_tp_traverse, (void *) coro_traverse},
    {Py_tp_clear, (void *) coro_clear},
    {Py_tp_repr, (void *) coro_repr},
    {Py_tp_iter, (void *) PyObject_SelfIter},
    {Py_tp_iternext, (void *) coro_iternext},
    {Py_am_await, (void *) coro_await},
#if PY_VERSION_HEX >= 0x030A0000
    {Py_am_send, (void *) coro_am_send},
#endif
    {Py_tp_methods, (void *) coro_methods},
    {Py_tp_getset, (void *) coro_getset},
    {Py_tp_members, (void *) coro_members},
    {Py_tp_doc, (void *) "A coroutine whose body is native code."},
    {0, nullptr}};

PyType_Spec coro_spec = {
    "orvex_cloud._bridge.NativeCoroutine", sizeof(CoroutineObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_FINALIZE, coro_slots};

// ---------------------------------------------------------------------------------------------
// NativeFunction
// ---------------------------------------------------------------------------------------------

struct FunctionState {
    nb::object impl;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionState *state;
    PyObject *dict;
    PyObject *weakreflist;
};

PyObject *func_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *obj = reinterpret_cast<FunctionObject *>(self);
    if (!obj->state || !obj->state->impl.is_valid()) {
        // Cleared by the garbage collector while some finalizer could still reach it.
        PyErr_Format(PyExc_TypeError, "native function %R has been cleared", self);
        return nullptr;
    }
    return PyObject_Vectorcall(obj->state->impl.ptr(), args, nargsf, kwnames);
}

PyObject *func_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return nb::borrow(self).release().ptr();
    return PyMethod_New(self, obj);
}

PyObject *func_repr(PyObject *self) {
    return guarded([&]() -> PyObject * {
        nb::object qualname = host::getattr_or(self, ORVEX_STR("__qualname__"), nb::str("?"));
        nb::object text = nb::str("<function {} at {}>")
                              .format(qualname, nb::str("0x{:x}").format(nb::int_((uintptr_t) self)));
        return text.release().ptr();
    });
}

int func_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *obj = reinterpret_cast<FunctionObject *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(obj->dict);
    if (obj->state) Py_VISIT(obj->state->impl.ptr());
    return 0;
}

int func_clear(PyObject *self) {
    auto *obj = reinterpret_cast<FunctionObject *>(self);
    Py_CLEAR(obj->dict);
    if (obj->state) obj->state->impl = nb::object();
    return 0;
}

void func_dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    auto *obj = reinterpret_cast<FunctionObject *>(self);
    if (obj->weakreflist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(obj->dict);
    delete std::exchange(obj->state, nullptr);
    PyTypeObject *type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyGetSetDef func_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMemberDef func_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakreflist), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyType_Slot func_slots[] = {
    {Py_tp_new, (void *) refuse_new},
    {Py_tp_dealloc, (void *) func_dealloc},
    {Py_tp_traverse, (void *) func_traverse},
    {Py_tp_clear, (void *) func_clear},
    {Py_tp_call, (void *) PyVectorcall_Call},
    {Py_tp_descr_get, (void *) func_descr_get},
    {Py_tp_repr, (void *) func_repr},
    {Py_tp_getset, (void *) func_getset},
    {Py_tp_members, (void *) func_members},
    {Py_tp_doc, (void *) "A function whose body is native code."},
    {0, nullptr}};

PyType_Spec func_spec = {"orvex_cloud._bridge.NativeFunction", sizeof(FunctionObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL,
                         func_slots};

// The types every module allocates its instances from. They are found through a capsule, not
// the module's attributes: those can be rebound from Python, and instances are laid out for
// these types alone.
struct BridgeTypes {
    nb::object coroutine;
    nb::object function;
};

// Looked up once; the capsule is kept, so the types live as long as the interpreter.
const BridgeTypes &bridge_types() {
    static const BridgeTypes *types = [] {
        nb::object capsule = host::import_module(kBridgeModule).attr(kTypesAttr);
        void *pointer = PyCapsule_GetPointer(capsule.ptr(), kTypesCapsule);
        if (!pointer) throw nb::python_error();
        capsule.release();
        return static_cast<const BridgeTypes *>(pointer);
    }();
    return *types;
}

nb::handle coroutine_type() { return bridge_types().coroutine; }
nb::handle function_type() { return bridge_types().function; }

}  // namespace

void register_types(nb::module_ &m) {
    PyObject *coro_type = PyType_FromSpec(&coro_spec);
    if (!coro_type) throw nb::python_error();
    m.attr(ORVEX_STR("NativeCoroutine")) = nb::steal(coro_type);
    PyObject *func_type = PyType_FromSpec(&func_spec);
    if (!func_type) throw nb::python_error();
    m.attr(ORVEX_STR("NativeFunction")) = nb::steal(func_type);
    auto types = std::make_unique<BridgeTypes>(BridgeTypes{nb::borrow(coro_type), nb::borrow(func_type)});
    PyObject *capsule = PyCapsule_New(types.get(), kTypesCapsule, [](PyObject *capsule) {
        delete static_cast<BridgeTypes *>(PyCapsule_GetPointer(capsule, kTypesCapsule));
    });
    if (!capsule) throw nb::python_error();
    types.release();
    m.attr(kTypesAttr) = nb::steal(capsule);
    // Registered as well as structurally matched, so isinstance stays cheap and explicit.
    nb::object coroutine_type = m.attr("NativeCoroutine");
    host::import_module("collections.abc").attr("Coroutine").attr("register")(coroutine_type);
}

nb::object make_coroutine(Task task, const char *name, const char *qualname) {
    auto *tp = reinterpret_cast<PyTypeObject *>(coroutine_type().ptr());
    auto *obj = reinterpret_cast<CoroutineObject *>(tp->tp_alloc(tp, 0));
    if (!obj) throw nb::python_error();
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(obj));
    obj->weakreflist = nullptr;
    obj->state = new CoroutineState{std::move(task), nb::object(), nb::str(name), nb::str(qualname)};
    return result;
}

nb::object make_function(nb::handle impl, const char *name, const char *qualname,
                         const char *module, const char *doc, const char *text_signature) {
    auto *tp = reinterpret_cast<PyTypeObject *>(function_type().ptr());
    auto *obj = reinterpret_cast<FunctionObject *>(tp->tp_alloc(tp, 0));
    if (!obj) throw nb::python_error();
    nb::object result = nb::steal(reinterpret_cast<PyObject *>(obj));
    obj->dict = nullptr;
    obj->weakreflist = nullptr;
    obj->state = new FunctionState{nb::borrow(impl)};
    obj->vectorcall = func_vectorcall;
    result.attr(ORVEX_STR("__name__")) = nb::str(name);
    result.attr(ORVEX_STR("__qualname__")) = nb::str(qualname);
    result.attr(ORVEX_STR("__module__")) = nb::str(module);
    result.attr(ORVEX_STR("__doc__")) = doc ? nb::object(nb::str(doc)) : nb::none();
    if (text_signature) result.attr(ORVEX_STR("__text_signature__")) = nb::str(text_signature);
    return result;
}

void mark_coroutine_function(nb::handle fn) {
    nb::object coroutines = host::import_module("asyncio.coroutines");
    nb::object marker = host::getattr_or(coroutines, ORVEX_STR("_is_coroutine"), nb::none());
    if (!marker.is_none()) fn.attr(ORVEX_STR("_is_coroutine")) = marker;
    nb::object inspect = host::import_module("inspect");
    nb::object mark = host::getattr_or(inspect, ORVEX_STR("markcoroutinefunction"), nb::none());
    if (!mark.is_none()) mark(fn);
}

nb::object make_async_function(nb::handle impl, const char *name, const char *qualname,
                               const char *module, const char *doc, const char *text_signature) {
    nb::object fn = make_function(impl, name, qualname, module, doc, text_signature);
    mark_coroutine_function(fn);
    return fn;
}

}  // namespace orvex::coro
