// Why an operation could not be done, as a value: the engine's operations return their result
// or a Failure, and only the front end turns one into the line the user reads. The entry points
// that read an input from start to end through a FileReader, and describeStructure, carry a
// Failure met part way out as a ReadError (types.h) that holds it: what they handed to a callback
// or sink by then cannot be taken back, and nothing they would return could pass for the whole
// input's result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace tessaloom {

// The file, what failed, and the system's own words.
struct Failure {
    enum class Kind : std::uint8_t {
        kRead,     // the input could not be opened or read
        kWrite,    // the output could not be created, written or made the target's
        kMemory,   // what the input asks for does not fit in memory, or passes a stated limit
        kInvalid,  // the input is read, but is not what it must be (a line of a patch list)
        kChanged,  // the file changed on disk since it was opened, or while it was read
        kStopped,  // the user asked to stop; nothing was written
    };

    Kind kind = Kind::kRead;
    std::string path;    // the file or input it concerns, as the user named it
    std::string reason;  // "No such file or directory"
    int code = 0;        // the system's error number (errno; on Windows its equivalent)
    std::optional<std::uint64_t> line;  // the line of a text input it concerns, from 1

    bool operator==(const Failure&) const = default;
};

// A value, or the Failure that kept it from being made.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(Failure failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const Failure& failure() const { return std::get<1>(state_); }

  private:
    std::variant<T, Failure> state_;
};

// Done, or the Failure that kept it from being done.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Failure failure) : failure_(std::move(failure)) {}

    bool ok() const { return !failure_; }
    explicit operator bool() const { return ok(); }
    const Failure& failure() const { return *failure_; }

  private:
    std::optional<Failure> failure_;
};

}  // namespace tessaloom
