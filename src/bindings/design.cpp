#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "tavlo/base/format.hpp"
#include "tavlo/gm_id/interp.hpp"
#include "tavlo/gm_id/solver.hpp"

namespace tavlo::py {

using namespace nb::literals;

namespace {

struct PyDesignResult {
    DesignResult r;
};

std::string number_text(double x) { return nb::repr(nb::float_(x)).c_str(); }

std::optional<double> opt_float_arg(nb::handle h, const char* name) {
    if (h.is_none()) return std::nullopt;
    return float_arg(h, name);
}

PyDesignResult design(const PyTransistorLut& self, nb::handle gm_id, nb::handle gain, nb::handle ids, nb::handle vds,
                      nb::handle gm_id_min, nb::handle gm_id_max, nb::handle id_min) {
    // Converted in signature order so that the first bad argument is the one reported.
    const auto t_gm_id = opt_float_arg(gm_id, "gm_id");
    const auto t_gain = opt_float_arg(gain, "gain");
    const auto t_ids = opt_float_arg(ids, "ids");
    const auto v = opt_float_arg(vds, "vds");
    const double lo = float_arg(gm_id_min, "gm_id_min");  // None is an error here, not "no bound"
    const double hi = float_arg(gm_id_max, "gm_id_max");
    const auto floor = opt_float_arg(id_min, "id_min");

    // Nothing is clamped: a value the table cannot answer for is the caller's mistake, reported as such.
    auto require = [](bool ok, const std::string& what) {
        if (!ok) throw nb::value_error(what.c_str());
    };
    if (t_gm_id) require(std::isfinite(*t_gm_id), "gm_id must be a finite number, got " + number_text(*t_gm_id));
    if (t_gain) require(std::isfinite(*t_gain), "gain must be a finite number, got " + number_text(*t_gain));
    if (t_ids)
        require(std::isfinite(*t_ids) && *t_ids > 0.0,
                "ids must be a finite positive current in A, got " + number_text(*t_ids));
    if (v && !self.lut.vds.empty()) {
        const auto [lo_v, hi_v] = std::minmax_element(self.lut.vds.begin(), self.lut.vds.end());
        require(*v >= *lo_v && *v <= *hi_v,
                "vds must lie on the table's Vds axis [" + number_text(*lo_v) + ", " + number_text(*hi_v) +
                    "] V, got " + number_text(*v));
    }

    std::vector<DesignConstraint> constraints;
    if (t_gm_id) constraints.push_back({ConstraintKind::GmId, *t_gm_id});
    if (t_gain) constraints.push_back({ConstraintKind::Gain, *t_gain});
    if (t_ids) constraints.push_back({ConstraintKind::Ids, *t_ids});
    if (constraints.empty()) throw nb::value_error("at least one constraint (gm_id, gain, ids) must be specified");

    Result<DesignResult> r = solve_design(self.lut, constraints, v, lo, hi, floor);
    if (!r) raise_error(r.error());
    return PyDesignResult{std::move(*r)};
}

// The engine's reading primitives for the designer's tables (MosTable): the same interpolation and
// crossing as the native design, on any quantity and many points per call.
using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Table3 = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

nb::ndarray<nb::numpy, double> interpolate(const Table3& table, const Values& l, const Values& p, const Values& v) {
    const std::size_t n = l.shape(0);
    if (p.shape(0) != n || v.shape(0) != n) throw nb::value_error("l, p and v must have the same length");
    const std::size_t nl = table.shape(0), nvgs = table.shape(1), nvds = table.shape(2);
    if (nl == 0 || nvgs == 0 || nvds == 0) throw nb::value_error("table is empty");
    std::vector<double> out(n);
    for (std::size_t k = 0; k < n; ++k) out[k] = trilinear_at(table.data(), nl, nvgs, nvds, l(k), p(k), v(k));
    return to_numpy(std::move(out), {n});
}

/// `at(axis, v)` for each of `values`, on a non-empty axis.
template <class At>
nb::ndarray<nb::numpy, double> along_axis(const Values& axis, const Values& values, At at) {
    const std::vector<double> a(axis.data(), axis.data() + axis.shape(0));
    if (a.empty()) throw nb::value_error("axis is empty");
    std::vector<double> out(values.shape(0));
    for (std::size_t k = 0; k < out.size(); ++k) out[k] = at(a, values(k));
    return to_numpy(std::move(out), {out.size()});
}

nb::ndarray<nb::numpy, double> locate(const Values& axis, const Values& x) {
    return along_axis(axis, x, [](const std::vector<double>& a, double v) { return locate_on_axis(a, v); });
}

nb::ndarray<nb::numpy, double> axis_value(const Values& axis, const Values& p) {
    return along_axis(axis, p, [](const std::vector<double>& a, double v) { return axis_value_at(a, v); });
}

std::optional<double> crossing(const Values& curve, double target) {
    return find_crossing([&](std::size_t j) { return curve(j); }, curve.shape(0), target);
}

constexpr const char* kDesignDoc =
    "Find the transistor operating point (W, L, Vgs, Vds) that meets the given design\n"
    "constraints, using the gm/Id methodology.\n"
    "\n"
    "Constraints are passed as keyword arguments:\n"
    "    gm_id: target gm/Id ratio in V\u207b\u00b9 (typically 5 to 25).\n"
    "    gain: target intrinsic gain gm/gds in V/V.\n"
    "    ids: target drain current in A; W is scaled to meet it.\n"
    "\n"
    "Optional:\n"
    "    vds: fixes the Vds bias point, on the table's Vds axis (default: its midpoint).\n"
    "    gm_id_min, gm_id_max: window of acceptable gm/Id values (V\u207b\u00b9).\n"
    "    id_min: current floor below which points are ignored (A, default 1e-12).\n"
    "\n"
    "Returns:\n"
    "    :class:`DesignResult`\n"
    "\n"
    "Example::\n"
    "\n"
    "    res = lut.design(gm_id=15.0, gain=30.0, ids=100e-6)\n"
    "    print(res)\n";

constexpr const char* kDesignResultDoc =
    "Result of a gm/Id transistor sizing.\n"
    "\n"
    "All fields are read-only properties; ``constraint_errors`` holds one signed (relative)\n"
    "error per requested target.\n"
    "\n"
    "Example::\n"
    "\n"
    "    res = lut.design(gm_id=15.0, gain=30.0, ids=100e-6)\n"
    "    print(res)\n"
    "    print(f\"W = {res.w:.2e} m, L = {res.l:.2e} m\")\n";

}  // namespace

void register_design(nb::module_& m) {
    nb::class_<PyDesignResult>(m, "DesignResult", kDesignResultDoc)
        .def(
            "__init__",
            [](PyDesignResult*, nb::args, nb::kwargs) { throw nb::type_error("No constructor defined for DesignResult"); },
            nb::sig("def __init__(self, *args, **kwargs) -> None"))
        .def_prop_ro("w", [](const PyDesignResult& s) { return s.r.w; }, "Gate width W (m).")
        .def_prop_ro("l", [](const PyDesignResult& s) { return s.r.l; }, "Gate length L (m).")
        .def_prop_ro("id", [](const PyDesignResult& s) { return s.r.id; }, "Drain current at the operating point (A).")
        .def_prop_ro(
            "vgs", [](const PyDesignResult& s) { return s.r.vgs; }, "Gate-source voltage at the operating point (V).")
        .def_prop_ro("vds", [](const PyDesignResult& s) { return s.r.vds; }, "Drain-source voltage used for the sizing (V).")
        .def_prop_ro("gm", [](const PyDesignResult& s) { return s.r.gm; }, "Transconductance gm (S).")
        .def_prop_ro("gds", [](const PyDesignResult& s) { return s.r.gds; }, "Output conductance gds (S).")
        .def_prop_ro(
            "gm_over_id", [](const PyDesignResult& s) { return s.r.gm_over_id; }, "gm/Id efficiency ratio (V\u207b\u00b9).")
        .def_prop_ro("gain", [](const PyDesignResult& s) { return s.r.gain; }, "Intrinsic voltage gain gm/gds (V/V).")
        .def_prop_ro(
            "constraint_errors",
            [](const PyDesignResult& s) {
                nb::list out;  // a new list each time: callers may change it freely
                for (const auto& [name, err] : s.r.constraint_errors) out.append(nb::make_tuple(name, err));
                return out;
            },
            "Per-constraint relative errors as a list of (name, error) tuples.")
        .def("__repr__", [](const PyDesignResult& s) {
            const DesignResult& r = s.r;
            return "DesignResult(W=" + format_sci(r.w, 3) + ", L=" + format_sci(r.l, 3) + ", Vgs=" +
                   format_fixed(r.vgs, 3) + ", Vds=" + format_fixed(r.vds, 3) + ", Id=" + format_sci(r.id, 3) +
                   ", gm/Id=" + format_fixed(r.gm_over_id, 2) + ", gain=" + format_fixed(r.gain, 1) + ")";
        });

    // design() belongs to TransistorLut, but returns this module's last-but-one class: attach it here.
    nb::handle lut_type = nb::type<PyTransistorLut>();
    nb::cpp_function_def(&design, nb::scope(lut_type), nb::name("design"), nb::is_method(), nb::kw_only(),
                         "gm_id"_a.none() = nb::none(), "gain"_a.none() = nb::none(), "ids"_a.none() = nb::none(),
                         "vds"_a.none() = nb::none(), "gm_id_min"_a.none() = 5.0, "gm_id_max"_a.none() = 25.0,
                         "id_min"_a.none() = nb::none(),
                         nb::sig("def design(self, *, gm_id: float | None = None, gain: float | None = None, "
                                 "ids: float | None = None, vds: float | None = None, gm_id_min: float = 5.0, "
                                 "gm_id_max: float = 25.0, id_min: float | None = None) -> DesignResult"),
                         kDesignDoc);

    // Static, as class_::def_static defines them.
    nb::cpp_function_def(&interpolate, nb::scope(lut_type), nb::name("_interpolate"), "table"_a, "l"_a, "p"_a, "v"_a,
                         "Internal: a (n_l, n_vgs, n_vds) table at the fractional positions l, p, v (1-D, one per\n"
                         "point), read as ``design`` reads its tables.");
    nb::cpp_function_def(&locate, nb::scope(lut_type), nb::name("_locate"), "axis"_a, "x"_a,
                         "Internal: fractional positions of the values x on an axis, clamped to it.");
    nb::cpp_function_def(&axis_value, nb::scope(lut_type), nb::name("_axis_value"), "axis"_a, "p"_a,
                         "Internal: an axis at fractional positions p, extrapolating beyond its ends.");
    nb::cpp_function_def(&crossing, nb::scope(lut_type), nb::name("_crossing"), "curve"_a, "target"_a,
                         "Internal: the position where the curve meets the target, searched from its end as\n"
                         "``design`` does; None where it does not.");
}

}  // namespace tavlo::py
