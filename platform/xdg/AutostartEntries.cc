#include "AutostartEntries.h"

#include <errno.h>
#include <fcntl.h>
#include <glib.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "BundleLocation.h"
#include "Environment.h"
#include "Identity.h"
#include "Paths.h"
#include "Text.h"

namespace kestrond {
namespace {

constexpr const char* kGroup = "Desktop Entry";
constexpr size_t kMaxEntrySize = 256 * 1024;
constexpr int kMaxEntryNames = 100;

struct KeyFile {
  GKeyFile* file = g_key_file_new();
  ~KeyFile() { g_key_file_free(file); }
};

bool booleanKey(GKeyFile* file, const char* key, bool fallback) {
  GError* error = nullptr;
  gboolean value = g_key_file_get_boolean(file, kGroup, key, &error);
  if (error) {
    g_error_free(error);
    return fallback;
  }
  return value;
}

bool writeAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    done += static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

Error EntryFileSystem::renameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return Error();
  }
  return Error(errno);
}

Error EntryFileSystem::link(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0 ? Error() : Error(errno);
}

Error EntryFileSystem::syncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Error(errno);
  Error error = fsync(fd) == 0 ? Error() : Error(errno);
  (void)close(fd);  // read-only: the fsync has told what there is to tell
  return error;
}

EntryFileSystem& EntryFileSystem::system() {
  static EntryFileSystem files;
  return files;
}

AutostartEntries::AutostartEntries(std::string directory, std::string executable, LogSink& log,
                                   EntryFileSystem& files)
    : _directory(std::move(directory)),
      _executable(std::move(executable)),
      _bundleUrl(fileURLWithPath(bundlePathForExecutable(_executable))),
      _log(log),
      _files(files) {}

namespace {

// Where no autostart directory can be had, nothing starts at login.
class NoAutostart : public StartAtLogin {
 public:
  explicit NoAutostart(LogSink& log) : _log(log) {}
  bool isEnabled() override { return false; }
  Error setEnabled(bool enabled) override {
    if (!enabled) return Error();
    Error error = Error::because("Cannot start at login: no home directory to keep the entry in");
    _log.write(error.text());
    return error;
  }

 private:
  LogSink& _log;
};

}  // namespace

std::unique_ptr<StartAtLogin> userStartAtLogin(const std::string& executable, LogSink& log) {
  std::optional<std::string> directory = AutostartEntries::userAutostartDirectory();
  if (!directory || executable.empty()) return std::make_unique<NoAutostart>(log);
  return std::make_unique<AutostartEntries>(*directory, executable, log);
}

std::optional<std::string> AutostartEntries::userAutostartDirectory() {
  // The base-directory rules ignore a relative XDG_CONFIG_HOME.
  std::optional<std::string> config = environmentValue("XDG_CONFIG_HOME");
  if (config && config->front() == '/') return appendPathComponent(*config, "autostart");
  std::string home;
  if (std::optional<std::string> value = environmentValue("HOME"); value && value->front() == '/') {
    home = *value;
  } else if (const passwd* user = getpwuid(getuid());
             user && user->pw_dir && user->pw_dir[0] == '/') {
    home = user->pw_dir;
  } else {
    return std::nullopt;
  }
  return appendPathComponent(home, ".config/autostart");
}

std::vector<std::string> AutostartEntries::ourEntries() const {
  std::vector<std::string> ours;
  // A directory that cannot be listed holds no entries as far as the
  // session is concerned either.
  Result<std::vector<std::string>> names = listDirectory(_directory);
  if (!names.ok()) return ours;
  for (const std::string& name : names.value()) {
    if (name.size() <= 8 || name.compare(name.size() - 8, 8, ".desktop") != 0) continue;
    std::string path = appendPathComponent(_directory, name);
    if (resolveEntry(path) == _bundleUrl) ours.push_back(path);
  }
  return ours;
}

std::optional<std::string> AutostartEntries::resolveEntry(const std::string& path) const {
  // Never blocks: a FIFO named like an entry must not hang the menu.
  std::string contents;
  // An entry that cannot be read starts nothing: it is none of ours.
  Result<ReadStatus> read = readRegularFile(path, kMaxEntrySize, contents);
  if (!read.ok() || read.value() != ReadStatus::Read) return std::nullopt;
  return resolveDesktopEntry(contents, lastPathComponent(_executable));
}

bool AutostartEntries::isEnabled() {
  return !ourEntries().empty();
}

Error AutostartEntries::setEnabled(bool enabled) {
  std::vector<std::string> ours = ourEntries();
  if (enabled) return ours.empty() ? writeEntry() : Error();
  // Every entry that starts us goes: one left behind would start us still.
  Error first;
  for (const std::string& path : ours) {
    if (unlink(path.c_str()) == 0) continue;
    Error error(errno, "Cannot remove the login item " + path);
    _log.write(error.text());
    if (!first.failed()) first = error;
  }
  return first;
}

std::string AutostartEntries::entryText() const {
  KeyFile entry;
  g_key_file_set_string(entry.file, kGroup, "Type", "Application");
  g_key_file_set_string(entry.file, kGroup, "Name", kApplicationName);
  g_key_file_set_string(entry.file, kGroup, "Comment",
                        "Start and stop the local Kestrond server instances");
  g_key_file_set_string(entry.file, kGroup, "Exec", quoteExecArgument(_executable).c_str());
  g_key_file_set_boolean(entry.file, kGroup, "Terminal", FALSE);
  // No X-GNOME-Autostart-Phase: systemd's generator, which starts the
  // entries of KDE Plasma and of every session using
  // xdg-desktop-autostart.target, skips an entry that has one, and GNOME
  // starts an entry without one among the applications, after the panel.
  // KDE and LXQt are told to wait for the panel and the tray.
  g_key_file_set_boolean(entry.file, kGroup, "X-GNOME-Autostart-enabled", TRUE);
  g_key_file_set_string(entry.file, kGroup, "X-KDE-autostart-after", "panel");
  g_key_file_set_boolean(entry.file, kGroup, "X-LXQt-Need-Tray", TRUE);
  gsize length = 0;
  gchar* data = g_key_file_to_data(entry.file, &length, nullptr);
  std::string text(data, length);
  g_free(data);
  return text;
}

Error AutostartEntries::insertionFailed(Error error) {
  _log.write(error.text());
  return error;
}

Error AutostartEntries::writeEntry() {
  // A desktop entry is UTF-8: one that names this path could never be read
  // back, so every toggle would add another that is never recognised.
  if (!isValidUtf8(_executable)) {
    return insertionFailed(Error::because(formatText(
        "Cannot start at login: the program's path %@ is not valid UTF-8", {_executable})));
  }
  if (g_mkdir_with_parents(_directory.c_str(), 0700) != 0) {
    return insertionFailed(Error(errno, "Cannot create the autostart directory " + _directory));
  }
  // Written in full to a hidden temporary file, then moved to a name that is
  // not taken: a reader never sees half an entry, and no file is replaced.
  std::string temporary =
      appendPathComponent(_directory, "." + std::string(kProgramName) + "-XXXXXX");
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    return insertionFailed(Error(errno, "Cannot write a login item in " + _directory));
  }
  bool written = fchmod(fd, 0644) == 0 && writeAll(fd, entryText()) && fsync(fd) == 0;
  int writeError = errno;
  if (close(fd) != 0 && written) {
    written = false;
    writeError = errno;
  }
  if (!written) {
    (void)unlink(temporary.c_str());  // only our own temporary file; nothing else to undo
    return insertionFailed(Error(writeError, "Cannot write a login item in " + _directory));
  }
  return putInPlace(temporary);
}

Error AutostartEntries::putInPlace(const std::string& temporary) {
  // Where the file system refuses a no-replace rename (NFS, many FUSE file
  // systems), a hard link is just as atomic and never replaces a file
  // either; the temporary name is then removed.
  bool linking = false;
  Error error;
  for (int n = 1; n <= kMaxEntryNames; ++n) {
    std::string name =
        std::string(kProgramName) + (n == 1 ? "" : "-" + std::to_string(n)) + ".desktop";
    std::string path = appendPathComponent(_directory, name);
    error = linking ? _files.link(temporary, path) : _files.renameNoReplace(temporary, path);
    if (!linking && (error.code() == EINVAL || error.code() == ENOSYS)) {
      linking = true;
      error = _files.link(temporary, path);
    }
    if (!error.failed()) {
      if (linking) (void)unlink(temporary.c_str());  // the entry has its name; the rest is ours
      // The entry is in place and read by the session already; only a crash
      // before the directory reaches the disk could lose it.
      if (Error sync = _files.syncDirectory(_directory); sync.failed()) {
        _log.write(Error(sync.code(), "Cannot sync the autostart directory " + _directory).text());
      }
      return Error();
    }
    if (error.code() != EEXIST) break;
  }
  (void)unlink(temporary.c_str());  // only our own temporary file
  return insertionFailed(Error(error.code(), "Cannot write a login item in " + _directory));
}

std::optional<std::string> resolveDesktopEntry(const std::string& contents,
                                               const std::string& executableName) {
  KeyFile entry;
  if (!g_key_file_load_from_data(entry.file, contents.data(), contents.size(), G_KEY_FILE_NONE,
                                 nullptr)) {
    return std::nullopt;
  }
  if (booleanKey(entry.file, "Hidden", false)) return std::nullopt;
  if (!booleanKey(entry.file, "X-GNOME-Autostart-enabled", true)) return std::nullopt;
  // A session starts nothing for an entry whose TryExec is missing.
  if (gchar* tryExec = g_key_file_get_string(entry.file, kGroup, "TryExec", nullptr)) {
    gchar* found = g_find_program_in_path(tryExec);
    g_free(tryExec);
    if (!found) return std::nullopt;
    g_free(found);
  }
  gchar* exec = g_key_file_get_string(entry.file, kGroup, "Exec", nullptr);
  if (!exec) return std::nullopt;
  std::string line;
  for (const char* c = exec; *c; ++c) {
    line += *c;
    if (c[0] == '%' && c[1] == '%') ++c;  // "%%" stands for "%"
  }
  g_free(exec);
  gint argc = 0;
  gchar** argv = nullptr;
  if (!g_shell_parse_argv(line.c_str(), &argc, &argv, nullptr)) return std::nullopt;
  std::string program = argc > 0 ? argv[0] : "";
  g_strfreev(argv);
  if (program.empty()) return std::nullopt;
  // A launcher copied into the autostart directory says "kestrond-monitor":
  // the session finds it along PATH, and so must we.
  if (program.find('/') == std::string::npos) {
    gchar* found = g_find_program_in_path(program.c_str());
    if (!found) return std::nullopt;
    program = found;
    g_free(found);
  }
  if (program[0] != '/') return std::nullopt;
  if (lastPathComponent(program) == executableName) {
    return fileURLWithPath(bundlePathForExecutable(program));
  }
  return fileURLWithPath(program, false);
}

std::string quoteExecArgument(const std::string& argument) {
  static const std::string kReserved = " \t\n\"'\\><~|&;$*?#()`";
  bool needsQuotes = argument.empty() || argument.find_first_of(kReserved) != std::string::npos;
  std::string quoted;
  for (char c : argument) {
    if (c == '%') {
      quoted += "%%";
      continue;
    }
    if (needsQuotes && (c == '"' || c == '`' || c == '$' || c == '\\')) quoted += '\\';
    quoted += c;
  }
  return needsQuotes ? "\"" + quoted + "\"" : quoted;
}

}  // namespace kestrond
