#include "ServerNotices.h"

#include <algorithm>

#include "Text.h"

namespace kestrond {

StatusMark ServerNotices::notice(const std::vector<std::shared_ptr<KestrondInstance>>& shown) {
  // Kept in place: most publications change no status, and a map built
  // anew for every one of them would cost an allocation per instance.
  ++_publication;
  std::vector<std::shared_ptr<KestrondInstance>> ended;
  bool running = false;
  bool changing = false;
  for (const std::shared_ptr<KestrondInstance>& instance : shown) {
    ServerStatus now = instance->serverStatus();
    auto [seen, first] = _seenStatus.try_emplace(instance->directory());
    if (!first && now == ServerStatus::Stopped) {
      if (seen->second.status == ServerStatus::Starting) {
        // Why it could not run is known now (the record keeps it until its
        // next start); whether it runs after all, a little later.
        _pendingStarts.push_back(
            {instance, instance->startFailure().text(), _desktop.now() + kStartGrace});
      } else if (seen->second.status == ServerStatus::Running) {
        ended.push_back(instance);
      }
    }
    seen->second = {now, _publication};
    running = running || now == ServerStatus::Running;
    changing = changing || now == ServerStatus::Starting || now == ServerStatus::Stopping;
  }
  if (_seenStatus.size() != shown.size()) {
    std::erase_if(_seenStatus,
                  [&](const auto& entry) { return entry.second.publication != _publication; });
  }
  judgeStarts();
  armDeadline();
  tellEndings(ended);
  return changing ? StatusMark::Changing : running ? StatusMark::Running : StatusMark::None;
}

void ServerNotices::armDeadline() {
  if (_deadline || _pendingStarts.empty()) return;
  Clock::time_point next = Clock::time_point::max();
  for (const PendingStart& pending : _pendingStarts) {
    // One read again already is judged at the publication that follows.
    if (!pending.reread) next = std::min(next, pending.due);
  }
  if (next == Clock::time_point::max()) return;
  auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - _desktop.now());
  _deadline = _desktop.startTimer(std::max(wait, std::chrono::milliseconds(1)),
                                  [this] { deadlinePassed(); });
}

void ServerNotices::deadlinePassed() {
  _deadline.reset();  // safe from inside its callback
  // A fresh read would change the rows under the question; decide after.
  if (_hooks.questionUp && _hooks.questionUp()) {
    _deadline = _desktop.startTimer(kAfterQuestion, [this] { deadlinePassed(); });
    return;
  }
  Clock::time_point now = _desktop.now();
  std::set<std::string> due;
  for (PendingStart& pending : _pendingStarts) {
    if (pending.due > now + kTimerSlack) continue;
    pending.reread = true;
    due.insert(pending.instance->directory());
  }
  // The menu reads them and publishes; notice() then judges them.
  if (!due.empty() && _hooks.reread) _hooks.reread(due);
  armDeadline();
}

void ServerNotices::judgeStarts() {
  std::vector<PendingStart> failed;
  std::erase_if(_pendingStarts, [&](PendingStart& pending) {
    if (!pending.reread) return false;
    // Running (or starting again) by now: a wrapper started the server, or
    // the user did. No longer listed: nothing to tell of it.
    auto seen = _seenStatus.find(pending.instance->directory());
    if (seen != _seenStatus.end() && seen->second.status == ServerStatus::Stopped) {
      failed.push_back(std::move(pending));
    }
    return true;
  });
  for (const PendingStart& start : failed) {
    Notification notification;
    notification.subject = start.instance->directory();
    notification.summary =
        formatText(localizedString("%@ did not start"), {start.instance->instanceName()});
    notification.body = start.reason.empty()
                            ? localizedString("The server ended before it was running.")
                            : start.reason;
    _log.write(notification.summary + ": " + notification.body);
    post(std::move(notification), {start.instance->directory()}, start.instance.get());
  }
}

void ServerNotices::tellEndings(const std::vector<std::shared_ptr<KestrondInstance>>& ended) {
  if (ended.empty()) return;
  Clock::time_point now = _desktop.now();
  std::string body = localizedString("The server ended without a Stop from the menu.");
  // Other servers ending close together; one that ends again starts a new
  // notice (which the limit may hold back).
  bool together = !_endings.names.empty() && now - _endings.last <= kEndingsTogether &&
                  std::none_of(ended.begin(), ended.end(), [this](const auto& instance) {
                    return _endings.directories.count(instance->directory()) > 0;
                  });
  if (!together) _endings = {ended.front()->directory(), {}, {}, now};
  _endings.last = now;
  for (const std::shared_ptr<KestrondInstance>& instance : ended) {
    _endings.directories.insert(instance->directory());
    _endings.names.push_back(instance->instanceName());
    _log.write(formatText(localizedString("%@ stopped unexpectedly"), {instance->instanceName()}) +
               ": " + body);
  }
  Notification notification;
  notification.subject = _endings.subject;
  if (_endings.names.size() == 1) {
    notification.summary =
        formatText(localizedString("%@ stopped unexpectedly"), {ended.front()->instanceName()});
    notification.body = body;
    _endings.subject = post(std::move(notification), _endings.directories, ended.front().get());
    return;
  }
  // One notification for all of them, replacing the one the first ending
  // showed; no log to offer, since there are several.
  int count = static_cast<int>(_endings.names.size());
  notification.summary = formatText(
      localizedPlural("%d server stopped unexpectedly", "%d servers stopped unexpectedly", count),
      {count});
  for (const std::string& name : _endings.names) {
    notification.body += (notification.body.empty() ? "" : "\n") + name;
  }
  _endings.subject = post(std::move(notification), _endings.directories, nullptr);
}

void ServerNotices::failureTold() {
  if (_failureUnseen) return;
  _failureUnseen = true;
  if (_hooks.failureTold) _hooks.failureTold();
}

std::string ServerNotices::post(Notification notification, const std::set<std::string>& names,
                                const KestrondInstance* single) {
  failureTold();
  // A server that fails over and over must not flood the screen: each
  // instance is named on screen at most once a minute, alone or with others.
  Clock::time_point now = _desktop.now();
  std::erase_if(_lastNotified,
                [&](const auto& told) { return now - told.second >= kNotificationInterval; });
  if (std::all_of(names.begin(), names.end(),
                  [this](const std::string& name) { return _lastNotified.count(name) > 0; })) {
    return notification.subject;
  }
  for (const std::string& name : names) _lastNotified[name] = now;
  notification.subject = subjectFor(notification.subject, names);
  if (std::optional<std::string> log = single ? single->logFile() : std::nullopt) {
    notification.actionTitle = localizedString("Open Diagnostic Messages");
    // The desktop outlives the notification; the record may not.
    Desktop& desktop = _desktop;
    notification.action = [&desktop, path = *log] {
      // A failure to open is the desktop's to log.
      (void)desktop.openFile(path);
    };
  }
  std::string subject = notification.subject;
  _desktop.postNotification(std::move(notification));
  return subject;
}

std::string ServerNotices::subjectFor(const std::string& wanted,
                                      const std::set<std::string>& names) {
  std::string subject = wanted;
  if (auto moved = _movedSubjects.find(wanted); moved != _movedSubjects.end()) {
    subject = moved->second;
  }
  // Replacing a notice that named someone this one does not would make
  // that ending vanish from the screen.
  auto named = _subjectNames.find(subject);
  if (named != _subjectNames.end() &&
      !std::includes(names.begin(), names.end(), named->second.begin(), named->second.end())) {
    subject = wanted + "#" + std::to_string(++_subjectsMade);
    _movedSubjects[wanted] = subject;
  }
  if (names.size() > 1) {
    _subjectNames[subject] = names;
  } else {
    _subjectNames.erase(subject);
  }
  return subject;
}

}  // namespace kestrond
