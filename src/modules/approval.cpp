// orvex_cloud.approval: approval handlers that resolve the core library's approval gates through
// Orvex Cloud. A handler creates the cloud approval request, polls it until a reviewer decides or
// the timeout passes, and returns the signed approvals (or raises the core library's
// ApprovalDenied). Every run owns one Cloud API client and closes it on every exit.
#include <nanobind/nanobind.h>

#include <cmath>
#include <memory>
#include <string>

#include "coro.hpp"
#include "host.hpp"

namespace nb = nanobind;
namespace host = orvex::host;
namespace coro = orvex::coro;
using coro::Failure;
using coro::Task;
using host::Module;

namespace {

constexpr const char *kModule = "orvex_cloud.approval";
constexpr const char *kNoResponses = "approved request has no approval responses";
constexpr const char *kMalformed = "malformed signed_approval in cloud response: not valid hex or base64";

// What a handler captures when it is created; never re-read from the environment.
struct Config {
    Module mod;
    nb::object api_key;
    nb::object signing_key;
    nb::object base_url;
    nb::object poll_interval;
    nb::object timeout;
    nb::object futures;  // concurrent.futures, for the asynchronous handler's fallback
};
using ConfigPtr = std::shared_ptr<const Config>;

// A NaN deadline never passes: the handler would poll forever.
void reject_nan(nb::handle value, const char *name) {
    double as_float;
    if (PyFloat_Check(value.ptr())) {
        as_float = PyFloat_AS_DOUBLE(value.ptr());
    } else {
        // Numbers only (as math.isnan takes them): float() would also parse the text "nan".
        as_float = PyFloat_AsDouble(value.ptr());
        if (as_float == -1.0 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();  // interrupts
            PyErr_Clear();  // not a number: used unchanged, as given
            return;
        }
    }
    if (std::isnan(as_float)) host::raise_new(nb::handle(PyExc_ValueError), std::string(name) + " must not be NaN");
}

// ---- decision and error translation, shared by both handlers --------------------------------

nb::object approval_denied(nb::handle denied_cls, nb::handle request, nb::handle reason) {
    return host::call(denied_cls, nb::make_tuple(request), host::kwargs({{ORVEX_STR("reason"), reason}}));
}

nb::object decide(const Config &c, nb::handle request, nb::handle denied_cls, nb::handle result) {
    nb::object status = result[nb::str("status")];
    if (host::equal(status, nb::str("approved"))) return c.mod.attr(ORVEX_STR("_extract_signed_approvals"))(result);
    nb::object reason;
    if (host::equal(status, nb::str("denied"))) {
        reason = result.attr(ORVEX_STR("get"))("denied_reason");
        if (!host::truthy(reason)) reason = nb::str("denied in Orvex Cloud");
    } else if (host::equal(status, nb::str("expired"))) {
        reason = nb::str("approval request expired");
    } else {
        reason = host::add(nb::str("unexpected status: "), host::str(status));
    }
    host::raise(approval_denied(denied_cls, request, reason));
}

// The error a handler raises for `exc`, caught while creating, polling or deciding.
nb::object translate(const Config &c, nb::handle request, nb::handle denied_cls, nb::handle exc) {
    nb::object client_errors = nb::make_tuple(c.mod.attr(ORVEX_STR("ApprovalDeniedError")),
                                              c.mod.attr(ORVEX_STR("ApprovalExpiredError")));
    if (host::isinstance(exc, client_errors)) {
        nb::object denied = approval_denied(denied_cls, request, host::str(exc));
        host::set_cause(denied, exc);
        host::set_context(denied, exc);
        return denied;
    }
    if (host::isinstance(exc, c.mod.attr(ORVEX_STR("ApprovalTimeoutError")))) {
        nb::object reason = nb::str("timed out after {}s waiting for cloud approval").format(c.timeout);
        nb::object denied = approval_denied(denied_cls, request, reason);
        host::set_context(denied, exc);
        return denied;
    }
    return nb::borrow(exc);
}

// After the client is closed: the close error wins (chained to what was in flight), then the
// run's own error, then its result.
nb::object conclude(Failure &run_failure, Failure &close_failure, nb::object result) {
    if (close_failure) {
        if (run_failure) host::set_context(close_failure.exception(), run_failure.exception());
        close_failure.rethrow();
    }
    if (run_failure) run_failure.rethrow();
    return result;
}

nb::object poll_kwargs(const Config &c) {
    return host::kwargs({{ORVEX_STR("poll_interval"), c.poll_interval}, {ORVEX_STR("timeout"), c.timeout}});
}

// ---- blocking handler ----------------------------------------------------------------------

nb::object handle_blocking(const Config &c, nb::handle request) {
    nb::object denied_cls = host::import_from("orvex.approval", "ApprovalDenied");
    nb::object payload = host::call(c.mod.attr(ORVEX_STR("build_approval_request_payload")), nb::make_tuple(request),
                                    host::kwargs({{ORVEX_STR("signing_key"), c.signing_key}}));
    nb::object client = host::call(c.mod.attr(ORVEX_STR("OrvexCloudClient")), nb::make_tuple(c.api_key),
                                   host::kwargs({{ORVEX_STR("base_url"), c.base_url}}));
    nb::object result;
    Failure failure;
    try {
        nb::object body = payload.attr(ORVEX_STR("to_create_request_kwargs"))();
        nb::object created = host::call(client.attr(ORVEX_STR("create_request")), nb::tuple(), body);
        nb::object request_id = created[nb::str("id")];
        host::log(c.mod.attr(ORVEX_STR("logger")), "info", "approval request created in cloud", {},
                  host::kwargs({{ORVEX_STR("request_id"), request_id}, {ORVEX_STR("tool"), request.attr(ORVEX_STR("tool"))}}));
        nb::object polled = host::call(c.mod.attr(ORVEX_STR("_poll_until_resolved")),
                                       nb::make_tuple(client, request_id), poll_kwargs(c));
        result = decide(c, request, denied_cls, polled);
    } catch (...) {
        failure.capture();
        failure.set(translate(c, request, denied_cls, failure.exception()));
    }
    Failure close_failure;
    try {
        client.attr(ORVEX_STR("close"))();
    } catch (...) {
        close_failure.capture();
    }
    return conclude(failure, close_failure, result);
}

// ---- asynchronous handler ------------------------------------------------------------------

Task core(ConfigPtr c, nb::object request) {
    nb::object denied_cls = host::import_from("orvex.approval", "ApprovalDenied");
    nb::object payload = host::call(c->mod.attr(ORVEX_STR("build_approval_request_payload")), nb::make_tuple(request),
                                    host::kwargs({{ORVEX_STR("signing_key"), c->signing_key}}));
    nb::object client = host::call(c->mod.attr(ORVEX_STR("AsyncOrvexCloudClient")), nb::make_tuple(c->api_key),
                                   host::kwargs({{ORVEX_STR("base_url"), c->base_url}}));
    nb::object result;
    Failure failure;
    try {
        nb::object body = payload.attr(ORVEX_STR("to_create_request_kwargs"))();
        nb::object created = co_await host::call(client.attr(ORVEX_STR("create_request")), nb::tuple(), body);
        nb::object request_id = created[nb::str("id")];
        host::log(c->mod.attr(ORVEX_STR("logger")), "info", "approval request %s created for %s",
                  {request_id, request.attr(ORVEX_STR("tool"))});
        nb::object polled = co_await host::call(c->mod.attr(ORVEX_STR("_async_poll_until_resolved")),
                                                nb::make_tuple(client, request_id), poll_kwargs(*c));
        result = decide(*c, request, denied_cls, polled);
    } catch (...) {
        failure.capture();
        failure.set(translate(*c, request, denied_cls, failure.exception()));
    }
    Failure close_failure;
    try {
        co_await client.attr(ORVEX_STR("close"))();
    } catch (...) {
        close_failure.capture();
    }
    co_return conclude(failure, close_failure, result);
}

nb::object core_coroutine(const ConfigPtr &c, nb::handle request) {
    return coro::make_coroutine(core(c, nb::borrow(request)), "_core", "async_cloud_approval.<locals>._core");
}

// Runs a fresh `_core` on a one-worker pool with its own event loop, blocking until it is done.
nb::object run_in_worker_thread(const Config &c, const ConfigPtr &cp, nb::handle request) {
    nb::object pool = host::call(c.futures.attr(ORVEX_STR("ThreadPoolExecutor")), nb::tuple(),
                                 host::kwargs({{ORVEX_STR("max_workers"), nb::int_(1)}}));
    nb::object executor = pool.attr(ORVEX_STR("__enter__"))();
    nb::object result;
    Failure failure;
    try {
        // Read into an object first: a lookup failing inside the call's argument packing would abort.
        nb::object run = c.mod.attr(ORVEX_STR("asyncio")).attr(ORVEX_STR("run"));
        nb::object future = executor.attr(ORVEX_STR("submit"))(run, core_coroutine(cp, request));
        result = future.attr(ORVEX_STR("result"))();
    } catch (...) {
        failure.capture();
    }
    if (failure) {
        nb::handle exc = failure.exception();
        nb::object tb = host::getattr_or(exc, ORVEX_STR("__traceback__"), nb::none());
        pool.attr(ORVEX_STR("__exit__"))(exc.type(), exc, tb);
        failure.rethrow();
    }
    pool.attr(ORVEX_STR("__exit__"))(nb::none(), nb::none(), nb::none());
    return result;
}

Task handle_async(ConfigPtr c, nb::object request) {
    bool loop_running = true;
    try {
        c->mod.attr(ORVEX_STR("asyncio")).attr(ORVEX_STR("get_running_loop"))();
    } catch (nb::python_error &e) {
        // Only a missing event loop sends the run to a worker thread; a RuntimeError raised by
        // the run itself must propagate, or a second cloud request would be created.
        if (!e.matches(PyExc_RuntimeError)) throw;
        loop_running = false;
    }
    if (!loop_running) co_return run_in_worker_thread(*c, c, request);
    nb::object result = co_await core_coroutine(c, request);
    co_return result;
}

// ---- polling -------------------------------------------------------------------------------

struct PollStep {
    nb::object result;      // set: polling is over
    nb::object sleep_time;  // otherwise: pause this long
};

// One decision of the poll loop after `result` came back.
PollStep after_poll(const Module &m, nb::handle result, nb::handle request_id, nb::handle poll_interval,
                    nb::handle timeout, nb::handle deadline) {
    nb::object status = result.attr(ORVEX_STR("get"))("status", "");
    if (host::not_equal(status, nb::str("pending"))) return {nb::borrow(result), {}};
    nb::object remaining = host::sub(deadline, m.attr(ORVEX_STR("time")).attr(ORVEX_STR("monotonic"))());
    if (host::less_equal(remaining, nb::int_(0)))
        host::raise(m.attr(ORVEX_STR("ApprovalTimeoutError"))(request_id, timeout));
    nb::object sleep_time = host::less(remaining, poll_interval) ? remaining : nb::borrow(poll_interval);
    host::log(m.attr(ORVEX_STR("logger")), "debug", "approval still pending, polling again", {},
              host::kwargs({{ORVEX_STR("request_id"), request_id}, {ORVEX_STR("sleep"), sleep_time}}));
    return {{}, sleep_time};
}

nb::object poll_until_resolved(const Module &m, nb::handle client, nb::handle request_id,
                               nb::handle poll_interval, nb::handle timeout) {
    nb::object deadline = host::add(m.attr(ORVEX_STR("time")).attr(ORVEX_STR("monotonic"))(), timeout);
    for (;;) {
        nb::object result = client.attr(ORVEX_STR("get_request"))(request_id);
        PollStep step = after_poll(m, result, request_id, poll_interval, timeout, deadline);
        if (step.result.is_valid()) return step.result;
        m.attr(ORVEX_STR("time")).attr(ORVEX_STR("sleep"))(step.sleep_time);
    }
}

Task async_poll_until_resolved(Module m, nb::object client, nb::object request_id, nb::object poll_interval,
                               nb::object timeout) {
    nb::object deadline = host::add(m.attr(ORVEX_STR("time")).attr(ORVEX_STR("monotonic"))(), timeout);
    for (;;) {
        nb::object result = co_await client.attr(ORVEX_STR("get_request"))(request_id);
        PollStep step = after_poll(m, result, request_id, poll_interval, timeout, deadline);
        if (step.result.is_valid()) co_return step.result;
        co_await m.attr(ORVEX_STR("asyncio")).attr(ORVEX_STR("sleep"))(step.sleep_time);
    }
}

// ---- signed approvals ----------------------------------------------------------------------

nb::object extract_signed_approvals(const Module &m, nb::handle result) {
    nb::object responses = result.attr(ORVEX_STR("get"))("responses", nb::list());
    if (!host::truthy(responses)) host::raise_new(m.attr(ORVEX_STR("OrvexCloudError")), kNoResponses);

    nb::object base64 = host::import_module("base64");
    nb::object response_cls = host::import_from("orvex.cp_approval", "ControlPlaneApprovalResponseV1");
    nb::object from_response = host::import_from("orvex.cp_approval", "signed_approvals_from_response");
    nb::object re = host::import_module("re");
    nb::object hex_pattern = re.attr(ORVEX_STR("compile"))("^[0-9a-fA-F]+$");

    nb::list signed_b64;
    for (nb::handle r : responses) {
        nb::object raw = r.attr(ORVEX_STR("get"))("signed_approval");
        if (!host::truthy(raw)) continue;
        if (host::truthy(hex_pattern.attr(ORVEX_STR("match"))(raw)) && nb::len(raw) % 2 == 0) {
            try {
                nb::object encoded = base64.attr(ORVEX_STR("b64encode"))(host::bytes_fromhex(raw)).attr(ORVEX_STR("decode"))();
                signed_b64.append(encoded);
                continue;
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
            }
        }
        try {
            host::call(base64.attr(ORVEX_STR("b64decode")), nb::make_tuple(raw), host::kwargs({{ORVEX_STR("validate"), nb::bool_(true)}}));
            signed_b64.append(raw);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception)) throw;
            // Taken back as a normalised exception: before 3.12 python_error may hold only the
            // raw value (the message text), which must never become a __cause__.
            e.restore();
            nb::object cause = host::fetch_error();
            host::raise_from(m.attr(ORVEX_STR("OrvexCloudError"))(kMalformed), cause);
        }
    }

    nb::object signed_or_none = nb::len(signed_b64) ? nb::object(signed_b64) : nb::none();
    nb::object response = host::call(response_cls, nb::tuple(),
                                     host::kwargs({{ORVEX_STR("status"), nb::str("approved")},
                                                   {ORVEX_STR("signed_approvals_b64"), signed_or_none}}));
    nb::object approvals = from_response(response);
    if (!host::truthy(approvals)) host::raise_new(m.attr(ORVEX_STR("OrvexCloudError")), kNoResponses);
    if (nb::len(approvals) == 1) return approvals[nb::int_(0)];
    return approvals;
}

// ---- factories -----------------------------------------------------------------------------

ConfigPtr make_config(const Module &m, nb::handle api_key, nb::handle signing_key, nb::handle base_url,
                      nb::handle poll_interval, nb::handle timeout, nb::handle futures) {
    reject_nan(poll_interval, "poll_interval");
    reject_nan(timeout, "timeout");
    return std::make_shared<const Config>(Config{m, nb::borrow(api_key), nb::borrow(signing_key),
                                                 nb::borrow(base_url), nb::borrow(poll_interval),
                                                 nb::borrow(timeout), nb::borrow(futures)});
}

constexpr const char *kHandleDoc =
    "Approval handler: create the cloud approval request for `request`, wait for the decision "
    "and return the signed approval(s), or raise the core library's ApprovalDenied.";

}  // namespace

NB_MODULE(approval, m) {
    m.doc() =
        "Cloud approval handlers for the core library: cloud_approval() (blocking) and "
        "async_cloud_approval() (asyncio) create an approval request in Orvex Cloud, wait for a "
        "reviewer's decision and return signed approvals.";
    for (const char *name : {"asyncio", "base64", "hashlib", "logging", "time"})
        m.attr(name) = host::import_module(name);
    for (const char *name : {"AsyncOrvexCloudClient", "OrvexCloudClient"})
        m.attr(name) = host::import_from("orvex_cloud.client", name);
    for (const char *name : {"ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "OrvexCloudError"})
        m.attr(name) = host::import_from("orvex_cloud.exceptions", name);
    m.attr(ORVEX_STR("build_approval_request_payload")) =
        host::import_from("orvex_cloud.petition", "build_approval_request_payload");
    m.attr(ORVEX_STR("logger")) = m.attr(ORVEX_STR("logging")).attr(ORVEX_STR("getLogger"))(kModule);
    nb::object default_base_url = host::import_from("orvex_cloud.client", "DEFAULT_BASE_URL");

    // Every parameter takes None, as a Python function's would (nanobind refuses it unless told).
    Module mod(m);
    using orvex::coro::def_async_function;
    using orvex::coro::def_function;
    std::string factory_signature =
        "(api_key, *, signing_key=None, base_url=" + nb::cast<std::string>(nb::repr(default_base_url)) +
        ", poll_interval=2.0, timeout=300.0)";
    def_function(
        m, "cloud_approval", factory_signature.c_str(),
        "Blocking approval handler backed by Orvex Cloud.\n\n"
        "Each call creates the approval request, polls it every `poll_interval` seconds for at\n"
        "most `timeout` seconds and returns the signed approval(s); denial, expiry and timeout\n"
        "raise the core library's ApprovalDenied.",
        [mod](nb::object api_key, nb::object signing_key, nb::object base_url, nb::object poll_interval,
              nb::object timeout) {
            ConfigPtr c = make_config(mod, api_key, signing_key, base_url, poll_interval, timeout, nb::none());
            nb::object impl = nb::cpp_function(
                [c](nb::object request) { return handle_blocking(*c, request); }, nb::arg("request").none(),
                nb::name("_handle"));
            return coro::make_function(impl, "_handle", "cloud_approval.<locals>._handle", kModule, kHandleDoc,
                                       "(request)");
        },
        nb::arg("api_key").none(), nb::kw_only(), nb::arg("signing_key") = nb::none(),
        nb::arg("base_url").none() = default_base_url, nb::arg("poll_interval").none() = 2.0,
        nb::arg("timeout").none() = 300.0);
    def_function(
        m, "async_cloud_approval", factory_signature.c_str(),
        "Asynchronous approval handler backed by Orvex Cloud.\n\n"
        "Runs on the caller's event loop; without a running loop it runs the request on a\n"
        "worker thread with its own loop and blocks until it is done.",
        [mod](nb::object api_key, nb::object signing_key, nb::object base_url, nb::object poll_interval,
              nb::object timeout) {
            nb::object futures = host::import_module("concurrent.futures");
            ConfigPtr c = make_config(mod, api_key, signing_key, base_url, poll_interval, timeout, futures);
            nb::object impl = nb::cpp_function(
                [c](nb::object request) {
                    return coro::make_coroutine(handle_async(c, request), "_handle",
                                                "async_cloud_approval.<locals>._handle");
                },
                nb::arg("request").none(), nb::name("_handle"));
            return coro::make_async_function(impl, "_handle", "async_cloud_approval.<locals>._handle", kModule,
                                             kHandleDoc, "(request)");
        },
        nb::arg("api_key").none(), nb::kw_only(), nb::arg("signing_key") = nb::none(),
        nb::arg("base_url").none() = default_base_url, nb::arg("poll_interval").none() = 2.0,
        nb::arg("timeout").none() = 300.0);
    def_function(
        m, "_poll_until_resolved", "(client, request_id, poll_interval, timeout)",
        "Poll the approval request until its status is no longer \"pending\"; raise "
        "ApprovalTimeoutError at the deadline.",
        [mod](nb::object client, nb::object request_id, nb::object poll_interval, nb::object timeout) {
            return poll_until_resolved(mod, client, request_id, poll_interval, timeout);
        },
        nb::arg("client").none(), nb::arg("request_id").none(), nb::arg("poll_interval").none(),
        nb::arg("timeout").none());
    def_async_function(
        m, "_async_poll_until_resolved", "(client, request_id, poll_interval, timeout)",
        "Asynchronous _poll_until_resolved for AsyncOrvexCloudClient, sleeping with asyncio.sleep.",
        [mod](nb::object client, nb::object request_id, nb::object poll_interval, nb::object timeout) {
            return coro::make_coroutine(async_poll_until_resolved(mod, client, request_id, poll_interval, timeout),
                                        "_async_poll_until_resolved", "_async_poll_until_resolved");
        },
        nb::arg("client").none(), nb::arg("request_id").none(), nb::arg("poll_interval").none(),
        nb::arg("timeout").none());
    def_function(
        m, "_extract_signed_approvals", "(result)",
        "The core library's signed approvals of an approved poll result: one object when there is "
        "one, else the sequence.",
        [mod](nb::object result) { return extract_signed_approvals(mod, result); }, nb::arg("result").none());
}
