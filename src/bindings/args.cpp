#include "bindings.hpp"

#include <Python.h>

namespace tavlo::py {

std::string type_name_of(nb::handle h) { return nb::type_name(h.type()).c_str(); }

void arg_type_error(const char* arg, const std::string& what) {
    throw nb::type_error(("argument '" + std::string(arg) + "': " + what).c_str());
}

std::string str_arg(nb::handle h, const char* arg) {
    if (!PyUnicode_Check(h.ptr())) arg_type_error(arg, "expected str, got " + type_name_of(h));
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(h.ptr(), &n);
    if (!s) {
        // Say which argument holds it instead of failing somewhere deeper.
        nb::python_error e;
        throw nb::value_error(("argument '" + std::string(arg) + "': " + nb::str(e.value()).c_str()).c_str());
    }
    return std::string(s, static_cast<std::size_t>(n));
}

double float_arg(nb::handle h, const char* arg) {
    const double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        nb::python_error e;
        if (!e.matches(PyExc_TypeError)) throw e;  // e.g. OverflowError keeps its own type and text
        arg_type_error(arg, nb::str(e.value()).c_str());
    }
    return v;
}

}  // namespace tavlo::py
