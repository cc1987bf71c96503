// The login-items list of a freedesktop session: the ".desktop" entries in
// the user's autostart directory ($XDG_CONFIG_HOME/autostart, by default
// ~/.config/autostart), in name order.
//
// An entry resolves to the bundle URL of the program its Exec line starts,
// judged from the line alone (the target's file system is never touched).
// Inserting writes a new entry for this program atomically and never
// replaces an existing file; removing deletes the entry's file. Files of
// other programs are never written. Used by the desktop backends.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Desktop.h"

namespace kestrond {

class AutostartLoginItems : public LoginItemsList {
 public:
  // The list kept in `directory` (created on the first insertion), for the
  // program at the absolute path `executable`.
  AutostartLoginItems(std::string directory, std::string executable);

  // The current user's autostart directory: $XDG_CONFIG_HOME/autostart when
  // that variable is an absolute path, else <home>/.config/autostart. None
  // when no home directory can be found.
  static std::optional<std::string> userAutostartDirectory();

  std::vector<LoginItem> copySnapshot() override;
  std::optional<std::string> resolve(const LoginItem& item) override;
  bool insertItemURL(const std::string& bundleUrl) override;
  int removeItem(const LoginItem& item) override;

  // The entry this program writes for itself.
  std::string entryText() const;

 private:
  std::string directory_;
  std::string executable_;
};

// What a desktop entry's text resolves to: none when it cannot be parsed, is
// hidden or disabled, or its Exec program is not an absolute path; the bundle
// URL of the program when the program's file name is `executableName`; else
// the file URL of the program itself (so that another program's entry never
// passes for ours, even when it lies in the same bin directory).
std::optional<std::string> resolveDesktopEntry(const std::string& contents,
                                               const std::string& executableName);

// One argument of an Exec line, quoted as the Desktop Entry rules require:
// in double quotes when it holds a reserved character, with '"', '`', '$' and
// '\' escaped, and '%' doubled.
std::string quoteExecArgument(const std::string& argument);

}  // namespace kestrond
