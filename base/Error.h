// A failure as a value: the errno it came with and what was being done.
//
// Whatever can fail at a module boundary returns an Error (or a Result that
// holds a value or an Error) instead of throwing or filling a string; the
// caller decides whether it is worth a log line. text() is the one place
// where an error number becomes words. Any caller may use these; they never
// throw.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace kestrond {

class [[nodiscard]] Error {
 public:
  // No failure.
  Error() = default;
  // A failure with errno `code` (0 when no system call failed, as for a
  // FIFO where a file was expected) while doing `context`.
  explicit Error(int code, std::string context = {})
      : _code(code), _context(std::move(context)), _failed(true) {}
  // A failure that no errno describes: `reason` is the whole text.
  static Error because(std::string reason) { return Error(0, std::move(reason)); }

  bool failed() const { return _failed; }
  int code() const { return _code; }
  const std::string& context() const { return _context; }
  // "<context>: <errno text>", or whichever of the two there is; "" when
  // nothing failed.
  std::string text() const;

 private:
  int _code = 0;
  std::string _context;
  bool _failed = false;
};

// The readable text of an errno value ("No such file or directory").
std::string errnoText(int code);

// A value, or the Error that prevented it.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : _value(std::move(value)) {}
  Result(Error error) : _error(std::move(error)) {}

  bool ok() const { return _value.has_value(); }
  // Only when ok().
  const T& value() const { return *_value; }
  T& value() { return *_value; }
  const Error& error() const { return _error; }

 private:
  std::optional<T> _value;
  Error _error;
};

}  // namespace kestrond
