#pragma once
// The system's one error type and the value-or-error result that every fallible call returns.

#include <cstdlib>
#include <string>
#include <utility>
#include <variant>

namespace tavlo {

enum class ErrorKind {
    InitFailed,
    SimulationFailed,
    WorkerCrashed,
    Serialization,
    Io,
    PoolSendFailed,
    LibraryLoad,
};

/// One failure: its kind and the payload text (message, JSON error, OS error or loader error).
class NgspiceError {
public:
    NgspiceError(ErrorKind kind, std::string payload) : kind_(kind), payload_(std::move(payload)) {}

    static NgspiceError init_failed(std::string m) { return {ErrorKind::InitFailed, std::move(m)}; }
    static NgspiceError simulation_failed(std::string m) { return {ErrorKind::SimulationFailed, std::move(m)}; }
    static NgspiceError worker_crashed(std::string m) { return {ErrorKind::WorkerCrashed, std::move(m)}; }
    static NgspiceError serialization(std::string m) { return {ErrorKind::Serialization, std::move(m)}; }
    static NgspiceError io(std::string m) { return {ErrorKind::Io, std::move(m)}; }
    /// `why`, when given, says what ended the workers; the fixed texts are kept in front of it.
    static NgspiceError pool_send_failed(std::string why = {}) { return {ErrorKind::PoolSendFailed, std::move(why)}; }
    static NgspiceError library_load(std::string m) { return {ErrorKind::LibraryLoad, std::move(m)}; }

    /// An Io error from an errno value: the OS description followed by " (os error N)".
    static NgspiceError from_errno(int err);

    ErrorKind kind() const { return kind_; }
    /// The payload's own text, without the kind's prefix.
    const std::string& payload() const { return payload_; }
    /// The text used in logs and in messages that wrap this error.
    std::string display() const;

private:
    ErrorKind kind_;
    std::string payload_;
};

/// The OS description of errno value `err` with its number, e.g. "No such file or directory (os error 2)".
std::string os_error_text(int err);

/// A value of type T or an NgspiceError.
template <class T>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(NgspiceError error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return check(), std::get<0>(v_); }
    const T& value() const& { return check(), std::get<0>(v_); }
    T&& value() && { return check(), std::get<0>(std::move(v_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const NgspiceError& error() const& { return std::get<1>(v_); }
    NgspiceError&& error() && { return std::get<1>(std::move(v_)); }

private:
    void check() const {
        if (v_.index() != 0) std::abort();  // reading the value of an error is a programming fault
    }
    std::variant<T, NgspiceError> v_;
};

struct Unit {};
using Status = Result<Unit>;
inline Status ok_status() { return Unit{}; }

}  // namespace tavlo
