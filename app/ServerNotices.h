// What the monitor tells without being asked: the status item's mark for
// what the servers do, and a notification when a start from the menu fails
// or a server shown as running ends without a Stop from the menu.
//
// It keeps each shown server's status as last seen and turns the
// transitions into notices, so it costs nothing while nothing changes and
// follows the records as the menu's scans and refreshes leave them (the
// closed menu's follower triggers those while the menu is closed). A start
// is told as failed only when the instance is still down a few seconds
// after its launched process ended (a wrapper may have put the server in
// the background), and endings that come together are told as one. Owned
// by the application. Main thread only.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Desktop.h"
#include "KestrondInstance.h"

namespace kestrond {

// The shortest time between two notifications about one instance.
inline constexpr std::chrono::seconds kNotificationInterval{60};
// How long an instance whose launched process ended may take to show its
// server running before the start is told as failed.
inline constexpr std::chrono::seconds kStartGrace{3};
// Endings this close to the one before are told in one notification.
inline constexpr std::chrono::seconds kEndingsTogether{2};

class ServerNotices {
 public:
  // `desktop` and `log` outlive the notices; `failureTold` is called when a
  // failure is told while none was waiting to be seen.
  ServerNotices(Desktop& desktop, LogSink& log, std::function<void()> failureTold = nullptr)
      : _desktop(desktop), _log(log), _failureTold(std::move(failureTold)) {}

  // Compares each shown instance's server status with the one seen at the
  // last call: notifies of a start that ended before running and of a
  // Running server that ended without a Stop from the menu (a Stopping one
  // was stopped from it, one first seen Stopped was never ours to watch).
  // Returns the mark the status item shows now.
  StatusMark notice(const std::vector<std::shared_ptr<KestrondInstance>>& shown);

  // The user has looked (opened the menu): the next failure told calls
  // `failureTold` again.
  void seen() { _failureUnseen = false; }

 private:
  using Clock = Desktop::Clock;
  struct PendingStart {
    std::shared_ptr<KestrondInstance> instance;
    std::string reason;
    Clock::time_point due;
  };
  // Endings told together: the notification's subject and who ended.
  struct Endings {
    std::string subject;
    std::vector<std::string> names;
    std::set<std::string> directories;
    Clock::time_point last;
  };
  void tellEndings(const std::vector<std::shared_ptr<KestrondInstance>>& ended);
  // Tells the starts whose grace is over and that still have no server.
  void checkPendingStarts();
  // Logs and (at most once a minute per instance) posts a notification
  // titled `summaryFormat` with the instance's name, offering its log.
  void notifyAbout(const KestrondInstance& instance, const char* summaryFormat,
                   const std::string& body);

  void failureTold();

  Desktop& _desktop;
  LogSink& _log;
  std::function<void()> _failureTold;
  bool _failureUnseen = false;
  std::map<std::string, ServerStatus> _seenStatus;         // by directory
  std::map<std::string, Clock::time_point> _lastNotified;  // by directory
  std::vector<PendingStart> _pendingStarts;
  std::unique_ptr<Timer> _startCheck;  // armed while starts are pending
  Endings _endings;
};

}  // namespace kestrond
