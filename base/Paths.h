// Paths as strings, and the few file-system questions the monitor asks.
//
// Paths are compared as exact strings everywhere in the monitor; only the
// functions here ever rewrite one. Any caller may use them. None of them
// throws; failures are values (PathKind::Absent, an Error).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Error.h"
#include "UniqueFd.h"

namespace kestrond {

// `base` and `component` with exactly one "/" between them. An empty base
// gives `component`; an empty component gives `base`; "." and ".." are
// appended unchanged.
std::string appendPathComponent(const std::string& base, const std::string& component);

// The last component of a path ("/a/b/" gives "b", "/" gives "/"). This is
// the name the monitor shows for a directory.
std::string lastPathComponent(const std::string& path);

// True when `path` is `directory`, one "/" and one component more, as
// appendPathComponent makes an entry's path.
bool isEntryOf(const std::string& path, const std::string& directory);
// The path without its last component ("/a/b" and "/a/b/" give "/a"; "/a",
// "/" and a bare name give "/").
std::string parentPath(const std::string& path);

// The path made absolute against the current directory, with every symbolic
// link along it replaced by its target, and in standard form: no "." or ".."
// components, no doubled or trailing "/". Where the path cannot be resolved
// (it does not exist, a link loops) the result is the lexically standardised
// absolute path. An empty path gives "".
std::string resolveSymlinks(const std::string& path);

// `path` made absolute against the current directory without touching the
// file system; an absolute path is returned as it is.
std::string absolutePath(const std::string& path);

// A file named from an open directory: `path` is looked up from the
// directory `at` refers to, or from the current directory when `at` is
// AT_FDCWD (an absolute path ignores `at`). A scan holds the directory it
// lists open and names its entries from there, so that the kernel walks the
// few components after it instead of the whole path for every question.
struct PathAt {
  int at;
  const char* path;
};

enum class PathKind { Absent, Directory, Other };

// What lies at a path, by stat(2): links are followed, so a dangling link is
// Absent. Errors of any kind (permission, loops) also give Absent.
PathKind pathKind(const std::string& path);
PathKind pathKind(PathAt file);

inline bool isDirectoryPath(const std::string& path) {
  return pathKind(path) == PathKind::Directory;
}
inline bool isNonDirectoryPath(const std::string& path) {
  return pathKind(path) == PathKind::Other;
}

enum class ReadStatus { Read, Absent, Directory };

// Reads the whole of a small regular file into `contents` without ever
// blocking: only a regular file of at most `maxBytes` is read, and it is
// opened non-blocking, so a FIFO or a device named like one is never opened.
// Absent (nothing there, or a dangling link) and Directory are no failure;
// anything else is an Error with a readable reason ("the file is a FIFO").
// When `modified` is given it receives the file's modification time in
// seconds since the epoch. `contents` keeps its capacity, so a caller may
// reuse it.
Result<ReadStatus> readRegularFile(const std::string& path, size_t maxBytes, std::string& contents,
                                   double* modified = nullptr);
Result<ReadStatus> readRegularFile(PathAt file, size_t maxBytes, std::string& contents,
                                   double* modified = nullptr);
// True when this process may read and write there (access(2) with its
// effective ids, which are its real ones: the monitor is never set-id);
// false on any failure.
bool mayReadAndWrite(PathAt file);

// The names directly inside a directory, hidden names included, "." and ".."
// excluded, in byte order; an Error (such as "No such file or directory")
// when it cannot be listed.
Result<std::vector<std::string>> listDirectory(const std::string& path);
// The same for a directory held open (`directory` stays open and is not
// moved: the listing reads through a descriptor of its own), in the order
// the file system gives: a caller that reads most names only to skip them
// sorts just the rest.
Result<std::vector<std::string>> listDirectory(int directory);
// The directory opened for listing and for naming its entries (PathAt),
// close-on-exec, links followed; an Error when it cannot be opened.
Result<UniqueFd> openDirectory(const std::string& path);

// The paths execve should try, in order, for what execvp would run as `file`:
// the file itself (made absolute against the current directory) when it holds
// a "/", else each entry of `searchPath` joined with it (none for an unset
// PATH means the system's default search path; an empty entry means the
// current directory, i.e. the working directory of the child).
std::vector<std::string> executableCandidates(const std::string& file,
                                              const std::optional<std::string>& searchPath);

}  // namespace kestrond
