#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "tavlo/characterise/plan.hpp"
#include "tavlo/lut/config.hpp"
#include "tavlo/lut/extract.hpp"
#include "tavlo/lut/sweep.hpp"
#include "tavlo/lut/table.hpp"

using namespace tavlo;
namespace fs = std::filesystem;

namespace {

using Chunks = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The Vgs slice of indices 10..19 of the default sweep, computed as the sweep does.
SweepRange default_slice() { return {0.0 + 0.05 * 10.0, 0.0 + 0.05 * 19.0, 0.05}; }

std::string nth_line(const std::string& text, int n) {
    std::istringstream in(text);
    std::string line;
    for (int i = 0; i <= n; ++i) std::getline(in, line);
    return line;
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/tavlo-lut-XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

}  // namespace

TEST(Netlist, DefaultsGiveTheWholeTestBenchByteForByte) {
    const std::string expected =
        "nmos characterisation W=1.000e-5 L=5.000e-7\n"
        "\n"
        "* model\n"
        ".model nch nmos level=3 tox=10n vto=0.7 kp=80u gamma=0.5 phi=0.6 nsub=1e17 nss=0 nfs=1e11 "
        "xj=0.05u ld=0.01u delta=0 theta=0.1 eta=0 kappa=0.2\n"
        "\n"
        "* test bench: M1 drain gate source bulk\n"
        "M1 drain gate source bulk nch W=1.000e-5 L=5.000e-7\n"
        "Vds drain source dc 0\n"
        "Vgs gate  source dc 0\n"
        "Vbs bulk  source dc 0.000e0\n"
        "Vs  source 0    dc 0\n"
        "\n"
        "* sweep\n"
        ".dc Vds 0.000000e0 1.800000e0 5.000000e-2 Vgs 5.000000e-1 9.500000e-1 5.000000e-2\n"
        "\n"
        ".end";
    EXPECT_EQ(build_netlist(LutConfig{}, default_slice(), 5e-7), expected);
    EXPECT_EQ(std::strlen(kBuiltinNmosCard), 141u);
    EXPECT_EQ(std::strlen(kBuiltinPmosCard), 142u);
}

TEST(Netlist, ModelSectionRules) {
    LutConfig c;
    c.model_card = ".model mine nmos level=1";
    c.model_file = "/models/x.lib";
    c.model_section = "tt";
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 5e-7), 3), ".lib /models/x.lib tt");
    c.model_section = "";  // still a section: the line keeps its trailing space
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 5e-7), 3), ".lib /models/x.lib ");
    c.model_section.reset();
    const std::string with_file = build_netlist(c, default_slice(), 5e-7);
    EXPECT_EQ(nth_line(with_file, 3), ".include /models/x.lib");
    EXPECT_EQ(with_file.find("mine"), std::string::npos);

    c.model_file.reset();
    c.model_section = "ignored";
    c.model_card = ".model a nmos\n.model b nmos\n";
    const std::string card = build_netlist(c, default_slice(), 5e-7);
    EXPECT_NE(card.find("* model\n.model a nmos\n.model b nmos\n\n\n* test bench"), std::string::npos);
    EXPECT_EQ(card.find("ignored"), std::string::npos);
}

TEST(Netlist, PathsWithSpacesAreQuoted) {
    LutConfig c;
    c.model_file = "/my models/x.mod";
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 5e-7), 3), ".include \"/my models/x.mod\"");
    c.model_file = "/models/x-1.2_v+3.mod";
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 5e-7), 3), ".include /models/x-1.2_v+3.mod");
}

TEST(Netlist, NumbersKeepEveryDigitTheTableUses) {
    LutConfig c;
    c.width = 1.0004e-6;
    const std::string n = build_netlist(c, default_slice(), 1.0004e-6);
    EXPECT_EQ(nth_line(n, 6), "M1 drain gate source bulk nch W=1.0004e-6 L=1.0004e-6");
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 1e-6), 6), "M1 drain gate source bulk nch W=1.0004e-6 L=1.000e-6");
    // A step that does not divide the range: the sweep ends on the table's last point, 26 steps on.
    c.vds = {0.0, 1.8, 0.07};
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 1e-6), 13),
              ".dc Vds 0.000000e0 1.820000e0 7.000000e-2 Vgs 5.000000e-1 9.500000e-1 5.000000e-2");
    c.vds = {0.0, 1.8, 1.0 / 30.0};
    EXPECT_EQ(nth_line(build_netlist(c, default_slice(), 1e-6), 13),
              ".dc Vds 0.000000e0 1.800000e0 3.333333333333333e-2 Vgs 5.000000e-1 9.500000e-1 5.000000e-2");
    // Over many points the simulator's running sum drifts past the last value; the stop follows it.
    c.vds = {0.0, 1.8, 7e-5};
    const std::string line = nth_line(build_netlist(c, default_slice(), 1e-6), 13);
    const std::string stop = line.substr(line.find(' ', 8) + 1, line.find(' ', line.find(' ', 8) + 1) - line.find(' ', 8) - 1);
    double sum = 0.0;
    for (int i = 0; i < 25714; ++i) sum += 7e-5;
    EXPECT_GE(std::strtod(stop.c_str(), nullptr), sum - 2e-13) << line;
    EXPECT_LT(std::strtod(stop.c_str(), nullptr), sum + 7e-5 / 2) << line;
}

TEST(Netlist, PmosKeepsTheNumbersAsConfigured) {
    LutConfig c;
    c.is_pmos = true;
    c.model_name = "pch";
    c.vbs = -0.5;
    c.vds = {-1.8, 0.0, 0.05};
    const std::string n = build_netlist(c, {0.0, 1.8, 0.05}, 1e-7);
    EXPECT_EQ(nth_line(n, 0), "pmos characterisation W=1.000e-5 L=1.000e-7");
    EXPECT_EQ(nth_line(n, 3), kBuiltinPmosCard);
    EXPECT_EQ(nth_line(n, 6), "M1 drain gate source bulk pch W=1.000e-5 L=1.000e-7");
    EXPECT_EQ(nth_line(n, 9), "Vbs bulk  source dc -5.000e-1");
    EXPECT_EQ(nth_line(n, 13), ".dc Vds -1.800000e0 0.000000e0 5.000000e-2 Vgs 0.000000e0 1.800000e0 5.000000e-2");
    EXPECT_TRUE(n.ends_with("\n.end"));
}

TEST(Sweep, PointCountRule) {
    const SweepRange ten{1e-7, 1e-6, 1e-7};
    EXPECT_EQ(ten.point_count(), 10u);
    const auto v = ten.values();
    ASSERT_EQ(v.size(), 10u);
    EXPECT_EQ(v[0], 1e-7);
    EXPECT_EQ(v[9], 1e-7 + 1e-7 * 9.0);  // computed from the index, not by repeated addition
    EXPECT_EQ((SweepRange{1e-6, 1e-6, 1e-7}).point_count(), 1u);
    EXPECT_EQ((SweepRange{5e-7, 5e-7, 1.0}).point_count(), 1u);
    EXPECT_EQ((SweepRange{0.0, 1.8, 0.05}).point_count(), 37u);
    EXPECT_EQ((SweepRange{1e-6, 1.04e-6, 1e-7}).point_count(), 1u);  // 0.4 rounds down
    EXPECT_EQ((SweepRange{0.0, 2.5, 1.0}).point_count(), 4u);        // halves away from zero
    EXPECT_EQ((SweepRange{0.0, -2.5, -1.0}).point_count(), 4u);
    const auto neg = SweepRange{0.0, 1.8, -0.05}.values();
    ASSERT_EQ(neg.size(), 1u);
    EXPECT_EQ(neg[0], 0.0);
    EXPECT_EQ((SweepRange{0.0, 1.0, std::nan("")}).point_count(), 1u);
    EXPECT_EQ((SweepRange{0.0, 1.0, 0.0}).point_count(), 0u);  // saturated count wraps
    EXPECT_TRUE((SweepRange{0.0, 1.0, 0.0}).values().empty());
}

TEST(Validate, RejectsWhatWouldBreakTheSweep) {
    EXPECT_FALSE(validate_config(LutConfig{}).has_value());
    LutConfig c;
    c.vgs.step = 0.0;
    EXPECT_EQ(validate_config(c), "vgs step must be a finite non-zero number, got 0");
    c = {};
    c.vds.step = std::numeric_limits<double>::infinity();
    EXPECT_EQ(validate_config(c), "vds step must be a finite non-zero number, got inf");
    c = {};
    c.lengths = {1e-7, 1e-6, std::nan("")};
    EXPECT_EQ(validate_config(c), "lengths step must be a finite non-zero number, got NaN");
    c = {};
    c.vgs = {0.0, 1.8, -0.05};
    EXPECT_EQ(validate_config(c), "vgs (0, 1.8, -0.05) gives 1 point; at least 2 points are required");
    c = {};
    c.vds = {0.0, 1.0, 1e-10};
    EXPECT_EQ(validate_config(c), "vds (0, 1, 1e-10) gives too many points; at most 4294967295 are allowed");
    c = {};
    c.lengths = {0.0, 1.0, 1e-10};
    EXPECT_TRUE(validate_config(c).has_value());
}

TEST(Validate, RefusesAPmosSweptThroughPositiveVoltages) {
    LutConfig c;
    c.is_pmos = true;
    EXPECT_EQ(validate_config(c),
              "a PMOS is swept with negative voltages, but vgs (0, 1.8, 0.05) is positive; sweep it as "
              "vgs=(0, -1.8, -0.05), or give magnitudes to SimulationPool.characterise");
    c.vgs = {0.0, -1.8, -0.05};
    EXPECT_NE(validate_config(c).value_or("").find("but vds (0, 1.8, 0.05) is positive"), std::string::npos);
    c.vds = {-1.8, 0.0, 0.05};  // ascending but negative: the right way
    EXPECT_FALSE(validate_config(c).has_value());
    c.vgs = {-1.8, 0.2, 0.05};  // a little past zero into the off region is still a PMOS sweep
    EXPECT_FALSE(validate_config(c).has_value());
    c.is_pmos = false;
    c.vgs = c.vds = {0.0, 1.8, 0.05};
    EXPECT_FALSE(validate_config(c).has_value());
}

TEST(Validate, RefusesTablesThatCannotFitInMemory) {
    LutConfig c;
    c.vgs = {0.0, 1.0, 1e-9};  // 1e9 Vgs x 37 Vds points: hundreds of gigabytes
    const auto why = validate_config(c);
    ASSERT_TRUE(why.has_value());
    EXPECT_NE(why->find("table of 1 x 1000000001 x 37 points (lengths (5e-07, 5e-07, 1) x vgs (0, 1, 1e-09) x vds"), std::string::npos) << *why;
    EXPECT_NE(why->find("would need 8.880e11 bytes"), std::string::npos) << *why;
    // Counts whose product passes 2^64 must not wrap into something small.
    c.vgs = {0.0, 4.294967294, 1e-9};
    c.vds = c.vgs;
    c.lengths = {1e-7, 4.294967294e-7 + 1e-7, 1e-16};
    ASSERT_TRUE(validate_config(c).has_value());
    EXPECT_NE(validate_config(c)->find("more than the"), std::string::npos) << *validate_config(c);
    // A large table that does fit is still fine.
    c = {};
    c.vgs = {0.0, 1.8, 1e-3};
    c.vds = {0.0, 1.8, 1e-3};
    EXPECT_FALSE(validate_config(c).has_value());
}

TEST(Validate, LengthsAndWidthMustMakeADevice) {
    LutConfig c;
    c.lengths = {1e-6, 1e-7, 1e-7};  // descending with a positive step
    EXPECT_EQ(validate_config(c),
              "lengths (1e-06, 1e-07, 1e-07) gives 1 point; the step must lead from start towards stop (or give stop "
              "equal to start)");
    c.lengths = {1e-7, 1e-6, -1e-7};
    EXPECT_TRUE(validate_config(c).has_value());
    c.lengths = {1e-6, 1e-7, -1e-7};  // descending on purpose is a sweep like any other
    EXPECT_FALSE(validate_config(c).has_value());
    for (const SweepRange& bad : {SweepRange{0.0, 0.0, 1.0}, SweepRange{-1e-7, -1e-7, 1.0},
                                  SweepRange{1e-7, -1e-7, -1e-7}, SweepRange{1e-7, NAN, 1e-7}}) {
        c.lengths = bad;
        const auto why = validate_config(c);
        ASSERT_TRUE(why.has_value());
        EXPECT_TRUE(why->starts_with("lengths")) << *why;
    }
    c = {};
    for (double w : {0.0, -1e-6, std::nan(""), std::numeric_limits<double>::infinity()}) {
        c.width = w;
        const auto why = validate_config(c);
        ASSERT_TRUE(why.has_value());
        EXPECT_TRUE(why->starts_with("width must be a finite positive number")) << *why;
    }
}

TEST(Validate, ModelNamesSectionsAndPathsAreSingleTokens) {
    LutConfig c;
    for (const char* name : {"nch $", "nch m=4", "nch;x", "", "n*ch", "nch\t"}) {
        c.model_name = name;
        const auto why = validate_config(c);
        ASSERT_TRUE(why.has_value()) << name;
        EXPECT_TRUE(why->starts_with("model_name must be a single name of letters, digits and ")) << *why;
    }
    c.model_name = "sky130_fd_pr__nfet_01v8.0";
    EXPECT_FALSE(validate_config(c).has_value());
    c = {};
    c.model_file = "/models/x.lib";
    c.model_section = "tt lib";
    EXPECT_TRUE(validate_config(c)->starts_with("model_section must be a single name")) << *validate_config(c);
    c.model_section = "tt_lib";
    EXPECT_FALSE(validate_config(c).has_value());
    for (const char* path : {"/m/a;b.lib", "/m/a\"b.lib", "/m/a b.lib", ""}) {
        c.model_file = path;
        const auto why = validate_config(c);
        ASSERT_TRUE(why.has_value()) << path;
        EXPECT_TRUE(why->starts_with("model_file must not")) << *why;
    }
    c.model_section.reset();
    c.model_file = "/m/a b.mod";  // an .include reads a quoted path with spaces
    EXPECT_FALSE(validate_config(c).has_value());
}

TEST(Validate, RejectsNetlistInjection) {
    LutConfig c;
    c.model_name = "nch\n.include /etc/passwd";
    EXPECT_EQ(validate_config(c), "model_name must not contain a line break or NUL character");
    c = {};
    c.model_file = "a.lib\r";
    EXPECT_EQ(validate_config(c), "model_file must not contain a line break or NUL character");
    c = {};
    c.model_file = "a.lib";
    c.model_section = std::string("tt\0x", 4);
    EXPECT_EQ(validate_config(c), "model_section must not contain a line break or NUL character");
    c = {};
    c.model_card = ".model a nmos\n.model b pmos\n";  // several lines are what a card is for
    EXPECT_FALSE(validate_config(c).has_value());
    c.model_card += std::string(1, '\0');
    EXPECT_EQ(validate_config(c), "model_card must not contain a NUL character (line breaks are allowed)");
}

TEST(Chunking, SplitsIntoCeilSizedRuns) {
    EXPECT_EQ(chunk_indices(37, 3), (Chunks{{0, 12}, {13, 25}, {26, 36}}));
    EXPECT_EQ(chunk_indices(37, 4), (Chunks{{0, 9}, {10, 19}, {20, 29}, {30, 36}}));
    EXPECT_EQ(chunk_indices(10, 6), (Chunks{{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}}));
    EXPECT_EQ(chunk_indices(3, 8), (Chunks{{0, 0}, {1, 1}, {2, 2}}));
    const Chunks hundred = chunk_indices(37, 100);
    ASSERT_EQ(hundred.size(), 37u);
    for (std::uint32_t i = 0; i < 37; ++i) EXPECT_EQ(hundred[i], std::make_pair(i, i));
    EXPECT_EQ(chunk_indices(37, 1), (Chunks{{0, 36}}));
    EXPECT_TRUE(chunk_indices(0, 4).empty());
    EXPECT_EQ(chunk_indices(5, 0), (Chunks{{0, 4}}));  // never a division by zero
    // start + size passes the 32-bit range here.
    EXPECT_EQ(chunk_indices(4294967295u, 2), (Chunks{{0, 2147483647u}, {2147483648u, 4294967294u}}));
}

TEST(Chunking, DefaultCountTargetsFiftyThousandPointsAndKeepsEveryWorkerBusy) {
    LutConfig one;  // a single length: the chunks alone must be a multiple of the workers
    one.vgs = {0.0, 1.8, 0.005};  // 361 x 361: 3 chunks of 50000 points, rounded up to 4 on 2 workers
    one.vds = {0.0, 1.8, 0.005};
    EXPECT_EQ(default_chunk_count(one, 2), 4u);
    EXPECT_EQ(default_chunk_count(one, 3), 3u);
    EXPECT_EQ(default_chunk_count(one, 4), 4u);
    EXPECT_EQ(default_chunk_count(one, 1), 3u);
    EXPECT_EQ(default_chunk_count(LutConfig{}, 4), 4u);  // small grid: one chunk per worker
    EXPECT_EQ(default_chunk_count(LutConfig{}, 1), 1u);
    LutConfig five = one;
    five.lengths = {0.2e-6, 1.0e-6, 0.2e-6};  // 5 lengths
    EXPECT_EQ(default_chunk_count(five, 2), 4u);   // 20 jobs
    EXPECT_EQ(default_chunk_count(five, 5), 3u);   // 15 jobs: already a multiple of 5
    EXPECT_EQ(default_chunk_count(five, 10), 4u);  // 20 jobs
    LutConfig big;
    big.vgs = {0.0, 2.0, 0.001};  // 2001 points
    big.vds = {0.0, 1.0, 0.001};  // 1001 points
    EXPECT_EQ(default_chunk_count(big, 4), 44u);
    big.vds = {0.0, 100.0, 0.001};  // more than 50000 Vds points: one row per chunk
    EXPECT_EQ(default_chunk_count(big, 4), 2004u);
    EXPECT_EQ(default_chunk_count(big, 0), 2001u);  // never a division by zero
}

TEST(Chunking, JobsRunLengthsOuterAndSliceVgsFromTheirIndices) {
    const SweepRange vgs{0.0, 1.8, 0.05};  // 37 points
    const std::vector<ChunkJob> jobs = plan_chunks(3, vgs, 4);
    ASSERT_EQ(jobs.size(), 12u);
    EXPECT_EQ(jobs[5].length_index, 1u);
    EXPECT_EQ(jobs[5].chunk_index, 1u);
    EXPECT_EQ(jobs[5].first, 10u);
    EXPECT_EQ(jobs[5].last, 19u);
    // start + step * index, not a sum of steps: the slice meets the table's own values.
    EXPECT_EQ(jobs[5].vgs.start, 0.05 * 10);
    EXPECT_EQ(jobs[5].vgs.stop, 0.05 * 19);
    EXPECT_EQ(jobs[11].vgs.point_count(), 7u);
    EXPECT_EQ(plan_chunks(1, vgs, 100).size(), 37u);
    // Lengths x chunks of one rule: 3 Vgs x 26 001 Vds rows are one row a job whatever the workers.
    EXPECT_EQ(chunk_count(1, 3, 26001, 2), 4u);
    EXPECT_EQ(plan_chunks(1, {0.0, 1.0, 0.5}, chunk_count(1, 3, 26001, 2)).size(), 3u);
}

TEST(Sweep, ShortestSpellingIsTheOneAPersonWritesAndStillEndsOnTheLastPoint) {
    EXPECT_EQ(dc_sweep_text({0.0, 1.8, 0.3}, true), "0 1.8 0.3");
    EXPECT_EQ(dc_sweep_text({0.0, -1.8, -0.15}, true), "0 -1.8 -0.15");
    EXPECT_EQ(dc_sweep_text({0.0, 1.8, 0.3}), "0.000000e0 1.800000e0 3.000000e-1");
    // The sums of 1e-4 fall short of 3.3 by more than the tolerance: the stop follows them.
    const std::string text = dc_sweep_text({0.0, 3.3, 1e-4}, true);
    double sum = 0.0;
    for (int i = 0; i < 33000; ++i) sum += 1e-4;
    const double stop = std::strtod(text.c_str() + 2, nullptr);
    EXPECT_LE(std::abs(sum - stop), 2.2e-13) << text;
    EXPECT_TRUE(text.ends_with(" 0.0001")) << text;
}

TEST(Extract, ReshapesAndNegatesTheBranchCurrent) {
    SimulationResponse r;
    r.vectors.push_back({"v-sweep", {1, 2, 3, 4, 5, 6}, std::nullopt, true});
    r.vectors.push_back({"VDS#Branch", {-1e-6, -2e-6, -3e-6, -4e-6, -5e-6, -6e-6}, std::nullopt, false});
    const auto rows = extract_id_rows(r, 2, 3);
    ASSERT_TRUE(rows.ok());
    EXPECT_EQ(rows->rows, 2u);
    EXPECT_EQ(rows->cols, 3u);
    EXPECT_EQ(rows->data, (std::vector<double>{1e-6, 2e-6, 3e-6, 4e-6, 5e-6, 6e-6}));
}

TEST(Extract, Failures) {
    SimulationResponse r;
    auto missing = extract_id_rows(r, 1, 1);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().kind(), ErrorKind::SimulationFailed);
    EXPECT_EQ(missing.error().payload(), "'vds#branch' not found; available: []");

    r.vectors.push_back({"v-sweep", {}, std::nullopt, true});
    r.vectors.push_back({"vds#branch2", {}, std::nullopt, false});
    EXPECT_EQ(extract_id_rows(r, 1, 1).error().payload(),
              "'vds#branch' not found; available: [\"v-sweep\", \"vds#branch2\"]");

    r.vectors.push_back({"vds#branch", std::vector<double>(333, 0.0), std::nullopt, false});
    auto short_vec = extract_id_rows(r, 10, 37);
    ASSERT_FALSE(short_vec.ok());
    EXPECT_EQ(short_vec.error().kind(), ErrorKind::SimulationFailed);
    EXPECT_EQ(short_vec.error().payload(), "expected 370 points (10\u00d737), got 333");
}

TEST(Derivatives, ExactOnLinearTablesIncludingEdges) {
    // Id = 0.25 i + 0.75 j at step 0.5: d/dVgs = 0.5, d/dVds = 1.5 everywhere.
    Grid g{4, 5, {}};
    for (std::size_t i = 0; i < 4; ++i)
        for (std::size_t j = 0; j < 5; ++j) g.data.push_back(0.25 * i + 0.75 * j);
    const Grid gm = diff_vgs(g, 0.5), gds = diff_vds(g, 0.5);
    EXPECT_EQ(gm.data, std::vector<double>(20, 0.5));
    EXPECT_EQ(gds.data, std::vector<double>(20, 1.5));
    // A negative step still differentiates with respect to the voltage.
    EXPECT_EQ(diff_vds(g, -0.5).data, std::vector<double>(20, -1.5));

    const Grid row{1, 3, {0, 1, 4}};
    EXPECT_EQ(diff_vds(row, 0.5).data, (std::vector<double>{2, 4, 6}));
    const Grid col{3, 1, {0, 1, 4}};
    EXPECT_EQ(diff_vgs(col, 0.5).data, (std::vector<double>{2, 4, 6}));
}

TEST(Derivatives, TwoByTwoAndDegenerateShapes) {
    const Grid g{2, 2, {1, 2, 5, 9}};
    EXPECT_EQ(diff_vgs(g, 1.0).data, (std::vector<double>{4, 7, 4, 7}));
    EXPECT_EQ(diff_vds(g, 1.0).data, (std::vector<double>{1, 1, 4, 4}));
    // One point on an axis has no neighbour: zeros, never a read past the row.
    EXPECT_EQ(diff_vds(Grid{2, 1, {1, 2}}, 1.0).data, (std::vector<double>{0, 0}));
    EXPECT_EQ(diff_vgs(Grid{1, 2, {1, 2}}, 1.0).data, (std::vector<double>{0, 0}));
    EXPECT_TRUE(diff_vgs(Grid{3, 0, {}}, 1.0).data.empty());
}

namespace {

TransistorLut small_lut() {
    TransistorLut t;
    t.width = 1e-5;
    t.lengths = {5e-7, 1e-6};
    t.vgs = {0.6, 0.7};
    t.vds = {0.1, 0.2, 0.3};
    for (int k = 0; k < 12; ++k) {
        t.id.push_back(2.345678e-5 + k * 1e-6);
        t.gm.push_back(1.2345e-4);
        t.gds.push_back(-3.21e-6 * (k + 1));
    }
    return t;
}

}  // namespace

TEST(Csv, WritesHeaderAndOneLinePerPoint) {
    TempDir dir;
    const fs::path p = dir.path() / "t.csv";
    const auto old = ::umask(022);
    const Status s = small_lut().write_csv(p.string());
    ::umask(old);
    ASSERT_TRUE(s.ok()) << s.error().payload();
    const std::string text = read_file(p);
    EXPECT_EQ(nth_line(text, 0), "L,Vgs,Vds,Id,gm,gds");
    EXPECT_EQ(nth_line(text, 1), "5.000000e-7,6.000000e-1,1.000000e-1,2.345678e-5,1.234500e-4,-3.210000e-6");
    EXPECT_EQ(nth_line(text, 6), "5.000000e-7,7.000000e-1,3.000000e-1,2.845678e-5,1.234500e-4,-1.926000e-5");
    EXPECT_EQ(nth_line(text, 7), "1.000000e-6,6.000000e-1,1.000000e-1,2.945678e-5,1.234500e-4,-2.247000e-5");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 13);
    EXPECT_TRUE(text.ends_with("\n"));
    struct stat st {};
    ASSERT_EQ(::stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // 0666 before the umask
}

TEST(Csv, LargeTableThroughTheBufferAndRewrite) {
    TempDir dir;
    const fs::path p = dir.path() / "big.csv";
    TransistorLut t;
    t.width = 1e-5;
    t.lengths = {5e-7, 1e-6, 2e-6};
    for (int i = 0; i < 37; ++i) {
        t.vgs.push_back(0.05 * i);
        t.vds.push_back(0.05 * i);
    }
    t.id.assign(3 * 37 * 37, -1.234567e-308);
    t.gm.assign(3 * 37 * 37, std::numeric_limits<double>::infinity());
    t.gds.assign(3 * 37 * 37, std::nan(""));
    ASSERT_TRUE(t.write_csv(p.string()).ok());
    const std::string text = read_file(p);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 3 * 37 * 37);
    EXPECT_EQ(nth_line(text, 3 * 37 * 37), "2.000000e-6,1.800000e0,1.800000e0,-1.234567e-308,inf,NaN");

    // A second write to the same path replaces the file completely.
    ASSERT_TRUE(small_lut().write_csv(p.string()).ok());
    const std::string again = read_file(p);
    EXPECT_EQ(std::count(again.begin(), again.end(), '\n'), 13);
}

TEST(Csv, Failures) {
    TempDir dir;
    const fs::path missing = dir.path() / "no-such-dir" / "t.csv";
    const Status s = small_lut().write_csv(missing.string());
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().kind(), ErrorKind::Io);
    EXPECT_EQ(s.error().payload(), "No such file or directory (os error 2)");
    EXPECT_FALSE(fs::exists(missing.parent_path()));

    // A NUL would cut the path short and write somewhere else.
    const std::string cut = (dir.path() / "a").string();
    EXPECT_FALSE(small_lut().write_csv(cut + std::string(1, '\0') + "b").ok());
    EXPECT_FALSE(fs::exists(cut));
}

TEST(Csv, EmptyAxisGivesTheHeaderOnly) {
    TempDir dir;
    TransistorLut t = small_lut();
    t.vds.clear();
    t.id.clear();
    t.gm.clear();
    t.gds.clear();
    const fs::path p = dir.path() / "e.csv";
    ASSERT_TRUE(t.write_csv(p.string()).ok());
    EXPECT_EQ(read_file(p), "L,Vgs,Vds,Id,gm,gds\n");
}

TEST(Table, CheckShape) {
    TransistorLut t = small_lut();
    EXPECT_EQ(check_shape(t), "");
    t.gm.pop_back();
    EXPECT_EQ(check_shape(t), "gm holds 11 values, expected 12 (2 lengths \u00d7 2 Vgs \u00d7 3 Vds)");
}
