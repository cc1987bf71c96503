// The login-items list of a freedesktop session: the ".desktop" entries in
// the user's autostart directory ($XDG_CONFIG_HOME/autostart, by default
// ~/.config/autostart), in name order.
//
// An entry resolves to the bundle URL of the program its Exec line starts,
// found the way the session would start it: a program without "/" along
// PATH, and nothing when its TryExec program cannot be found. The entry we
// write is read by every session's autostart (systemd's generator, GNOME,
// KDE, XFCE, LXQt): it carries no key that one of them refuses.
// Inserting writes a new entry for this program atomically and never
// replaces an existing file, also where the file system refuses a
// no-replace rename (NFS, FUSE); removing deletes the entry's file. Files of
// other programs are never written. Used by the desktop backends.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Desktop.h"

namespace kestrond {

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

class AutostartLoginItems : public LoginItemsList {
 public:
  // The list kept in `directory` (created on the first insertion), for the
  // program at the absolute path `executable`; entries are put in place
  // through `files`, trouble goes to `log` (which outlives the list).
  AutostartLoginItems(std::string directory, std::string executable, LogSink& log,
                      EntryFileSystem& files = EntryFileSystem::system());

  // The current user's autostart directory: $XDG_CONFIG_HOME/autostart when
  // that variable is an absolute path, else <home>/.config/autostart. None
  // when no home directory can be found.
  static std::optional<std::string> userAutostartDirectory();

  std::vector<LoginItem> copySnapshot() override;
  std::optional<std::string> resolve(const LoginItem& item) override;
  Error insertItemURL(const std::string& bundleUrl) override;
  Error removeItem(const LoginItem& item) override;

  // The entry this program writes for itself.
  std::string entryText() const;

 private:
  // Moves the written temporary file to the first free entry name; the
  // Error when none could be taken.
  Error putInPlace(const std::string& temporary);
  // Logs the failure of an insertion and returns it.
  Error insertionFailed(Error error);

  std::string _directory;
  std::string _executable;
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
