// Result<T>: a value or the message of an error caused by user input.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quarn_chess {

// An error the caller is expected to report to the user (bad FEN, bad move text). Faults of the
// library itself are thrown as Fault instead.
struct Error {
    std::string message;
};

template <class T> class Result {
public:
    Result(T value)
        : v_(std::move(value)) { }
    Result(Error error)
        : v_(std::move(error)) { }

    bool ok() const { return v_.index() == 0; }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    const Error& error() const { return std::get<1>(v_); }

private:
    std::variant<T, Error> v_;
};

} // namespace quarn_chess
