// The status item's menu as a D-Bus menu host sees it (com.canonical.dbusmenu):
// one flat list under the root item 0, each row with an id and its
// properties.
//
// Ids are given per row key: a row that moves keeps its id, a key that goes
// and comes back gets its old id again, and no id is ever given to another
// key. Of the keys gone, the last kRememberedKeys are remembered; an older
// one is forgotten (a click on its id does nothing, as for a row that has
// gone, and it gets a new id if it comes back), so that directories that
// come and go for months cost no more than a few. The revision counts layout
// changes only; what changed since the hosts were last told is kept until
// takeSignals(), so that any number of updates on one loop turn become one
// signal each. Plain C++, so that the rules are tested without a bus; the
// Qt export marshals what this holds. Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "Desktop.h"

namespace kestrond {

// A property's value: bool "enabled", int32 "toggle-state", string "label",
// "type", "toggle-type", "children-display", and the "shortcut" as lists of
// key names.
using MenuPropertyValue =
    std::variant<bool, int32_t, std::string, std::vector<std::vector<std::string>>>;
// Sorted by name.
using MenuProperties = std::map<std::string, MenuPropertyValue>;

// A row's title as a dbusmenu label: "_" would mark an access key there, so
// it is doubled; "&" means nothing to dbusmenu and stays as it is.
std::string dbusmenuLabel(const std::string& title);

// The properties a host is given for `row`.
MenuProperties dbusmenuProperties(const MenuRow& row);
// The value a host takes for a property left out because it has its
// default ("enabled": true); nullopt for any other.
std::optional<MenuPropertyValue> dbusmenuDefault(const std::string& name);

class ExportedMenu {
 public:
  struct Item {
    int32_t id;
    std::string key;
    MenuProperties properties;
  };
  // What hosts have not been told yet.
  struct Signals {
    // The revision, when the layout changed since hosts were last told.
    std::optional<uint32_t> layout;
    // Per item still shown: the properties that changed, and those removed.
    struct Changed {
      int32_t id;
      MenuProperties updated;
      std::vector<std::string> removed;
    };
    std::vector<Changed> properties;
    bool empty() const { return !layout && properties.empty(); }
  };

  ExportedMenu();

  // The rows from now on; returns true when the layout or a property changed.
  bool setRows(const MenuRows& rows);

  uint32_t revision() const { return _revision; }
  // Counts every change to the layout or a property, for "did anything change".
  uint64_t changes() const { return _changes; }

  static constexpr int32_t kRootId = 0;
  static constexpr size_t kRememberedKeys = 1024;
  const MenuProperties& rootProperties() const { return _rootProperties; }
  const std::vector<Item>& items() const { return _items; }
  // The item shown with `id`; nullptr for the root, an unknown id and one
  // whose row has gone.
  const Item* find(int32_t id) const;
  // The key that `id` was given to, also after its row has gone; nullopt for
  // an id never given or forgotten.
  std::optional<std::string> keyOf(int32_t id) const;
  // How many keys have ids now: those shown and those remembered.
  size_t keysWithIds() const { return _ids.size(); }

  // What changed since the last call; each item's changes cover every update
  // since, with only the keys that differ from what hosts were last told.
  Signals takeSignals();

 private:
  int32_t idFor(const std::string& key);
  // The items of the old layout not in the new one have gone; the oldest
  // gone beyond kRememberedKeys are forgotten.
  void departed(const std::vector<Item>& before);

  // The rows as last set, without their actions.
  struct Shown {
    std::string key;
    std::string title;
    std::string shortcut;
    bool enabled;
    bool separator;
    std::optional<bool> checked;
  };
  std::vector<Shown> _shown;
  std::map<std::string, int32_t> _ids;  // the keys shown and remembered
  std::map<int32_t, std::string> _keys;
  // The ids of the keys gone, by the order they went in.
  uint64_t _departures = 0;
  std::map<int32_t, uint64_t> _goneIds;
  std::map<uint64_t, int32_t> _goneOrder;
  int32_t _nextId = 1;
  uint32_t _revision = 1;
  uint64_t _changes = 0;
  bool _layoutUntold = false;
  MenuProperties _rootProperties;
  std::vector<Item> _items;
  std::map<int32_t, size_t> _positions;  // id → index in _items
  // What hosts were last told of each item's properties: by layout (when
  // they fetch it) or by a signal.
  std::map<int32_t, MenuProperties> _told;
};

}  // namespace kestrond
