#include "tavlo/ngspice_lib.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace tavlo {

namespace {

NgspiceError loader_error(const char* fallback) {
    const char* reason = dlerror();
    return NgspiceError::library_load(reason ? reason : fallback);
}

template <class Fn>
bool resolve(void* handle, const char* name, Fn*& out) {
    dlerror();  // a stale message must not be taken for this lookup's
    out = reinterpret_cast<Fn*>(dlsym(handle, name));
    return out != nullptr;
}

// Length of the well-formed UTF-8 sequence at the start of s, or 0 when it is not one.
// On failure, *bad is how many bytes the replacement character stands for (the maximal subpart).
std::size_t utf8_sequence(std::string_view s, std::size_t* bad) {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    if (c < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xbf;  // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        need = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        need = 3;
        if (c == 0xe0) lo = 0xa0;  // overlong
        if (c == 0xed) hi = 0x9f;  // surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        need = 4;
        if (c == 0xf0) lo = 0x90;  // overlong
        if (c == 0xf4) hi = 0x8f;  // beyond U+10FFFF
    } else {
        *bad = 1;
        return 0;
    }
    std::size_t i = 1;
    for (; i < need && i < s.size(); ++i) {
        unsigned char x = b(i);
        bool fits = i == 1 ? (x >= lo && x <= hi) : (x >= 0x80 && x <= 0xbf);
        if (!fits) break;
    }
    if (i == need) return need;
    *bad = i;
    return 0;
}

}  // namespace

Result<Ngspice> Ngspice::load(const std::optional<std::string>& path) {
    std::string target = "libngspice.so.0";
    if (path) {
        target = *path;
    } else if (const char* env = std::getenv("NGSPICE_LIBRARY_PATH"); env && is_valid_utf8(env)) {
        target = env;
    }
    dlerror();
    void* handle = dlopen(target.c_str(), RTLD_LAZY | RTLD_LOCAL);
    if (!handle) return loader_error("dlopen failed, but system did not report the error");
    Ngspice ng(handle);
    if (!resolve(handle, "ngSpice_Init", ng.init) || !resolve(handle, "ngSpice_Command", ng.command) ||
        !resolve(handle, "ngGet_Vec_Info", ng.get_vec_info) || !resolve(handle, "ngSpice_Circ", ng.circ) ||
        !resolve(handle, "ngSpice_CurPlot", ng.cur_plot) || !resolve(handle, "ngSpice_AllPlots", ng.all_plots) ||
        !resolve(handle, "ngSpice_AllVecs", ng.all_vecs) || !resolve(handle, "ngSpice_running", ng.running)) {
        // Take the reason before the destructor's dlclose can replace it.
        return loader_error("dlsym failed, but system did not report the error");
    }
    return ng;
}

Ngspice::Ngspice(Ngspice&& o) noexcept
    : init(o.init),
      command(o.command),
      get_vec_info(o.get_vec_info),
      circ(o.circ),
      cur_plot(o.cur_plot),
      all_plots(o.all_plots),
      all_vecs(o.all_vecs),
      running(o.running),
      handle_(std::exchange(o.handle_, nullptr)) {}

Ngspice& Ngspice::operator=(Ngspice&& o) noexcept {
    if (this != &o) {
        Ngspice tmp(std::move(o));
        std::swap(handle_, tmp.handle_);
        init = tmp.init;
        command = tmp.command;
        get_vec_info = tmp.get_vec_info;
        circ = tmp.circ;
        cur_plot = tmp.cur_plot;
        all_plots = tmp.all_plots;
        all_vecs = tmp.all_vecs;
        running = tmp.running;
    }
    return *this;
}

Ngspice::~Ngspice() {
    if (handle_) dlclose(handle_);
}

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t bad = 0;
        std::size_t n = utf8_sequence(s.substr(i), &bad);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string utf8_lossy(std::string_view s) {
    // Fast path: ngspice's output is almost always plain ASCII.
    std::size_t i = 0;
    while (i < s.size() && static_cast<unsigned char>(s[i]) < 0x80) ++i;
    if (i == s.size()) return std::string(s);
    std::string out(s.substr(0, i));
    out.reserve(s.size() + 8);
    while (i < s.size()) {
        std::size_t bad = 0;
        std::size_t n = utf8_sequence(s.substr(i), &bad);
        if (n) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out.append("\xef\xbf\xbd");
            i += bad;
        }
    }
    return out;
}

std::vector<std::string> read_c_string_list(char** list) {
    std::vector<std::string> out;
    if (!list) return out;
    for (; *list; ++list) out.push_back(utf8_lossy(*list));
    return out;
}

}  // namespace tavlo
