#include "ServerNotices.h"

#include <algorithm>

#include "Text.h"

namespace kestrond {

StatusMark ServerNotices::notice(const std::vector<std::shared_ptr<KestrondInstance>>& shown) {
  std::map<std::string, ServerStatus> seen;
  std::vector<std::shared_ptr<KestrondInstance>> ended;
  bool running = false;
  bool changing = false;
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    ServerStatus now = instance->serverStatus();
    auto before = _seenStatus.find(instance->directory());
    if (before != _seenStatus.end() && now == ServerStatus::Stopped) {
      if (before->second == ServerStatus::Starting) {
        // Why it could not run is known now (the record keeps it until its
        // next start); whether it runs after all, a little later.
        _pendingStarts.push_back(
            {instance, instance->startFailure().text(), _desktop.now() + kStartGrace});
        if (!_startCheck) {
          _startCheck = _desktop.startTimer(kStartGrace, [this] { checkPendingStarts(); });
        }
      } else if (before->second == ServerStatus::Running) {
        ended.push_back(instance);
      }
    }
    seen[instance->directory()] = now;
    running = running || now == ServerStatus::Running;
    changing = changing || now == ServerStatus::Starting || now == ServerStatus::Stopping;
  }
  _seenStatus = std::move(seen);
  tellEndings(ended);
  return changing ? StatusMark::Changing : running ? StatusMark::Running : StatusMark::None;
}

void ServerNotices::checkPendingStarts() {
  Clock::time_point now = _desktop.now();
  std::vector<PendingStart> due;
  std::erase_if(_pendingStarts, [&](PendingStart& pending) {
    if (pending.due > now) return false;
    due.push_back(std::move(pending));
    return true;
  });
  if (_pendingStarts.empty()) _startCheck.reset();  // safe from inside its callback
  for (const PendingStart& pending : due) {
    // Still down: the start failed. Running (or starting again) by now: a
    // wrapper started the server, or the user did.
    if (pending.instance->serverStatus() != ServerStatus::Stopped) continue;
    notifyAbout(*pending.instance, textKey("%@ did not start"),
                pending.reason.empty() ? localizedString("The server ended before it was running.")
                                       : pending.reason);
  }
}

void ServerNotices::tellEndings(const std::vector<std::shared_ptr<KestrondInstance>>& ended) {
  if (ended.empty()) return;
  Clock::time_point now = _desktop.now();
  std::string body = localizedString("The server ended without a Stop from the menu.");
  // Other servers ending close together; one that ends again is told anew
  // (at most once a minute).
  bool together = !_endings.names.empty() && now - _endings.last <= kEndingsTogether &&
                  std::none_of(ended.begin(), ended.end(), [this](const auto& instance) {
                    return _endings.directories.count(instance->directory()) > 0;
                  });
  if (!together) _endings = {ended.front()->directory(), {}, {}, now};
  _endings.last = now;
  for (const std::shared_ptr<KestrondInstance>& instance : ended) {
    _endings.directories.insert(instance->directory());
  }
  if (!together && ended.size() == 1) {
    _endings.names.push_back(ended.front()->instanceName());
    notifyAbout(*ended.front(), textKey("%@ stopped unexpectedly"), body);
    return;
  }
  for (const std::shared_ptr<KestrondInstance>& instance : ended) {
    _endings.names.push_back(instance->instanceName());
    _log.write(formatText(localizedString("%@ stopped unexpectedly"), {instance->instanceName()}) +
               ": " + body);
  }
  // One notification for all of them, replacing the one the first ending
  // showed; no log to offer, since there are several.
  Notification notification;
  notification.subject = _endings.subject;
  notification.summary = formatText(localizedString("%d servers stopped unexpectedly"),
                                    {static_cast<int>(_endings.names.size())});
  for (const std::string& name : _endings.names) {
    notification.body += (notification.body.empty() ? "" : "\n") + name;
  }
  failureTold();
  _desktop.postNotification(std::move(notification));
}

void ServerNotices::failureTold() {
  if (_failureUnseen) return;
  _failureUnseen = true;
  if (_failureTold) _failureTold();
}

void ServerNotices::notifyAbout(const KestrondInstance& instance, const char* summaryFormat,
                                const std::string& body) {
  Notification notification;
  notification.subject = instance.directory();
  notification.summary = formatText(localizedString(summaryFormat), {instance.instanceName()});
  notification.body = body;
  _log.write(notification.summary + ": " + body);
  failureTold();
  // A server that fails over and over must not flood the screen: its
  // notifications replace each other, and at most one a minute is shown.
  Clock::time_point now = _desktop.now();
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
