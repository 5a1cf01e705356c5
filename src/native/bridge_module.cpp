// The bridge module: owns the types of the coroutine bridge, created once per interpreter, and a
// few small native operations that exercise the shared pieces from Python in their own tests.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "coro.hpp"
#include "host.hpp"
#include "records.hpp"

namespace nb = nanobind;
using orvex::coro::Failure;
using orvex::coro::Task;

namespace {

constexpr const char *kModule = "orvex_cloud._bridge";

Task await_each(nb::list awaitables) {
    nb::list results;
    for (size_t i = 0; i < awaitables.size(); ++i) {
        nb::object value = co_await nb::borrow(awaitables[i]);
        results.append(value);
    }
    co_return results;
}

Task await_with_cleanup(nb::object awaitable, nb::object cleanup) {
    nb::object result;
    Failure failure;
    try {
        result = co_await awaitable;
    } catch (...) {
        failure.capture();
    }
    co_await cleanup();
    if (failure) failure.rethrow();
    co_return result;
}

Task await_catching(nb::object awaitable, nb::object exc_type) {
    try {
        nb::object value = co_await awaitable;
        co_return nb::make_tuple("returned", value);
    } catch (nb::python_error &e) {
        if (!e.matches(exc_type)) throw;
        co_return nb::make_tuple("caught", orvex::host::error_value(e));
    }
}

}  // namespace

NB_MODULE(_bridge, m) {
    m.doc() =
        "Shared native machinery of orvex_cloud: the coroutine and function types that native "
        "modules hand to Python, and small operations that exercise them in tests.";
    orvex::coro::register_types(m);

    m.attr("_await_each") = orvex::coro::make_async_function(
        nb::cpp_function(
            [](nb::iterable awaitables) {
                nb::list items;
                for (nb::handle a : awaitables) items.append(a);
                return orvex::coro::make_coroutine(await_each(items), "_await_each", "_await_each");
            },
            nb::arg("awaitables")),
        "_await_each", "_await_each", kModule, "Await each awaitable in turn; return their results.", "(awaitables)");

    m.attr("_await_with_cleanup") = orvex::coro::make_async_function(
        nb::cpp_function(
            [](nb::object awaitable, nb::object cleanup) {
                return orvex::coro::make_coroutine(await_with_cleanup(awaitable, cleanup),
                                                   "_await_with_cleanup", "_await_with_cleanup");
            },
            nb::arg("awaitable"), nb::arg("cleanup")),
        "_await_with_cleanup", "_await_with_cleanup", kModule,
        "Await `awaitable`; on every exit await `cleanup()` first.", "(awaitable, cleanup)");

    m.attr("_await_catching") = orvex::coro::make_async_function(
        nb::cpp_function(
            [](nb::object awaitable, nb::object exc_type) {
                return orvex::coro::make_coroutine(await_catching(awaitable, exc_type),
                                                   "_await_catching", "_await_catching");
            },
            nb::arg("awaitable"), nb::arg("exc_type")),
        "_await_catching", "_await_catching", kModule,
        "Await `awaitable`; return ('returned', value) or ('caught', exc) for `exc_type`.",
        "(awaitable, exc_type)");

    orvex::coro::def_function(
        m, "_record", "(name, field_names, frozen=False)",
        "Build a record class whose first field is required, the rest default to None, and "
        "whose last field is left out of the representation.",
        [](const char *name, nb::list field_names, bool frozen) {
            std::vector<orvex::records::Field> fields;
            std::vector<std::string> names;
            for (nb::handle f : field_names) names.push_back(nb::cast<std::string>(f));
            nb::object any = orvex::host::import_module("typing").attr("Any");
            for (size_t i = 0; i < names.size(); ++i)
                fields.push_back({names[i].c_str(), any, i == 0 ? nb::object() : nb::object(nb::none()),
                                  i + 1 < names.size()});
            nb::object values = nb::cpp_function([](nb::handle self) {
                nb::object dataclasses = orvex::host::import_module("dataclasses");
                nb::list out;
                for (nb::handle f : dataclasses.attr("fields")(self))
                    out.append(nb::getattr(self, f.attr("name")));
                return out;
            });
            return orvex::records::make_record(kModule, name, "A record made by the records helper.",
                                               fields, {{"values", values, "Field values in order."}},
                                               frozen);
        },
        nb::arg("name"), nb::arg("field_names"), nb::arg("frozen") = false);
}
