// What the monitor tells without being asked: the status item's mark for
// what the servers do, and a notification when a start from the menu fails
// or a server shown as running ends without a Stop from the menu.
//
// It keeps each shown server's status as last seen and turns the
// transitions into notices at each publication of the status menu, so it
// costs nothing while nothing changes. A start is told as failed only when
// a fresh read of its record, a few seconds after its launched process
// ended, still finds it down (a wrapper may have put the server in the
// background), and never while a question is up: that waits for the
// answer. Endings that come together are told as one. Every notice counts
// against one limit per instance it names, and replaces an earlier one
// only when it names all that one named. Owned by the application. Main
// thread only.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
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
// How early a deadline's timer may fire and still count as on time (a
// coarse timer fires up to 5 % early).
inline constexpr std::chrono::milliseconds kTimerSlack{250};
// How often a deadline that passed while a question was up is looked at
// again.
inline constexpr std::chrono::milliseconds kAfterQuestion{250};

class ServerNotices {
 public:
  struct Hooks {
    // A failure was told while none was waiting to be seen.
    std::function<void()> failureTold;
    // Reads the records of these directories again and publishes the menu
    // (which calls notice()).
    std::function<void(const std::set<std::string>& directories)> reread;
    // True while a question is on screen.
    std::function<bool()> questionUp;
  };

  // `desktop` and `log` outlive the notices.
  ServerNotices(Desktop& desktop, LogSink& log, Hooks hooks)
      : _desktop(desktop), _log(log), _hooks(std::move(hooks)) {}

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
    bool reread = false;  // its record has been read again since it was due
  };
  // Endings told together: the subject of their notice and who ended.
  struct Endings {
    std::string subject;
    std::vector<std::string> names;
    std::set<std::string> directories;
    Clock::time_point last;
  };
  void tellEndings(const std::vector<std::shared_ptr<KestrondInstance>>& ended);
  // The deadline timer: has the records of the starts now due read again.
  void deadlinePassed();
  void armDeadline();
  // Tells the due starts whose fresh record still shows no server.
  void judgeStarts();
  // Posts, unless every instance it names was told of within the limit;
  // a notification about `single` offers its log. Returns the subject it
  // took (the one it came with when not posted).
  std::string post(Notification notification, const std::set<std::string>& names,
                   const KestrondInstance* single);
  // The subject a notice naming `names` takes: `wanted`, or one of its
  // own where `wanted` last named someone this one does not.
  std::string subjectFor(const std::string& wanted, const std::set<std::string>& names);

  void failureTold();

  Desktop& _desktop;
  LogSink& _log;
  Hooks _hooks;
  bool _failureUnseen = false;
  struct Seen {
    ServerStatus status;
    uint64_t publication;  // the last one that listed it
  };
  std::unordered_map<std::string, Seen> _seenStatus;  // by directory, as last published
  uint64_t _publication = 0;
  std::map<std::string, Clock::time_point> _lastNotified;      // by directory, within the limit
  std::map<std::string, std::set<std::string>> _subjectNames;  // those naming several
  std::map<std::string, std::string> _movedSubjects;           // wanted → taken instead
  int _subjectsMade = 0;
  std::vector<PendingStart> _pendingStarts;
  std::unique_ptr<Timer> _deadline;  // armed while starts are pending
  Endings _endings;
};

}  // namespace kestrond
