// Start at login: whether the user's login-items list holds an entry for the
// monitor's bundle, and adding or removing it. The list is the only record.
#include "Application.h"

namespace kestrond {
namespace {

// The first item in list order that resolves to `bundleUrl`.
std::optional<LoginItem> matchingItem(LoginItemsList& list, const std::vector<LoginItem>& snapshot,
                                      const std::string& bundleUrl) {
  for (const LoginItem& item : snapshot) {
    std::optional<std::string> resolved = list.resolve(item);
    if (resolved && *resolved == bundleUrl) return item;
  }
  return std::nullopt;
}

}  // namespace

bool Application::willStartAtLogin(Desktop& desktop, const std::string& bundleUrl) {
  std::unique_ptr<LoginItemsList> list = desktop.createLoginItemsList();
  if (!list) return false;
  std::vector<LoginItem> snapshot = list->copySnapshot();
  return matchingItem(*list, snapshot, bundleUrl).has_value();
}

void Application::setStartAtLogin(Desktop& desktop, const std::string& bundleUrl, bool enabled) {
  std::unique_ptr<LoginItemsList> list = desktop.createLoginItemsList();
  if (!list) return;
  std::vector<LoginItem> snapshot = list->copySnapshot();
  std::optional<LoginItem> match = matchingItem(*list, snapshot, bundleUrl);
  // The list logs its own failures, and the menu's check mark is read back
  // from the list at the next rebuild: a failure shows there by itself.
  if (enabled && !match) {
    (void)list->insertItemURL(bundleUrl);
  } else if (!enabled && match) {
    (void)list->removeItem(*match);
  }
}

void Application::toggleStartAtLogin(MenuItem& sender) {
  setStartAtLogin(_desktop, bundleUrl(), sender.state() == ItemState::Off);
}

std::string Application::bundleUrl() const {
  return fileURLWithPath(_desktop.bundlePath());
}

}  // namespace kestrond
