// Records helper: value records built with the host's dataclasses, so equality, repr, frozen
// errors, hashing, dataclasses.replace and fields behave exactly as for a Python dataclass.
// Their methods are native functions placed in the class namespace.
#pragma once

#include <nanobind/nanobind.h>

#include <vector>

namespace orvex::records {

namespace nb = nanobind;

struct Field {
    const char *name;
    nb::object type;        // annotation object (a class or a typing form)
    nb::object default_;    // invalid handle: required field
    bool repr = true;       // false: left out of the representation
    // Called for every new instance that omits the field (a new list or mapping each time);
    // takes the place of `default_`.
    nb::object default_factory = nb::object();
    // When set, a true value of the field is shown as repr(repr_mask) in the representation
    // (a credential in a record printed to a log). Equality and hashing are unchanged.
    nb::object repr_mask = nb::object();
};

enum class MethodKind { Instance, Class, Property };

struct Method {
    const char *name;
    nb::object impl;  // a callable taking the instance (or, for Class, the class) first
    const char *doc = nullptr;
    MethodKind kind = MethodKind::Instance;
    const char *text_signature = nullptr;  // e.g. "(cls, data)", for inspect.signature
};

// Builds `@dataclass(frozen=frozen) class <name>: ...` in module `module`. When a field has a
// repr_mask, the class gets a native __repr__ laid out as the dataclass one (qualified class name,
// `name=value` for every field shown, "..." on recursion) with the masked values replaced.
nb::object make_record(const char *module, const char *name, const char *doc,
                       const std::vector<Field> &fields, const std::vector<Method> &methods,
                       bool frozen = false, nb::handle extra_namespace = nb::handle());

// typing.Optional[t]
nb::object optional(nb::handle t);

// A typing form such as typing.Dict[str, typing.Any]: typing.<name>[args...]
nb::object typing_form(const char *name, std::initializer_list<nb::handle> args);

}  // namespace orvex::records
