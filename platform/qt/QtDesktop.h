// The desktop on Qt 6: QApplication's main loop, QTimer, QMessageBox,
// xdg-open, the freedesktop autostart entries, and a tray item per status
// item (see QtStatusItem). Qt code lives in this folder only.
#pragma once

#include <QApplication>
#include <memory>

#include "Desktop.h"

namespace kestrond {

class QtNotifications;
class QtServiceManager;
class QtSession;
class QtStatusItem;

class QtDesktop : public Desktop {
 public:
  // Needs a display; createSystemDesktop() checks for one first. `log` and
  // `starting` outlive the desktop.
  QtDesktop(LogSink& log, const StartingState& starting);
  ~QtDesktop() override;

  bool claimSession() override;
  void runEventLoop(const std::function<void()>& didFinishLaunching) override;
  void stopEventLoop() override;
  std::unique_ptr<StatusItem> createStatusItem(MenuEvents events) override;
  std::unique_ptr<Timer> startTimer(std::chrono::milliseconds interval,
                                    std::function<void()> fired) override;
  std::unique_ptr<DescriptorWatch> watchReadable(int fd, std::function<void()> readable) override;
  Clock::time_point now() const override { return Clock::now(); }
  bool ask(const Question& question) override;
  void postNotification(Notification notification) override;
  Error openURL(const std::string& url) override;
  Error openFile(const std::string& path) override;
  void placeInUnit(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) override;
  StartAtLogin& startAtLogin() override { return *_startAtLogin; }
  std::string bundlePath() const override;

 private:
  Error openWithDefaultHandler(const std::string& target);

  const StartingState& _starting;
  const std::string _executable;
  std::unique_ptr<QApplication> _application;
  std::unique_ptr<StartAtLogin> _startAtLogin;
  std::unique_ptr<QtNotifications> _notifications;
  std::unique_ptr<QtServiceManager> _serviceManager;
  std::unique_ptr<QtSession> _session;
  QtStatusItem* _statusItem = nullptr;  // the one shown, for "show yourself"
  QString _activationToken;
};

}  // namespace kestrond
