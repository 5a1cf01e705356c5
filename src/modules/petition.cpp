// orvex_cloud.petition: the body of a cloud approval request, built from the core library's
// approval request object. No network access; the attestation is produced with the holder's
// signing key when the request does not carry one.
#include <nanobind/nanobind.h>

#include <array>

#include "coro.hpp"
#include "host.hpp"
#include "records.hpp"

namespace nb = nanobind;
using orvex::host::Module;
namespace host = orvex::host;

namespace {

constexpr const char *kModule = "orvex_cloud.petition";

constexpr const char *kHolderKeyRequired =
    "request.holder_key is required for cloud approval - ensure the warrant is bound before "
    "enforcement";
constexpr const char *kAttestationRequired =
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant "
    "is bound so key_scope() resolves the holder key";
constexpr const char *kHashUnresolved = "request_hash could not be resolved for approval request";
constexpr const char *kHashType = "request.request_hash must be bytes or hex string";

[[noreturn]] void raise_cloud_error(const Module &m, const char *message) {
    host::raise_new(m.attr(ORVEX_STR("OrvexCloudError")), message);
}

nb::object empty_bytes() {
    PyObject *empty = PyBytes_FromStringAndSize(nullptr, 0);
    if (!empty) throw nb::python_error();
    return nb::steal(empty);
}

nb::object resolve_holder_key(const Module &, nb::handle request) {
    nb::object hk = host::getattr_or(request, ORVEX_STR("holder_key"), nb::none());
    if (hk.is_none()) return empty_bytes();
    if (host::is_bytes_like(hk)) return host::to_bytes(hk);
    if (PyUnicode_Check(hk.ptr())) return host::bytes_fromhex(hk);
    nb::object to_bytes = host::getattr_or(hk, ORVEX_STR("to_bytes"), nb::none());
    if (PyCallable_Check(to_bytes.ptr())) return host::to_bytes(to_bytes());
    return empty_bytes();
}

nb::object resolve_signing_key(const Module &m, nb::handle explicit_key) {
    if (!explicit_key.is_none()) return nb::borrow(explicit_key);
    try {
        nb::object key_scope = host::import_from("orvex.decorators", "key_scope");
        return key_scope();
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ImportError)) return nb::none();
        if (!e.matches(PyExc_Exception)) throw;
        // Taken back as a normalised exception: before 3.12 python_error may hold only the raw
        // value (the message text), and the error itself is what gets logged.
        e.restore();
        nb::object error = host::fetch_error();
        host::log(m.attr(ORVEX_STR("logger")), "debug", "key_scope unavailable: %s", {error});
        return nb::none();
    }
}

nb::object normalize_request_hash(const Module &m, nb::handle value) {
    if (host::is_bytes_like(value)) return host::to_bytes(value);
    if (PyUnicode_Check(value.ptr())) return host::bytes_fromhex(value);
    raise_cloud_error(m, kHashType);
}

nb::object extract_policy_id(const Module &, nb::handle request, nb::handle override_id) {
    if (host::truthy(override_id)) return nb::borrow(override_id);
    for (nb::handle attr : {ORVEX_STR("policy_id"), ORVEX_STR("policy_ref")}) {
        nb::object value = host::getattr_or(request, attr, nb::none());
        if (PyUnicode_Check(value.ptr()) && PyUnicode_GetLength(value.ptr()) > 0) return value;
    }
    return nb::none();
}

nb::object extract_inline_rules(const Module &, nb::handle request) {
    nb::object approver_keys = nb::none();
    nb::object required = host::getattr_or(request, ORVEX_STR("required_approvers"), nb::none());
    if (host::truthy(required)) {
        nb::list keys;
        for (nb::handle k : required) {
            if (host::is_bytes_like(k))
                keys.append(k.attr(ORVEX_STR("hex"))());
            else
                keys.append(host::str(k));
        }
        approver_keys = keys;
    }
    nb::object threshold = host::getattr_or(request, ORVEX_STR("min_approvals"), nb::none());
    nb::object ttl = host::getattr_or(request, ORVEX_STR("ttl_seconds"), nb::none());
    if (ttl.is_none()) {
        nb::object gate_ttl = host::getattr_or(request, ORVEX_STR("gate_ttl"), nb::none());
        if (!gate_ttl.is_none()) ttl = host::to_int(gate_ttl);
    }
    return nb::make_tuple(approver_keys, threshold, ttl);
}

nb::object build_attestation_fields(const Module &m, nb::handle request, nb::handle signing_key,
                                    nb::handle /* holder_key: required, not consulted */) {
    nb::object build = host::import_from("orvex_core", "py_build_approval_context_attestation");
    nb::object holder_pub = signing_key.attr(ORVEX_STR("public_key"));
    // Read into objects first: a lookup failing inside the call's argument packing would abort.
    nb::object warrant_id = request.attr(ORVEX_STR("warrant_id"));
    nb::object tool = request.attr(ORVEX_STR("tool"));
    nb::object arguments = request.attr(ORVEX_STR("arguments"));
    nb::object built = build(signing_key, warrant_id, tool, arguments, holder_pub);
    std::vector<nb::object> parts = host::unpack(built, 2);
    nb::object attestation = host::to_dict(parts[1]);

    // A request whose hash attribute holds None counts as one without it, so the attestation's
    // hash can still complete it.
    nb::object raw_hash = host::getattr_or(request, ORVEX_STR("request_hash"), nb::none());
    if (raw_hash.is_none()) raw_hash = empty_bytes();
    nb::object request_hash = m.attr(ORVEX_STR("_normalize_request_hash"))(raw_hash);

    nb::object att_hash = attestation.attr(ORVEX_STR("get"))("request_hash");
    if (host::truthy(att_hash)) {
        try {
            request_hash = host::bytes_fromhex(host::str(att_hash));
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        }
    }
    return nb::make_tuple(parts[0], attestation, request_hash);
}

nb::object build_payload(const Module &m, nb::handle request, nb::handle signing_key,
                         nb::handle policy_id, nb::handle idempotency_key) {
    nb::object holder_key = m.attr(ORVEX_STR("_resolve_holder_key"))(request);
    if (!host::truthy(holder_key)) raise_cloud_error(m, kHolderKeyRequired);

    nb::object args_b64 = host::getattr_or(request, ORVEX_STR("args_canonical_cbor_b64"), nb::str(""));
    if (!host::truthy(args_b64)) args_b64 = nb::str("");
    nb::object attestation = host::getattr_or(request, ORVEX_STR("approval_context_attestation"), nb::none());
    attestation = host::to_dict(host::truthy(attestation) ? attestation : nb::dict());

    nb::object resolved_key = m.attr(ORVEX_STR("_resolve_signing_key"))(signing_key);

    nb::object request_hash = empty_bytes();
    nb::object raw_hash = host::getattr_or(request, ORVEX_STR("request_hash"), nb::none());
    if (!raw_hash.is_none()) request_hash = m.attr(ORVEX_STR("_normalize_request_hash"))(raw_hash);

    if (!host::truthy(args_b64) || !host::truthy(attestation)) {
        if (resolved_key.is_none()) raise_cloud_error(m, kAttestationRequired);
        nb::object built = host::call(
            m.attr(ORVEX_STR("_build_attestation_fields")), nb::make_tuple(request),
            host::kwargs({{ORVEX_STR("signing_key"), resolved_key}, {ORVEX_STR("holder_key"), holder_key}}));
        std::vector<nb::object> parts = host::unpack(built, 3);
        args_b64 = parts[0];
        attestation = parts[1];
        request_hash = parts[2];
    }

    if (!host::truthy(request_hash)) {
        nb::object att_hash = attestation.attr(ORVEX_STR("get"))("request_hash");
        if (!host::truthy(att_hash)) raise_cloud_error(m, kHashUnresolved);
        request_hash = host::bytes_fromhex(host::str(att_hash));
    }

    std::vector<nb::object> rules = host::unpack(m.attr(ORVEX_STR("_extract_inline_rules"))(request), 3);
    nb::object resolved_policy = m.attr(ORVEX_STR("_extract_policy_id"))(request, policy_id);

    nb::object arguments = host::getattr_or(request, ORVEX_STR("arguments"), nb::none());
    nb::object metadata = PyDict_Check(arguments.ptr()) ? arguments : nb::none();

    nb::object idem = nb::borrow(idempotency_key);
    if (!host::truthy(idem)) idem = host::getattr_or(request, ORVEX_STR("idempotency_key"), nb::none());

    nb::dict fields = host::kwargs({
        {ORVEX_STR("warrant_id"), host::str(host::getattr_or(request, ORVEX_STR("warrant_id"), nb::str("")))},
        {ORVEX_STR("tool"), host::str(host::getattr_or(request, ORVEX_STR("tool"), nb::str("")))},
        {ORVEX_STR("request_hash"), request_hash},
        {ORVEX_STR("holder_key"), holder_key},
        {ORVEX_STR("args_canonical_cbor_b64"), args_b64},
        {ORVEX_STR("approval_context_attestation"), attestation},
        {ORVEX_STR("metadata"), metadata},
        {ORVEX_STR("policy_id"), resolved_policy},
        {ORVEX_STR("threshold"), rules[1]},
        {ORVEX_STR("approver_keys"), rules[0]},
        {ORVEX_STR("ttl_seconds"), rules[2]},
        {ORVEX_STR("idempotency_key"), idem},
    });
    return host::call(m.attr(ORVEX_STR("ApprovalRequestPayload")), nb::tuple(), fields);
}

// The body keys in order, with how each optional one is tested before it is sent.
enum class Presence { Always, NotNone, Truthy };
struct BodyKey {
    const char *name;
    Presence presence;
};
constexpr BodyKey kBodyKeys[] = {
    {"warrant_id", Presence::Always},
    {"tool", Presence::Always},
    {"request_hash", Presence::Always},
    {"holder_key", Presence::Always},
    {"args_canonical_cbor_b64", Presence::Always},
    {"approval_context_attestation", Presence::Always},
    {"metadata", Presence::NotNone},
    {"policy_id", Presence::Truthy},
    {"threshold", Presence::NotNone},
    {"approver_keys", Presence::NotNone},
    {"ttl_seconds", Presence::NotNone},
    {"idempotency_key", Presence::Truthy},
};

constexpr size_t kBodyKeyCount = sizeof(kBodyKeys) / sizeof(kBodyKeys[0]);

// The body key names as interned strings, made once.
const std::array<nb::handle, kBodyKeyCount> &body_key_names() {
    static const std::array<nb::handle, kBodyKeyCount> names = [] {
        std::array<nb::handle, kBodyKeyCount> made;
        for (size_t i = 0; i < kBodyKeyCount; ++i) made[i] = host::intern_or_die(kBodyKeys[i].name);
        return made;
    }();
    return names;
}

nb::object to_create_request_kwargs(nb::handle self) {
    nb::dict body;
    const auto &names = body_key_names();
    for (size_t i = 0; i < kBodyKeyCount; ++i) {
        nb::handle name = names[i];
        bool present = true;
        if (kBodyKeys[i].presence == Presence::NotNone)
            present = !self.attr(name).is_none();
        else if (kBodyKeys[i].presence == Presence::Truthy)
            present = host::truthy(self.attr(name));
        if (present) body[name] = nb::object(self.attr(name));
    }
    return body;
}

constexpr const char *kPayloadDoc =
    "Fully populated body for POST /v1/approvals/requests.\n\n"
    "Built by build_approval_request_payload() from the core library's approval request; sent\n"
    "as create_request(**payload.to_create_request_kwargs()). request_hash and holder_key are\n"
    "raw bytes; approval_context_attestation is the attestation mapping signed by the holder.";

nb::object make_payload_class() {
    namespace rec = orvex::records;
    nb::handle str_t = (PyObject *) &PyUnicode_Type;
    nb::handle bytes_t = (PyObject *) &PyBytes_Type;
    nb::handle int_t = (PyObject *) &PyLong_Type;
    nb::object any = host::import_module("typing").attr(ORVEX_STR("Any"));
    nb::object mapping = rec::typing_form("Dict", {str_t, any});
    nb::object none = nb::none();
    std::vector<rec::Field> fields = {
        {"warrant_id", nb::borrow(str_t), {}},
        {"tool", nb::borrow(str_t), {}},
        {"request_hash", nb::borrow(bytes_t), {}},
        {"holder_key", nb::borrow(bytes_t), {}},
        {"args_canonical_cbor_b64", nb::borrow(str_t), {}},
        {"approval_context_attestation", mapping, {}},
        {"metadata", rec::optional(mapping), none},
        {"policy_id", rec::optional(str_t), none},
        {"threshold", rec::optional(int_t), none},
        {"approver_keys", rec::optional(rec::typing_form("List", {str_t})), none},
        {"ttl_seconds", rec::optional(int_t), none},
        {"idempotency_key", rec::optional(str_t), none},
    };
    std::vector<rec::Method> methods = {
        {"to_create_request_kwargs",
         nb::cpp_function([](nb::handle self) { return to_create_request_kwargs(self); },
                          nb::arg("self")),
         "Keyword arguments for OrvexCloudClient.create_request: the request body, optional keys "
         "left out when unset."},
    };
    return rec::make_record(kModule, "ApprovalRequestPayload", kPayloadDoc, fields, methods);
}

}  // namespace

NB_MODULE(petition, m) {
    m.doc() =
        "Approval request payload: turns the core library's approval request into the body of a "
        "cloud approval request (holder key, request hash, canonical arguments, attestation, "
        "inline approval rules). Makes no network call.";
    nb::object dataclasses = host::import_module("dataclasses");
    m.attr(ORVEX_STR("logging")) = host::import_module("logging");
    m.attr(ORVEX_STR("dataclass")) = nb::object(dataclasses.attr(ORVEX_STR("dataclass")));
    m.attr(ORVEX_STR("OrvexCloudError")) = host::import_from("orvex_cloud.exceptions", "OrvexCloudError");
    m.attr(ORVEX_STR("logger")) = m.attr(ORVEX_STR("logging")).attr(ORVEX_STR("getLogger"))(kModule);
    m.attr(ORVEX_STR("ApprovalRequestPayload")) = make_payload_class();

    // Every parameter takes None, as a Python function's would (nanobind refuses it unless told).
    Module mod(m);
    using orvex::coro::def_function;
    def_function(
        m, "build_approval_request_payload",
        "(request, *, signing_key=None, policy_id=None, idempotency_key=None)",
        "Build the complete cloud approval-request body for `request`.\n\n"
        "Raises OrvexCloudError when the request has no holder key, no attestation (and no\n"
        "signing key to make one) or no resolvable request hash.",
        [mod](nb::object request, nb::object signing_key, nb::object policy_id,
              nb::object idempotency_key) {
            return build_payload(mod, request, signing_key, policy_id, idempotency_key);
        },
        nb::arg("request").none(), nb::kw_only(), nb::arg("signing_key") = nb::none(),
        nb::arg("policy_id") = nb::none(), nb::arg("idempotency_key") = nb::none());
    def_function(
        m, "_resolve_holder_key", "(request)",
        "The holder's public key as bytes (empty when the request has none).",
        [mod](nb::object request) { return resolve_holder_key(mod, request); }, nb::arg("request").none());
    def_function(
        m, "_resolve_signing_key", "(explicit=None)",
        "The explicit key, else the key bound by the core library's key_scope(), else None.",
        [mod](nb::object explicit_key) { return resolve_signing_key(mod, explicit_key); },
        nb::arg("explicit") = nb::none());
    def_function(
        m, "_normalize_request_hash", "(value)", "Request hash as bytes, from bytes, bytearray or hex text.",
        [mod](nb::object value) { return normalize_request_hash(mod, value); }, nb::arg("value").none());
    def_function(
        m, "_extract_policy_id", "(request, override=None)",
        "The override, else the request's non-empty policy_id or policy_ref text, else None.",
        [mod](nb::object request, nb::object override_id) {
            return extract_policy_id(mod, request, override_id);
        },
        nb::arg("request").none(), nb::arg("override") = nb::none());
    def_function(
        m, "_extract_inline_rules", "(request)",
        "(approver keys as text, minimum approvals, time to live in seconds) of the request.",
        [mod](nb::object request) { return extract_inline_rules(mod, request); },
        nb::arg("request").none());
    def_function(
        m, "_build_attestation_fields", "(request, *, signing_key, holder_key)",
        "(canonical-arguments base64, attestation mapping, request hash) made with the core "
        "library and `signing_key`.",
        [mod](nb::object request, nb::object signing_key, nb::object holder_key) {
            return build_attestation_fields(mod, request, signing_key, holder_key);
        },
        nb::arg("request").none(), nb::kw_only(), nb::arg("signing_key").none(),
        nb::arg("holder_key").none());
}
