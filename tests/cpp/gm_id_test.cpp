#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tavlo/gm_id/interp.hpp"
#include "tavlo/gm_id/solver.hpp"

using namespace tavlo;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// (id, gm, gds) at length index k, Vgs index i, Vds index j.
using PointFn = std::function<std::array<double, 3>(std::size_t, std::size_t, std::size_t)>;

TransistorLut make_lut(std::vector<double> lengths, std::vector<double> vgs, std::vector<double> vds, PointFn f) {
    TransistorLut t;
    t.width = 1e-6;
    t.lengths = std::move(lengths);
    t.vgs = std::move(vgs);
    t.vds = std::move(vds);
    for (std::size_t k = 0; k < t.n_l(); ++k)
        for (std::size_t i = 0; i < t.n_vgs(); ++i)
            for (std::size_t j = 0; j < t.n_vds(); ++j) {
                const auto [id, gm, gds] = f(k, i, j);
                t.id.push_back(id);
                t.gm.push_back(gm);
                t.gds.push_back(gds);
            }
    return t;
}

// A table whose gm/Id along Vgs is curve[i] at every length and Vds; Id = 1 uA, gain = gain_of_k(k).
TransistorLut gm_id_table(std::vector<double> curve, std::vector<double> gains) {
    std::vector<double> lengths;
    for (std::size_t k = 0; k < gains.size(); ++k) lengths.push_back(1e-6 * (k + 1));
    std::vector<double> vgs;
    for (std::size_t i = 0; i < curve.size(); ++i) vgs.push_back(0.1 * i);
    return make_lut(lengths, vgs, {0.5, 1.0, 1.5}, [=](std::size_t k, std::size_t i, std::size_t) {
        const double gm = curve[i] * 1e-6;
        return std::array<double, 3>{1e-6, gm, gains[k] == kInf ? 0.0 : gm / gains[k]};
    });
}

std::vector<DesignConstraint> targets(std::optional<double> gm_id, std::optional<double> gain,
                                      std::optional<double> ids) {
    std::vector<DesignConstraint> c;
    if (gm_id) c.push_back({ConstraintKind::GmId, *gm_id});
    if (gain) c.push_back({ConstraintKind::Gain, *gain});
    if (ids) c.push_back({ConstraintKind::Ids, *ids});
    return c;
}

Result<DesignResult> solve(const TransistorLut& t, std::vector<DesignConstraint> c, std::optional<double> vds = {},
                           std::optional<double> lo = 5.0, std::optional<double> hi = 25.0) {
    return solve_design(t, c, vds, lo, hi, std::nullopt);
}

}  // namespace

TEST(Interp, LocateOnAxis) {
    const std::vector<double> a{0.0, 0.5, 1.0, 1.5};
    EXPECT_EQ(locate_on_axis(a, -1.0), 0.0);
    EXPECT_EQ(locate_on_axis(a, 9.0), 3.0);
    EXPECT_EQ(locate_on_axis(a, 1.0), 2.0);  // an inner entry is exact
    EXPECT_EQ(locate_on_axis(a, 0.5), 1.0);
    EXPECT_NEAR(locate_on_axis(a, 0.6), 1.2, 1e-12);
    EXPECT_NEAR(locate_on_axis(a, 1.4), 2.8, 1e-12);
    EXPECT_EQ(locate_on_axis({0.7}, 100.0), 0.0);
    // Descending axis: everything at or below the first entry is 0, everything above it the end.
    const std::vector<double> d{1.5, 1.0, 0.5, 0.0};
    EXPECT_EQ(locate_on_axis(d, 0.2), 0.0);
    EXPECT_EQ(locate_on_axis(d, 1.5), 0.0);
    EXPECT_EQ(locate_on_axis(d, 1.6), 3.0);
    // Round trip on a longer, uneven axis exercises every halving step.
    const std::vector<double> u{0, 1, 3, 4, 8, 9, 15, 16, 23};
    for (double x : {0.5, 2.0, 3.5, 7.0, 8.5, 12.0, 15.5, 20.0})
        EXPECT_NEAR(axis_value_at(u, locate_on_axis(u, x)), x, 1e-12) << x;
}

TEST(Interp, AxisValueAtExtrapolatesFromTheEnds) {
    const std::vector<double> a{0.0, 0.5, 1.0, 1.5};
    EXPECT_EQ(axis_value_at(a, 1.5), 0.75);
    EXPECT_EQ(axis_value_at(a, 3.5), 1.75);
    EXPECT_EQ(axis_value_at(a, -0.5), -0.25);
    EXPECT_EQ(axis_value_at({2.5}, 7.3), 2.5);
}

TEST(Interp, TrilinearCornersAndMeans) {
    const TransistorLut t = make_lut({1, 2}, {0, 1, 2}, {0, 1, 2, 3}, [](std::size_t k, std::size_t i, std::size_t j) {
        return std::array<double, 3>{100.0 * k + 10.0 * i + j + 0.5 * (i * j), 0, 0};
    });
    for (std::size_t k = 0; k < 2; ++k)
        for (std::size_t i = 0; i < 3; ++i)
            for (std::size_t j = 0; j < 4; ++j)
                EXPECT_EQ(trilinear_lut(t, t.id, k, i, j), t.id[t.index(k, i, j)]);
    const double mean = (t.id[t.index(0, 1, 2)] + t.id[t.index(0, 2, 2)] + t.id[t.index(1, 1, 2)] +
                         t.id[t.index(1, 2, 2)]) / 4;
    EXPECT_DOUBLE_EQ(trilinear_lut(t, t.id, 0.5, 1.5, 2.0), mean);
    // Corners clamp, weights do not: one step beyond the last Vgs row extrapolates.
    EXPECT_DOUBLE_EQ(trilinear_lut(t, t.id, 0, 3, 0), 30.0);

    const TransistorLut one = make_lut({1}, {0}, {0}, [](auto, auto, auto) { return std::array<double, 3>{4, 5, 6}; });
    EXPECT_EQ(trilinear_lut(one, one.gds, 0.7, 2.5, -3.0), 6.0);
}

// The crossing that the native design and the designer's lookups share: highest pair first, NaN
// pairs skipped, the curve read no further than the winning pair.
TEST(Interp, CrossingFromTheTopSkipsNanAndStopsAtTheFirstBracket) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> g{5, 10, 20, 15, nan, 8, 6};
    std::vector<std::size_t> read;
    auto curve = [&](std::size_t j) {
        read.push_back(j);
        return g[j];
    };
    // 17 is bracketed rising (10, 20) and falling (20, 15): the falling pair wins, read no lower.
    const auto p = find_crossing(curve, g.size(), 17.0);
    ASSERT_TRUE(p);
    EXPECT_DOUBLE_EQ(*p, 2.0 + 3.0 / 5.0);
    EXPECT_EQ(read.back(), 2u);
    // 12 lies between 15 and 8 only across the NaN, so the rising pair (10, 20) answers.
    EXPECT_DOUBLE_EQ(*find_crossing(curve, g.size(), 12.0), 1.2);
    EXPECT_DOUBLE_EQ(*find_crossing(curve, g.size(), 6.5), 5.75);
    EXPECT_FALSE(find_crossing(curve, g.size(), 30.0));
    EXPECT_FALSE(find_crossing(curve, 1, 5.0));
    const std::vector<double> flat{3, 3};
    EXPECT_DOUBLE_EQ(*find_crossing([&](std::size_t j) { return flat[j]; }, 2, 3.0), 0.5);
}

TEST(Interp, RawTableReadsAsTheLut) {
    const TransistorLut t = make_lut({1, 2, 4}, {0, 1, 2}, {0, 1}, [](std::size_t k, std::size_t i, std::size_t j) {
        return std::array<double, 3>{std::exp(0.3 * k + 0.7 * i) + j, 0, 0};
    });
    for (double l : {0.0, 0.4, 1.7, 2.0})
        for (double p : {0.0, 0.25, 1.9})
            EXPECT_EQ(trilinear_at(t.id.data(), 3, 3, 2, l, p, 0.6), trilinear_lut(t, t.id, l, p, 0.6));
}

TEST(Solver, EmptyTableAndNoConstraints) {
    TransistorLut t = gm_id_table({10, 20}, {1});
    EXPECT_EQ(solve(t, {}).error().payload(), "at least one constraint is required");
    t.vds.clear();
    const auto r = solve(t, {});  // emptiness is reported first
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ErrorKind::SimulationFailed);
    EXPECT_EQ(r.error().payload(), "LUT is empty");
}

TEST(Solver, CrossingIsTakenAtTheHigherVgs) {
    // The curve meets 15 between rows 0-1 and again between rows 1-2; the upper one wins.
    const TransistorLut t = gm_id_table({10, 20, 10, 5}, {50});
    const auto r = solve(t, targets(15, std::nullopt, std::nullopt));
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r->vgs, 0.15, 1e-12);
    EXPECT_NEAR(r->gm_over_id, 15.0, 1e-9);
    EXPECT_EQ(r->w, 1e-6);  // no current target: the table's own width and values
    EXPECT_EQ(r->id, 1e-6);
    ASSERT_EQ(r->constraint_errors.size(), 1u);
    EXPECT_EQ(r->constraint_errors[0].first, "gm/Id");
    EXPECT_NEAR(r->constraint_errors[0].second, 0.0, 1e-12);
}

TEST(Solver, NoOperatingPointMessages) {
    const TransistorLut t = gm_id_table({10, 20, 10, 5}, {50, 60});
    const std::string tail = " V\u207b\u00b9. Try adjusting gm_id_min/gm_id_max or widening the LUT voltage range.";
    // Crossings exist but lie outside the window.
    EXPECT_EQ(solve(t, targets(15, std::nullopt, std::nullopt), {}, 16.0).error().payload(),
              "No operating point found for gm/Id = 15.00" + tail);
    EXPECT_EQ(solve(t, targets(30, std::nullopt, std::nullopt), {}, 5.0, 40.0).error().payload(),
              "No operating point found for gm/Id = 30.00" + tail);
    EXPECT_FALSE(solve(gm_id_table({15}, {50}), targets(15, 20, std::nullopt)).ok());  // one Vgs point
}

TEST(Solver, GmIdAloneTakesTheFirstLengthWithACrossing) {
    // Length 0 never reaches 15; lengths 1 and 2 do. No refinement: l is an axis value.
    const TransistorLut t = make_lut({1e-7, 2e-7, 3e-7}, {0, 0.1, 0.2}, {0.5, 1.0}, [](std::size_t k, std::size_t i, auto) {
        const double g = k == 0 ? 8.0 : 20.0 - 5.0 * i;
        return std::array<double, 3>{1e-6, g * 1e-6, 1e-7};
    });
    const auto r = solve(t, targets(15, std::nullopt, 2e-6));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->l, 2e-7);
    EXPECT_NEAR(r->vgs, 0.1, 1e-12);
    EXPECT_NEAR(r->w, 2e-6, 1e-18);
    EXPECT_NEAR(r->id, 2e-6, 1e-18);
    EXPECT_NEAR(r->gm, 30e-6, 1e-15);  // conductances scale with the width
    EXPECT_NEAR(r->gain, 150.0, 1e-9);  // ratios do not
    ASSERT_EQ(r->constraint_errors.size(), 2u);
    EXPECT_EQ(r->constraint_errors[1], (std::pair<std::string, double>("Ids", 0.0)));
}

TEST(Solver, GainTargetRefinesBetweenLengths) {
    // Gains 8 and 32 tie exactly against 20 (errors -0.6 and +0.6); the shorter length wins the
    // coarse pass, and the refinement, limited to half a step, improves most at its far end.
    const TransistorLut t = gm_id_table({20, 10}, {8, 32});
    const auto r = solve(t, targets(15, 20, 1e-5));
    ASSERT_TRUE(r.ok());
    EXPECT_NEAR(r->l, 1.5e-6, 1e-18);
    EXPECT_NEAR(r->vgs, 0.05, 1e-12);
    EXPECT_NEAR(r->gain, 12.8, 1e-9);
    EXPECT_NEAR(r->id, 1e-5, 1e-18);
    ASSERT_EQ(r->constraint_errors.size(), 3u);  // in the order of the input list
    EXPECT_EQ(r->constraint_errors[0].first, "gm/Id");
    EXPECT_EQ(r->constraint_errors[1].first, "gain");
    EXPECT_NEAR(r->constraint_errors[1].second, -0.36, 1e-12);
    EXPECT_EQ(r->constraint_errors[2], (std::pair<std::string, double>("Ids", 0.0)));
}

TEST(Solver, RefinementKeepsTheCoarsePointOnOneLength) {
    const TransistorLut t = gm_id_table({20, 10}, {40});
    const auto r = solve(t, targets(15, 20, std::nullopt));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->l, 1e-6);
    EXPECT_NEAR(r->vgs, 0.05, 1e-12);
    EXPECT_NEAR(r->constraint_errors[1].second, 1.0, 1e-12);
}

TEST(Solver, InfiniteGainRanksLastAndReportsInfinity) {
    // Length 0 has gds = 0: its gain is +inf, so the finite length 1 is preferred.
    const TransistorLut t = gm_id_table({20, 10}, {kInf, 100});
    const auto r = solve(t, targets(15, 20, std::nullopt));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->l, 2e-6);
    EXPECT_NEAR(r->gain, 100.0, 1e-9);

    // Every grid point has gds = 0: the search falls back to the first, whose gain error is +inf.
    const TransistorLut flat = gm_id_table({10, 10}, {kInf});
    const auto g = solve(flat, targets(std::nullopt, 20, std::nullopt));
    ASSERT_TRUE(g.ok());
    EXPECT_EQ(g->gain, kInf);
    EXPECT_EQ(g->constraint_errors[0], (std::pair<std::string, double>("gain", kInf)));
}

TEST(Solver, GridSearchTieOrderAndIdsOnly) {
    // Gains 5, 10, 20 at length 0 and 20, 40, 80 at length 1: the exact match at (0, 2) comes first.
    const TransistorLut t = make_lut({1e-7, 2e-7}, {0.3, 0.4, 0.5}, {0.9}, [](std::size_t k, std::size_t i, auto) {
        const double gain = (k == 0 ? 5.0 : 20.0) * (1 << i);
        return std::array<double, 3>{1e-6, 1e-5, 1e-5 / gain};
    });
    const auto r = solve(t, targets(std::nullopt, 20, std::nullopt));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->l, 1e-7);
    EXPECT_EQ(r->vgs, 0.5);
    EXPECT_NEAR(r->constraint_errors[0].second, 0.0, 1e-12);

    // Only a current target: the first point above the floor and inside the window.
    const TransistorLut u = make_lut({1e-7, 2e-7}, {0.3, 0.4, 0.5}, {0.9}, [](std::size_t k, std::size_t i, auto) {
        const double id = k == 0 ? 1e-13 : 1e-6 * (i + 1);
        const double gm_id = 30.0 - 10.0 * i;  // 30 is outside the default window
        return std::array<double, 3>{id, gm_id * id, 1e-7};
    });
    const auto s = solve(u, targets(std::nullopt, std::nullopt, 4e-6));
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(s->l, 2e-7);
    EXPECT_EQ(s->vgs, 0.4);
    EXPECT_NEAR(s->w, 2e-6, 1e-18);
    EXPECT_NEAR(s->id, 4e-6, 1e-18);
    EXPECT_EQ(s->constraint_errors, (std::vector<std::pair<std::string, double>>{{"Ids", 0.0}}));
}

TEST(Solver, ZeroGainTargetUsesAbsoluteErrors) {
    const TransistorLut t = make_lut({1e-7}, {0.3, 0.4, 0.5}, {0.9}, [](auto, std::size_t i, auto) {
        const double gain[] = {5.0, 2.0, 3.0};
        return std::array<double, 3>{1e-6, 1e-5, 1e-5 / gain[i]};
    });
    const auto r = solve(t, targets(std::nullopt, 0.0, std::nullopt));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->vgs, 0.4);
    EXPECT_NEAR(r->constraint_errors[0].second, 2.0, 1e-12);
}

TEST(Solver, NothingPassesTheFloorFallsBackToTheFirstPoint) {
    const TransistorLut t = make_lut({1e-7, 2e-7}, {0.3, 0.4}, {0.9}, [](auto, auto, auto) {
        return std::array<double, 3>{0.0, 1e-5, 1e-6};
    });
    const auto r = solve(t, targets(std::nullopt, 10, 1e-6));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->l, 1e-7);
    EXPECT_EQ(r->vgs, 0.3);
    EXPECT_EQ(r->w, 1e-6);  // zero current cannot be scaled
    EXPECT_EQ(r->gm_over_id, 0.0);
}

TEST(Solver, SizingVoltage) {
    // Id grows with the Vds index, so the current shows which column was read.
    auto by_column = [](std::vector<double> vds) {
        return make_lut({1e-7}, {0.3, 0.4}, vds, [](auto, auto, std::size_t j) {
            return std::array<double, 3>{1e-6 * (j + 1), 1e-5 * (j + 1), 1e-6};
        });
    };
    const auto r4 = solve(by_column({0.0, 0.6, 1.2, 1.8}), targets(std::nullopt, 10, std::nullopt));
    ASSERT_TRUE(r4.ok());
    EXPECT_EQ(r4->vds, 1.2);
    EXPECT_EQ(r4->id, 3e-6);
    const auto r3 = solve(by_column({0.0, 0.9, 1.8}), targets(std::nullopt, 10, std::nullopt));
    EXPECT_EQ(r3->vds, 0.9);
    EXPECT_EQ(r3->id, 2e-6);
    // Beyond the axis the last column is read, but the requested voltage is reported.
    const auto beyond = solve(by_column({0.0, 0.9, 1.8}), targets(std::nullopt, 10, std::nullopt), 2.5);
    EXPECT_EQ(beyond->vds, 2.5);
    EXPECT_EQ(beyond->id, 3e-6);
    const auto between = solve(by_column({0.0, 0.9, 1.8}), targets(std::nullopt, 10, std::nullopt), 0.45);
    EXPECT_NEAR(between->id, 1.5e-6, 1e-18);
}
