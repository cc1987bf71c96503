// The desktop on Qt 6: QApplication's main loop, QTimer, QMessageBox,
// xdg-open, and a QSystemTrayIcon per status item (see QtStatusItem). The
// only code besides QtStatusItem and TrayHost that includes Qt.
#pragma once

#include <QApplication>
#include <memory>
#include <vector>

#include "Desktop.h"

namespace kestrond {

class QtStatusItem;

class QtDesktop : public Desktop {
 public:
  // Needs a display; createSystemDesktop() checks for one first.
  QtDesktop();
  ~QtDesktop() override;

  void runEventLoop(const std::function<void()>& didFinishLaunching) override;
  void stopEventLoop() override;
  std::shared_ptr<StatusItem> statusItemWithLength(double length) override;
  std::shared_ptr<Timer> scheduledTimer(double interval, bool repeats,
                                        std::function<void(Timer&)> fired,
                                        std::shared_ptr<Menu> userInfo) override;
  std::unique_ptr<Alert> makeAlert() override;
  std::unique_ptr<DescriptorWatch> watchReadable(int fd, std::function<void()> readable) override;
  bool openURL(const std::string& url) override;
  bool openFile(const std::string& path) override;
  std::string bundlePath() const override;
  std::unique_ptr<LoginItemsList> createLoginItemsList() override;
  void getCurrentProcess(ProcessSerialNumber* psn) override;
  void setFrontProcess(const ProcessSerialNumber* psn) override;

  // Brings every status item's QMenu in line with its model; called after
  // each callback into the application.
  void syncMenus();

 private:
  bool openWithDefaultHandler(const std::string& target);

  const std::string executable_;
  std::unique_ptr<QApplication> application_;
  std::vector<std::weak_ptr<QtStatusItem>> statusItems_;
};

}  // namespace kestrond
