// orvex_cloud.models: the records exchanged with the Orvex Cloud API — the Quick Connect
// bootstrap records (token payload, resolved configuration, diagnostic checks and report, agent
// claim result) and the approval records (response, request, policy). All are host dataclasses
// with native methods; `from_dict` turns a decoded JSON object into a record and never fails on a
// missing key.
//
// A record printed in a log or a traceback never shows a credential: the representation of the
// token payload and of the configuration masks a set API key and registration token, and the
// redacted views pass every free text and raw mapping through the redaction module.
#include <nanobind/nanobind.h>

#include <vector>

#include "coro.hpp"
#include "host.hpp"
#include "records.hpp"

namespace nb = nanobind;
namespace host = orvex::host;
namespace rec = orvex::records;
using host::Module;

namespace {

constexpr const char *kModule = "orvex_cloud.models";
constexpr const char *kRedacted = "<redacted>";

// ---- reading a decoded JSON object -------------------------------------------------------------

// data.get(key, fallback); a plain dict is read without a method call.
nb::object get(nb::handle data, const char *key, nb::handle fallback) {
    if (PyDict_CheckExact(data.ptr())) {
        nb::str name(key);
        PyObject *value = PyDict_GetItemWithError(data.ptr(), name.ptr());
        if (value) return nb::borrow(value);
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(fallback);
    }
    return data.attr("get")(key, fallback);
}

nb::object text_of(nb::handle value) { return host::str(value); }

// Text of the value, empty text when it is absent or JSON null.
nb::object text_or_empty(nb::handle value) {
    if (value.is_none()) return nb::str("");
    return host::str(value);
}

// Text of the value when it is true, else empty text.
nb::object text_if_true(nb::handle value) {
    if (!host::truthy(value)) return nb::str("");
    return host::str(value);
}

// A byte string as lower-case hexadecimal, anything else as its text.
nb::object hex_or_text(nb::handle value) {
    if (host::is_bytes_like(value)) return value.attr("hex")();
    return host::str(value);
}

nb::object shallow_copy(nb::handle data) { return host::to_dict(data); }

nb::object build(nb::handle cls, nb::dict fields) { return host::call(cls, nb::tuple(), fields); }

nb::object equals(nb::handle a, const char *b) {
    nb::str other(b);
    PyObject *result = PyObject_RichCompare(a.ptr(), other.ptr(), Py_EQ);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

nb::object marker_if_true(nb::handle value, nb::handle otherwise) {
    return host::truthy(value) ? nb::object(nb::str(kRedacted)) : nb::borrow(otherwise);
}

// ---- bootstrap records -----------------------------------------------------------------------

nb::object token_payload_from_dict(nb::handle cls, nb::handle data) {
    nb::object version = host::to_int(get(data, "v", nb::int_(1)));
    // JSON null counts as absent: never the text "None" as an endpoint or a key.
    nb::object endpoint = text_or_empty(get(data, "e", nb::none()));
    nb::object api_key = text_or_empty(get(data, "k", nb::none()));
    nb::object agent_id = text_if_true(get(data, "a", nb::none()));
    nb::object registration_token = text_if_true(get(data, "t", nb::none()));
    return build(cls, host::kwargs({{"endpoint", endpoint},
                                    {"api_key", api_key},
                                    {"agent_id", agent_id},
                                    {"registration_token", registration_token},
                                    {"version", version}}));
}

bool is_agent_mode(nb::handle self) {
    return host::truthy(self.attr("agent_id")) && host::truthy(self.attr("registration_token"));
}

nb::object config_redacted_dict(nb::handle self) {
    nb::dict view;
    view["api_base_url"] = nb::object(self.attr("api_base_url"));
    view["api_key"] = marker_if_true(self.attr("api_key"), nb::str(""));
    view["agent_id"] = nb::object(self.attr("agent_id"));
    view["registration_token"] = marker_if_true(self.attr("registration_token"), nb::none());
    return view;
}

nb::object check_redacted_dict(const Module &m, nb::handle self) {
    nb::dict view;
    view["name"] = nb::object(self.attr("name"));
    view["status"] = nb::object(self.attr("status"));
    view["message"] = m.attr("redact_text")(nb::object(self.attr("message")));
    view["remediation"] = m.attr("redact_text")(nb::object(self.attr("remediation")));
    view["raw"] = m.attr("redact_dict")(nb::object(self.attr("raw")));
    return view;
}

nb::object raise_for_error(nb::handle self) {
    for (nb::handle check : self.attr("checks")) {
        if (!host::truthy(equals(check.attr("status"), "error"))) continue;
        nb::object name = check.attr("name"), message = check.attr("message");
        nb::object text = nb::str("{}: {}").format(name, message);
        host::raise(nb::handle(PyExc_RuntimeError)(text));
    }
    return nb::borrow(self);
}

nb::object report_redacted_dict(nb::handle self) {
    nb::dict view;
    view["ok"] = nb::object(self.attr("ok"));
    view["config"] = self.attr("config").attr("redacted_dict")();
    nb::list checks;
    for (nb::handle check : self.attr("checks")) checks.append(check.attr("redacted_dict")());
    view["checks"] = checks;
    nb::object claimed = self.attr("claimed_agent");
    view["claimed_agent"] = host::truthy(claimed) ? claimed.attr("redacted_dict")() : nb::none();
    return view;
}

nb::object claim_from_dict(nb::handle cls, nb::handle data) {
    // A null "id" falls back to "agent_id", as an absent one does.
    nb::object id = get(data, "id", nb::none());
    nb::object agent_id = id.is_none() ? text_or_empty(get(data, "agent_id", nb::none())) : text_of(id);
    return build(cls, host::kwargs({{"agent_id", agent_id},
                                    {"name", text_of(get(data, "name", nb::str("")))},
                                    {"status", text_of(get(data, "status", nb::str("")))},
                                    {"key_id", text_of(get(data, "key_id", nb::str("")))},
                                    {"registered_at", get(data, "registered_at", nb::none())},
                                    {"raw", shallow_copy(data)}}));
}

nb::object claim_redacted_dict(const Module &m, nb::handle self) {
    nb::dict view;
    for (const char *name : {"agent_id", "name", "status", "key_id", "registered_at"})
        view[name] = nb::object(self.attr(name));
    view["raw"] = m.attr("redact_dict")(nb::object(self.attr("raw")));
    return view;
}

// ---- approval records ------------------------------------------------------------------------

nb::object response_from_dict(nb::handle cls, nb::handle data) {
    return build(cls, host::kwargs({
                          {"approver_key", hex_or_text(get(data, "approver_key", nb::str("")))},
                          {"signed_approval", hex_or_text(get(data, "signed_approval", nb::str("")))},
                          {"external_id", text_if_true(get(data, "external_id", nb::str("")))},
                          {"received_at", get(data, "received_at", nb::none())},
                      }));
}

// The value, or an empty list when it is absent or false.
nb::object list_or_empty(nb::handle data, const char *key) {
    nb::object value = get(data, key, nb::none());
    return host::truthy(value) ? value : nb::object(nb::list());
}

nb::object request_from_dict(const Module &m, nb::handle cls, nb::handle data) {
    nb::list responses;
    for (nb::handle item : list_or_empty(data, "responses")) {
        if (!PyDict_Check(item.ptr())) continue;  // not an object: skipped
        responses.append(m.attr("ApprovalResponseRecord").attr("from_dict")(item));
    }
    nb::object policy_id = get(data, "policy_id", nb::none());
    if (!host::truthy(policy_id)) policy_id = nb::none();
    return build(cls, host::kwargs({
                          {"id", text_of(get(data, "id", nb::str("")))},
                          {"status", text_of(get(data, "status", nb::str("")))},
                          {"warrant_id", text_of(get(data, "warrant_id", nb::str("")))},
                          {"tool", text_of(get(data, "tool", nb::str("")))},
                          {"policy_id", policy_id},
                          {"threshold", get(data, "threshold", nb::none())},
                          {"denied_reason", get(data, "denied_reason", nb::none())},
                          {"expires_at", get(data, "expires_at", nb::none())},
                          {"responses", responses},
                          {"raw", shallow_copy(data)},
                      }));
}

nb::object policy_from_dict(nb::handle cls, nb::handle data) {
    nb::list approver_keys;
    for (nb::handle key : list_or_empty(data, "approver_keys")) approver_keys.append(hex_or_text(key));
    nb::object enabled = nb::bool_(host::truthy(get(data, "enabled", nb::bool_(true))));
    return build(cls, host::kwargs({
                          {"id", text_of(get(data, "id", nb::str("")))},
                          {"name", text_of(get(data, "name", nb::str("")))},
                          {"tool_pattern", text_of(get(data, "tool_pattern", nb::str("")))},
                          {"threshold", host::to_int(get(data, "threshold", nb::int_(1)))},
                          {"approver_keys", approver_keys},
                          {"ttl_seconds", host::to_int(get(data, "ttl_seconds", nb::int_(300)))},
                          {"enabled", enabled},
                          {"raw", shallow_copy(data)},
                      }));
}

// ---- class construction ----------------------------------------------------------------------

struct Types {
    nb::object str_t = nb::borrow((PyObject *) &PyUnicode_Type);
    nb::object int_t = nb::borrow((PyObject *) &PyLong_Type);
    nb::object bool_t = nb::borrow((PyObject *) &PyBool_Type);
    nb::object dict_t = nb::borrow((PyObject *) &PyDict_Type);
    nb::object list_t = nb::borrow((PyObject *) &PyList_Type);
    nb::object any = host::import_module("typing").attr("Any");
    nb::object raw = rec::typing_form("Dict", {str_t, any});
    nb::object opt_str = rec::optional(str_t);
};

rec::Field required(const char *name, nb::handle type) { return {name, nb::borrow(type), {}}; }
rec::Field with_default(const char *name, nb::handle type, nb::handle value) {
    return {name, nb::borrow(type), nb::borrow(value)};
}
rec::Field fresh(const char *name, nb::handle type, nb::handle factory, bool repr = true) {
    rec::Field f{name, nb::borrow(type), {}, repr};
    f.default_factory = nb::borrow(factory);
    return f;
}
rec::Field credential(rec::Field f) {
    f.repr_mask = nb::str(kRedacted);
    return f;
}

template <typename F>
rec::Method method(const char *name, const char *doc, F &&impl) {
    return {name, nb::cpp_function(std::forward<F>(impl), nb::arg("self")), doc,
            rec::MethodKind::Instance, "(self)"};
}
template <typename F>
rec::Method property(const char *name, const char *doc, F &&impl) {
    return {name, nb::cpp_function(std::forward<F>(impl), nb::arg("self")), doc,
            rec::MethodKind::Property, "(self)"};
}
template <typename F>
rec::Method from_dict(const char *doc, F &&impl) {
    return {"from_dict",
            nb::cpp_function(std::forward<F>(impl), nb::arg("cls"), nb::arg("data").none()), doc,
            rec::MethodKind::Class, "(cls, data)"};
}

void define_bootstrap_records(nb::module_ &m, const Types &t) {
    Module mod(m);
    nb::object empty = nb::str("");
    nb::object none = nb::none();

    m.attr("ConnectTokenPayload") = rec::make_record(
        kModule, "ConnectTokenPayload", "Decoded Quick Connect token payload.",
        {
            required("endpoint", t.str_t),
            credential(required("api_key", t.str_t)),
            with_default("agent_id", t.str_t, empty),
            credential(with_default("registration_token", t.str_t, empty)),
            with_default("version", t.int_t, nb::int_(1)),
        },
        {from_dict("Payload from the token's JSON object (keys v, e, k, a, t).",
                   [](nb::handle cls, nb::handle data) { return token_payload_from_dict(cls, data); })},
        /*frozen=*/true);

    m.attr("ConnectConfig") = rec::make_record(
        kModule, "ConnectConfig", "Resolved configuration from a Quick Connect token.",
        {
            required("api_base_url", t.str_t),
            credential(required("api_key", t.str_t)),
            with_default("agent_id", t.opt_str, none),
            credential(with_default("registration_token", t.opt_str, none)),
        },
        {
            property("is_agent_mode", "True when the token binds an agent (agent id and registration token).",
                     [](nb::handle self) { return is_agent_mode(self); }),
            method("redacted_dict", "The configuration with both credentials replaced by \"<redacted>\".",
                   [](nb::handle self) { return config_redacted_dict(self); }),
        });

    m.attr("BootstrapCheck") = rec::make_record(
        kModule, "BootstrapCheck", "A single Quick Connect / SDK bootstrap verification check.",
        {
            required("name", t.str_t),
            required("status", t.str_t),
            required("message", t.str_t),
            with_default("remediation", t.str_t, empty),
            fresh("raw", t.raw, t.dict_t, /*repr=*/false),
        },
        {
            property("ok", "status == \"ok\"", [](nb::handle self) { return equals(self.attr("status"), "ok"); }),
            property("warning", "status == \"warning\"",
                     [](nb::handle self) { return equals(self.attr("status"), "warning"); }),
            method("redacted_dict", "The check with its texts and raw mapping redacted.",
                   [mod](nb::handle self) { return check_redacted_dict(mod, self); }),
        });

    m.attr("ClaimAgentResult") = rec::make_record(
        kModule, "ClaimAgentResult", "Result of POST /v1/agents/claim.",
        {
            required("agent_id", t.str_t),
            required("name", t.str_t),
            required("status", t.str_t),
            with_default("key_id", t.str_t, empty),
            with_default("registered_at", t.opt_str, none),
            fresh("raw", t.raw, t.dict_t, /*repr=*/false),
        },
        {
            from_dict("Result from the claim response's JSON body.",
                      [](nb::handle cls, nb::handle data) { return claim_from_dict(cls, data); }),
            method("redacted_dict", "The result with its raw mapping redacted.",
                   [mod](nb::handle self) { return claim_redacted_dict(mod, self); }),
        });

    m.attr("BootstrapReport") = rec::make_record(
        kModule, "BootstrapReport", "Result from ``orvex_cloud.doctor()``.",
        {
            required("ok", t.bool_t),
            required("config", m.attr("ConnectConfig")),
            required("checks", rec::typing_form("List", {m.attr("BootstrapCheck")})),
            with_default("claimed_agent", rec::optional(m.attr("ClaimAgentResult")), none),
        },
        {
            method("raise_for_error",
                   "Return the report; raise RuntimeError(\"<name>: <message>\") for the first check "
                   "whose status is \"error\".",
                   [](nb::handle self) { return raise_for_error(self); }),
            method("redacted_dict", "The report with every part redacted.",
                   [](nb::handle self) { return report_redacted_dict(self); }),
        });
}

void define_approval_records(nb::module_ &m, const Types &t) {
    Module mod(m);
    nb::object none = nb::none();

    m.attr("ApprovalResponseRecord") = rec::make_record(
        kModule, "ApprovalResponseRecord", "A single approver response on an approval request.",
        {
            required("approver_key", t.str_t),
            required("signed_approval", t.str_t),
            with_default("external_id", t.str_t, nb::str("")),
            with_default("received_at", t.opt_str, none),
        },
        {from_dict("Response from its JSON object.",
                   [](nb::handle cls, nb::handle data) { return response_from_dict(cls, data); })});

    m.attr("ApprovalRequestRecord") = rec::make_record(
        kModule, "ApprovalRequestRecord", "Approval request returned by the Orvex Cloud API.",
        {
            required("id", t.str_t),
            required("status", t.str_t),
            required("warrant_id", t.str_t),
            required("tool", t.str_t),
            with_default("policy_id", t.opt_str, none),
            with_default("threshold", rec::optional(t.int_t), none),
            with_default("denied_reason", t.opt_str, none),
            with_default("expires_at", t.opt_str, none),
            fresh("responses", rec::typing_form("List", {m.attr("ApprovalResponseRecord")}), t.list_t),
            fresh("raw", t.raw, t.dict_t, /*repr=*/false),
        },
        {from_dict("Request from its JSON object; responses that are not objects are skipped.",
                   [mod](nb::handle cls, nb::handle data) { return request_from_dict(mod, cls, data); })});

    m.attr("ApprovalPolicyRecord") = rec::make_record(
        kModule, "ApprovalPolicyRecord", "Approval policy returned by the Orvex Cloud API.",
        {
            required("id", t.str_t),
            required("name", t.str_t),
            required("tool_pattern", t.str_t),
            required("threshold", t.int_t),
            required("approver_keys", rec::typing_form("List", {t.str_t})),
            with_default("ttl_seconds", t.int_t, nb::int_(300)),
            with_default("enabled", t.bool_t, nb::bool_(true)),
            fresh("raw", t.raw, t.dict_t, /*repr=*/false),
        },
        {from_dict("Policy from its JSON object (threshold 1, ttl_seconds 300, enabled when absent).",
                   [](nb::handle cls, nb::handle data) { return policy_from_dict(cls, data); })});
}

}  // namespace

NB_MODULE(models, m) {
    m.doc() =
        "Records exchanged with the Orvex Cloud API: Quick Connect bootstrap records and approval "
        "records, as dataclasses with native methods. Representations and redacted views never show "
        "a credential.";
    nb::object dataclasses = host::import_module("dataclasses");
    m.attr("dataclass") = nb::object(dataclasses.attr("dataclass"));
    m.attr("field") = nb::object(dataclasses.attr("field"));
    m.attr("redact_dict") = host::import_from("orvex_cloud.redaction", "redact_dict");
    m.attr("redact_text") = host::import_from("orvex_cloud.redaction", "redact_text");

    Types types;
    define_bootstrap_records(m, types);
    define_approval_records(m, types);
}
