// Reading a server's lock file: the process id it holds as decimal text.
//
// Used by KestrondInstance on every refresh, so a read never blocks and never
// takes more than kMaxLockFileSize bytes: only a regular file is opened, and
// it is opened non-blocking. The functions log nothing; the caller turns the
// outcome into its log line.
#pragma once

#include <fcntl.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "Error.h"
#include "Paths.h"

namespace kestrond {

inline constexpr size_t kMaxLockFileSize = 64 * 1024;

struct LockFileReading {
  enum class Outcome {
    NoFile,     // nothing there, or a directory: no pid, nothing to report
    Pid,        // `pid` holds the number (0 means "no pid")
    ReadError,  // `error` tells why
    Malformed,  // no decimal digit, or a number that is no valid pid
  };
  Outcome outcome = Outcome::NoFile;
  int32_t pid = 0;
  Error error;
  // When the file was last written (seconds since the epoch); 0 if unknown.
  double modified = 0;
};

// The pid in a lock file's text: the run of decimal digits that starts at the
// first digit. A byte outside 7-bit ASCII is a ReadError; no digit, or a
// number above 2147483647, is Malformed. Never fails otherwise.
LockFileReading parseLockFileText(std::string_view text);

// Reads and parses the lock file at `file`. Not a regular file, larger than
// kMaxLockFileSize, or unreadable: ReadError with the reason.
LockFileReading readLockFile(PathAt file);
inline LockFileReading readLockFile(const std::string& path) {
  return readLockFile(PathAt{AT_FDCWD, path.c_str()});
}

}  // namespace kestrond
