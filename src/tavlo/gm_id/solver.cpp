#include "tavlo/gm_id/solver.hpp"

#include <cmath>
#include <limits>

#include "tavlo/base/format.hpp"
#include "tavlo/gm_id/interp.hpp"

namespace tavlo {

namespace {

constexpr double kDefaultFloor = 1e-12;
constexpr double kSearchGuard = 1e-30;
constexpr double kFinalGuard = 1e-18;
constexpr double kPenalty = 1e30;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr int kRefineIntervals = 32;
constexpr double kRefineFactor = 0.03125;  // 1 / kRefineIntervals

// Ranking term: relative error squared, absolute for a target of zero; non-finite values rank last.
double squared_error(double q, double t) {
    if (!std::isfinite(q)) return kPenalty;
    const double e = std::abs(t) > kSearchGuard ? (q - t) / t : q - t;
    return e * e;
}

double gain_of(double gm, double gds, double guard) { return std::abs(gds) > guard ? gm / gds : kInf; }

struct Window {
    std::optional<double> lo, hi;
    bool rejects(double gm_id) const { return (lo && gm_id < *lo) || (hi && gm_id > *hi); }
};

class Solver {
public:
    Solver(const TransistorLut& lut, double v, double floor) : lut_(lut), v_(v), floor_(floor) {}

    // Table value at an integer length and Vgs index: only the Vds direction is interpolated.
    double at_grid(const std::vector<double>& t, std::size_t i, std::size_t j) const {
        return lerp_at(t.data() + lut_.index(i, j, 0), lut_.n_vds(), v_);
    }
    double at(const std::vector<double>& t, double l, double p) const { return trilinear_lut(lut_, t, l, p, v_); }

    // gm/Id along the Vgs axis at length position l; NaN where |Id| is below the floor.
    std::vector<double> gm_id_curve(double l, bool integer_length) const {
        const std::size_t n = lut_.n_vgs();
        std::vector<double> g(n);
        const std::size_t i = integer_length ? static_cast<std::size_t>(l) : 0;
        for (std::size_t j = 0; j < n; ++j) {
            const double id = integer_length ? at_grid(lut_.id, i, j) : at(lut_.id, l, static_cast<double>(j));
            const double gm = integer_length ? at_grid(lut_.gm, i, j) : at(lut_.gm, l, static_cast<double>(j));
            g[j] = std::abs(id) < floor_ ? kNaN : gm / id;
        }
        return g;
    }

    const TransistorLut& lut_;
    double v_;
    double floor_;
};

// Vgs position where the curve meets t, searching pairs from the highest Vgs down.
std::optional<double> find_gm_id_crossing(const std::vector<double>& g, double t) {
    const std::size_t n = g.size();
    if (n <= 1) return std::nullopt;
    for (std::size_t m = n - 1; m >= 1; --m) {
        const double a = g[m - 1], b = g[m];
        if (std::isnan(a) || std::isnan(b)) continue;
        if ((a >= t && t >= b) || (a <= t && t <= b)) {
            double frac = 0.5;
            if (std::abs(a - b) > kSearchGuard) {
                frac = (a - t) / (a - b);
                if (frac < 0.0) frac = 0.0;
                if (frac > 1.0) frac = 1.0;
            }
            return static_cast<double>(m - 1) + frac;
        }
    }
    return std::nullopt;
}

struct Candidate {
    double l, p, gain;
};

template <ConstraintKind K>
const DesignConstraint* first_of(const std::vector<DesignConstraint>& cs) {
    for (const auto& c : cs)
        if (c.kind == K) return &c;
    return nullptr;
}

}  // namespace

Result<DesignResult> solve_design(const TransistorLut& lut, const std::vector<DesignConstraint>& constraints,
                                  std::optional<double> vds, std::optional<double> gm_id_min,
                                  std::optional<double> gm_id_max, std::optional<double> id_min) {
    if (lut.lengths.empty() || lut.vgs.empty() || lut.vds.empty())
        return NgspiceError::simulation_failed("LUT is empty");
    if (constraints.empty()) return NgspiceError::simulation_failed("at least one constraint is required");

    const double vds_bias = vds ? *vds : lut.vds[lut.vds.size() / 2];
    const Solver s(lut, locate_on_axis(lut.vds, vds_bias), id_min ? *id_min : kDefaultFloor);
    const Window window{gm_id_min, gm_id_max};
    const std::size_t nl = lut.n_l(), nvgs = lut.n_vgs();

    const DesignConstraint* ids_c = first_of<ConstraintKind::Ids>(constraints);
    const DesignConstraint* gm_id_c = first_of<ConstraintKind::GmId>(constraints);
    const DesignConstraint* gain_c = first_of<ConstraintKind::Gain>(constraints);

    double lam = 0.0, pos = 0.0;
    if (gm_id_c) {
        const double t = gm_id_c->target;
        std::vector<Candidate> candidates;
        candidates.reserve(nl);
        for (std::size_t i = 0; i < nl; ++i) {
            const double li = static_cast<double>(i);
            const auto p = find_gm_id_crossing(s.gm_id_curve(li, true), t);
            if (!p) continue;
            const double id = s.at(lut.id, li, *p), gm = s.at(lut.gm, li, *p), gds = s.at(lut.gds, li, *p);
            const double gm_id = std::abs(id) > kSearchGuard ? gm / id : 0.0;
            if (window.rejects(gm_id)) continue;
            candidates.push_back({li, *p, gain_of(gm, gds, kSearchGuard)});
        }
        if (candidates.empty()) {
            return NgspiceError::simulation_failed("No operating point found for gm/Id = " + format_fixed(t, 2) +
                                                   " V\u207b\u00b9. Try adjusting gm_id_min/gm_id_max or widening "
                                                   "the LUT voltage range.");
        }
        lam = candidates.front().l;
        pos = candidates.front().p;
        if (gain_c) {
            const double g_t = gain_c->target;
            double best = squared_error(candidates.front().gain, g_t);
            for (std::size_t k = 1; k < candidates.size(); ++k) {
                const double e = squared_error(candidates[k].gain, g_t);
                if (e < best) {  // ties keep the shorter length
                    best = e;
                    lam = candidates[k].l;
                    pos = candidates[k].p;
                }
            }
            // Refine between neighbouring lengths, where the gain varies continuously.
            const double lo = std::max(lam - 0.5, 0.0);
            const double hi = std::min(lam + 0.5, static_cast<double>(nl - 1));
            double best_l = lam, best_p = pos;
            for (int k = 0; k <= kRefineIntervals; ++k) {
                const double l = lo + ((hi - lo) * k) * kRefineFactor;
                const auto p = find_gm_id_crossing(s.gm_id_curve(l, false), t);
                if (!p) continue;
                const double gm = s.at(lut.gm, l, *p), gds = s.at(lut.gds, l, *p), id = s.at(lut.id, l, *p);
                const double gm_id = std::abs(id) > kSearchGuard ? gm / id : 0.0;
                if (window.rejects(gm_id)) continue;
                const double e = squared_error(gain_of(gm, gds, kSearchGuard), g_t);
                if (e < best) {
                    best = e;
                    best_l = l;
                    best_p = *p;
                }
            }
            lam = best_l;
            pos = best_p;
        }
    } else {
        double best = kInf;
        std::size_t best_i = 0, best_j = 0;
        for (std::size_t i = 0; i < nl; ++i) {
            for (std::size_t j = 0; j < nvgs; ++j) {
                const double id = s.at_grid(lut.id, i, j);
                if (std::abs(id) < s.floor_) continue;
                const double gm = s.at_grid(lut.gm, i, j);
                const double gm_id = gm / id;
                if (window.rejects(gm_id)) continue;
                const double gain = gain_of(gm, s.at_grid(lut.gds, i, j), kSearchGuard);
                double cost = 0.0;
                for (const auto& c : constraints) {
                    if (c.kind == ConstraintKind::GmId) cost += squared_error(gm_id, c.target);
                    else if (c.kind == ConstraintKind::Gain) cost += squared_error(gain, c.target);
                }
                if (cost < best) {  // ties keep the earliest point in visiting order
                    best = cost;
                    best_i = i;
                    best_j = j;
                }
            }
        }
        lam = static_cast<double>(best_i);
        pos = static_cast<double>(best_j);
    }

    const double id = s.at(lut.id, lam, pos), gm = s.at(lut.gm, lam, pos), gds = s.at(lut.gds, lam, pos);
    DesignResult r;
    r.l = axis_value_at(lut.lengths, lam);
    r.vgs = axis_value_at(lut.vgs, pos);
    r.gain = gain_of(gm, gds, kFinalGuard);
    r.gm_over_id = std::abs(id) > kFinalGuard ? gm / id : 0.0;
    r.w = ids_c && std::abs(id) > kFinalGuard ? lut.width * (ids_c->target / id) : lut.width;
    const double scale = r.w / lut.width;
    r.id = id * scale;
    r.vds = vds_bias;
    r.gm = scale * gm;
    r.gds = scale * gds;

    r.constraint_errors.reserve(constraints.size());
    for (const auto& c : constraints) {
        const double t = c.target;
        switch (c.kind) {
            case ConstraintKind::GmId:
                r.constraint_errors.emplace_back("gm/Id", std::abs(t) > kSearchGuard ? (r.gm_over_id - t) / t
                                                                                     : r.gm_over_id - t);
                break;
            case ConstraintKind::Gain: {
                double e;
                if (std::abs(t) > kSearchGuard && std::isfinite(r.gain)) e = (r.gain - t) / t;
                else if (std::isinf(r.gain)) e = kInf;
                else e = r.gain - t;
                r.constraint_errors.emplace_back("gain", e);
                break;
            }
            case ConstraintKind::Ids: r.constraint_errors.emplace_back("Ids", 0.0); break;
        }
    }
    return r;
}

}  // namespace tavlo
