#pragma once
// Shared pieces of the binding layer. Bindings convert and delegate; behaviour lives in the core.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "tavlo/base/error.hpp"
#include "tavlo/lut/config.hpp"
#include "tavlo/lut/table.hpp"

namespace tavlo::py {

namespace nb = nanobind;

/// Raises the built-in Python exception for this error (never returns).
[[noreturn]] void raise_error(const NgspiceError& error);

/// A NumPy array that owns `data` (moved into a capsule): callers get copies, never views.
template <class T>
nb::ndarray<nb::numpy, T> to_numpy(std::vector<T>&& data, std::initializer_list<std::size_t> shape) {
    auto* holder = new std::vector<T>(std::move(data));
    nb::capsule owner(holder, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
    return nb::ndarray<nb::numpy, T>(holder->data(), shape, owner);
}

/// Python-side LutConfig: keeps the device type as the caller's string.
struct PyLutConfig {
    double width;
    SweepRange lengths;
    SweepRange vgs;
    SweepRange vds;
    double vbs;
    std::optional<std::string> model_file;
    std::optional<std::string> model_section;
    std::string device_type;
    std::string model_card;
    std::string model_name;
};

struct PyTransistorLut {
    TransistorLut lut;
};

// Argument conversions: each error names the argument.

/// The Python type name of h, for messages.
std::string type_name_of(nb::handle h);

/// Raises TypeError "argument '<arg>': <what>".
[[noreturn]] void arg_type_error(const char* arg, const std::string& what);

/// A str as UTF-8; a lone surrogate (which has no UTF-8 form) is a ValueError naming the argument.
std::string str_arg(nb::handle h, const char* arg);

/// float(h) as the interpreter converts it; a TypeError is re-raised as "argument '<name>': ...".
double float_arg(nb::handle h, const char* name);

// Registration, called in this order by the module's init.
void register_pool(nb::module_& m);
void register_lut_config(nb::module_& m);
void register_transistor_lut(nb::module_& m);
void register_result(nb::module_& m);
void register_design(nb::module_& m);
void register_worker(nb::module_& m);
void register_characterise(nb::module_& m);

}  // namespace tavlo::py
