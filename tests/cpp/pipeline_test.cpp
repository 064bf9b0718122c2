#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "tavlo/characterise/assemble.hpp"
#include "tavlo/lut/extract.hpp"

using namespace tavlo;

namespace {

VectorData vec(std::string name, std::vector<double> values) { return {std::move(name), std::move(values), {}, false}; }

JobShape kit_shape(double sign) {
    return {2, 2, sign, {{"gm", {"@m1[gm]"}}, {"vth", {"@m1[vth]", "@m1[von]"}}, {"cgg", {"@m1[cgg]"}}}};
}

}  // namespace

TEST(ExtractJob, SignsTheCurrentAndTakesTheFirstAlternativeWithEveryPoint) {
    SimulationResponse r;
    r.vectors = {vec("@M1[GM]", {1, 2, 3, 4}), vec("@m1[vth]", {9}),  // vth one point only: von stands in
                 vec("@m1[von]", {5, 6, 7, 8}), vec("vds#branch", {1e-6, 2e-6, 3e-6, 4e-6}),
                 vec("@m1[cgg]", {1, 2, 3})};
    auto pmos = extract_job(r, kit_shape(-1.0));
    ASSERT_TRUE(std::holds_alternative<JobRows>(pmos));
    const JobRows& rows = std::get<JobRows>(pmos);
    EXPECT_EQ(rows.id.data, (std::vector<double>{1e-6, 2e-6, 3e-6, 4e-6}));
    ASSERT_EQ(rows.outputs.size(), 2u);  // cgg mis-sized everywhere: absent, not an error
    EXPECT_EQ(rows.outputs[0].first, "gm");
    EXPECT_EQ(rows.outputs[1].first, "vth");
    EXPECT_EQ(rows.outputs[1].second.data, (std::vector<double>{5, 6, 7, 8}));
    EXPECT_EQ(rows.outputs[1].second.rows, 2u);

    auto nmos = extract_job(r, kit_shape(1.0));
    EXPECT_EQ(std::get<JobRows>(nmos).id.data, (std::vector<double>{-1e-6, -2e-6, -3e-6, -4e-6}));
}

TEST(ExtractJob, OneCountCheckForBothRoutes) {
    SimulationResponse r;
    r.vectors = {vec("v-sweep", {0, 1, 2}), vec("vds#branch", {1, 2, 3})};
    auto short_answer = extract_job(r, kit_shape(1.0));
    ASSERT_TRUE(std::holds_alternative<JobFault>(short_answer));
    const JobFault& fault = std::get<JobFault>(short_answer);
    EXPECT_FALSE(fault.missing);
    EXPECT_EQ(fault.got, 3u);
    EXPECT_EQ(fault_error(fault, 2, 2).payload(), "expected 4 points (2\u00d72), got 3");
    // The native route's wrapper says the same.
    EXPECT_EQ(extract_id_rows(r, 2, 2).error().payload(), "expected 4 points (2\u00d72), got 3");

    r.vectors.pop_back();
    auto missing = std::get<JobFault>(extract_job(r, kit_shape(1.0)));
    EXPECT_TRUE(missing.missing);
    EXPECT_EQ(fault_error(missing, 2, 2).payload(), "'vds#branch' not found; available: [\"v-sweep\"]");
}

TEST(Assembly, PlacesPiecesInAnyOrderAndLeavesOutWhatSomeJobLacks) {
    Assembly a(2, 6);  // two blocks of 2 Vgs x 3 Vds
    const std::vector<double> lo{1, 2, 3}, hi{4, 5, 6};
    // Completion order, not plan order; gm only from three of the four jobs.
    EXPECT_TRUE(a.place("id", 1, 3, hi));
    EXPECT_TRUE(a.place("gm", 1, 3, hi));
    EXPECT_TRUE(a.place("id", 0, 0, lo));
    EXPECT_TRUE(a.place("gm", 0, 0, lo));
    EXPECT_TRUE(a.place("id", 0, 3, hi));
    EXPECT_TRUE(a.place("gm", 0, 3, hi));
    EXPECT_TRUE(a.place("gm", 0, 3, hi));  // twice is not the missing piece
    EXPECT_TRUE(a.place("id", 1, 0, lo));
    // Past the block's end: refused, nothing written.
    EXPECT_FALSE(a.place("id", 1, 4, lo));
    EXPECT_FALSE(a.place("id", 2, 0, lo));
    const auto out = std::move(a).finish();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].first, "id");
    EXPECT_EQ(out[0].second, (std::vector<double>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}));
}

TEST(Assembly, NoisePointsAndRowsShareOnePlacement) {
    // Rows of three values for the sweep, runs of points that cross rows for noise.
    Assembly a(1, 6);
    EXPECT_TRUE(a.place("id", 0, 0, std::vector<double>{1, 2, 3}));
    EXPECT_TRUE(a.place("id", 0, 3, std::vector<double>{4, 5, 6}));
    EXPECT_TRUE(a.place("sth", 0, 0, std::vector<double>{10, 20, 30, 40}));
    EXPECT_TRUE(a.place("sth", 0, 4, std::vector<double>{50, 60}));
    EXPECT_TRUE(a.place("sfl", 0, 0, std::vector<double>{7, 7, 7, 7}));
    const auto out = std::move(a).finish();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].first, "sth");
    EXPECT_EQ(out[1].second, (std::vector<double>{10, 20, 30, 40, 50, 60}));
}
