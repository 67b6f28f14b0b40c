// Failures travel out of the core as values. The Python layer is the one
// place that turns an Error into an exception.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace aeso {

enum class ErrorKind : unsigned char {
    TypeError,    // an argument problem, raised as Python's TypeError
    Internal,     // a broken invariant or failed facility, raised as InternalError
    OutOfMemory,  // the flight log could not grow, raised as MemoryError
};

struct Error {
    ErrorKind kind;
    std::string message;

    static Error type_error(std::string msg) { return {ErrorKind::TypeError, std::move(msg)}; }
    static Error internal(std::string msg) { return {ErrorKind::Internal, std::move(msg)}; }
    static Error out_of_memory() { return {ErrorKind::OutOfMemory, {}}; }
};

struct Ok {};

// A value or an error; never both, never neither.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return *std::get_if<0>(&v_); }
    const T& value() const& { return *std::get_if<0>(&v_); }
    T&& value() && { return std::move(*std::get_if<0>(&v_)); }

    Error& error() & { return *std::get_if<1>(&v_); }
    const Error& error() const& { return *std::get_if<1>(&v_); }
    Error&& error() && { return std::move(*std::get_if<1>(&v_)); }

private:
    std::variant<T, Error> v_;
};

using Status = Result<Ok>;

}  // namespace aeso
