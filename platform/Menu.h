// The status menu as plain values: menus, their items, and the actions that
// items send.
//
// The application builds and rebuilds these objects, and keeps for itself
// what each item stands for; a desktop backend shows them (mirroring every
// change) and reports openings, closings and choices back. An item without a target sends its
// action up the chain that the shared application keeps (see SharedApplication). Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kestrond {

class MenuItem;

// The name of an action ("startInstance:"); the empty name means none.
class Action {
 public:
  Action() = default;
  explicit Action(std::string name) : _name(std::move(name)) {}
  const std::string& name() const { return _name; }
  bool empty() const { return _name.empty(); }
  bool operator==(const Action&) const = default;

 private:
  std::string _name;
};

// Something that can carry out actions sent by menu items.
class Responder {
 public:
  virtual ~Responder() = default;
  // Carries out `action` for `sender`; false when this responder does not
  // implement it (the action then travels on).
  virtual bool tryToPerform(const Action& action, MenuItem& sender) = 0;
};

enum class ItemState : int { Mixed = -1, Off = 0, On = 1 };

class MenuItem {
 public:
  MenuItem() = default;
  static std::shared_ptr<MenuItem> separatorItem();

  bool isSeparator() const { return _separator; }
  const std::string& title() const { return _title; }
  void setTitle(std::string title) { _title = std::move(title); }
  const Action& action() const { return _action; }
  void setAction(Action action) { _action = std::move(action); }
  // Not owned: the target outlives the menu (it is the application object).
  Responder* target() const { return _target; }
  void setTarget(Responder* target) { _target = target; }
  const std::string& keyEquivalent() const { return _keyEquivalent; }
  void setKeyEquivalent(std::string key) { _keyEquivalent = std::move(key); }
  ItemState state() const { return _state; }
  void setState(ItemState state) { _state = state; }
  bool isEnabled() const { return _enabled; }
  void setEnabled(bool enabled) { _enabled = enabled; }

 private:
  bool _separator = false;
  std::string _title;
  Action _action;
  Responder* _target = nullptr;
  std::string _keyEquivalent;
  ItemState _state = ItemState::Off;
  bool _enabled = true;
};

class Menu;

// Told when a menu is about to be shown and after it has closed.
class MenuDelegate {
 public:
  virtual ~MenuDelegate() = default;
  virtual void menuWillOpen(Menu& menu) = 0;
  virtual void menuDidClose(Menu& menu) = 0;
};

class Menu : public std::enable_shared_from_this<Menu> {
 public:
  using Items = std::vector<std::shared_ptr<MenuItem>>;

  // Not owned.
  MenuDelegate* delegate() const { return _delegate; }
  void setDelegate(MenuDelegate* delegate) { _delegate = delegate; }

  void addItem(std::shared_ptr<MenuItem> item) { _items.push_back(std::move(item)); }
  // Appends a new item without a target; enabled exactly when it has an
  // action. Returns the item.
  std::shared_ptr<MenuItem> addItemWithTitle(std::string title, Action action,
                                             std::string keyEquivalent);
  // Whether removeAllItems() may be used; a menu without it is emptied one
  // item at a time.
  bool respondsToRemoveAllItems() const { return _canRemoveAll; }
  void setRespondsToRemoveAllItems(bool can) { _canRemoveAll = can; }
  void removeAllItems() { _items.clear(); }
  // Removes the item at a 0-based index; out of range does nothing.
  void removeItemAtIndex(size_t index);
  size_t numberOfItems() const { return _items.size(); }
  const Items& itemArray() const { return _items; }

 private:
  Items _items;
  MenuDelegate* _delegate = nullptr;
  bool _canRemoveAll = true;
};

}  // namespace kestrond
