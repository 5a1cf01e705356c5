#include "records.hpp"

#include <string>

#include "coro.hpp"
#include "host.hpp"

namespace orvex::records {

namespace {

struct ShownField {
    nb::object name;
    nb::object mask;  // invalid: shown as it is
};

// The dataclass representation, with masked fields replaced when their value is true.
nb::object masked_repr(nb::handle self, const std::vector<ShownField> &shown) {
    int entered = Py_ReprEnter(self.ptr());
    if (entered < 0) throw nb::python_error();
    if (entered > 0) return nb::str("...");
    struct Leave {
        PyObject *obj;
        ~Leave() { Py_ReprLeave(obj); }
    } leave{self.ptr()};

    nb::object qualname = self.attr("__class__").attr("__qualname__");
    nb::list parts;
    for (const ShownField &f : shown) {
        nb::object value = getattr(self, f.name);
        nb::handle show = (f.mask.is_valid() && host::truthy(value)) ? nb::handle(f.mask) : value;
        PyObject *text = PyObject_Repr(show.ptr());
        if (!text) throw nb::python_error();
        parts.append(nb::str("{}={}").format(f.name, nb::steal(text)));
    }
    return nb::str("{}({})").format(qualname, nb::str(", ").attr("join")(parts));
}

nb::object wrap_method(const Method &m, const char *record, const char *module) {
    std::string qualname = std::string(record) + "." + m.name;
    nb::object fn = coro::make_function(m.impl, m.name, qualname.c_str(), module, m.doc,
                                        m.text_signature);
    switch (m.kind) {
        case MethodKind::Class: {
            PyObject *method = PyClassMethod_New(fn.ptr());
            if (!method) throw nb::python_error();
            return nb::steal(method);
        }
        case MethodKind::Property:
            return host::call(nb::handle((PyObject *) &PyProperty_Type), nb::make_tuple(fn),
                              nb::handle());
        default:
            return fn;
    }
}

}  // namespace

nb::object make_record(const char *module, const char *name, const char *doc,
                       const std::vector<Field> &fields, const std::vector<Method> &methods,
                       bool frozen, nb::handle extra_namespace) {
    nb::object dataclasses = host::import_module("dataclasses");
    nb::object field_fn = dataclasses.attr("field");

    nb::list field_list;
    std::vector<ShownField> shown;
    bool masked = false;
    for (const Field &f : fields) {
        if (f.repr) shown.push_back({nb::str(f.name), f.repr_mask});
        masked = masked || f.repr_mask.is_valid();
        nb::dict options;
        if (f.default_factory.is_valid())
            options["default_factory"] = f.default_factory;
        else if (f.default_.is_valid())
            options["default"] = f.default_;
        if (!f.repr) options["repr"] = nb::bool_(false);
        if (options.size() == 0)
            field_list.append(nb::make_tuple(nb::str(f.name), f.type));
        else
            field_list.append(nb::make_tuple(nb::str(f.name), f.type,
                                       host::call(field_fn, nb::tuple(), options)));
    }

    nb::dict ns;
    if (extra_namespace.is_valid())
        for (auto [key, value] : nb::borrow<nb::dict>(extra_namespace)) ns[key] = value;
    ns["__module__"] = nb::str(module);
    ns["__qualname__"] = nb::str(name);
    if (doc) ns["__doc__"] = nb::str(doc);
    for (const Method &m : methods) ns[m.name] = wrap_method(m, name, module);
    if (masked) {
        // dataclass keeps a __repr__ the class already defines.
        Method repr{"__repr__",
                    nb::cpp_function([shown](nb::handle self) { return masked_repr(self, shown); },
                                     nb::arg("self")),
                    "Return repr(self).", MethodKind::Instance, "(self, /)"};
        ns["__repr__"] = wrap_method(repr, name, module);
    }

    nb::object cls = host::call(dataclasses.attr("make_dataclass"),
                                nb::make_tuple(nb::str(name), field_list),
                                host::kwargs({{ORVEX_STR("namespace"), ns}, {ORVEX_STR("frozen"), nb::bool_(frozen)}}));
    // Newer hosts set __module__ from the calling frame after building the class.
    cls.attr("__module__") = nb::str(module);
    return cls;
}

nb::object optional(nb::handle t) { return host::import_module("typing").attr("Optional")[t]; }

nb::object typing_form(const char *name, std::initializer_list<nb::handle> args) {
    nb::object form = host::import_module("typing").attr(name);
    nb::list items;
    for (nb::handle a : args) items.append(a);
    if (items.size() == 1) return form[items[0]];
    return form[nb::tuple(items)];
}

}  // namespace orvex::records
