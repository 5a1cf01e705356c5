// orvex_cloud.connect: Quick Connect bootstrap and diagnostics. Decodes a Quick Connect token
// into a ConnectConfig, writes its settings into the process environment, claims the agent the
// token binds, checks the whole set-up with doctor() and hands out a ready Cloud API client with
// connect(). Everything is synchronous and runs on the caller's thread.
#include <nanobind/nanobind.h>

#include <string>
#include <vector>

#include "coro.hpp"
#include "host.hpp"

namespace nb = nanobind;
namespace host = orvex::host;
using host::Module;
using orvex::coro::Failure;

namespace {

constexpr const char *kModule = "orvex_cloud.connect";

constexpr const char *kIncomplete = "incomplete connect token: endpoint and api_key are required";
constexpr const char *kFreshToken = "Generate a fresh Quick Connect token in Orvex Cloud.";
constexpr const char *kHealthRemediation =
    "Check ORVEX_CONTROL_PLANE_URL, network egress, TLS interception, and DNS.";
constexpr const char *kTenantFallback =
    "Admin credentials can read tenant details; runtime credentials may not need this.";
constexpr const char *kPolicyFallback =
    "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud "
    "policies.";
constexpr const char *kNoPublicKey =
    "Quick Connect token includes an agent binding, but no public key was available.";
constexpr const char *kNoPublicKeyRemediation =
    "Pass public_key_hex=, set ORVEX_AGENT_PUBLIC_KEY, or set ORVEX_SIGNING_KEY/ORVEX_ISSUER_KEY.";
constexpr const char *kClaimOff = "Agent claim is ready but was not submitted because claim=False.";
constexpr const char *kClaimOffRemediation =
    "Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are ready to claim "
    "the agent.";
constexpr const char *kSkipClaim =
    "connect token includes agent binding but no public key provided - skip claim (set "
    "public_key_hex= or ORVEX_SIGNING_KEY)";

// ---- small helpers -------------------------------------------------------------------------

// type(obj).__name__, as the host's own messages name a type.
std::string type_label(nb::handle obj) {
    return nb::cast<std::string>(nb::handle((PyObject *) Py_TYPE(obj.ptr())).attr("__name__"));
}

// Arguments documented as optional text: anything else is a caller's mistake, reported before
// any side effect.
void require_text_or_none(nb::handle value, const char *function, const char *name) {
    if (value.is_none() || PyUnicode_Check(value.ptr())) return;
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str or None, not %s", function, name,
                 type_label(value).c_str());
    throw nb::python_error();
}

nb::object env_get(const Module &m, nb::handle name, nb::handle fallback) {
    return m.attr("os").attr("environ").attr("get")(name, fallback);
}

nb::object rstrip_slashes(nb::handle text) { return text.attr("rstrip")("/"); }

// `raise <cls>(prefix + str(cause)) from cause`
[[noreturn]] void raise_wrapped(const Module &m, const char *prefix, nb::handle cause) {
    nb::object message = host::add(nb::str(prefix), host::str(cause));
    host::raise_from(m.attr("OrvexCloudError")(message), cause);
}

// BootstrapCheck(name, status, message, remediation[, raw=raw]) appended to `checks`; without
// `raw` the record's own default (a new empty mapping) applies.
void add_check(const Module &m, nb::handle checks, const char *name, const char *status,
               nb::handle message, nb::handle remediation, nb::handle raw = nb::handle()) {
    nb::dict kw;
    if (raw.is_valid()) kw["raw"] = raw;
    nb::object check = host::call(m.attr("BootstrapCheck"),
                                  nb::make_tuple(nb::str(name), nb::str(status), message, remediation), kw);
    checks.attr("append")(check);
}

nb::object empty_text() { return nb::str(""); }

// An error's body for a check's raw field: the body when it is non-empty, else a new mapping.
nb::object body_or_empty(nb::handle exc) {
    nb::object body = exc.attr("body");
    if (host::truthy(body)) return body;
    return nb::dict();
}

// ---- tokens and configuration --------------------------------------------------------------

nb::object parse_connect_token(const Module &m, nb::handle token) {
    if (!PyUnicode_Check(token.ptr())) {
        PyErr_Format(PyExc_TypeError, "connect token must be a str, not %s", type_label(token).c_str());
        throw nb::python_error();
    }
    nb::object prefix = m.attr("_CONNECT_PREFIX");
    if (!PyUnicode_Check(prefix.ptr())) {
        PyErr_Format(PyExc_TypeError, "_CONNECT_PREFIX must be a str, not %s", type_label(prefix).c_str());
        throw nb::python_error();
    }
    Py_ssize_t match = PyUnicode_Tailmatch(token.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (match < 0) throw nb::python_error();
    if (match == 0) {
        nb::object message = host::add(nb::str("invalid connect token: expected prefix "), nb::repr(prefix));
        host::raise(m.attr("OrvexCloudError")(message));
    }

    // Tokens pasted from files or terminals often carry a newline or blanks around the encoded
    // part; they must not shift the padding count.
    Py_ssize_t total = PyUnicode_GetLength(token.ptr());
    Py_ssize_t skip = PyUnicode_GetLength(prefix.ptr());
    if (total < 0 || skip < 0) throw nb::python_error();
    PyObject *rest = PyUnicode_Substring(token.ptr(), skip, total);
    if (!rest) throw nb::python_error();
    nb::object encoded = nb::steal(rest).attr("strip")();
    Py_ssize_t length = PyUnicode_GetLength(encoded.ptr());
    if (length < 0) throw nb::python_error();
    std::string padding(static_cast<size_t>((4 - length % 4) % 4), '=');

    nb::object raw;
    try {
        raw = m.attr("base64").attr("urlsafe_b64decode")(host::add(encoded, nb::str(padding.c_str())));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_wrapped(m, "invalid connect token encoding: ", host::error_value(e));
    }

    nb::object data;
    try {
        data = m.attr("json").attr("loads")(raw.attr("decode")("utf-8"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_wrapped(m, "invalid connect token JSON: ", host::error_value(e));
    }

    // A payload that is not an object, or whose version is no integer, is as unusable as broken
    // JSON: report it the same way so doctor() can show it as a config problem.
    nb::object payload;
    try {
        payload = m.attr("ConnectTokenPayload").attr("from_dict")(data);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        raise_wrapped(m, "invalid connect token JSON: ", host::error_value(e));
    }

    if (!host::truthy(payload.attr("endpoint")) || !host::truthy(payload.attr("api_key")))
        host::raise_new(m.attr("OrvexCloudError"), kIncomplete);
    return payload;
}

nb::object connect_config_from_token(const Module &m, nb::handle token) {
    nb::object payload = m.attr("parse_connect_token")(token);
    nb::object base_url = rstrip_slashes(payload.attr("endpoint"));
    // An endpoint made only of slashes names no endpoint at all.
    if (!host::truthy(base_url)) host::raise_new(m.attr("OrvexCloudError"), kIncomplete);
    nb::object agent_id = payload.attr("agent_id");
    nb::object registration_token = payload.attr("registration_token");
    return host::call(m.attr("ConnectConfig"), nb::tuple(),
                      host::kwargs({{"api_base_url", base_url},
                                    {"api_key", payload.attr("api_key")},
                                    {"agent_id", host::truthy(agent_id) ? agent_id : nb::none()},
                                    {"registration_token",
                                     host::truthy(registration_token) ? registration_token : nb::none()}}));
}

// A value the environment cannot hold fails here, before the first variable is written.
void check_env_value(const Module &m, nb::handle value, const char *field) {
    if (!PyUnicode_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "config.%s must be a str, not %s", field, type_label(value).c_str());
        throw nb::python_error();
    }
    nb::object encoded = m.attr("os").attr("fsencode")(value);
    char *buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(encoded.ptr(), &buffer, &size) < 0) throw nb::python_error();
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (buffer[i] == '\0') {
            PyErr_Format(PyExc_ValueError, "config.%s contains a null character", field);
            throw nb::python_error();
        }
    }
}

void apply_connect_config(const Module &m, nb::handle config, nb::handle overwrite) {
    struct Entry {
        nb::object name;
        nb::object value;
    };
    std::vector<Entry> entries = {
        {m.attr("_ENV_API_KEY"), config.attr("api_key")},
        {m.attr("_ENV_CONTROL_PLANE_URL"), config.attr("api_base_url")},
    };
    const char *fields[] = {"api_key", "api_base_url", "agent_id"};
    nb::object agent_id = config.attr("agent_id");
    if (host::truthy(agent_id)) entries.push_back({nb::str("ORVEX_AGENT_ID"), agent_id});
    for (size_t i = 0; i < entries.size(); ++i) check_env_value(m, entries[i].value, fields[i]);

    bool replace = host::truthy(overwrite);
    nb::object environ = m.attr("os").attr("environ");
    for (const Entry &entry : entries) {
        if (replace || !host::truthy(environ.attr("get")(entry.name, empty_text())))
            environ[entry.name] = entry.value;
    }
}

// ---- agent claim ---------------------------------------------------------------------------

nb::object claim_agent(const Module &m, nb::handle client, nb::handle agent_id, nb::handle public_key_hex,
                       nb::handle registration_token) {
    nb::dict body = host::kwargs({{"agent_id", agent_id},
                                  {"public_key", public_key_hex},
                                  {"registration_token", registration_token}});
    nb::object resp = host::call(client.attr("_send"), nb::make_tuple("POST", "agents/claim"),
                                 host::kwargs({{"json", body}}));
    nb::object data = client.attr("_handle_response")(resp);
    if (!PyDict_Check(data.ptr())) {
        // Same failure as every other operation of the client that expects an object.
        nb::object message = nb::str(
                                 "Orvex Cloud answered POST /v1/agents/claim with {} where a JSON "
                                 "object was expected")
                                 .format(nb::str(type_label(data).c_str()));
        nb::object error = host::call(
            m.attr("OrvexCloudError"), nb::make_tuple(message),
            host::kwargs({{"status_code", host::getattr_or(resp, "status_code", nb::none())},
                          {"code", nb::str("invalid_response")},
                          {"body", data}}));
        host::raise(error);
    }
    nb::object result = m.attr("ClaimAgentResult").attr("from_dict")(data);
    host::log(m.attr("logger"), "info", "agent claimed", {},
              host::kwargs({{"agent_id", result.attr("agent_id")}, {"status", result.attr("status")}}));
    return result;
}

bool already_claimed(nb::handle exc) {
    if (host::equal(exc.attr("status_code"), nb::int_(409))) return true;
    return host::equal(exc.attr("code"), nb::str("agent_not_pending"));
}

nb::object claim_kwargs(nb::handle agent_id, nb::handle public_key_hex, nb::handle registration_token) {
    return host::kwargs({{"agent_id", agent_id},
                         {"public_key_hex", public_key_hex},
                         {"registration_token", registration_token}});
}

nb::object claim_or_already_active(const Module &m, nb::handle client, nb::handle agent_id,
                                   nb::handle public_key_hex, nb::handle registration_token) {
    try {
        return host::call(m.attr("claim_agent"), nb::make_tuple(client),
                          claim_kwargs(agent_id, public_key_hex, registration_token));
    } catch (nb::python_error &e) {
        if (!e.matches(m.attr("OrvexCloudError"))) throw;
        nb::object exc = host::error_value(e);
        bool claimed;
        try {
            claimed = host::truthy(m.attr("_already_claimed")(exc));
        } catch (nb::python_error &inner) {
            // raised while handling `exc`, as inside an `except` block
            nb::object inner_exc = host::error_value(inner);
            host::set_context(inner_exc, exc);
            host::raise(inner_exc);
        }
        if (!claimed) host::raise(exc);
    }
    host::log(m.attr("logger"), "info", "agent already claimed", {}, host::kwargs({{"agent_id", agent_id}}));
    return m.attr("ClaimAgentResult")
        .attr("from_dict")(host::kwargs({{"agent_id", agent_id}, {"status", nb::str("active")}}));
}

nb::object resolve_public_key_hex(const Module &m) {
    nb::object explicit_key = env_get(m, nb::str("ORVEX_AGENT_PUBLIC_KEY"), empty_text());
    if (host::truthy(explicit_key)) return explicit_key.attr("strip")();
    nb::object signing_hex = env_get(m, nb::str("ORVEX_SIGNING_KEY"), nb::none());
    if (!host::truthy(signing_hex)) signing_hex = env_get(m, nb::str("ORVEX_ISSUER_KEY"), empty_text());
    if (!host::truthy(signing_hex)) return nb::none();
    try {
        nb::object signing_key_cls = host::import_from("orvex_core", "SigningKey");
        nb::object key = signing_key_cls.attr("from_hex")(signing_hex.attr("strip")());
        return key.attr("public_key").attr("to_bytes")().attr("hex")();
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        host::log(m.attr("logger"), "debug", "could not derive public key from signing key: %s",
                  {host::error_value(e)});
        return nb::none();
    }
}

// ---- doctor --------------------------------------------------------------------------------

nb::object resolve_doctor_config(const Module &m, nb::handle token, nb::handle api_key, nb::handle base_url,
                                 nb::handle checks) {
    nb::object effective = nb::borrow(token);
    if (!host::truthy(effective)) effective = env_get(m, m.attr("_ENV_CONNECT_TOKEN"), empty_text());

    if (host::truthy(effective)) {
        nb::object config;
        try {
            config = m.attr("connect_config_from_token")(effective);
        } catch (nb::python_error &e) {
            if (!e.matches(m.attr("OrvexCloudError"))) throw;
            add_check(m, checks, "config", "error", host::str(host::error_value(e)), nb::str(kFreshToken));
            nb::object url = host::truthy(base_url) ? nb::borrow(base_url) : m.attr("_DEFAULT_API_BASE_URL");
            return host::call(m.attr("ConnectConfig"), nb::tuple(),
                              host::kwargs({{"api_base_url", url}, {"api_key", empty_text()}}));
        }
        add_check(m, checks, "config", "ok", nb::str("Quick Connect token decoded."), empty_text());
        return config;
    }

    nb::object resolved_key = nb::borrow(api_key);
    if (!host::truthy(resolved_key)) resolved_key = env_get(m, m.attr("_ENV_API_KEY"), empty_text());
    // An empty ORVEX_CONTROL_PLANE_URL counts as unset, like everywhere else in the package.
    nb::object resolved_url = nb::borrow(base_url);
    if (!host::truthy(resolved_url)) resolved_url = env_get(m, m.attr("_ENV_CONTROL_PLANE_URL"), empty_text());
    if (!host::truthy(resolved_url)) resolved_url = m.attr("_DEFAULT_API_BASE_URL");
    resolved_url = rstrip_slashes(resolved_url);
    if (!host::truthy(resolved_url)) resolved_url = m.attr("_DEFAULT_API_BASE_URL");

    if (host::truthy(resolved_key)) {
        add_check(m, checks, "config", "ok", nb::str("Using Orvex Cloud API at {}.").format(resolved_url),
                  empty_text());
    } else {
        nb::object remediation = nb::str("Set {}, set {}, or pass api_key=.")
                                     .format(m.attr("_ENV_CONNECT_TOKEN"), m.attr("_ENV_API_KEY"));
        add_check(m, checks, "config", "error", nb::str("No Orvex Cloud credential found."), remediation);
    }
    return host::call(m.attr("ConnectConfig"), nb::tuple(),
                      host::kwargs({{"api_base_url", resolved_url}, {"api_key", resolved_key}}));
}

void probe_health(const Module &m, nb::handle client, nb::handle checks) {
    nb::object health, message;
    try {
        health = client.attr("health")();
        nb::object status = host::str(health.attr("get")("status", "ok"));
        message = nb::str("Orvex Cloud health check returned {}.").format(status);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        add_check(m, checks, "cloud_reachable", "error", host::str(host::error_value(e)),
                  nb::str(kHealthRemediation));
        return;
    }
    add_check(m, checks, "cloud_reachable", "ok", message, empty_text(), health);
}

// The tenant and policy probes share their error handling: an authentication failure is an
// error only for a rejected key (401), otherwise a permission the runtime may not need.
void add_access_failure(const Module &m, nb::handle checks, const char *name, nb::python_error &e,
                        const char *fallback) {
    nb::object exc = host::error_value(e);
    if (host::isinstance(exc, m.attr("AuthenticationError"))) {
        const char *status = host::equal(exc.attr("status_code"), nb::int_(401)) ? "error" : "warning";
        nb::object remediation = exc.attr("remediation");
        if (!host::truthy(remediation)) remediation = nb::str(fallback);
        add_check(m, checks, name, status, host::str(exc), remediation, body_or_empty(exc));
        return;
    }
    add_check(m, checks, name, "warning", host::str(exc), exc.attr("remediation"), body_or_empty(exc));
}

void probe_tenant(const Module &m, nb::handle client, nb::handle checks) {
    nb::object tenant;
    try {
        tenant = client.attr("get_tenant")();
    } catch (nb::python_error &e) {
        if (!e.matches(m.attr("OrvexCloudError"))) throw;
        add_access_failure(m, checks, "tenant_access", e, kTenantFallback);
        return;
    }
    nb::object name = nb::str("tenant");
    for (const char *key : {"name", "slug", "id"}) {
        nb::object value = tenant.attr("get")(key);
        if (host::truthy(value)) {
            name = value;
            break;
        }
    }
    add_check(m, checks, "tenant_access", "ok", nb::str("Credential can read {}.").format(name), empty_text(),
              tenant);
}

void probe_approval_policies(const Module &m, nb::handle client, nb::handle checks) {
    nb::object policies;
    try {
        policies = host::call(client.attr("list_policies"), nb::tuple(), host::kwargs({{"limit", nb::int_(1)}}));
    } catch (nb::python_error &e) {
        if (!e.matches(m.attr("OrvexCloudError"))) throw;
        add_access_failure(m, checks, "approval_policy_access", e, kPolicyFallback);
        return;
    }
    add_check(m, checks, "approval_policy_access", "ok", nb::str("Credential can list approval policies."),
              empty_text(), policies);
}

nb::object text_or_empty(nb::handle value) { return host::truthy(value) ? nb::borrow(value) : empty_text(); }

nb::object probe_agent_claim(const Module &m, nb::handle client, nb::handle config, nb::handle public_key_hex,
                             nb::handle claim, nb::handle checks) {
    if (!host::truthy(config.attr("is_agent_mode"))) {
        add_check(m, checks, "agent_claim", "ok", nb::str("No agent claim required by this configuration."),
                  empty_text());
        return nb::none();
    }
    nb::object pub_hex = host::truthy(public_key_hex) ? nb::borrow(public_key_hex) : m.attr("_resolve_public_key_hex")();
    if (!host::truthy(pub_hex)) {
        add_check(m, checks, "agent_claim", "warning", nb::str(kNoPublicKey), nb::str(kNoPublicKeyRemediation));
        return nb::none();
    }
    if (!host::truthy(claim)) {
        add_check(m, checks, "agent_claim", "warning", nb::str(kClaimOff), nb::str(kClaimOffRemediation));
        return nb::none();
    }
    nb::object result;
    try {
        result = host::call(m.attr("_claim_or_already_active"), nb::make_tuple(client),
                            claim_kwargs(text_or_empty(config.attr("agent_id")), pub_hex,
                                         text_or_empty(config.attr("registration_token"))));
    } catch (nb::python_error &e) {
        if (!e.matches(m.attr("OrvexCloudError"))) throw;
        nb::object exc = host::error_value(e);
        add_check(m, checks, "agent_claim", "error", host::str(exc), exc.attr("remediation"), body_or_empty(exc));
        return nb::none();
    }
    nb::object label = result.attr("agent_id");
    if (!host::truthy(label)) label = result.attr("name");
    add_check(m, checks, "agent_claim", "ok", nb::str("Claimed agent {}.").format(label), empty_text(),
              result.attr("raw"));
    return result;
}

nb::object report(const Module &m, nb::handle config, nb::handle checks, nb::handle claimed_agent) {
    bool ok = true;
    for (nb::handle check : checks) {
        if (host::equal(check.attr("status"), nb::str("error"))) {
            ok = false;
            break;
        }
    }
    return host::call(m.attr("BootstrapReport"), nb::tuple(),
                      host::kwargs({{"ok", nb::bool_(ok)},
                                    {"config", config},
                                    {"checks", checks},
                                    {"claimed_agent", claimed_agent}}));
}

// Closes `client`; a close failure wins over the run's failure, chained to it, as a `finally`
// block would do.
nb::object close_and_conclude(nb::handle client, Failure &run_failure, nb::object result) {
    Failure close_failure;
    try {
        client.attr("close")();
    } catch (...) {
        close_failure.capture();
    }
    if (close_failure) {
        if (run_failure) host::set_context(close_failure.exception(), run_failure.exception());
        close_failure.rethrow();
    }
    if (run_failure) run_failure.rethrow();
    return result;
}

nb::object doctor(const Module &m, nb::handle token, nb::handle api_key, nb::handle base_url,
                  nb::handle public_key_hex, nb::handle claim, nb::handle apply_env) {
    require_text_or_none(token, "doctor", "token");
    require_text_or_none(api_key, "doctor", "api_key");
    require_text_or_none(base_url, "doctor", "base_url");
    require_text_or_none(public_key_hex, "doctor", "public_key_hex");

    nb::list checks;
    nb::object config = host::call(m.attr("_resolve_doctor_config"), nb::make_tuple(token),
                                   host::kwargs({{"api_key", api_key}, {"base_url", base_url}, {"checks", checks}}));
    if (host::truthy(apply_env) && host::truthy(config.attr("api_key"))) m.attr("apply_connect_config")(config);
    if (!host::truthy(config.attr("api_key"))) return m.attr("_report")(config, checks);

    nb::object client = host::call(m.attr("OrvexCloudClient"), nb::make_tuple(nb::object(config.attr("api_key"))),
                                   host::kwargs({{"base_url", config.attr("api_base_url")}}));
    nb::object claimed = nb::none();
    Failure failure;
    try {
        m.attr("_probe_health")(client, checks);
        m.attr("_probe_tenant")(client, checks);
        m.attr("_probe_approval_policies")(client, checks);
        claimed = host::call(m.attr("_probe_agent_claim"), nb::make_tuple(client, config),
                             host::kwargs({{"public_key_hex", public_key_hex}, {"claim", claim}, {"checks", checks}}));
    } catch (...) {
        failure.capture();
    }
    close_and_conclude(client, failure, nb::none());
    return host::call(m.attr("_report"), nb::make_tuple(config, checks), host::kwargs({{"claimed_agent", claimed}}));
}

// ---- connect -------------------------------------------------------------------------------

nb::object connect(const Module &m, nb::handle token, nb::handle public_key_hex, nb::handle claim,
                   nb::handle apply_env, nb::handle async_client, nb::handle verify) {
    require_text_or_none(token, "connect", "token");
    require_text_or_none(public_key_hex, "connect", "public_key_hex");

    nb::object effective = nb::borrow(token);
    if (!host::truthy(effective)) effective = env_get(m, m.attr("_ENV_CONNECT_TOKEN"), empty_text());
    if (!host::truthy(effective)) {
        nb::object message = nb::str("connect token required - set {} or pass token=").format(m.attr("_ENV_CONNECT_TOKEN"));
        host::raise(m.attr("OrvexCloudError")(message));
    }
    nb::object config = m.attr("connect_config_from_token")(effective);

    if (host::truthy(verify)) {
        nb::object checked = host::call(m.attr("doctor"), nb::make_tuple(effective),
                                        host::kwargs({{"public_key_hex", public_key_hex}}));
        checked.attr("raise_for_error")();
    }
    if (host::truthy(apply_env)) m.attr("apply_connect_config")(config);

    if (host::truthy(claim) && host::truthy(config.attr("is_agent_mode"))) {
        nb::object pub_hex =
            host::truthy(public_key_hex) ? nb::borrow(public_key_hex) : m.attr("_resolve_public_key_hex")();
        if (host::truthy(pub_hex)) {
            nb::object client = host::call(m.attr("OrvexCloudClient"), nb::make_tuple(nb::object(config.attr("api_key"))),
                                           host::kwargs({{"base_url", config.attr("api_base_url")}}));
            Failure failure;
            try {
                host::call(m.attr("_claim_or_already_active"), nb::make_tuple(client),
                           claim_kwargs(text_or_empty(config.attr("agent_id")), pub_hex,
                                        text_or_empty(config.attr("registration_token"))));
            } catch (...) {
                failure.capture();
            }
            close_and_conclude(client, failure, nb::none());
        } else {
            host::log(m.attr("logger"), "info", kSkipClaim);
        }
    }

    const char *cls = host::truthy(async_client) ? "AsyncOrvexCloudClient" : "OrvexCloudClient";
    return host::call(m.attr(cls), nb::make_tuple(nb::object(config.attr("api_key"))),
                      host::kwargs({{"base_url", config.attr("api_base_url")}}));
}

}  // namespace

NB_MODULE(connect, m) {
    m.doc() =
        "Quick Connect and diagnostics: decode a Quick Connect token, apply it to the process "
        "environment, claim the agent it binds, check the set-up with doctor() and return a ready "
        "Cloud API client with connect(). Credentials never appear in reports or log lines.";
    for (const char *name : {"base64", "json", "logging", "os"}) m.attr(name) = host::import_module(name);
    for (const char *name : {"AsyncOrvexCloudClient", "OrvexCloudClient"})
        m.attr(name) = host::import_from("orvex_cloud.client", name);
    for (const char *name : {"AuthenticationError", "OrvexCloudError"})
        m.attr(name) = host::import_from("orvex_cloud.exceptions", name);
    for (const char *name :
         {"BootstrapCheck", "BootstrapReport", "ClaimAgentResult", "ConnectConfig", "ConnectTokenPayload"})
        m.attr(name) = host::import_from("orvex_cloud.models", name);
    m.attr("logger") = m.attr("logging").attr("getLogger")(kModule);
    // One prefix for the whole system: the redaction pattern and this parser must agree.
    m.attr("_CONNECT_PREFIX") = host::import_from("orvex_cloud.redaction", "_CONNECT_PREFIX");
    m.attr("_ENV_CONNECT_TOKEN") = nb::str("ORVEX_CONNECT_TOKEN");
    m.attr("_ENV_API_KEY") = nb::str("ORVEX_API_KEY");
    m.attr("_ENV_CONTROL_PLANE_URL") = nb::str("ORVEX_CONTROL_PLANE_URL");
    m.attr("_DEFAULT_API_BASE_URL") = host::import_from("orvex_cloud.client", "DEFAULT_BASE_URL");

    Module mod(m);
    using orvex::coro::def_function;

    def_function(
        m, "parse_connect_token", "(token)",
        "Decode a Quick Connect token into a ConnectTokenPayload.\n\n"
        "Raises OrvexCloudError for a wrong prefix, broken base64, a payload that is not a UTF-8\n"
        "JSON object (or whose version is no integer), or a missing endpoint or API key.",
        [mod](nb::object token) { return parse_connect_token(mod, token); }, nb::arg("token").none());
    def_function(
        m, "connect_config_from_token", "(token)",
        "The ConnectConfig of a Quick Connect token: endpoint without trailing \"/\", empty agent\n"
        "fields as None. Raises what parse_connect_token raises.",
        [mod](nb::object token) { return connect_config_from_token(mod, token); }, nb::arg("token").none());
    def_function(
        m, "apply_connect_config", "(config, *, overwrite=False)",
        "Write ORVEX_API_KEY, ORVEX_CONTROL_PLANE_URL and (when set) ORVEX_AGENT_ID into the\n"
        "process environment. Variables holding a non-empty value are kept unless `overwrite`.\n"
        "The registration token is never written; nothing is ever removed.",
        [mod](nb::object config, nb::object overwrite) { apply_connect_config(mod, config, overwrite); },
        nb::arg("config").none(), nb::kw_only(), nb::arg("overwrite").none() = false);
    def_function(
        m, "claim_agent", "(client, *, agent_id, public_key_hex, registration_token)",
        "Register the agent's public key with POST /v1/agents/claim; returns a ClaimAgentResult.",
        [mod](nb::object client, nb::object agent_id, nb::object public_key_hex, nb::object registration_token) {
            return claim_agent(mod, client, agent_id, public_key_hex, registration_token);
        },
        nb::arg("client").none(), nb::kw_only(), nb::arg("agent_id").none(), nb::arg("public_key_hex").none(),
        nb::arg("registration_token").none());
    def_function(
        m, "_claim_or_already_active", "(client, *, agent_id, public_key_hex, registration_token)",
        "claim_agent(), with an agent that was already claimed reported as active.",
        [mod](nb::object client, nb::object agent_id, nb::object public_key_hex, nb::object registration_token) {
            return claim_or_already_active(mod, client, agent_id, public_key_hex, registration_token);
        },
        nb::arg("client").none(), nb::kw_only(), nb::arg("agent_id").none(), nb::arg("public_key_hex").none(),
        nb::arg("registration_token").none());
    def_function(
        m, "_already_claimed", "(exc)",
        "Whether a claim error says the agent is already claimed (HTTP 409 or \"agent_not_pending\").",
        [](nb::object exc) { return already_claimed(exc); }, nb::arg("exc").none());
    def_function(
        m, "_resolve_public_key_hex", "()",
        "The agent's public key as hex: ORVEX_AGENT_PUBLIC_KEY, else derived from ORVEX_SIGNING_KEY\n"
        "or ORVEX_ISSUER_KEY with the core library; None when there is none.",
        [mod]() { return resolve_public_key_hex(mod); });
    def_function(
        m, "doctor", "(token=None, *, api_key=None, base_url=None, public_key_hex=None, claim=False, apply_env=False)",
        "Check step by step whether this process can work with Orvex Cloud.\n\n"
        "Returns a BootstrapReport with the checks config, cloud_reachable, tenant_access,\n"
        "approval_policy_access and agent_claim; problems become checks, not errors.",
        [mod](nb::object token, nb::object api_key, nb::object base_url, nb::object public_key_hex, nb::object claim,
              nb::object apply_env) { return doctor(mod, token, api_key, base_url, public_key_hex, claim, apply_env); },
        nb::arg("token").none() = nb::none(), nb::kw_only(), nb::arg("api_key").none() = nb::none(),
        nb::arg("base_url").none() = nb::none(), nb::arg("public_key_hex").none() = nb::none(), nb::arg("claim").none() = false,
        nb::arg("apply_env").none() = false);
    def_function(
        m, "_resolve_doctor_config", "(token, *, api_key, base_url, checks)",
        "The configuration doctor() works with; appends one \"config\" check to `checks`.",
        [mod](nb::object token, nb::object api_key, nb::object base_url, nb::object checks) {
            return resolve_doctor_config(mod, token, api_key, base_url, checks);
        },
        nb::arg("token").none(), nb::kw_only(), nb::arg("api_key").none(), nb::arg("base_url").none(),
        nb::arg("checks").none());
    def_function(
        m, "_probe_health", "(client, checks)", "Append the \"cloud_reachable\" check.",
        [mod](nb::object client, nb::object checks) { probe_health(mod, client, checks); }, nb::arg("client").none(),
        nb::arg("checks").none());
    def_function(
        m, "_probe_tenant", "(client, checks)", "Append the \"tenant_access\" check.",
        [mod](nb::object client, nb::object checks) { probe_tenant(mod, client, checks); }, nb::arg("client").none(),
        nb::arg("checks").none());
    def_function(
        m, "_probe_approval_policies", "(client, checks)", "Append the \"approval_policy_access\" check.",
        [mod](nb::object client, nb::object checks) { probe_approval_policies(mod, client, checks); },
        nb::arg("client").none(), nb::arg("checks").none());
    def_function(
        m, "_probe_agent_claim", "(client, config, *, public_key_hex, claim, checks)",
        "Append the \"agent_claim\" check; returns the ClaimAgentResult when the agent was claimed.",
        [mod](nb::object client, nb::object config, nb::object public_key_hex, nb::object claim, nb::object checks) {
            return probe_agent_claim(mod, client, config, public_key_hex, claim, checks);
        },
        nb::arg("client").none(), nb::arg("config").none(), nb::kw_only(), nb::arg("public_key_hex").none(), nb::arg("claim").none(),
        nb::arg("checks").none());
    def_function(
        m, "_report", "(config, checks, claimed_agent=None)",
        "BootstrapReport over `checks` (the same list), ok when no check has status \"error\".",
        [mod](nb::object config, nb::object checks, nb::object claimed_agent) {
            return report(mod, config, checks, claimed_agent);
        },
        nb::arg("config").none(), nb::arg("checks").none(), nb::arg("claimed_agent").none() = nb::none());
    def_function(
        m, "connect",
        "(token=None, *, public_key_hex=None, claim=True, apply_env=True, async_client=False, verify=False)",
        "Bootstrap this process from a Quick Connect token and return a new Cloud API client.\n\n"
        "Optionally verifies the set-up with doctor() first (RuntimeError naming the failed check),\n"
        "applies the settings to the environment and claims the agent the token binds when a\n"
        "public key is available. The caller owns and closes the returned client.",
        [mod](nb::object token, nb::object public_key_hex, nb::object claim, nb::object apply_env,
              nb::object async_client, nb::object verify) {
            return connect(mod, token, public_key_hex, claim, apply_env, async_client, verify);
        },
        nb::arg("token").none() = nb::none(), nb::kw_only(), nb::arg("public_key_hex").none() = nb::none(),
        nb::arg("claim").none() = true, nb::arg("apply_env").none() = true, nb::arg("async_client").none() = false,
        nb::arg("verify").none() = false);
}
