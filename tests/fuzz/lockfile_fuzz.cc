// Fuzzes the lock-file reader: any bytes give an outcome, and a pid that is
// given is a valid positive pid or 0.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "LockFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using kestrond::LockFileReading;
  LockFileReading reading =
      kestrond::parseLockFileText(std::string_view(reinterpret_cast<const char*>(data), size));
  if (reading.outcome == LockFileReading::Outcome::Pid && reading.pid < 0) std::abort();
  if (reading.outcome != LockFileReading::Outcome::Pid && reading.pid != 0) std::abort();
  return 0;
}
