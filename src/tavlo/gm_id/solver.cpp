#include "tavlo/gm_id/solver.hpp"

#include <algorithm>
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
    // The Vds position is fixed for a whole sizing, so every table is reduced once to its
    // [length][Vgs] slice at that Vds; the searches below then read plain arrays.
    Solver(const TransistorLut& lut, double v, double floor, bool with_gds)
        : lut_(lut), v_(v), floor_(floor), nl_(lut.n_l()), nvgs_(lut.n_vgs()) {
        id_ = slice(lut.id);
        gm_ = slice(lut.gm);
        if (with_gds) gds_ = slice(lut.gds);
    }

    // Table value at an integer length and Vgs index: only the Vds direction is interpolated.
    double id_grid(std::size_t i, std::size_t j) const { return id_[i * nvgs_ + j]; }
    double gm_grid(std::size_t i, std::size_t j) const { return gm_[i * nvgs_ + j]; }
    double gds_grid(std::size_t i, std::size_t j) const {
        return gds_.empty() ? lerp_at(lut_.gds.data() + lut_.index(i, j, 0), lut_.n_vds(), v_) : gds_[i * nvgs_ + j];
    }
    double at(const std::vector<double>& t, double l, double p) const { return trilinear_lut(lut_, t, l, p, v_); }

    // gm/Id along Vgs at length position l; NaN where |Id| is below the floor. At an integer Vgs
    // index the trilinear weights reduce to a blend of two lengths, term for term the same sum.
    struct Between {
        const double *id0, *id1, *gm0, *gm1;
        double tl, floor;
        double operator()(std::size_t j) const {
            const double id = (1.0 - tl) * id0[j] + tl * id1[j];
            const double gm = (1.0 - tl) * gm0[j] + tl * gm1[j];
            return std::abs(id) < floor ? kNaN : gm / id;
        }
    };
    Between between(double l) const {
        const std::size_t i = std::min(nl_ >= 2 ? nl_ - 2 : 0, position_index(l));
        const std::size_t i1 = std::min(nl_ - 1, i + 1);
        return {&id_[i * nvgs_], &id_[i1 * nvgs_], &gm_[i * nvgs_], &gm_[i1 * nvgs_], l - static_cast<double>(i),
                floor_};
    }
    double gm_id_grid(std::size_t i, std::size_t j) const {
        const double id = id_grid(i, j);
        return std::abs(id) < floor_ ? kNaN : gm_grid(i, j) / id;
    }

    template <class Curve>
    std::optional<double> crossing(const Curve& g, double t) const {
        return find_crossing(g, nvgs_, t);
    }
    std::optional<double> crossing_at_length(std::size_t i, double t) const {
        return crossing([&](std::size_t j) { return gm_id_grid(i, j); }, t);
    }
    std::optional<double> crossing_between(double l, double t) const {
        return crossing(between(l), t);
    }

    const TransistorLut& lut_;
    double v_;
    double floor_;

private:
    std::vector<double> slice(const std::vector<double>& t) const {
        std::vector<double> out(nl_ * nvgs_);
        const std::size_t n = lut_.n_vds();
        if (n == 1) {
            for (std::size_t r = 0; r < out.size(); ++r) out[r] = t[r];
            return out;
        }
        // lerp_at's weights, the same for every row.
        const std::size_t k = std::min(n - 2, position_index(v_));
        const double w = v_ - static_cast<double>(k);
        for (std::size_t r = 0; r < out.size(); ++r) {
            const double* a = t.data() + r * n;
            out[r] = w * a[k + 1] + (1.0 - w) * a[k];
        }
        return out;
    }

    std::size_t nl_, nvgs_;
    std::vector<double> id_, gm_, gds_;
};

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
    const Window window{gm_id_min, gm_id_max};
    const std::size_t nl = lut.n_l(), nvgs = lut.n_vgs();

    const DesignConstraint* ids_c = first_of<ConstraintKind::Ids>(constraints);
    const DesignConstraint* gm_id_c = first_of<ConstraintKind::GmId>(constraints);
    const DesignConstraint* gain_c = first_of<ConstraintKind::Gain>(constraints);
    const Solver s(lut, locate_on_axis(lut.vds, vds_bias), id_min ? *id_min : kDefaultFloor, !gm_id_c);

    double lam = 0.0, pos = 0.0;
    if (gm_id_c) {
        const double t = gm_id_c->target;
        std::vector<Candidate> candidates;
        candidates.reserve(nl);
        for (std::size_t i = 0; i < nl; ++i) {
            const double li = static_cast<double>(i);
            const auto p = s.crossing_at_length(i, t);
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
                const auto p = s.crossing_between(l, t);
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
                const double id = s.id_grid(i, j);
                if (std::abs(id) < s.floor_) continue;
                const double gm = s.gm_grid(i, j);
                const double gm_id = gm / id;
                if (window.rejects(gm_id)) continue;
                const double gain = gain_of(gm, s.gds_grid(i, j), kSearchGuard);
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
