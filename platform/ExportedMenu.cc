#include "ExportedMenu.h"

#include <algorithm>

namespace kestrond {

std::string dbusmenuLabel(const std::string& title) {
  std::string label;
  label.reserve(title.size());
  for (char c : title) {
    if (c == '_') label += '_';
    label += c;
  }
  return label;
}

MenuProperties dbusmenuProperties(const MenuRow& row) {
  MenuProperties properties;
  if (row.separator) {
    properties.emplace("type", std::string("separator"));
    return properties;
  }
  properties.emplace("label", dbusmenuLabel(row.title));
  // True is the default: said only when false, which keeps the layout of a
  // long menu short (a row becoming enabled is told as a change to true).
  if (!row.enabled) properties.emplace("enabled", false);
  if (row.checked) {
    properties.emplace("toggle-type", std::string("checkmark"));
    properties.emplace("toggle-state", int32_t{*row.checked ? 1 : 0});
  }
  if (!row.shortcut.empty()) {
    properties.emplace("shortcut",
                       std::vector<std::vector<std::string>>{{"Control", row.shortcut}});
  }
  return properties;
}

std::optional<MenuPropertyValue> dbusmenuDefault(const std::string& name) {
  if (name == "enabled") return MenuPropertyValue(true);
  return std::nullopt;
}

ExportedMenu::ExportedMenu() {
  _rootProperties.emplace("children-display", std::string("submenu"));
}

int32_t ExportedMenu::idFor(const std::string& key) {
  auto known = _ids.find(key);
  if (known != _ids.end()) {
    if (auto gone = _goneIds.find(known->second); gone != _goneIds.end()) {
      _goneOrder.erase(gone->second);
      _goneIds.erase(gone);
    }
    return known->second;
  }
  int32_t id = _nextId++;
  _ids.emplace(key, id);
  _keys.emplace(id, key);
  return id;
}

bool ExportedMenu::setRows(const MenuRows& rows) {
  auto showsAs = [](const MenuRow& row, const Shown& shown) {
    return row.key == shown.key && row.title == shown.title && row.enabled == shown.enabled &&
           row.separator == shown.separator && row.checked == shown.checked &&
           row.shortcut == shown.shortcut;
  };
  // Most publications change nothing a host sees: told apart without
  // building any properties.
  if (rows.size() == _shown.size() &&
      std::equal(rows.begin(), rows.end(), _shown.begin(), showsAs)) {
    return false;
  }
  _shown.clear();
  for (const MenuRow& row : rows) {
    _shown.push_back({row.key, row.title, row.shortcut, row.enabled, row.separator, row.checked});
  }
  std::vector<Item> items;
  items.reserve(rows.size());
  bool layoutChanged = rows.size() != _items.size();
  bool propertiesChanged = false;
  for (const MenuRow& row : rows) {
    int32_t id = idFor(row.key);
    MenuProperties properties = dbusmenuProperties(row);
    if (!layoutChanged && _items[items.size()].id != id) layoutChanged = true;
    if (!propertiesChanged) {
      auto shown = _positions.find(id);
      propertiesChanged =
          shown == _positions.end() || _items[shown->second].properties != properties;
    }
    items.push_back({id, row.key, std::move(properties)});
  }
  if (!layoutChanged && !propertiesChanged) return false;
  std::swap(_items, items);
  _positions.clear();
  for (size_t i = 0; i < _items.size(); ++i) _positions.emplace(_items[i].id, i);
  if (layoutChanged) {
    departed(items);
    ++_revision;
    _layoutUntold = true;
  }
  ++_changes;
  return true;
}

void ExportedMenu::departed(const std::vector<Item>& before) {
  for (const Item& item : before) {
    if (_positions.count(item.id) || _goneIds.count(item.id)) continue;
    _goneIds.emplace(item.id, _departures);
    _goneOrder.emplace(_departures++, item.id);
  }
  while (_goneOrder.size() > kRememberedKeys) {
    int32_t id = _goneOrder.begin()->second;
    _goneOrder.erase(_goneOrder.begin());
    _goneIds.erase(id);
    _ids.erase(_keys.at(id));
    _keys.erase(id);
    _told.erase(id);
  }
}

const ExportedMenu::Item* ExportedMenu::find(int32_t id) const {
  auto shown = _positions.find(id);
  return shown == _positions.end() ? nullptr : &_items[shown->second];
}

std::optional<std::string> ExportedMenu::keyOf(int32_t id) const {
  auto known = _keys.find(id);
  if (known == _keys.end()) return std::nullopt;
  return known->second;
}

ExportedMenu::Signals ExportedMenu::takeSignals() {
  Signals pending;
  if (_layoutUntold) pending.layout = _revision;
  _layoutUntold = false;
  std::map<int32_t, MenuProperties> told;
  for (const Item& item : _items) {
    auto before = _told.find(item.id);
    if (before != _told.end() && before->second != item.properties) {
      Signals::Changed changed{item.id, {}, {}};
      for (const auto& [name, value] : item.properties) {
        auto was = before->second.find(name);
        if (was == before->second.end() || was->second != value)
          changed.updated.emplace(name, value);
      }
      for (const auto& [name, value] : before->second) {
        if (item.properties.count(name)) continue;
        // Back to its default: said as a change, since a host that missed
        // a removal would keep the row disabled.
        if (std::optional<MenuPropertyValue> fallback = dbusmenuDefault(name)) {
          changed.updated.emplace(name, *fallback);
        } else {
          changed.removed.push_back(name);
        }
      }
      pending.properties.push_back(std::move(changed));
    }
    // An item new to the layout is told by it: hosts fetch the layout again.
    told.emplace(item.id, item.properties);
  }
  _told = std::move(told);
  return pending;
}

}  // namespace kestrond
