#include "records.hpp"

#include <string>

#include "coro.hpp"
#include "host.hpp"

namespace orvex::records {

nb::object make_record(const char *module, const char *name, const char *doc,
                       const std::vector<Field> &fields, const std::vector<Method> &methods,
                       bool frozen, nb::handle extra_namespace) {
    nb::object dataclasses = host::import_module("dataclasses");
    nb::object field_fn = dataclasses.attr("field");

    nb::list spec;
    for (const Field &f : fields) {
        nb::dict options;
        if (f.default_.is_valid()) options["default"] = f.default_;
        if (!f.repr) options["repr"] = nb::bool_(false);
        if (options.size() == 0)
            spec.append(nb::make_tuple(nb::str(f.name), f.type));
        else
            spec.append(nb::make_tuple(nb::str(f.name), f.type,
                                       host::call(field_fn, nb::tuple(), options)));
    }

    nb::dict ns;
    if (extra_namespace.is_valid())
        for (auto [key, value] : nb::borrow<nb::dict>(extra_namespace)) ns[key] = value;
    ns["__module__"] = nb::str(module);
    ns["__qualname__"] = nb::str(name);
    if (doc) ns["__doc__"] = nb::str(doc);
    for (const Method &m : methods) {
        std::string qualname = std::string(name) + "." + m.name;
        ns[m.name] = coro::make_function(m.impl, m.name, qualname.c_str(), module, m.doc);
    }

    nb::object cls = host::call(dataclasses.attr("make_dataclass"),
                                nb::make_tuple(nb::str(name), spec),
                                host::kwargs({{"namespace", ns}, {"frozen", nb::bool_(frozen)}}));
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
