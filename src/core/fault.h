// The one exception type that leaves the core: an internal fault, with its text and source
// position.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace quarn_chess {

// Thrown when a precondition or invariant fails (an empty history to take back, a missing FEN
// field, a malformed square in move text). Errors caused by user input that callers are expected
// to handle are returned as values instead. The operation that throws has changed nothing.
class Fault : public std::runtime_error {
public:
    Fault(const std::string& message, std::source_location where)
        : std::runtime_error(message)
        , where_(where) { }

    const std::source_location& where() const noexcept { return where_; }

private:
    std::source_location where_;
};

// Message of a fault raised when a required value is absent.
constexpr const char* MISSING_VALUE = "missing value";
constexpr const char* INDEX_OUT_OF_RANGE = "index out of range";

[[noreturn]] inline void fault(
    const std::string& message, std::source_location where = std::source_location::current()) {
    throw Fault(message, where);
}

// Live in release builds too: the checks guard memory safety, not just debugging.
inline void check(bool condition, const char* message,
    std::source_location where = std::source_location::current()) {
    if (!condition) [[unlikely]]
        throw Fault(message, where);
}

} // namespace quarn_chess
