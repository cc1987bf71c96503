// The desktop on Qt 6: QApplication's main loop, QTimer, QMessageBox,
// xdg-open, and a QSystemTrayIcon per status item (see QtStatusItem). The
// only code besides QtStatusItem and TrayHost that includes Qt.
#pragma once

#include <QApplication>
#include <memory>
#include <utility>
#include <vector>

#include "Desktop.h"

namespace kestrond {

class QtNotifications;
class QtStatusItem;

class QtDesktop : public Desktop {
 public:
  // Needs a display; createSystemDesktop() checks for one first. `log`
  // outlives the desktop.
  explicit QtDesktop(LogSink& log);
  ~QtDesktop() override;

  void runEventLoop(const std::function<void()>& didFinishLaunching) override;
  void stopEventLoop() override;
  std::shared_ptr<StatusItem> createStatusItem() override;
  std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                        std::function<void(Timer&)> fired,
                                        std::shared_ptr<Menu> userInfo) override;
  std::unique_ptr<Alert> makeAlert() override;
  void postNotification(Notification notification) override;
  double currentTime() const override;
  std::unique_ptr<DescriptorWatch> watchReadable(int fd, std::function<void()> readable) override;
  Error openURL(const std::string& url) override;
  Error openFile(const std::string& path) override;
  std::string bundlePath() const override;
  std::unique_ptr<LoginItemsList> createLoginItemsList() override;
  void activateApplication() override;
  // Whether activateApplication() asked for the next window to be
  // activated; reading it takes the request.
  bool takeActivationRequest() { return std::exchange(_activationRequested, false); }

  // Brings every status item's QMenu in line with its model; called after
  // each callback into the application.
  void syncMenus();

 private:
  Error openWithDefaultHandler(const std::string& target);

  const std::string _executable;
  std::unique_ptr<QApplication> _application;
  std::vector<std::weak_ptr<QtStatusItem>> _statusItems;
  bool _activationRequested = false;
  std::unique_ptr<QtNotifications> _notifications;
};

}  // namespace kestrond
