#include <nanobind/stl/string.h>

#include <complex>

#include "bindings.hpp"
#include "result.hpp"
#include "tavlo/base/format.hpp"

namespace tavlo::py {

using namespace nb::literals;

const VectorData* find_vector(const std::vector<VectorData>& vectors, std::string_view name) {
    auto find = [&](std::string_view n) -> const VectorData* {
        for (const auto& v : vectors)
            if (equals_ignore_ascii_case(v.name, n)) return &v;
        return nullptr;
    };
    if (const VectorData* v = find(name)) return v;
    const bool wrapped = name.size() >= 3 && name[1] == '(' && name.back() == ')';
    const char kind = wrapped ? static_cast<char>(name[0] | 0x20) : '\0';
    if (kind == 'v') {
        if (const VectorData* v = find(name.substr(2, name.size() - 3))) return v;
    }
    // ngspice's own notation for a source's current, i(vds), names the vector vds#branch.
    if (kind == 'i') return find(std::string(name.substr(2, name.size() - 3)) + "#branch");
    return find("V(" + std::string(name) + ")");
}

namespace {

const VectorData& lookup(const PySimulationResult& self, const std::string& name) {
    const VectorData* v = find_vector(self.response.vectors, name);
    if (!v) {
        std::vector<std::string> names;
        for (const auto& x : self.response.vectors) names.push_back(x.name);
        std::string msg = "vector '" + name + "' not found; available: " + quoted_name_list(names);
        PyErr_SetObject(PyExc_KeyError, nb::str(msg.c_str(), msg.size()).ptr());
        throw nb::python_error();
    }
    return *v;
}

}  // namespace

void register_result(nb::module_& m) {
    nb::class_<PySimulationResult>(m, "SimulationResult",
                                   "The result of a single ngspice simulation.\n"
                                   "\n"
                                   "Example::\n"
                                   "\n"
                                   "    result = pool.run_simulation(netlist, [\"run\"])\n"
                                   "    if not result.success:\n"
                                   "        print(\"failed:\", result.error)\n"
                                   "    else:\n"
                                   "        t = result.vector(\"time\")\n"
                                   "        out = result.vector(\"v(out)\")\n"
                                   "        everything = result.vectors_dict()\n")
        .def("__init__",
             [](PySimulationResult*, nb::args, nb::kwargs) {
                 throw nb::type_error("No constructor defined for SimulationResult");
             })
        .def_prop_ro("id", [](const PySimulationResult& s) { return s.response.id; },
                     "Correlation ID echoed from the request.")
        .def_prop_ro("success", [](const PySimulationResult& s) { return s.response.success; },
                     "``True`` if the simulation completed without ngspice errors.")
        .def_prop_ro("log", [](const PySimulationResult& s) {
                         nb::list out;
                         for (const auto& l : s.response.log) out.append(nb::str(l.data(), l.size()));
                         return out;
                     },
                     "ngspice log lines captured during the simulation.")
        .def_prop_ro("error", [](const PySimulationResult& s) -> nb::object {
                         if (!s.response.error) return nb::none();
                         return nb::str(s.response.error->data(), s.response.error->size());
                     },
                     "First error message seen, if any.")
        .def_prop_ro("measures", [](const PySimulationResult& s) {
                         nb::dict out;
                         for (const auto& [name, value] : s.response.measures)
                             out[nb::str(name.data(), name.size())] = nb::float_(value);
                         return out;
                     },
                     "Parsed ``.meas`` / ``.measure`` results as a ``dict[str, float]``.\n"
                     "\n"
                     "Empty when the netlist used no ``.measure`` statements.")
        .def("vector_names", [](const PySimulationResult& s) {
                 nb::list out;
                 for (const auto& v : s.response.vectors) out.append(nb::str(v.name.data(), v.name.size()));
                 return out;
             },
             nb::sig("def vector_names(self) -> list[str]"),
             "List of all vector names available in this result.")
        .def("vector", [](const PySimulationResult& s, nb::handle name) {
                 const VectorData& v = lookup(s, str_arg(name, "name"));
                 return to_numpy(std::vector<double>(v.real), {v.real.size()});
             },
             "name"_a, nb::sig("def vector(self, name: str) -> numpy.typing.NDArray[numpy.float64]"),
             "Return a single simulation vector as a 1-D NumPy array.\n"
             "\n"
             "Lookup is case-insensitive. ngspice names the vectors of numbered nodes like\n"
             "``V(1)`` and ``V(2)`` and the vectors of named nodes by the bare node name\n"
             "(``out``, ``in``); both forms are accepted interchangeably, so ``v(out)`` and\n"
             "``out`` both work. A source's current, ``vds#branch``, is also found as\n"
             "``i(vds)`` or ``I(VDS)``.\n"
             "\n"
             "Raises:\n"
             "    KeyError: if the vector is not found under any alias.")
        .def("complex_vector", [](const PySimulationResult& s, nb::handle name) {
                 std::string n = str_arg(name, "name");
                 const VectorData& v = lookup(s, n);
                 if (!v.complex)
                     throw nb::value_error(
                         ("vector '" + n + "' has no complex data (not an AC analysis result)").c_str());
                 return to_numpy(std::vector<std::complex<double>>(*v.complex), {v.complex->size()});
             },
             "name"_a, nb::sig("def complex_vector(self, name: str) -> numpy.typing.NDArray[numpy.complex128]"),
             "Return a complex AC vector as a 1-D NumPy complex128 array.\n"
             "\n"
             "Raises:\n"
             "    KeyError: if the vector is not found.\n"
             "    ValueError: if the vector has no complex data.")
        .def("vectors_dict", [](const PySimulationResult& s) {
                 nb::dict out;
                 for (const auto& v : s.response.vectors)
                     out[nb::str(v.name.data(), v.name.size())] =
                         nb::cast(to_numpy(std::vector<double>(v.real), {v.real.size()}));
                 return out;
             },
             nb::sig("def vectors_dict(self) -> dict[str, numpy.typing.NDArray[numpy.float64]]"),
             "Return all simulation vectors as a ``dict[str, np.ndarray]``.")
        .def("__repr__", [](const PySimulationResult& s) {
            return "SimulationResult(id='" + s.response.id + "', success=" + (s.response.success ? "true" : "false") +
                   ", vectors=" + std::to_string(s.response.vectors.size()) + ")";
        });
}

}  // namespace tavlo::py
