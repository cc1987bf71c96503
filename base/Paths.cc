#include "Paths.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace kestrond {
namespace {

std::string currentDirectory() {
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
  return cwd ? std::string(cwd.get()) : std::string("/");
}

// Removes ".", "..", doubled and trailing separators from an absolute path.
std::string standardize(const std::string& absolute) {
  std::vector<std::string> parts;
  size_t i = 0;
  while (i < absolute.size()) {
    size_t end = absolute.find('/', i);
    if (end == std::string::npos) end = absolute.size();
    std::string part = absolute.substr(i, end - i);
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(std::move(part));
    }
    i = end + 1;
  }
  std::string result;
  for (const std::string& part : parts) result += "/" + part;
  return result.empty() ? "/" : result;
}

std::string kindName(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a regular file";
}

// Empty when `info` is a regular file of at most `maxBytes`, else the reason.
std::string unreadableKind(const struct stat& info, size_t maxBytes) {
  if (!S_ISREG(info.st_mode)) return "the file is " + kindName(info.st_mode);
  if (static_cast<uint64_t>(info.st_size) > maxBytes) {
    return "the file is larger than " + std::to_string(maxBytes) + " bytes";
  }
  return "";
}

}  // namespace

std::string appendPathComponent(const std::string& base, const std::string& component) {
  if (base.empty()) return component;
  if (component.empty()) return base;
  if (base.back() != '/' && component.front() != '/') {
    std::string joined;
    joined.reserve(base.size() + 1 + component.size());
    return joined.append(base).append(1, '/').append(component);
  }
  size_t keep = base.find_last_not_of('/');
  std::string head = keep == std::string::npos ? std::string() : base.substr(0, keep + 1);
  size_t skip = component.find_first_not_of('/');
  std::string tail = skip == std::string::npos ? std::string() : component.substr(skip);
  return head + "/" + tail;
}

std::string lastPathComponent(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? path : "/";
  size_t start = path.rfind('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end - start + 1);
}

std::string parentPath(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string absolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  return appendPathComponent(currentDirectory(), path);
}

std::string resolveSymlinks(const std::string& path) {
  if (path.empty()) return path;
  std::string absolute = absolutePath(path);
  std::unique_ptr<char, decltype(&free)> resolved(realpath(absolute.c_str(), nullptr), &free);
  if (resolved) return resolved.get();
  return standardize(absolute);
}

bool isEntryOf(const std::string& path, const std::string& directory) {
  size_t start = directory.size() + (directory.empty() || directory.back() != '/' ? 1 : 0);
  return path.size() > start && path.compare(0, directory.size(), directory) == 0 &&
         path[start - 1] == '/' && path.find('/', start) == std::string::npos;
}

PathKind pathKind(const std::string& path) {
  return pathKind(PathAt{AT_FDCWD, path.c_str()});
}

PathKind pathKind(PathAt file) {
  struct stat info;
  if (file.path[0] == '\0' || fstatat(file.at, file.path, &info, 0) != 0) return PathKind::Absent;
  return S_ISDIR(info.st_mode) ? PathKind::Directory : PathKind::Other;
}

bool mayReadAndWrite(PathAt file) {
  return faccessat(file.at, file.path, R_OK | W_OK, AT_EACCESS) == 0;
}

Result<ReadStatus> readRegularFile(const std::string& path, size_t maxBytes, std::string& contents,
                                   double* modified) {
  return readRegularFile(PathAt{AT_FDCWD, path.c_str()}, maxBytes, contents, modified);
}

Result<ReadStatus> readRegularFile(PathAt file, size_t maxBytes, std::string& contents,
                                   double* modified) {
  contents.clear();
  struct stat info;
  if (fstatat(file.at, file.path, &info, 0) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return ReadStatus::Absent;
    return Error(errno);
  }
  if (S_ISDIR(info.st_mode)) return ReadStatus::Directory;
  // Checked before opening, so that a FIFO or a device is never opened at all.
  if (std::string reason = unreadableKind(info, maxBytes); !reason.empty()) {
    return Error::because(reason);
  }
  int fd = openat(file.at, file.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT) return ReadStatus::Absent;  // removed since the stat
    return Error(errno);
  }
  // The file may have been replaced between the stat and the open.
  Error error;
  if (fstat(fd, &info) != 0) {
    error = Error(errno);
  } else if (std::string reason = unreadableKind(info, maxBytes); !reason.empty()) {
    error = Error::because(reason);
  }
  // Room for the size fstat gave and one byte more, which tells a file that
  // grew meanwhile; it grows up to one byte past the limit.
  size_t length = 0;
  if (!error.failed()) contents.resize(static_cast<size_t>(info.st_size) + 1);
  while (!error.failed()) {
    if (length == contents.size()) {
      if (contents.size() > maxBytes) break;
      contents.resize(std::min(contents.size() * 2, maxBytes + 1));
    }
    ssize_t got = read(fd, contents.data() + length, contents.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = Error(errno);
    if (got <= 0) break;
    length += static_cast<size_t>(got);
  }
  (void)close(fd);  // read-only: closing cannot lose anything
  contents.resize(std::min(length, contents.size()));
  if (!error.failed() && length > maxBytes) {
    error = Error::because("the file is larger than " + std::to_string(maxBytes) + " bytes");
  }
  if (error.failed()) {
    contents.clear();
    return error;
  }
  if (modified) *modified = static_cast<double>(info.st_mtim.tv_sec) + info.st_mtim.tv_nsec / 1e9;
  return ReadStatus::Read;
}

Result<UniqueFd> openDirectory(const std::string& path) {
  // Close-on-exec, so that nothing leaks into a server started meanwhile.
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Error(errno);
  return UniqueFd(fd);
}

Result<std::vector<std::string>> listDirectory(const std::string& path) {
  Result<UniqueFd> directory = openDirectory(path);
  if (!directory.ok()) return directory.error();
  Result<std::vector<std::string>> names = listDirectory(directory.value().get());
  if (names.ok()) std::sort(names.value().begin(), names.value().end());
  return names;
}

Result<std::vector<std::string>> listDirectory(int directoryFd) {
  struct CloseDirectory {
    void operator()(DIR* directory) const { closedir(directory); }
  };
  // fdopendir() takes the descriptor it is given: it gets one of its own.
  int own = openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return Error(errno);
  std::unique_ptr<DIR, CloseDirectory> directory(fdopendir(own));
  if (!directory) {
    Error error(errno);
    (void)close(own);
    return error;
  }
  std::vector<std::string> names;
  errno = 0;
  while (dirent* entry = readdir(directory.get())) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
    errno = 0;
  }
  if (errno != 0) return Error(errno);
  return names;
}

namespace {

std::string defaultSearchPath() {
  size_t size = confstr(_CS_PATH, nullptr, 0);
  if (size == 0) return "/bin:/usr/bin";
  std::string value(size, '\0');
  confstr(_CS_PATH, value.data(), size);
  value.resize(size - 1);
  return value;
}

}  // namespace

std::vector<std::string> executableCandidates(const std::string& file,
                                              const std::optional<std::string>& searchPath) {
  if (file.empty()) return {};
  if (file.find('/') != std::string::npos) return {absolutePath(file)};
  std::string path = searchPath ? *searchPath : defaultSearchPath();
  std::vector<std::string> candidates;
  size_t start = 0;
  while (true) {
    size_t end = path.find(':', start);
    std::string entry = path.substr(start, end == std::string::npos ? end : end - start);
    candidates.push_back(entry.empty() ? file : appendPathComponent(entry, file));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return candidates;
}

}  // namespace kestrond
