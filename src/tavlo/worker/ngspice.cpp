#include "tavlo/worker/ngspice.hpp"

#include "tavlo/base/text.hpp"

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

std::vector<std::string> read_c_string_list(char** list) {
    std::vector<std::string> out;
    if (!list) return out;
    for (; *list; ++list) out.push_back(utf8_lossy(*list));
    return out;
}

}  // namespace tavlo
