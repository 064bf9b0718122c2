#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <limits>

#include "tavlo/base/error.hpp"
#include "tavlo/base/format.hpp"

using namespace tavlo;

TEST(Error, DisplayTexts) {
    EXPECT_EQ(NgspiceError::init_failed("x").display(), "ngspice initialization failed: x");
    EXPECT_EQ(NgspiceError::simulation_failed("worker timed out after 120s").display(),
              "simulation failed: worker timed out after 120s");
    EXPECT_EQ(NgspiceError::worker_crashed("y").display(), "worker process crashed: y");
    EXPECT_EQ(NgspiceError::serialization("z").display(), "serialization error: z");
    EXPECT_EQ(NgspiceError::io("early eof").display(), "I/O error: early eof");
    EXPECT_EQ(NgspiceError::pool_send_failed().display(), "worker pool send failed: all workers are shut down");
    EXPECT_EQ(NgspiceError::library_load("nope").display(), "failed to load libngspice: nope");
    EXPECT_EQ(NgspiceError::from_errno(ENOENT).payload(), "No such file or directory (os error 2)");
}

TEST(Format, ScientificAndFixed) {
    EXPECT_EQ(format_sci(1e-5, 3), "1.000e-5");
    EXPECT_EQ(format_sci(5e-7, 3), "5.000e-7");
    EXPECT_EQ(format_sci(0.0, 3), "0.000e0");
    EXPECT_EQ(format_sci(0.0, 6), "0.000000e0");
    EXPECT_EQ(format_sci(1.8, 6), "1.800000e0");
    EXPECT_EQ(format_sci(0.05, 6), "5.000000e-2");
    EXPECT_EQ(format_sci(-1.8, 6), "-1.800000e0");
    EXPECT_EQ(format_sci(1.5e100, 2), "1.50e100");
    EXPECT_EQ(format_sci(9.9996, 3), "1.000e1");  // rounding carries into the exponent
    EXPECT_EQ(format_sci_exact(1e-5, 3), "1.000e-5");
    EXPECT_EQ(format_sci_exact(1.0004e-6, 3), "1.0004e-6");
    EXPECT_EQ(format_sci_exact(0.1 + 0.2, 6), "3.0000000000000004e-1");
    EXPECT_EQ(format_sci_exact(0.1 + 0.2, 6, 1e-15), "3.000000e-1");
    EXPECT_EQ(format_sci_exact(-1.0 / 3.0, 3), "-3.333333333333333e-1");
    EXPECT_EQ(format_sci_exact(5e-324, 3), "4.941e-324");  // the nearest double is the smallest one
    EXPECT_EQ(format_sci_exact(1.0000000000000002, 3), "1.0000000000000002e0");
    EXPECT_EQ(format_sci_exact(std::nan(""), 3), "NaN");
    EXPECT_EQ(format_sci(std::numeric_limits<double>::infinity(), 3), "inf");
    EXPECT_EQ(format_sci(-std::numeric_limits<double>::infinity(), 3), "-inf");
    EXPECT_EQ(format_sci(std::nan(""), 3), "NaN");
    EXPECT_EQ(format_fixed(0.45, 3), "0.450");
    EXPECT_EQ(format_fixed(15, 2), "15.00");
    EXPECT_EQ(format_fixed(std::nan(""), 1), "NaN");
    EXPECT_EQ(quoted_name_list(std::vector<std::string>{"v-sweep", "a\"b\\c"}), R"(["v-sweep", "a\"b\\c"])");
    EXPECT_EQ(quoted_name_list(std::vector<std::string>{}), "[]");
}
