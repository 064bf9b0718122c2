#pragma once
// ngspice's shared-library interface, opened at run time rather than linked, so that the package
// builds without it and each worker picks its library when it starts.

#include <ngspice/sharedspice.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tavlo/base/error.hpp"

namespace tavlo {

/// The opened libngspice with its eight entry points; unloads the library when dropped.
class Ngspice {
public:
    using InitFn = int(SendChar*, SendStat*, ControlledExit*, SendData*, SendInitData*, BGThreadRunning*, void*);
    using CommandFn = int(char*);
    using GetVecInfoFn = pvector_info(char*);
    using CircFn = int(char**);
    using CurPlotFn = char*();
    using AllPlotsFn = char**();
    using AllVecsFn = char**(char*);
    using RunningFn = NG_BOOL();

    /// Opens `path`, else $NGSPICE_LIBRARY_PATH, else "libngspice.so.0"; all eight symbols or an error.
    static Result<Ngspice> load(const std::optional<std::string>& path = std::nullopt);

    Ngspice(Ngspice&& other) noexcept;
    Ngspice& operator=(Ngspice&& other) noexcept;
    Ngspice(const Ngspice&) = delete;
    Ngspice& operator=(const Ngspice&) = delete;
    ~Ngspice();

    /// Keeps the library mapped for the rest of the process: after a controlled exit ngspice's
    /// state is unusable, and running its unload code is not worth the risk.
    void leak() { handle_ = nullptr; }

    InitFn* init = nullptr;
    CommandFn* command = nullptr;
    GetVecInfoFn* get_vec_info = nullptr;
    CircFn* circ = nullptr;
    CurPlotFn* cur_plot = nullptr;
    AllPlotsFn* all_plots = nullptr;
    AllVecsFn* all_vecs = nullptr;
    RunningFn* running = nullptr;

private:
    explicit Ngspice(void* handle) : handle_(handle) {}
    void* handle_ = nullptr;
};

/// Copies a null-terminated list of C strings (null: empty), converting each as utf8_lossy.
std::vector<std::string> read_c_string_list(char** list);

}  // namespace tavlo
