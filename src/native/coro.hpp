// Coroutine bridge: native asynchronous operations as real Python coroutines.
//
// A native operation is a C++20 coroutine returning `Task`. Inside it, `co_await <python
// awaitable>` suspends the C++ frame; the Python-visible coroutine object (`NativeCoroutine`)
// then delegates to the awaitable's iterator exactly like `await` in an `async def`: values it
// yields go to the event loop, its result resumes the frame, and an exception it raises (a
// CancelledError thrown in by the loop included) is rethrown inside the frame as
// `nb::python_error`, so ordinary C++ try/catch runs the same cleanup as Python's `finally`.
//
// The frame converts escaping C++ exceptions into Python exception objects itself, so nothing
// but Python objects crosses between the module that created a coroutine and the bridge module
// that drives it.
//
// C++ forbids `co_await` inside a catch handler: capture the error, leave the handler, then
// await the cleanup and rethrow (see `Task::Failure`).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <coroutine>
#include <optional>
#include <string>
#include <utility>

#include "host.hpp"

namespace orvex::coro {

namespace nb = nanobind;

struct Promise;

class Task {
public:
    using promise_type = Promise;
    using Handle = std::coroutine_handle<Promise>;

    explicit Task(Handle h) noexcept : handle_(h) {}
    Task(Task &&other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task &operator=(Task &&other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    Task(const Task &) = delete;
    Task &operator=(const Task &) = delete;
    ~Task() { reset(); }

    Handle handle() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    // Destroys the frame: runs the destructors of its locals (needs the GIL).
    void reset() noexcept {
        if (handle_) std::exchange(handle_, {}).destroy();
    }

private:
    Handle handle_;
};

struct Promise {
    nb::object awaiting;  // set when the frame suspends on a Python awaitable
    nb::object sent;      // delivered by the next resume
    nb::object thrown;    // exception instance delivered by the next resume, raised at co_await
    nb::object result;    // co_return value
    nb::object error;     // exception instance that escaped the frame

    Task get_return_object() noexcept { return Task(Task::Handle::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::object value) noexcept { result = std::move(value); }
    void unhandled_exception() noexcept {
        host::set_error_from_current_exception();
        error = host::fetch_error();
    }

    struct Awaiter {
        Promise &promise;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<>) const noexcept {}
        nb::object await_resume() const {
            if (promise.thrown.is_valid()) {
                nb::object exc = std::move(promise.thrown);
                promise.thrown = nb::object();
                host::raise(exc);
            }
            nb::object value = std::move(promise.sent);
            promise.sent = nb::object();
            return value.is_valid() ? value : nb::none();
        }
    };

    Awaiter await_transform(nb::object awaitable) noexcept {
        awaiting = std::move(awaitable);
        return Awaiter{*this};
    }
};

// Creates the bridge types on the bridge module (done once, by that module).
void register_types(nb::module_ &m);

// Wraps a native operation into a Python coroutine object named `name` / `qualname`.
nb::object make_coroutine(Task task, const char *name, const char *qualname);

// A Python callable with a __dict__, a function-like repr and method binding, calling `impl`
// (usually an nb::cpp_function). Used for closures such as handlers and for native methods of
// records and classes.
// `text_signature` (e.g. "(request, *, timeout=300.0)") makes inspect.signature work.
nb::object make_function(nb::handle impl, const char *name, const char *qualname,
                         const char *module, const char *doc = nullptr,
                         const char *text_signature = nullptr);

// Marks `fn` so that asyncio.iscoroutinefunction (and inspect.iscoroutinefunction, where the
// host can mark callables) recognise it.
void mark_coroutine_function(nb::handle fn);

// make_function + mark_coroutine_function.
nb::object make_async_function(nb::handle impl, const char *name, const char *qualname,
                               const char *module, const char *doc = nullptr,
                               const char *text_signature = nullptr);

// Defines module function `name` as a native function object: like nanobind's m.def, but the
// result is a regular function for introspection (signature, __module__, method binding).
//   def_function(m, "name", "(a, *, b=None)", "doc", [](nb::object a, nb::object b) {...},
//                nb::arg("a"), nb::kw_only(), nb::arg("b") = nb::none());
template <typename Func, typename... Extra>
void def_function(nb::module_ &m, const char *name, const char *text_signature, const char *doc,
                  Func &&f, const Extra &...extra) {
    nb::object impl = nb::cpp_function(std::forward<Func>(f), nb::name(name), extra...);
    std::string module = nb::cast<std::string>(m.attr("__name__"));
    m.attr(name) = make_function(impl, name, name, module.c_str(), doc, text_signature);
}

// def_function for a function returning a native coroutine (see make_coroutine).
template <typename Func, typename... Extra>
void def_async_function(nb::module_ &m, const char *name, const char *text_signature,
                        const char *doc, Func &&f, const Extra &...extra) {
    def_function(m, name, text_signature, doc, std::forward<Func>(f), extra...);
    mark_coroutine_function(m.attr(name));
}

// An exception caught in a native coroutine, kept so that cleanup can be awaited outside the
// catch handler before it is raised again unchanged.
class Failure {
public:
    // Call inside a catch handler.
    void capture() noexcept {
        host::set_error_from_current_exception();
        exc_ = host::fetch_error();
    }
    // Replaces the kept exception (for example by its translation).
    void set(nb::object exc) noexcept { exc_ = std::move(exc); }
    explicit operator bool() const noexcept { return exc_.is_valid(); }
    nb::handle exception() const noexcept { return exc_; }
    [[noreturn]] void rethrow() const { host::raise(exc_); }

private:
    nb::object exc_;
};

}  // namespace orvex::coro
