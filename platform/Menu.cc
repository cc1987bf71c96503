#include "Menu.h"

namespace kestrond {

std::shared_ptr<MenuItem> MenuItem::separatorItem() {
  auto item = std::make_shared<MenuItem>();
  item->separator_ = true;
  item->enabled_ = false;
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
  if (index < items_.size()) items_.erase(items_.begin() + static_cast<long>(index));
}

}  // namespace kestrond
