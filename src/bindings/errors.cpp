#include "bindings.hpp"

#include <Python.h>

namespace tavlo::py {

void raise_error(const NgspiceError& e) {
    PyObject* cls = PyExc_RuntimeError;
    std::string msg;
    switch (e.kind()) {
        case ErrorKind::InitFailed: msg = "ngspice init failed: " + e.payload(); break;
        case ErrorKind::SimulationFailed: msg = "simulation failed: " + e.payload(); break;
        case ErrorKind::WorkerCrashed: msg = "worker crashed: " + e.payload(); break;
        case ErrorKind::Serialization:
            cls = PyExc_ValueError;
            msg = "serialization error: " + e.payload();
            break;
        case ErrorKind::Io:
            cls = PyExc_OSError;  // IOError is OSError; built from the message alone
            msg = e.payload();
            break;
        case ErrorKind::PoolSendFailed:
            msg = "worker pool exhausted";
            if (!e.payload().empty()) msg += ": " + e.payload();
            break;
        case ErrorKind::LibraryLoad: msg = "failed to load libngspice: " + e.payload(); break;
    }
    PyErr_SetString(cls, msg.c_str());
    throw nb::python_error();
}

}  // namespace tavlo::py
