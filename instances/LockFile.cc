#include "LockFile.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "Log.h"

namespace kestrond {
namespace {

LockFileReading readError(std::string reason) {
  LockFileReading reading;
  reading.outcome = LockFileReading::Outcome::ReadError;
  reading.error = std::move(reason);
  return reading;
}

std::string kindName(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

LockFileReading checkedKind(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return readError("the file is " + kindName(info.st_mode));
  if (static_cast<uint64_t>(info.st_size) > kMaxLockFileSize) {
    return readError("the file is larger than " + std::to_string(kMaxLockFileSize) + " bytes");
  }
  return LockFileReading{LockFileReading::Outcome::Pid, 0, {}};
}

}  // namespace

LockFileReading parseLockFileText(std::string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x80) {
      char reason[96];
      std::snprintf(reason, sizeof reason, "byte 0x%02X at offset %zu is not 7-bit ASCII", byte, i);
      return readError(reason);
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

LockFileReading readLockFile(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return LockFileReading{};
    return readError(errnoText(errno));
  }
  if (S_ISDIR(info.st_mode)) return LockFileReading{};
  // Checked before opening so that a FIFO or a device is never opened at all.
  if (LockFileReading kind = checkedKind(info); kind.outcome != LockFileReading::Outcome::Pid) {
    return kind;
  }

  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return LockFileReading{};  // removed since the stat
    return readError(errnoText(errno));
  }
  // The file may have been replaced between the stat and the open.
  if (fstat(fd, &info) != 0) {
    int error = errno;
    close(fd);
    return readError(errnoText(error));
  }
  if (LockFileReading kind = checkedKind(info); kind.outcome != LockFileReading::Outcome::Pid) {
    close(fd);
    return kind;
  }

  // One buffer for every read: a refresh runs twice a second per instance.
  static std::string text(kMaxLockFileSize + 1, '\0');
  size_t length = 0;
  while (length < text.size()) {
    ssize_t got = read(fd, text.data() + length, text.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      close(fd);
      return readError(errnoText(error));
    }
    if (got == 0) break;
    length += static_cast<size_t>(got);
  }
  close(fd);
  if (length > kMaxLockFileSize) {
    return readError("the file is larger than " + std::to_string(kMaxLockFileSize) + " bytes");
  }
  LockFileReading reading = parseLockFileText(std::string_view(text.data(), length));
  reading.modified = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
  return reading;
}

}  // namespace kestrond
