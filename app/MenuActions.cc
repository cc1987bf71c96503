// The actions behind the status menu's rows: starting or stopping an
// instance after a confirmation, opening the log, the web administration
// page and the documentation, start at login, and quitting.
#include "Application.h"
#include "Paths.h"
#include "Text.h"

namespace kestrond {

bool Application::confirm(const KestrondInstance& instance, bool start) {
  // The menu can open while the question is up with its old rows still
  // enabled; a second question while one is on screen is not asked.
  if (_inModalDialog) return false;
  _inModalDialog = true;

  Question question;
  question.message = formatText(localizedString(start ? textKey("Do you want to start the %@?")
                                                      : textKey("Do you want to stop the %@?")),
                                {instance.instanceName()});
  question.informative = formatText(
      localizedString(start ? textKey("This will start up a Kestrond instance in directory\n%@.")
                            : textKey("This will stop the Kestrond instance in directory\n%@.")),
      {visibleText(instance.directory())});
  question.yesTitle = localizedString(start ? textKey("Start") : textKey("Stop"));
  question.noTitle = localizedString("Cancel");
  bool yes = _desktop.ask(question);

  _inModalDialog = false;
  return yes;
}

void Application::startInstance(const std::shared_ptr<KestrondInstance>& instance) {
  // The result is not used: a refused start has been logged by the record,
  // and the row shows the state as it is.
  if (confirm(*instance, true)) (void)instance->startup();
}

void Application::placeServer(pid_t pid, const std::string& directory,
                              std::function<void()> release) {
  // Apart from the monitor, the server outlives its Quit, its crash and the
  // graphical session; only the end of the user's service manager stops it.
  ProcessUnit unit{lastPathComponent(directory), formatText("Kestrond server in %@", {directory})};
  LogSink& log = _log;  // outlives any answer
  _desktop.placeInUnit(pid, unit, [&log, directory, release = std::move(release)](Error error) {
    if (error.failed()) {
      log.write(formatText("The server in %@ runs in the monitor's session: %@",
                           {directory, error.text()}));
    }
    release();
  });
}

void Application::stopInstance(const std::shared_ptr<KestrondInstance>& instance) {
  if (confirm(*instance, false)) (void)instance->shutdown();
}

void Application::openUrl(const std::string& url) {
  // The desktop logs a handler that cannot be started; the menu has nothing
  // to add.
  (void)_desktop.openURL(url);
}

void Application::launchTessaline() {
  openUrl(kTessalineUrl);
}

void Application::onlineDocumentation() {
  openUrl(kDocumentationUrl);
}

void Application::viewLogFile() {
  const std::shared_ptr<KestrondInstance>& instance = defaultInstance();
  if (!instance) return;
  // As for a URL: a failure is the desktop's to log.
  if (std::optional<std::string> log = instance->logFile()) (void)_desktop.openFile(*log);
}

bool Application::willStartAtLogin() {
  return _desktop.startAtLogin().isEnabled();
}

void Application::setStartAtLogin(bool enabled) {
  // Logged where it failed; the check mark is read back after.
  (void)_desktop.startAtLogin().setEnabled(enabled);
}

bool Application::toggleStartAtLogin(bool shownChecked) {
  setStartAtLogin(!shownChecked);
  return willStartAtLogin();
}

void Application::terminate() {
  _desktop.stopEventLoop();
}

}  // namespace kestrond
