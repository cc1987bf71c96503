// The actions behind the status menu's items: starting or stopping an
// instance after a confirmation, and opening the log, the web
// administration page and the documentation.
#include <map>

#include "Application.h"
#include "Text.h"

namespace kestrond {

bool Application::confirm(const KestrondInstance& instance, bool start) {
  // The menu can open during the modal loop with its old items still
  // enabled; a second question while one is on screen is not asked.
  if (_inModalDialog) return false;
  _desktop.activateApplication();
  _inModalDialog = true;

  std::string message = localizedString(start ? textKey("Do you want to start the %@?")
                                              : textKey("Do you want to stop the %@?"));
  std::string informative =
      localizedString(start ? textKey("This will start up a Kestrond instance in directory\n%@.")
                            : textKey("This will stop the Kestrond instance in directory\n%@."));
  std::string button = localizedString(start ? textKey("Start") : textKey("Stop"));
  std::string cancel = localizedString("Cancel");

  std::unique_ptr<Alert> alert = _desktop.makeAlert();
  alert->setMessageText(formatText(message, {instance.instanceName()}));
  alert->setInformativeText(formatText(informative, {instance.directory()}));
  alert->addButtonWithTitle(button);
  alert->addButtonWithTitle(cancel);
  int code = alert->runModal();

  _inModalDialog = false;
  return code == Alert::kFirstButtonReturn;
}

void Application::startInstance(MenuItem& sender) {
  std::shared_ptr<KestrondInstance> instance = representedObject(sender);
  if (instance && confirm(*instance, true)) instance->startup();
}

void Application::stopInstance(MenuItem& sender) {
  std::shared_ptr<KestrondInstance> instance = representedObject(sender);
  if (instance && confirm(*instance, false)) instance->shutdown();
}

void Application::openUrl(const std::string& url) {
  // The desktop logs a handler that cannot be started; the menu has nothing
  // to add.
  (void)_desktop.openURL(url);
}

void Application::launchTessaline(MenuItem&) {
  openUrl(kTessalineUrl);
}

void Application::onlineDocumentation(MenuItem&) {
  openUrl(kDocumentationUrl);
}

void Application::viewLogFile(MenuItem&) {
  if (!_defaultInstance) return;
  // As for a URL: a failure is the desktop's to log.
  if (std::optional<std::string> log = _defaultInstance->logFile()) (void)_desktop.openFile(*log);
}

bool Application::tryToPerform(const Action& action, MenuItem& sender) {
  using Handler = void (Application::*)(MenuItem&);
  static const std::map<std::string, Handler> handlers = {
      {kStartInstanceAction.name(), &Application::startInstance},
      {kStopInstanceAction.name(), &Application::stopInstance},
      {kViewLogFileAction.name(), &Application::viewLogFile},
      {kLaunchTessalineAction.name(), &Application::launchTessaline},
      {kOnlineDocumentationAction.name(), &Application::onlineDocumentation},
      {kToggleStartAtLoginAction.name(), &Application::toggleStartAtLogin},
  };
  auto it = handlers.find(action.name());
  if (it == handlers.end()) return false;
  (this->*(it->second))(sender);
  // An action may have started a server (a pidfd to watch, a mark to show)
  // or run a modal alert while changes came in.
  followShownInstances();
  changesSeen();
  return true;
}

}  // namespace kestrond
