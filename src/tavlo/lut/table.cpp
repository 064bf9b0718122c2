#include "tavlo/lut/table.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tavlo/base/format.hpp"
#include "tavlo/protocol/protocol.hpp"

namespace tavlo {

namespace {

// Buffered writer over a file descriptor; numbers are formatted straight into the buffer.
class CsvWriter {
public:
    explicit CsvWriter(int fd) : fd_(fd) {}

    // Room for one whole line: six numbers of at most 32 bytes each, separators and newline.
    static constexpr std::size_t kLine = 6 * 32 + 8;

    Status reserve_line() { return kCapacity - len_ < kLine ? flush() : ok_status(); }
    void put(const char* s, std::size_t n) {
        std::memcpy(buf_ + len_, s, n);
        len_ += n;
    }
    void put(char c) { buf_[len_++] = c; }
    void put_number(double x) { len_ += format_sci_to(buf_ + len_, x, 6); }

    Status flush() {
        Status s = write_fd(fd_, buf_, len_);
        len_ = 0;
        return s;
    }

private:
    static constexpr std::size_t kCapacity = 8192;
    int fd_;
    std::size_t len_ = 0;
    char buf_[kCapacity];
};

}  // namespace

Status TransistorLut::write_csv(const std::string& path) const {
    // open() would stop at the NUL and write to a different file.
    if (path.find('\0') != std::string::npos) return NgspiceError::io("path contains a NUL character");
    // Written beside the target and renamed over it: the old file stays whole until the new one is.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    static std::atomic<unsigned> counter{0};
    const std::string tmp = folder + "." + name + "." + std::to_string(::getpid()) + "." +
                            std::to_string(counter.fetch_add(1)) + ".tmp";
    // O_EXCL: never write into a file someone else made; 0666 so the umask applies as usual.
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return NgspiceError::from_errno(errno);

    auto write_all = [&]() -> Status {
        CsvWriter w(fd);
        static constexpr char kHeader[] = "L,Vgs,Vds,Id,gm,gds\n";
        w.put(kHeader, sizeof kHeader - 1);
        const std::size_t nl = n_l(), nvgs = n_vgs(), nvds = n_vds();
        for (std::size_t k = 0; k < nl; ++k) {
            for (std::size_t i = 0; i < nvgs; ++i) {
                for (std::size_t j = 0; j < nvds; ++j) {
                    if (Status s = w.reserve_line(); !s) return s;
                    const std::size_t at = index(k, i, j);
                    const double cols[6] = {lengths[k], vgs[i], vds[j], id[at], gm[at], gds[at]};
                    for (int c = 0; c < 6; ++c) {
                        if (c) w.put(',');
                        w.put_number(cols[c]);
                    }
                    w.put('\n');
                }
            }
        }
        return w.flush();
    };
    Status status = write_all();
    // A failed close can be the first report of a failed write (e.g. on network file systems).
    if (::close(fd) != 0 && status.ok()) status = NgspiceError::from_errno(errno);
    if (status.ok() && ::rename(tmp.c_str(), path.c_str()) != 0) status = NgspiceError::from_errno(errno);
    if (!status.ok()) ::unlink(tmp.c_str());
    return status;
}

std::string check_shape(const TransistorLut& lut) {
    const std::size_t expected = lut.n_l() * lut.n_vgs() * lut.n_vds();
    const std::pair<const char*, const std::vector<double>*> tables[] = {
        {"id", &lut.id}, {"gm", &lut.gm}, {"gds", &lut.gds}};
    for (const auto& [name, t] : tables) {
        if (t->size() != expected)
            return std::string(name) + " holds " + std::to_string(t->size()) + " values, expected " +
                   std::to_string(expected) + " (" + std::to_string(lut.n_l()) + " lengths \u00d7 " +
                   std::to_string(lut.n_vgs()) + " Vgs \u00d7 " + std::to_string(lut.n_vds()) + " Vds)";
    }
    return {};
}

}  // namespace tavlo
