#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "tavlo/worker/ngspice.hpp"
#include "tavlo/base/text.hpp"
#include "tavlo/worker/capture.hpp"
#include "tavlo/worker/circuits.hpp"
#include "tavlo/worker/deck_files.hpp"
#include "tavlo/worker/simulator.hpp"

using namespace tavlo;

namespace {

void print(SimState& state, std::string line) { send_char(line.data(), 0, &state); }

}  // namespace

TEST(Measures, NameEqualsValueLinesOnly) {
    std::vector<std::string> log = {
        "stdout x_1 = 2.5e-3 V",
        "stdout Doing analysis at TEMP = 27.000000 and TNOM = 27.000000",
        "stdout tfall = FAILED",
        "  stderr   tdelay=1.5e-9 targ= 3e-9 trig= 1.5e-9  ",
        "vmax = 2.5mV",
        "stdout gain = -INF",
        "stdout nope = 1e",
        "stdout = 3",
        "stdout a.b = 1",
        "stdout no equals sign here",
        "stdout x_1 = .5",
    };
    auto m = parse_measures(log);
    ASSERT_EQ(m.size(), 4u);
    EXPECT_EQ(m[0], Measure("x_1", 0.0025));
    EXPECT_EQ(m[1], Measure("tdelay", 1.5e-9));
    EXPECT_EQ(m[2].first, "gain");
    EXPECT_TRUE(std::isinf(m[2].second) && m[2].second < 0);
    EXPECT_EQ(m[3], Measure("x_1", 0.5));  // duplicates kept, in order
}

TEST(Measures, NonAsciiLetterNamesAndNan) {
    auto m = parse_measures({"stdout größe = nan", "stdout größe€ = 1"});
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].first, "größe");
    EXPECT_TRUE(std::isnan(m[0].second));
}

TEST(Callbacks, ErrorLinesAreClassifiedAndTheFirstIsKept) {
    EXPECT_TRUE(is_error_line("stderr Error: unknown subcircuit"));
    EXPECT_TRUE(is_error_line("stderr doAnalyses: ERRORS seen"));
    EXPECT_TRUE(is_error_line("ERROR without a prefix"));
    EXPECT_FALSE(is_error_line("stderr Warning: gmin stepping"));
    EXPECT_FALSE(is_error_line("stdout Note: no errors found"));
    EXPECT_FALSE(is_error_line("stdout error at the start is still behind a prefix"));

    SimState state;
    print(state, "stdout fine");
    print(state, "stderr Warning: note");
    EXPECT_FALSE(state.had_error);
    print(state, "stderr Error: first");
    print(state, "error: second");
    EXPECT_TRUE(state.had_error);
    EXPECT_EQ(state.first_error, "stderr Error: first");
    EXPECT_EQ(state.log_lines, (std::vector<std::string>{"stdout fine", "stderr Warning: note",
                                                          "stderr Error: first", "error: second"}));
    EXPECT_EQ(send_char(nullptr, 0, &state), 0);
    EXPECT_EQ(send_char(state.log_lines[0].data(), 0, nullptr), 0);
    EXPECT_EQ(state.log_lines.size(), 4u);
}

TEST(Callbacks, ControlledExitIsRecordedNotObeyed) {
    SimState state;
    EXPECT_EQ(controlled_exit(1, false, false, 0, &state), 0);
    EXPECT_TRUE(state.had_error && state.exit_requested);
    EXPECT_EQ(state.first_error, "ngspice requested controlled exit with status 1");
    EXPECT_EQ(state.log_lines, std::vector<std::string>{"ngspice requested controlled exit with status 1"});
    state.reset();
    EXPECT_TRUE(state.log_lines.empty() && !state.had_error && !state.first_error);
    EXPECT_TRUE(state.exit_requested);  // the library stays unusable
}

TEST(Callbacks, EachAnnouncedPlotReplacesTheNames) {
    SimState state;
    char a[] = "time", b[] = "v(out)", bad[] = "x\xff";
    vecinfo va{0, a, true, nullptr, nullptr}, vb{1, b, true, nullptr, nullptr}, vnull{2, nullptr, true, nullptr, nullptr};
    vecinfo vbad{3, bad, true, nullptr, nullptr};
    pvecinfo first[] = {&va, nullptr, &vnull, &vb};
    vecinfoall plot1{nullptr, nullptr, nullptr, nullptr, 4, first};
    send_init_data(&plot1, 0, &state);
    EXPECT_EQ(state.init_vector_names, (std::vector<std::string>{"time", "v(out)"}));
    pvecinfo second[] = {&vbad};
    vecinfoall plot2{nullptr, nullptr, nullptr, nullptr, 1, second};
    send_init_data(&plot2, 0, &state);
    EXPECT_EQ(state.init_vector_names, std::vector<std::string>{"x\xef\xbf\xbd"});
}

TEST(Vectors, ComplexDataWinsAndScaleNamesMatchWhole) {
    double re[] = {1, 2};
    ngcomplex_t cx[] = {{1, -1}, {3, 4}};
    vector_info both{nullptr, 0, 0, re, cx, 2};
    VectorData v = extract_vector_data(both, "FREQUENCY");
    EXPECT_TRUE(v.is_scale);
    ASSERT_TRUE(v.complex);
    EXPECT_EQ(*v.complex, (std::vector<std::complex<double>>{{1, -1}, {3, 4}}));
    EXPECT_EQ(v.real, (std::vector<double>{1, 3}));

    vector_info real{nullptr, 0, 0, re, nullptr, 2};
    VectorData r = extract_vector_data(real, "ac1.frequency");
    EXPECT_FALSE(r.is_scale || r.complex);
    EXPECT_EQ(r.real, (std::vector<double>{1, 2}));

    vector_info none{nullptr, 0, 0, nullptr, nullptr, 5};
    EXPECT_TRUE(extract_vector_data(none, "x").real.empty());
}

TEST(Netlist, EndCheckAndLines) {
    EXPECT_TRUE(netlist_has_end("t\nR1 a 0 1\n.END"));
    EXPECT_TRUE(netlist_has_end("t\r\nR1 a 0 1\r\n  .end  \r\n\r\n \t\n"));
    EXPECT_FALSE(netlist_has_end("t\n.subckt x a\n.ends"));
    EXPECT_FALSE(netlist_has_end("t\n.end\n* comment"));
    EXPECT_FALSE(netlist_has_end(""));

    std::string with_nul("t\r\n\nR1 a\0b 1\n.end \n\n", 20);
    EXPECT_EQ(netlist_lines(with_nul), (std::vector<std::string>{"t", "", "R1 a b 1", ".end"}));
}

TEST(Text, UnicodeBlanksAndLossyUtf8) {
    EXPECT_TRUE(is_blank(" \t\r\n\xc2\xa0\xe3\x80\x80"));
    EXPECT_FALSE(is_blank(" x "));
    EXPECT_TRUE(is_valid_utf8("plain größe"));
    EXPECT_FALSE(is_valid_utf8("\xed\xa0\x80"));  // a surrogate
    EXPECT_FALSE(is_valid_utf8("\xe2\x82"));      // cut short
    // one replacement per maximal invalid subpart
    EXPECT_EQ(utf8_lossy("a\xe2\x82z\xff"), "a\xef\xbf\xbdz\xef\xbf\xbd");
    EXPECT_EQ(utf8_lossy("\xc0\xaf"), "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(Circuits, ListingNamesTheCurrentOneOrNone) {
    CircuitListing l = parse_circuit_listing({"stdout List of circuits loaded:", "stdout ", "stdout 1\tdivider a",
                                              "stdout Current\t2\trc step", "stdout \t3\t", "stdout "});
    EXPECT_EQ(l.names, (std::vector<std::string>{"divider a", "rc step", ""}));
    EXPECT_EQ(l.current, 1u);
    // After a load that failed half-way the current circuit is in no list.
    CircuitListing none = parse_circuit_listing({"stdout List of circuits loaded:", "stdout 1\tdivider"});
    EXPECT_EQ(none.names, std::vector<std::string>{"divider"});
    EXPECT_FALSE(none.current);
    EXPECT_TRUE(parse_circuit_listing({"stderr Error: there aren't any circuits loaded."}).names.empty());
}

namespace {

struct TempDir {
    std::filesystem::path path = std::filesystem::temp_directory_path() /
                                 ("tavlo-deck-" + std::to_string(::getpid()));
    TempDir() { std::filesystem::create_directories(path / "lib" / "parts"); }
    ~TempDir() { std::filesystem::remove_all(path); }
    void write(const std::string& name, const std::string& text) const { std::ofstream(path / name) << text; }
    std::string at(const std::string& name) const { return (path / name).string(); }
};

std::vector<std::string> paths(const DeckFiles& d) {
    std::vector<std::string> out;
    for (const FileStamp& f : d.files) out.push_back(f.path + (f.exists ? "" : " (missing)"));
    return out;
}

}  // namespace

TEST(DeckFiles, FollowsNestedIncludesAndLibrariesAsNgspiceResolvesThem) {
    TempDir t;
    // Relative to the including file below the top; every section followed; a cycle ends.
    t.write("lib/top.lib", "* kit\n.lib tt\n.include 'parts/fet.inc'\n.endl tt\n.LIB ff\n"
                           ".lib \"other.lib\" corner\n.endl\n");
    t.write("lib/parts/fet.inc", ".model n nmos\n  .inc ../top.lib\n.include gone.inc\n");
    t.write("lib/other.lib", ".lib corner\n.control\nop\n.endc\n.endl\n");
    DeckFiles d = deck_files("t\n.lib " + t.at("lib/top.lib") + " tt\nR1 a 0 1\n.end\n");
    EXPECT_EQ(paths(d), (std::vector<std::string>{t.at("lib/top.lib"), t.at("lib") + "/parts/fet.inc",
                                                  t.at("lib/parts") + "/gone.inc (missing)",
                                                  t.at("lib") + "/other.lib"}));
    EXPECT_TRUE(d.has_control);
    EXPECT_TRUE(stamps_unchanged(d.files));
    t.write("lib/parts/fet.inc", ".model n nmos\n  .inc ../top.lib\n.include gone.inc\n*");
    EXPECT_FALSE(stamps_unchanged(d.files));
    d = deck_files("t\n.lib " + t.at("lib/top.lib") + " tt\n.end\n");
    t.write("lib/parts/gone.inc", "");  // a file that appears counts as a change
    EXPECT_FALSE(stamps_unchanged(d.files));

    // At the top level a relative path is the working directory's.
    EXPECT_EQ(paths(deck_files("t\n.include models/x.inc\n.end\n")),
              std::vector<std::string>{"models/x.inc (missing)"});
}

TEST(DeckFiles, CountsAnIncludeAsOftenAsItIsReadAndALibraryOnce) {
    // The count bounds how many lines ngspice reads: the guard circuit is padded to it.
    TempDir t;
    t.write("a.inc", "* note\n.param a=1 b=2\n+ c=3\n\nR1 a 0 1\n");  // 4 once the .param is split
    t.write("b.lib", ".lib tt\nR3 b 0 1\n.endl\n.lib ff\nR4 b 0 1\n.endl\n");
    const std::string netlist = "t\n.include " + t.at("a.inc") + "\n.include " + t.at("a.inc") + "\n.lib " +
                                t.at("b.lib") + " tt\n.lib " + t.at("b.lib") + " ff\n.end\n";
    EXPECT_EQ(deck_files(netlist).lines, 6u + 4u + 4u + 6u);
}

TEST(DeckFiles, AnEditThatKeepsSizeAndTimeIsSeenInARecentFile) {
    TempDir t;
    t.write("r.inc", "R9 b 0 1k\n");
    DeckFiles d = deck_files("t\n.include " + t.at("r.inc") + "\n.end\n");
    ASSERT_EQ(d.files.size(), 1u);
    const auto mtime = std::filesystem::last_write_time(t.path / "r.inc");
    t.write("r.inc", "R9 b 0 3k\n");
    std::filesystem::last_write_time(t.path / "r.inc", mtime);
    EXPECT_FALSE(stamps_unchanged(d.files));
}

TEST(DeckFiles, ParamsAreRefusedForANetlistWithAControlBlock) {
    EXPECT_FALSE(params_refusal("t\nR1 a 0 1\n* .control in a comment\n.controls\n.end\n"));
    std::optional<std::string> why = params_refusal("t\nR1 a 0 1\n  .CONTROL\nop\n.endc\n.end\n");
    ASSERT_TRUE(why);
    EXPECT_EQ(*why, kControlWithParams);
}
