// The grace after a D-Bus host's Activate: a host whose click only
// activates gets the program's own menu at the pointer, unless it asks for
// its own menu within the grace. Armed by the Activate as it arrives,
// withdrawn by the host's opening. Owned by QtStatusItem; Qt code; main
// thread only.
#pragma once

#include <QTimer>
#include <functional>

namespace kestrond {

class ActivationGrace {
 public:
  static constexpr int kGraceMs = 300;

  // `expired` runs when the grace passes with no opening by the host.
  explicit ActivationGrace(std::function<void()> expired) {
    _timer.setSingleShot(true);
    _timer.setInterval(kGraceMs);
    QObject::connect(&_timer, &QTimer::timeout, [expired = std::move(expired)] { expired(); });
  }
  void activated() { _timer.start(); }
  void hostOpened() { _timer.stop(); }

 private:
  QTimer _timer;
};

}  // namespace kestrond
