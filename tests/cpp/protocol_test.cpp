#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <unistd.h>

#include <algorithm>
#include <span>

#include "tavlo/pool/exchange.hpp"
#include "tavlo/protocol/protocol.hpp"

using namespace tavlo;

namespace {

std::string frame(const std::string& id, bool success, const std::vector<VectorData>& vecs,
                  const std::vector<std::string>& log = {}, const std::optional<std::string>& err = std::nullopt,
                  const std::vector<Measure>& measures = {}) {
    StringSink sink;
    EXPECT_TRUE(write_wire_response(sink, id, success, vecs, log, err, measures).ok());
    return sink.bytes;
}

std::uint32_t prefix_of(const std::string& bytes) {
    std::uint32_t n;
    std::memcpy(&n, bytes.data(), 4);
    return n;
}

std::string with_prefix(const std::string& header) {
    auto n = static_cast<std::uint32_t>(header.size());
    return std::string(reinterpret_cast<const char*>(&n), 4) + header;
}

Result<SimulationResponse> read(const std::string& bytes) {
    StringSource src(bytes);
    return read_frame(src);
}

}  // namespace

TEST(Protocol, FrameWithoutVectorsIsPrefixPlusHeader) {
    std::string bytes = frame("a", true, {});
    ASSERT_EQ(bytes.size(), 4 + prefix_of(bytes));
    EXPECT_EQ(bytes.substr(4), R"({"id":"a","success":true,"vecs":[],"log":[],"measures":[]})");
}

TEST(Protocol, HeaderKeyOrderAndErrorPresence) {
    VectorData v{"v(out)", {1.0, 2.0}, std::nullopt, false};
    std::string bytes = frame("x", false, {v}, {"stdout hi"}, std::string("boom"), {{"m", 0.5}});
    std::string header = bytes.substr(4, prefix_of(bytes));
    EXPECT_EQ(header,
              R"J({"id":"x","success":false,"vecs":[{"name":"v(out)","len":2,"is_scale":false,"is_complex":false}],)J"
              R"J("log":["stdout hi"],"error":"boom","measures":[["m",0.5]]})J");
    EXPECT_EQ(bytes.size(), 4 + header.size() + 16);
}

TEST(Protocol, ZeroLengthAndComplexPayloads) {
    VectorData empty{"e", {}, std::nullopt, false};
    std::vector<std::complex<double>> z{{1, -1}, {2.5, 0.25}, {-3, 1e-300}};
    VectorData cplx{"frequency", {1, 2.5, -3}, z, true};
    std::string bytes = frame("c", true, {empty, cplx});
    std::uint32_t h = prefix_of(bytes);
    ASSERT_EQ(bytes.size(), 4 + h + 16 * 3);  // the empty vector adds no bytes
    double first[2];
    std::memcpy(first, bytes.data() + 4 + h, 16);
    EXPECT_EQ(first[0], 1.0);
    EXPECT_EQ(first[1], -1.0);

    auto r = read(bytes);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->vectors.size(), 2u);
    EXPECT_TRUE(r->vectors[0].real.empty());
    EXPECT_FALSE(r->vectors[0].complex);
    const VectorData& back = r->vectors[1];
    EXPECT_TRUE(back.is_scale);
    ASSERT_TRUE(back.complex);
    EXPECT_EQ(*back.complex, z);
    EXPECT_EQ(back.real, (std::vector<double>{1, 2.5, -3}));
}

TEST(Protocol, DoublesRoundTripExactly) {
    std::vector<double> xs{0.1, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, -0.0, 123456789.123456789};
    std::vector<Measure> ms;
    for (double x : xs) ms.emplace_back("m", x);
    auto r = read(frame("d", true, {VectorData{"v", xs, std::nullopt, false}}, {}, std::nullopt, ms));
    ASSERT_TRUE(r.ok());
    for (std::size_t i = 0; i < xs.size(); ++i) {
        EXPECT_EQ(std::memcmp(&r->vectors[0].real[i], &xs[i], 8), 0);
        EXPECT_EQ(std::memcmp(&r->measures[i].second, &xs[i], 8), 0);
    }
}

TEST(Protocol, LongHeaderPrefixBytes) {
    // Pad the log so that the header is exactly 70 000 bytes.
    std::string base = frame("h", true, {}, {""});
    std::size_t pad = 70000 - (base.size() - 4);
    std::string bytes = frame("h", true, {}, {std::string(pad, 'x')});
    ASSERT_EQ(bytes.size(), 4u + 70000u);
    EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x70);
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x11);
    EXPECT_EQ(static_cast<unsigned char>(bytes[2]), 0x01);
    EXPECT_EQ(static_cast<unsigned char>(bytes[3]), 0x00);
    ASSERT_TRUE(read(bytes).ok());
}

TEST(Protocol, NonFiniteMeasuresStayDecodable) {
    double inf = std::numeric_limits<double>::infinity();
    std::string bytes = frame("n", true, {}, {}, std::nullopt, {{"a", inf}, {"b", std::nan("")}, {"c", 1.5}});
    EXPECT_NE(bytes.find(R"(["a",null])"), std::string::npos);
    auto r = read(bytes);
    ASSERT_TRUE(r.ok()) << r.error().display();
    ASSERT_EQ(r->measures.size(), 3u);
    EXPECT_TRUE(std::isnan(r->measures[0].second));
    EXPECT_TRUE(std::isnan(r->measures[1].second));
    EXPECT_EQ(r->measures[2].second, 1.5);
}

TEST(Protocol, RequestLineEscapesAndRoundTrips) {
    std::string netlist = std::string("title \"q\" \\ back\r\n* ünïcødé Ω\nR1 a 0 1k\n.end\n") + '\0' + "tail";
    SimulationRequest req{"id-1", netlist, {"run", "print v(a)"}, std::nullopt};
    std::string line = encode_request_line(req);
    ASSERT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);  // one line, whatever the netlist holds
    EXPECT_EQ(line.rfind(R"({"id":"id-1","netlist":")", 0), 0u);
    EXPECT_EQ(line.find("return_vectors"), std::string::npos);
    auto back = decode_request(std::string_view(line).substr(0, line.size() - 1));
    ASSERT_TRUE(back.ok()) << back.error().display();
    EXPECT_EQ(back->netlist, netlist);
    EXPECT_EQ(back->commands, req.commands);
    EXPECT_FALSE(back->return_vectors);

    req.return_vectors = std::vector<std::string>{};
    line = encode_request_line(req);
    EXPECT_NE(line.find(R"(,"return_vectors":[]})"), std::string::npos);
    back = decode_request(line);
    ASSERT_TRUE(back.ok());
    ASSERT_TRUE(back->return_vectors);
    EXPECT_TRUE(back->return_vectors->empty());
}

TEST(Protocol, RequestDecodingIsStrict) {
    auto fault = [](const std::string& text) {
        auto r = decode_request(text);
        EXPECT_FALSE(r.ok()) << text;
        if (r.ok()) return std::string();
        EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
        return r.error().payload();
    };
    EXPECT_NE(fault(R"({"id":"a","netlist":".end"})").find("missing field `commands`"), std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","id":"b","netlist":".end","commands":[]})").find("duplicate field `id`"),
              std::string::npos);
    EXPECT_NE(fault(R"({"id":1,"netlist":".end","commands":[]})").find("`id`"), std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","netlist":".end","commands":["run",2]})").find("`commands`"), std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","netlist":".end","commands":[],"return_vectors":"x"})").find("`return_vectors`"),
              std::string::npos);
    EXPECT_NE(fault("[1,2]").find("expected an object"), std::string::npos);
    EXPECT_NE(fault("{not json").find("line 1"), std::string::npos);
    EXPECT_FALSE(fault(R"({"id":"a","netlist":".end","commands":[]} trailing)").empty());

    auto ok = decode_request(R"({"extra":{"id":1},"id":"a","netlist":".end","commands":[],"return_vectors":null})");
    ASSERT_TRUE(ok.ok()) << ok.error().display();
    EXPECT_EQ(ok->id, "a");
    EXPECT_FALSE(ok->return_vectors);
}

TEST(Protocol, HeaderDecodingIsStrict) {
    auto fault = [](const std::string& header) {
        auto r = read(with_prefix(header));
        EXPECT_FALSE(r.ok()) << header;
        EXPECT_EQ(r.error().kind(), ErrorKind::Serialization);
        return r.error().payload();
    };
    EXPECT_NE(fault(R"({"id":"a","vecs":[],"log":[]})").find("missing field `success`"), std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","success":true,"vecs":[{"name":"v","is_scale":false}],"log":[]})")
                  .find("missing field `len`"),
              std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","success":true,"success":true,"vecs":[],"log":[]})").find("duplicate field"),
              std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","success":true,"vecs":[{"name":"v","len":-1,"is_scale":false}],"log":[]})")
                  .find("`len`"),
              std::string::npos);
    EXPECT_NE(fault(R"({"id":"a","success":true,"vecs":[],"log":[],"measures":[["m","1"]]})").find("`measures`"),
              std::string::npos);
    EXPECT_FALSE(fault("").empty());  // header length 0: empty input is not an object

    auto ok = read(with_prefix(R"({"id":"a","success":true,"vecs":[{"name":"v","len":0,"is_scale":true}],)"
                               R"("log":[],"error":null,"x":[1]})"));
    ASSERT_TRUE(ok.ok()) << ok.error().display();
    EXPECT_FALSE(ok->error);
    EXPECT_TRUE(ok->measures.empty());
    EXPECT_FALSE(ok->vectors.at(0).complex);
}

// Headers in the worker's own shape are read by a scanner of their own; its reading must be the
// JSON one: escapes, surrogate pairs, raw UTF-8, white space, numbers and nulls.
TEST(Protocol, HeadersReadAsJsonWhateverTheirSpelling) {
    auto h = decode_header(" { \"id\" : \"a\\\"b\\\\c\\/d\\u00e9\\ud83d\\ude00\\n\" , \"success\":false,"
                           "\"vecs\":[ {\"name\":\"v(\u00e9)\",\"len\":3,\"is_scale\":true,\"is_complex\":false} ],"
                           "\"log\":[\"x\\ty\",\"\"],\"error\":null,"
                           "\"measures\":[[\"m\",-0.0],[\"n\",1e-300],[\"o\",null],[\"p\",2]],\"exiting\":true } ");
    ASSERT_TRUE(h.ok()) << h.error().display();
    EXPECT_EQ(h->id, "a\"b\\c/d\u00e9\U0001F600\n");
    EXPECT_FALSE(h->success);
    ASSERT_EQ(h->vecs.size(), 1u);
    EXPECT_EQ(h->vecs[0].name, "v(\u00e9)");
    EXPECT_EQ(h->vecs[0].len, 3u);
    EXPECT_EQ(h->log, (std::vector<std::string>{"x\ty", ""}));
    EXPECT_FALSE(h->error);
    ASSERT_EQ(h->measures.size(), 4u);
    EXPECT_TRUE(std::signbit(h->measures[0].second));
    EXPECT_EQ(h->measures[1].second, 1e-300);
    EXPECT_TRUE(std::isnan(h->measures[2].second));
    EXPECT_EQ(h->measures[3].second, 2.0);
    EXPECT_TRUE(h->exiting);
    for (const char* bad : {R"({"id":"\ud800","success":true,"vecs":[],"log":[],"measures":[]})",
                            R"({"id":"a","success":true,"vecs":[{"name":"v","len":01,"is_scale":true,"is_complex":false}],"log":[],"measures":[]})",
                            R"({"id":"a","success":true,"vecs":[],"log":[],"measures":[]}x)",
                            "{\"id\":\"a\xff\",\"success\":true,\"vecs\":[],\"log\":[],\"measures\":[]}"})
        EXPECT_FALSE(decode_header(bad).ok()) << bad;
}

TEST(Protocol, ShortReadsNameTheirStep) {
    auto msg = [](const std::string& bytes) {
        auto r = read(bytes);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.error().kind(), ErrorKind::WorkerCrashed);
        return r.error().payload();
    };
    EXPECT_EQ(msg(""), "stdout read (header len) failed: early eof");
    EXPECT_EQ(msg("\x01\x00"), "stdout read (header len) failed: early eof");
    EXPECT_EQ(msg(std::string("\x10\x00\x00\x00{}", 6)), "stdout read (header) failed: early eof");
    std::string real = frame("a", true, {VectorData{"v", {1, 2, 3}, std::nullopt, false}});
    EXPECT_EQ(msg(real.substr(0, real.size() - 1)), "stdout read (vec data) failed: early eof");
    std::string cplx = frame("a", true, {VectorData{"v", {1}, std::vector<std::complex<double>>{{1, 2}}, false}});
    EXPECT_EQ(msg(cplx.substr(0, cplx.size() - 8)), "stdout read (complex vec) failed: early eof");
}

TEST(Protocol, OversizedAnnouncementsFailWithoutAllocating) {
    std::string huge("\x00\x00\x00\x80", 4);  // 2^31
    EXPECT_NE(read(huge).error().payload().find("stdout read (header) failed"), std::string::npos);
    // A vector announcing far more samples than arrive fails on the bytes actually missing.
    auto r = read(with_prefix(R"({"id":"a","success":true,"vecs":[{"name":"v","len":1000000000000,"is_scale":false}],"log":[]})"));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().payload(), "stdout read (vec data) failed: early eof");
    r = read(with_prefix(R"({"id":"a","success":true,"vecs":[{"name":"v","len":18446744073709551615,"is_scale":false,"is_complex":true}],"log":[]})"));
    ASSERT_FALSE(r.ok());
    EXPECT_NE(r.error().payload().find("stdout read (complex vec) failed"), std::string::npos);
}

// The exchange is fed whatever pieces the bytes arrive in, by either driver; it gives the same
// answers, refuses an answer to another request, and notices bytes after its answer.
std::size_t feed(Exchange& ex, std::string_view bytes, std::size_t piece) {
    std::size_t used = 0;
    while (!ex.done() && used < bytes.size()) {
        std::span<char> space = ex.read_space();
        const std::size_t n = std::min({space.size(), piece, bytes.size() - used});
        std::memcpy(space.data(), bytes.data() + used, n);
        ex.received(n);
        used += n;
    }
    return used;
}

TEST(Protocol, ExchangeFedInPieces) {
    std::vector<std::complex<double>> z{{1, 2}, {3, 4}};
    std::vector<double> big(5000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<double>(i);
    const std::string good = frame("p", true, {VectorData{"v", {1, 2, 3}, std::nullopt, false},
                                               VectorData{"c", {1, 3}, z, false},
                                               VectorData{"big", big, std::nullopt, false}},
                                   {"stdout x"}, std::nullopt, {{"m", 2.5}});
    std::vector<char> buffer;
    SimulationRequest request{"p", "n\n.end\n", {"op"}, std::nullopt};
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
        Exchange ex(request, buffer);
        EXPECT_EQ(ex.to_write(), encode_request_line(request));
        ex.wrote(ex.to_write().size());
        EXPECT_FALSE(ex.writing());
        EXPECT_EQ(feed(ex, good, piece), good.size());
        ASSERT_TRUE(ex.done());
        EXPECT_FALSE(ex.out_of_step());
        Result<SimulationResponse> r = ex.take();
        ASSERT_TRUE(r.ok()) << r.error().display();
        EXPECT_EQ(r->vectors.at(0).real, (std::vector<double>{1, 2, 3}));
        EXPECT_EQ(*r->vectors.at(1).complex, z);
        EXPECT_EQ(r->vectors.at(2).real, big);
        EXPECT_EQ(r->measures, (std::vector<Measure>{{"m", 2.5}}));
    }
    {  // bytes after the answer: the stream is out of step
        Exchange ex(request, buffer, false);
        feed(ex, frame("p", true, {VectorData{"v", {1, 2, 3}, std::nullopt, false}}) + "xx", 1 << 20);
        ASSERT_TRUE(ex.done());
        EXPECT_TRUE(ex.take().ok());
        EXPECT_TRUE(ex.out_of_step());
    }
    {  // an answer to another request is never handed on
        Exchange ex(SimulationRequest{"q", "", {}, std::nullopt}, buffer, false);
        feed(ex, good, 7);
        Result<SimulationResponse> r = ex.take();
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().payload(), "answer out of step: expected id 'q', got 'p'");
    }
    {  // a lying header length fails at once, without waiting for 2 GiB
        Exchange ex(request, buffer, false);
        feed(ex, std::string("\x00\x00\x00\x80", 4), 7);
        ASSERT_TRUE(ex.done());
        EXPECT_NE(ex.take().error().payload().find("stdout read (header) failed: announced header length 2147483648"),
                  std::string::npos);
    }
    {  // the stream ends inside a payload: the step is named
        Exchange ex(request, buffer, false);
        feed(ex, good.substr(0, good.size() - 9), 7);
        EXPECT_FALSE(ex.done());
        EXPECT_TRUE(ex.answering());
        ex.read_failed("early eof");
        EXPECT_EQ(ex.take().error().payload(), "stdout read (vec data) failed: early eof");
    }
    {  // nothing arrived: a time-out, after which nothing else counts
        Exchange ex(SimulationRequest{"t", "", {}, std::nullopt}, buffer);
        ex.timed_out(std::chrono::milliseconds(2600));
        EXPECT_FALSE(ex.writing());
        ex.read_failed("early eof");
        EXPECT_EQ(ex.take().error().payload(), "worker timed out after 3s");
    }
}
