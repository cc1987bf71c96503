// The status menu as plain values: menus, their items, and the actions that
// items send.
//
// The application builds and rebuilds these objects; a desktop backend shows
// them (mirroring every change) and reports openings, closings and choices
// back. An item without a target sends its action up the chain that the
// shared application keeps (see SharedApplication). Main thread only.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace kestrond {

class KestrondInstance;
class MenuItem;

// The name of an action ("startInstance:"); the empty name means none.
class Action {
 public:
  Action() = default;
  explicit Action(std::string name) : name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  bool empty() const { return name_.empty(); }
  bool operator==(const Action&) const = default;

 private:
  std::string name_;
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

  bool isSeparator() const { return separator_; }
  const std::string& title() const { return title_; }
  void setTitle(std::string title) { title_ = std::move(title); }
  const Action& action() const { return action_; }
  void setAction(Action action) { action_ = std::move(action); }
  // Not owned: the target outlives the menu (it is the application object).
  Responder* target() const { return target_; }
  void setTarget(Responder* target) { target_ = target; }
  const std::string& keyEquivalent() const { return keyEquivalent_; }
  void setKeyEquivalent(std::string key) { keyEquivalent_ = std::move(key); }
  // The item keeps its instance alive.
  const std::shared_ptr<KestrondInstance>& representedObject() const { return representedObject_; }
  void setRepresentedObject(std::shared_ptr<KestrondInstance> instance) {
    representedObject_ = std::move(instance);
  }
  ItemState state() const { return state_; }
  void setState(ItemState state) { state_ = state; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }

 private:
  bool separator_ = false;
  std::string title_;
  Action action_;
  Responder* target_ = nullptr;
  std::string keyEquivalent_;
  std::shared_ptr<KestrondInstance> representedObject_;
  ItemState state_ = ItemState::Off;
  bool enabled_ = true;
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
  MenuDelegate* delegate() const { return delegate_; }
  void setDelegate(MenuDelegate* delegate) { delegate_ = delegate; }

  void addItem(std::shared_ptr<MenuItem> item) { items_.push_back(std::move(item)); }
  // Appends a new item without a target; enabled exactly when it has an
  // action. Returns the item.
  std::shared_ptr<MenuItem> addItemWithTitle(std::string title, Action action,
                                             std::string keyEquivalent);
  // Whether removeAllItems() may be used; a menu without it is emptied one
  // item at a time.
  bool respondsToRemoveAllItems() const { return canRemoveAll_; }
  void setRespondsToRemoveAllItems(bool can) { canRemoveAll_ = can; }
  void removeAllItems() { items_.clear(); }
  // Removes the item at a 0-based index; out of range does nothing.
  void removeItemAtIndex(size_t index);
  size_t numberOfItems() const { return items_.size(); }
  const Items& itemArray() const { return items_; }

 private:
  Items items_;
  MenuDelegate* delegate_ = nullptr;
  bool canRemoveAll_ = true;
};

}  // namespace kestrond
