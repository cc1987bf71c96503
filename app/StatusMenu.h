// The status menu as the monitor shows it: the instances listed, one row
// each, the fixed entries below them, and what the status item says of the
// servers (tool tip and mark).
//
// It is the one writer of all of that. Whoever learns of a change tells it
// what happened (a scan listed instances, records are to be read again, the
// open menu ticked) and every such call ends with one publication to the
// status item. Rows carry their actions wrapped, so that what a choice
// changed (a server starting or stopping, the check mark) is published
// before the choice returns, with no follow-up call for a caller to
// remember. A row is derived from its instance's record as it is when
// published; the entries that follow the default instance and the check
// mark keep what the last opening showed while the menu stays open, as an
// open menu's refresh reads the instances only. Owned by the application.
// Main thread only.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "Desktop.h"
#include "KestrondInstance.h"
#include "ServerNotices.h"

namespace kestrond {

class StatusMenu {
 public:
  using Instances = std::vector<std::shared_ptr<KestrondInstance>>;

  // What the rows do; the application's actions.
  struct Actions {
    std::function<void(const std::shared_ptr<KestrondInstance>&)> start;
    std::function<void(const std::shared_ptr<KestrondInstance>&)> stop;
    std::function<void()> viewLogFile;
    std::function<void()> launchTessaline;
    std::function<void()> onlineDocumentation;
    // Turns start at login the other way from `shownChecked`; returns
    // whether the session starts the monitor at login now.
    std::function<bool(bool shownChecked)> toggleStartAtLogin;
    std::function<void()> quit;
    // After a choice's action has been published: applies what came in
    // meanwhile (changes held while a question was up).
    std::function<void()> settle;
  };
  // Watches the shown instances from now on; returns those watched anew,
  // whose records must be read once more (a change before the watch was
  // not seen).
  using Follow = std::function<Instances(const Instances& shown)>;

  // `item` and `notices` outlive the menu.
  StatusMenu(StatusItem& item, ServerNotices& notices, Actions actions, Follow follow);

  // A scan listed `instances`, each just read; `startsAtLogin` is the check
  // mark. `opening`: the host is about to show the menu.
  void listed(Instances instances, bool startsAtLogin, bool opening);
  // Reads again the records of the shown instances in `directories`;
  // publishes if there were any.
  void reread(const std::set<std::string>& directories);
  // The open menu's refresh: reads again the shown records `unseen` picks,
  // those whose changes may not have been told.
  void tick(const std::function<bool(const KestrondInstance&)>& unseen);
  // The menu has closed: the entries below the instances follow again.
  void closed();

  // Fills an instance's row: key, title, whether it can be chosen, and the
  // action that fits the server's state.
  void updateMenuItem(MenuRow& item, const std::shared_ptr<KestrondInstance>& instance);
  // The instance a row shows, or nullptr for the rows that show none (and
  // for rows no longer in the menu).
  std::shared_ptr<KestrondInstance> representedObject(const MenuRow& row) const;
  const Instances& shown() const { return _shown; }
  // The instance flagged default at the last scan (the last one listed).
  const std::shared_ptr<KestrondInstance>& defaultInstance() const { return _defaultInstance; }

 private:
  // Reads the records `which` picks, then publishes if it read any.
  void reread(const std::function<bool(const KestrondInstance&)>& which);
  // Hands rows, tool tip and mark to the status item.
  void publish();
  // The entries that follow the default instance, as it is now.
  void sampleTail();
  MenuRows rows();
  void appendTail(MenuRows& rows);
  // Whether the rows would differ from those the item was last given; when
  // they would, what they are made of is kept for the next publication.
  bool rowsChanged();
  // A row's action, followed by a publication of what it changed.
  std::function<void()> chosen(std::function<void()> action);
  // `key` in the user's language, looked up once: the language stays as it
  // is while the program runs, and every publication needs the same texts.
  const std::string& translated(const char* key);
  // The tool tip's text: the servers running, starting or stopping.
  std::string serversDescription();

  StatusItem& _item;
  ServerNotices& _notices;
  Actions _actions;
  Follow _follow;
  Instances _shown;
  std::shared_ptr<KestrondInstance> _defaultInstance;
  bool _open = false;
  // The entries below the instances as last sampled.
  bool _startsAtLogin = false;
  bool _logFileShown = false;
  bool _tessalineShown = false;
  std::unordered_map<const char*, std::string> _translations;  // by the key's address
  // What the rows last given to the item were made of: each row's instance
  // (held, so that its address stays its own) with the state and the
  // permission its row showed, and the entries below them. A publication
  // with the same inputs has the same rows, and an opening of a long menu
  // that changed nothing builds none.
  struct RowInputs {
    Instances instances;
    std::vector<std::pair<ServerStatus, bool>> states;
    bool logFileShown = false;
    bool tessalineShown = false;
    bool startsAtLogin = false;
  };
  std::optional<RowInputs> _published;
};

}  // namespace kestrond
