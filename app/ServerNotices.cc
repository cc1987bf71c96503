#include "ServerNotices.h"

#include "Text.h"

namespace kestrond {

StatusMark ServerNotices::notice(const std::vector<std::shared_ptr<KestrondInstance>>& shown) {
  std::map<std::string, ServerStatus> seen;
  bool running = false;
  bool changing = false;
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    ServerStatus now = instance->serverStatus();
    auto before = _seenStatus.find(instance->directory());
    if (before != _seenStatus.end() && now == ServerStatus::Stopped) {
      if (before->second == ServerStatus::Starting) {
        std::string reason = instance->startFailure().text();
        notifyAbout(
            *instance, textKey("%@ did not start"),
            reason.empty() ? localizedString("The server ended before it was running.") : reason);
      } else if (before->second == ServerStatus::Running) {
        notifyAbout(*instance, textKey("%@ stopped unexpectedly"),
                    localizedString("The server ended without a Stop from the menu."));
      }
    }
    seen[instance->directory()] = now;
    running = running || now == ServerStatus::Running;
    changing = changing || now == ServerStatus::Starting || now == ServerStatus::Stopping;
  }
  _seenStatus = std::move(seen);
  return changing ? StatusMark::Changing : running ? StatusMark::Running : StatusMark::None;
}

void ServerNotices::notifyAbout(const KestrondInstance& instance, const char* summaryFormat,
                                const std::string& body) {
  Notification notification;
  notification.subject = instance.directory();
  notification.summary = formatText(localizedString(summaryFormat), {instance.instanceName()});
  notification.body = body;
  _log.write(notification.summary + ": " + body);
  // A server that fails over and over must not flood the screen: its
  // notifications replace each other, and at most one a minute is shown.
  Desktop::Clock::time_point now = _desktop.now();
  auto last = _lastNotified.find(notification.subject);
  if (last != _lastNotified.end() && now - last->second < kNotificationInterval) return;
  _lastNotified[notification.subject] = now;
  if (std::optional<std::string> log = instance.logFile()) {
    notification.actionTitle = localizedString("Open Diagnostic Messages");
    // The desktop outlives the notification; the record may not.
    Desktop& desktop = _desktop;
    notification.action = [&desktop, path = *log] {
      // A failure to open is the desktop's to log.
      (void)desktop.openFile(path);
    };
  }
  _desktop.postNotification(std::move(notification));
}

}  // namespace kestrond
