#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace common {

// A failure as a value: where it comes from (domain), which one (code) and what a person should
// read (message). The message is the only part that reaches the parent process.
struct Error {
    std::string domain;
    int64_t code = 0;
    std::string message;

    const std::string& description() const { return message; }
    bool operator==(const Error&) const = default;
};

// Either a value or the error that prevented it.
template <class T>
class Result {
public:
    Result(T value) : storage_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : storage_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return storage_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() & { return std::get<0>(storage_); }
    const T& value() const& { return std::get<0>(storage_); }
    T&& value() && { return std::get<0>(std::move(storage_)); }
    const Error& error() const { return std::get<1>(storage_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, Error> storage_;
};

// Success without a value, or an error.
using Status = std::optional<Error>;

}  // namespace common
