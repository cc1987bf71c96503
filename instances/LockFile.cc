#include "LockFile.h"

#include <cstdio>

#include "Paths.h"

namespace kestrond {
namespace {

LockFileReading readError(Error error) {
  LockFileReading reading;
  reading.outcome = LockFileReading::Outcome::ReadError;
  reading.error = std::move(error);
  return reading;
}

}  // namespace

LockFileReading parseLockFileText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      char reason[96];
      std::snprintf(reason, sizeof reason, "byte 0x%02X at offset %zu is not 7-bit ASCII", byte, i);
      return readError(Error::because(reason));
    }
  }
  size_t start = text.find_first_of("0123456789");
  LockFileReading reading;
  if (start == std::string_view::npos) {
    reading.outcome = LockFileReading::Outcome::Malformed;
    return reading;
  }
  // Accumulate in 64 bits and stop as soon as the value leaves the pid range,
  // so that no run of digits, however long, can wrap into another pid.
  int64_t value = 0;
  for (size_t i = start; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) {
      reading.outcome = LockFileReading::Outcome::Malformed;
      return reading;
    }
  }
  reading.outcome = LockFileReading::Outcome::Pid;
  reading.pid = static_cast<int32_t>(value);
  return reading;
}

LockFileReading readLockFile(PathAt file) {
  // One buffer for every read: a refresh runs twice a second per instance.
  static std::string text;
  double modified = 0;
  Result<ReadStatus> read = readRegularFile(file, kMaxLockFileSize, text, &modified);
  if (!read.ok()) return readError(read.error());
  if (read.value() != ReadStatus::Read) return LockFileReading{};
  LockFileReading reading = parseLockFileText(text);
  reading.modified = modified;
  return reading;
}

}  // namespace kestrond
