#include "Menu.h"

namespace kestrond {

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
  auto item = std::make_shared<MenuItem>();
  item->_separator = true;
  item->_enabled = false;
  return item;
}

std::shared_ptr<MenuItem> Menu::addItemWithTitle(std::string title, Action action,
                                                 std::string keyEquivalent) {
  auto item = std::make_shared<MenuItem>();
  item->setTitle(std::move(title));
  item->setEnabled(!action.empty());
  item->setAction(std::move(action));
  item->setKeyEquivalent(std::move(keyEquivalent));
  addItem(item);
  return item;
}

void Menu::removeItemAtIndex(size_t index) {
  if (index < _items.size()) _items.erase(_items.begin() + static_cast<long>(index));
}

}  // namespace kestrond
