#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cmath>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "tavlo/base/format.hpp"

namespace tavlo::py {

using namespace nb::literals;

namespace {

std::optional<std::string> opt_str_arg(nb::handle h, const char* arg) {
    if (h.is_none()) return std::nullopt;
    return str_arg(h, arg);
}

SweepRange range_arg(nb::handle h, const char* arg) {
    if (!PyTuple_Check(h.ptr()) && !PyList_Check(h.ptr()))
        arg_type_error(arg, "expected a tuple (start, stop, step), got " + type_name_of(h));
    nb::sequence seq = nb::borrow<nb::sequence>(h);
    if (nb::len(seq) != 3)
        arg_type_error(arg, "expected 3 values (start, stop, step), got " + std::to_string(nb::len(seq)));
    return {float_arg(seq[0], arg), float_arg(seq[1], arg), float_arg(seq[2], arg)};
}

nb::tuple range_tuple(const SweepRange& r) { return nb::make_tuple(r.start, r.stop, r.step); }

std::string shape_text(const std::vector<std::size_t>& shape) {
    std::string s = "(";
    for (std::size_t k = 0; k < shape.size(); ++k) {
        if (k) s += ", ";
        s += std::to_string(shape[k]);
    }
    return s + (shape.size() == 1 ? ",)" : ")");
}

using Float64Array = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

// Any array-like as contiguous float64; conversion errors name the argument.
Float64Array array_arg(nb::handle h, const char* arg) {
    // Looked up per call: a static Python object would be released after the interpreter is gone.
    nb::object ascontiguousarray = nb::module_::import_("numpy").attr("ascontiguousarray");
    nb::object converted;
    try {
        converted = ascontiguousarray(h, "dtype"_a = "float64");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
        const bool type_error = e.matches(PyExc_TypeError);
        const std::string msg = "argument '" + std::string(arg) + "': " + nb::str(e.value()).c_str();
        if (type_error) throw nb::type_error(msg.c_str());
        throw nb::value_error(msg.c_str());
    }
    return nb::cast<Float64Array>(converted);
}

std::vector<std::size_t> shape_of(const Float64Array& a) {
    std::vector<std::size_t> s(a.ndim());
    for (std::size_t k = 0; k < a.ndim(); ++k) s[k] = a.shape(k);
    return s;
}

std::vector<double> axis_arg(nb::handle h, const char* arg) {
    Float64Array a = array_arg(h, arg);
    if (a.ndim() != 1)
        throw nb::value_error((std::string(arg) + " must be a 1-D array, got shape " + shape_text(shape_of(a))).c_str());
    return std::vector<double>(a.data(), a.data() + a.shape(0));
}

std::vector<double> table_arg(nb::handle h, const char* arg, std::size_t nl, std::size_t nvgs, std::size_t nvds) {
    Float64Array a = array_arg(h, arg);
    const std::vector<std::size_t> shape = shape_of(a), expected{nl, nvgs, nvds};
    // A single-length table may also come as its 2-D form, the shape the properties hand out.
    const bool ok = shape == expected || (nl == 1 && shape == std::vector<std::size_t>{nvgs, nvds});
    if (!ok)
        throw nb::value_error((std::string(arg) + " has shape " + shape_text(shape) + ", expected " +
                               shape_text(expected) + " from lengths, vgs and vds")
                                  .c_str());
    return std::vector<double>(a.data(), a.data() + a.size());
}

// The tables in the 2-D form for one length, 3-D otherwise; always a copy.
nb::ndarray<nb::numpy, double> table_array(const TransistorLut& t, const std::vector<double>& table) {
    std::vector<double> copy(table);
    if (t.single_length()) return to_numpy(std::move(copy), {t.n_vgs(), t.n_vds()});
    return to_numpy(std::move(copy), {t.n_l(), t.n_vgs(), t.n_vds()});
}

#define TABLE_SHAPES "\n\nShape ``(n_vgs, n_vds)`` for a single-length table, ``(n_l, n_vgs, n_vds)`` for an L sweep."

constexpr const char* kLutConfigDoc =
    "Transistor characterisation configuration.\n"
    "\n"
    "Example:\n"
    "    Built-in Level-3 NMOS model::\n"
    "\n"
    "        cfg = LutConfig()\n"
    "\n"
    "    External model file::\n"
    "\n"
    "        cfg = LutConfig(\n"
    "            device_type=\"nmos\",\n"
    "            model_file=\"/path/to/models.lib\",\n"
    "            model_name=\"nch_lvt\",\n"
    "            width=1e-6,\n"
    "            length=180e-9,\n"
    "            vgs=(0.0, 1.8, 0.01),\n"
    "            vds=(0.0, 1.8, 0.01),\n"
    "        )\n";

constexpr const char* kTransistorLutDoc =
    "A fully characterised transistor look-up table.\n"
    "\n"
    "``id``, ``gm`` and ``gds`` are NumPy arrays of shape ``(n_vgs, n_vds)`` when a single\n"
    "length was characterised, and ``(n_l, n_vgs, n_vds)`` for an L sweep; ``lengths`` is then\n"
    "``None`` or the 1-D length axis. Every access returns a fresh copy.\n"
    "\n"
    "Example::\n"
    "\n"
    "    lut = pool.generate_lut(LutConfig())\n"
    "    lut.id.shape            # (37, 37)\n"
    "    lut.id[lut.vgs.searchsorted(0.9), -1]   # Id at Vgs = 0.9 V, Vds = 1.8 V\n"
    "    lut.to_csv(\"nmos.csv\")\n";

}  // namespace

void register_lut_config(nb::module_& m) {
    nb::class_<PyLutConfig>(m, "LutConfig", kLutConfigDoc)
        .def(
            "__init__",
            [](PyLutConfig* self, nb::handle device_type, nb::handle width, nb::handle length, nb::handle lengths,
               nb::handle vgs, nb::handle vds, nb::handle vbs, nb::handle model_card, nb::handle model_file,
               nb::handle model_section, nb::handle model_name) {
                std::string dt = str_arg(device_type, "device_type");
                const double w = float_arg(width, "width");
                const double l = float_arg(length, "length");
                const SweepRange ls = lengths.is_none() ? SweepRange{l, l, 1.0} : range_arg(lengths, "lengths");
                const SweepRange g = range_arg(vgs, "vgs");
                const SweepRange d = range_arg(vds, "vds");
                const double b = float_arg(vbs, "vbs");
                std::string card = str_arg(model_card, "model_card");
                auto file = opt_str_arg(model_file, "model_file");
                auto section = opt_str_arg(model_section, "model_section");
                auto name = opt_str_arg(model_name, "model_name");
                if (!name) name = dt == "pmos" ? "pch" : "nch";
                new (self) PyLutConfig{w, ls, g, d, b, std::move(file), std::move(section),
                                       std::move(dt), std::move(card), std::move(*name)};
            },
            "device_type"_a.none() = "nmos", "width"_a.none() = 1e-5, "length"_a.none() = 5e-7,
            "lengths"_a.none() = nb::none(), "vgs"_a.none() = nb::make_tuple(0.0, 1.8, 0.05),
            "vds"_a.none() = nb::make_tuple(0.0, 1.8, 0.05), "vbs"_a.none() = 0.0, "model_card"_a.none() = "",
            "model_file"_a.none() = nb::none(), "model_section"_a.none() = nb::none(),
            "model_name"_a.none() = nb::none(),
            nb::sig("def __init__(self, device_type: str = \"nmos\", width: float = 10e-6, length: float = 500e-9, "
                    "lengths: tuple[float, float, float] | None = None, vgs: tuple[float, float, float] = ..., "
                    "vds: tuple[float, float, float] = ..., vbs: float = 0.0, model_card: str = \"\", "
                    "model_file: str | None = None, model_section: str | None = None, "
                    "model_name: str | None = None) -> None"))
        .def_prop_ro("device_type", [](const PyLutConfig& c) { return c.device_type; })
        .def_prop_ro("width", [](const PyLutConfig& c) { return c.width; })
        .def_prop_ro(
            "length", [](const PyLutConfig& c) { return c.lengths.start; }, "First (or only) length value in metres.")
        .def_prop_ro(
            "lengths",
            [](const PyLutConfig& c) -> nb::object {
                if (std::abs(c.lengths.stop - c.lengths.start) < 1e-30) return nb::none();
                return range_tuple(c.lengths);
            },
            "Length sweep as ``(start, stop, step)``.\nReturns ``None`` when a single length was specified.")
        .def_prop_ro("vgs", [](const PyLutConfig& c) { return range_tuple(c.vgs); })
        .def_prop_ro("vds", [](const PyLutConfig& c) { return range_tuple(c.vds); })
        .def_prop_ro("vbs", [](const PyLutConfig& c) { return c.vbs; })
        .def_prop_ro("model_card", [](const PyLutConfig& c) { return c.model_card; })
        .def_prop_ro("model_file", [](const PyLutConfig& c) { return c.model_file; })
        .def_prop_ro("model_section", [](const PyLutConfig& c) { return c.model_section; })
        .def_prop_ro("model_name", [](const PyLutConfig& c) { return c.model_name; })
        .def("__repr__", [](const PyLutConfig& c) {
            const std::uint32_t n = c.lengths.point_count() - 1;  // u32 arithmetic, as the count itself
            std::string s = "LutConfig(device_type='" + c.device_type + "', model_name='" + c.model_name +
                            "', W=" + format_sci(c.width, 3) + ", L=" + format_sci(c.lengths.start, 3);
            if (n != 0) s += ".." + format_sci(c.lengths.stop, 3) + " (" + std::to_string(n + 1u) + " pts)";
            // The card is part of the circuit: shown, so that nothing runs unseen when it is reused.
            if (!c.model_card.empty()) {
                s += ", model_card=";
                s += nb::repr(nb::cast(c.model_card)).c_str();
            }
            return s + ")";
        });
}

void register_transistor_lut(nb::module_& m) {
    nb::class_<PyTransistorLut>(m, "TransistorLut", kTransistorLutDoc)
        .def(
            "__init__",
            [](PyTransistorLut*, nb::args, nb::kwargs) {
                throw nb::type_error("No constructor defined for TransistorLut");
            },
            nb::sig("def __init__(self, *args, **kwargs) -> None"))
        .def_static(
            "_from_arrays",
            [](nb::handle width, nb::handle vbs, nb::handle lengths, nb::handle vgs, nb::handle vds, nb::handle id,
               nb::handle gm, nb::handle gds) {
                TransistorLut t;
                t.width = float_arg(width, "width");
                if (!(t.width > 0.0) || !std::isfinite(t.width))
                    throw nb::value_error((std::string("width must be a finite positive number of metres, got ") +
                                           nb::repr(nb::cast(t.width)).c_str())
                                              .c_str());
                t.vbs = float_arg(vbs, "vbs");
                t.lengths = axis_arg(lengths, "lengths");
                if (t.lengths.empty()) throw nb::value_error("lengths must hold at least one value");
                t.vgs = axis_arg(vgs, "vgs");
                t.vds = axis_arg(vds, "vds");
                t.id = table_arg(id, "id", t.n_l(), t.n_vgs(), t.n_vds());
                t.gm = table_arg(gm, "gm", t.n_l(), t.n_vgs(), t.n_vds());
                t.gds = table_arg(gds, "gds", t.n_l(), t.n_vgs(), t.n_vds());
                return PyTransistorLut{std::move(t)};
            },
            "width"_a.none(), "vbs"_a.none(), "lengths"_a.none(), "vgs"_a.none(), "vds"_a.none(), "id"_a.none(),
            "gm"_a.none(), "gds"_a.none(),
            // Qualified names, so that the generated stub imports what it refers to.
            nb::sig("def _from_arrays(width: float, vbs: float, lengths: numpy.typing.ArrayLike, "
                    "vgs: numpy.typing.ArrayLike, vds: numpy.typing.ArrayLike, id: numpy.typing.ArrayLike, "
                    "gm: numpy.typing.ArrayLike, gds: numpy.typing.ArrayLike) -> TransistorLut"),
            "Internal: a table from its axes (1-D) and its id, gm and gds arrays of shape\n"
            "``(n_l, n_vgs, n_vds)``; used when loading saved tables. Every array is copied.")
        .def_prop_ro(
            "width", [](const PyTransistorLut& s) { return s.lut.width; },
            "Gate width used during characterisation (m).")
        .def_prop_ro(
            "vbs", [](const PyTransistorLut& s) { return s.lut.vbs; },
            "Fixed bulk-source voltage used during characterisation (V).")
        .def_prop_ro(
            "lengths",
            [](const PyTransistorLut& s) -> nb::object {
                if (s.lut.single_length()) return nb::none();
                return nb::cast(to_numpy(std::vector<double>(s.lut.lengths), {s.lut.n_l()}));
            },
            "Gate-length axis values (1-D numpy array) when an L sweep was used,\n"
            "or ``None`` when a single length was specified.")
        .def_prop_ro(
            "_length_axis",
            [](const PyTransistorLut& s) { return to_numpy(std::vector<double>(s.lut.lengths), {s.lut.n_l()}); },
            nb::rv_policy::move, "Internal: the length axis as a 1-D array, one entry for a single length.")
        .def_prop_ro(
            "vgs", [](const PyTransistorLut& s) { return to_numpy(std::vector<double>(s.lut.vgs), {s.lut.n_vgs()}); },
            nb::rv_policy::move, "Vgs axis values (1-D numpy array, shape ``(n_vgs,)``).")
        .def_prop_ro(
            "vds", [](const PyTransistorLut& s) { return to_numpy(std::vector<double>(s.lut.vds), {s.lut.n_vds()}); },
            nb::rv_policy::move, "Vds axis values (1-D numpy array, shape ``(n_vds,)``).")
        .def_prop_ro(
            "id", [](const PyTransistorLut& s) { return table_array(s.lut, s.lut.id); }, nb::rv_policy::move,
            "Drain current Id in amperes." TABLE_SHAPES)
        .def_prop_ro(
            "gm", [](const PyTransistorLut& s) { return table_array(s.lut, s.lut.gm); }, nb::rv_policy::move,
            "Transconductance gm = \u2202Id/\u2202Vgs in siemens." TABLE_SHAPES)
        .def_prop_ro(
            "gds", [](const PyTransistorLut& s) { return table_array(s.lut, s.lut.gds); }, nb::rv_policy::move,
            "Output conductance gds = \u2202Id/\u2202Vds in siemens." TABLE_SHAPES)
        .def(
            "to_csv",
            [](const PyTransistorLut& s, nb::handle path) {
                // Accept os.PathLike too; the file-system path it gives must still be a str.
                nb::object fs = nb::steal(PyOS_FSPath(path.ptr()));
                if (!fs.is_valid()) throw nb::python_error();
                const std::string p = str_arg(fs, "path");
                if (p.find('\0') != std::string::npos) throw nb::value_error("embedded null character in path");
                if (Status st = s.lut.write_csv(p); !st) raise_error(st.error());
            },
            "path"_a.none(), nb::sig("def to_csv(self, path: str | os.PathLike[str]) -> None"),
            "Write a ``L,Vgs,Vds,Id,gm,gds`` CSV file.")
        .def("__repr__", [](const PyTransistorLut& s) {
            const TransistorLut& t = s.lut;
            const std::string counts = "n_vgs=" + std::to_string(t.n_vgs()) + ", n_vds=" + std::to_string(t.n_vds()) + ")";
            if (t.single_length()) return "TransistorLut(L=" + format_sci(t.lengths[0], 3) + ", " + counts;
            return "TransistorLut(n_l=" + std::to_string(t.n_l()) + ", " + counts;
        });
}

}  // namespace tavlo::py
