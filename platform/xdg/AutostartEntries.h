// Start at login on a freedesktop session: the ".desktop" entries in the
// user's autostart directory ($XDG_CONFIG_HOME/autostart, by default
// ~/.config/autostart).
//
// The program starts at login when an entry there starts it, found the way
// the session would start it: a program without "/" along PATH, and nothing
// when its TryExec program cannot be found. So an entry a startup-application
// tool copied from the installed launcher counts, and so do entries written
// by earlier versions. The entry we write is read by every session's
// autostart (systemd's generator, GNOME, KDE, XFCE, LXQt): it carries no key
// that one of them refuses. Enabling writes a new entry atomically and
// never replaces an existing file, also where the file system refuses a
// no-replace rename (NFS, FUSE); disabling deletes every entry that starts
// this program. Files of other programs are never written. Used by the
// desktop backends.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Desktop.h"

namespace kestrond {

// Start at login for the program at `executable` in the current user's
// autostart directory; where no home directory can be found, one that says
// "off" and fails with a line.
std::unique_ptr<StartAtLogin> userStartAtLogin(const std::string& executable, LogSink& log);

// The calls that put a finished entry in place, so that tests can make one
// of them fail as a network file system would. Each returns the Error of the
// call, none on success.
class EntryFileSystem {
 public:
  virtual ~EntryFileSystem() = default;
  // renameat2(2) with RENAME_NOREPLACE.
  virtual Error renameNoReplace(const std::string& from, const std::string& to);
  // link(2): a new name for `from`; EEXIST when `to` is taken.
  virtual Error link(const std::string& from, const std::string& to);
  // fsync(2) of the directory itself, so that a new name survives a crash.
  virtual Error syncDirectory(const std::string& directory);

  static EntryFileSystem& system();
};

class AutostartEntries : public StartAtLogin {
 public:
  // The entries kept in `directory` (created when the first is written), for
  // the program at the absolute path `executable`; entries are put in place
  // through `files`, trouble goes to `log` (which outlives this object).
  AutostartEntries(std::string directory, std::string executable, LogSink& log,
                   EntryFileSystem& files = EntryFileSystem::system());

  // The current user's autostart directory: $XDG_CONFIG_HOME/autostart when
  // that variable is an absolute path, else <home>/.config/autostart. None
  // when no home directory can be found.
  static std::optional<std::string> userAutostartDirectory();

  // True when an entry in the directory starts this program.
  bool isEnabled() override;
  // Writes an entry when none starts this program, or removes every one
  // that does; the Error (logged) when that could not be done.
  Error setEnabled(bool enabled) override;

  // The entry this program writes for itself.
  std::string entryText() const;
  // The bundle URL an entry file starts (see resolveDesktopEntry); none when
  // it cannot be read or starts nothing. Never blocks on a FIFO.
  std::optional<std::string> resolveEntry(const std::string& path) const;

 private:
  // The paths of the entries that start this program, in name order.
  std::vector<std::string> ourEntries() const;
  Error writeEntry();
  // Moves the written temporary file to the first free entry name; the
  // Error when none could be taken.
  Error putInPlace(const std::string& temporary);
  // Logs the failure of an insertion and returns it.
  Error insertionFailed(Error error);

  std::string _directory;
  std::string _executable;
  std::string _bundleUrl;  // what our entries resolve to
  LogSink& _log;
  EntryFileSystem& _files;
};

// What a desktop entry's text resolves to: none when it cannot be parsed, is
// hidden or disabled, its TryExec program cannot be found, or its Exec
// program is neither an absolute path nor found along PATH; the bundle URL of
// the program when the program's file name is `executableName`; else the file
// URL of the program itself (so that another program's entry never passes
// for ours, even when it lies in the same bin directory).
std::optional<std::string> resolveDesktopEntry(const std::string& contents,
                                               const std::string& executableName);

// One argument of an Exec line, quoted as the Desktop Entry rules require:
// in double quotes when it holds a reserved character, with '"', '`', '$' and
// '\' escaped, and '%' doubled.
std::string quoteExecArgument(const std::string& argument);

}  // namespace kestrond
