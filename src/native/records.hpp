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
};

struct Method {
    const char *name;
    nb::object impl;  // a callable taking the instance first (usually an nb::cpp_function)
    const char *doc = nullptr;
};

// Builds `@dataclass(frozen=frozen) class <name>: ...` in module `module`.
nb::object make_record(const char *module, const char *name, const char *doc,
                       const std::vector<Field> &fields, const std::vector<Method> &methods,
                       bool frozen = false, nb::handle extra_namespace = nb::handle());

// typing.Optional[t]
nb::object optional(nb::handle t);

// A typing form such as typing.Dict[str, typing.Any]: typing.<name>[args...]
nb::object typing_form(const char *name, std::initializer_list<nb::handle> args);

}  // namespace orvex::records
