#include "QtDesktop.h"

#include <unistd.h>

#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>

#include "AutostartLoginItems.h"
#include "BundleLocation.h"
#include "Environment.h"
#include "Paths.h"
#include "QtNotifications.h"
#include "QtStatusItem.h"
#include "Text.h"

namespace kestrond {
namespace {

// QApplication keeps references to these for its whole life. The monitor
// reads no command-line arguments, so Qt sees none either.
int qtArgc = 1;
char qtProgramName[] = "kestrond-monitor";
char* qtArgv[] = {qtProgramName, nullptr};

// Qt ends a failed start (no display, no platform plugin) with qFatal and an
// abort; the monitor ends with a message and status 1 instead.
void handleQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  QByteArray text = message.toLocal8Bit();
  if (type == QtFatalMsg) {
    std::fprintf(stderr, "kestrond-monitor: %s\n", text.constData());
    _exit(1);
  }
  if (type != QtDebugMsg && type != QtInfoMsg) {
    std::fprintf(stderr, "kestrond-monitor: Qt: %s\n", text.constData());
  }
}

class QtDescriptorWatch : public DescriptorWatch {
 public:
  QtDescriptorWatch(QtDesktop& desktop, int fd, std::function<void()> readable)
      : _notifier(fd, QSocketNotifier::Read) {
    QObject::connect(&_notifier, &QSocketNotifier::activated,
                     [&desktop, readable = std::move(readable)] {
                       readable();
                       desktop.syncMenus();
                     });
  }

 private:
  QSocketNotifier _notifier;
};

class QtTimer : public Timer {
 public:
  QtTimer(QtDesktop& desktop, double interval, bool repeats, std::function<void(Timer&)> fired,
          std::shared_ptr<Menu> userInfo)
      : _desktop(desktop), _fired(std::move(fired)) {
    _userInfo = std::move(userInfo);
    _timer.setTimerType(Qt::CoarseTimer);
    _timer.setInterval(static_cast<int>(interval * 1000));
    _timer.setSingleShot(!repeats);
    QObject::connect(&_timer, &QTimer::timeout, [this] {
      if (!_fired) return;
      // A copy: the callback may invalidate this timer.
      auto fired = _fired;
      if (_timer.isSingleShot()) invalidate();
      fired(*this);
      _desktop.syncMenus();
    });
    _timer.start();
  }
  void invalidate() override {
    _timer.stop();
    _fired = nullptr;
    _userInfo.reset();
  }
  bool isValid() const override { return static_cast<bool>(_fired); }

 private:
  QtDesktop& _desktop;
  QTimer _timer;
  std::function<void(Timer&)> _fired;
};

class QtAlert : public Alert {
 public:
  explicit QtAlert(QtDesktop& desktop) : _desktop(desktop) {}
  int runModal() override {
    QMessageBox box;
    box.setWindowTitle(QString::fromStdString(localizedString("Kestrond Monitor")));
    box.setIcon(QMessageBox::NoIcon);
    // Both texts are shown as plain text: a directory named like HTML stays text.
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromStdString(messageText()));
    box.setInformativeText(QString::fromStdString(informativeText()));
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
      informative->setTextFormat(Qt::PlainText);
    }
    QPushButton* first = nullptr;
    QPushButton* second = nullptr;
    for (size_t i = 0; i < buttons().size() && i < 2; ++i) {
      QPushButton* button =
          box.addButton(QString::fromStdString(buttons()[i]),
                        i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
      (i == 0 ? first : second) = button;
    }
    if (first) box.setDefaultButton(first);
    // Escape and the window's close button both count as the second button.
    if (second) box.setEscapeButton(second);
    box.setWindowModality(Qt::ApplicationModal);
    box.show();
    // Asked for from the tray: on X11 the window manager is asked to make it
    // the active window (_NET_ACTIVE_WINDOW, with the user's last input
    // time, which a focus-stealing guard accepts); on Wayland the compositor
    // decides and may only mark it as wanting attention.
    if (_desktop.takeActivationRequest()) {
      box.raise();
      box.activateWindow();
    }
    box.exec();
    return first && box.clickedButton() == first ? kFirstButtonReturn : kSecondButtonReturn;
  }

 private:
  QtDesktop& _desktop;
};

}  // namespace

std::unique_ptr<Desktop> createSystemDesktop(LogSink& log) {
  qInstallMessageHandler(handleQtMessage);
  if (!nonEmptyEnvironmentValue("QT_QPA_PLATFORM") && !nonEmptyEnvironmentValue("DISPLAY") &&
      !nonEmptyEnvironmentValue("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "kestrond-monitor: no display to show the tray icon on "
                 "(neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    return nullptr;
  }
  return std::make_unique<QtDesktop>(log);
}

// The executable's path is taken once: an upgrade that replaces the file
// while the monitor runs makes /proc/self/exe read "... (deleted)".
QtDesktop::QtDesktop(LogSink& log) : Desktop(log), _executable(currentExecutablePath()) {
  QApplication::setApplicationName(QStringLiteral("kestrond-monitor"));
  QApplication::setDesktopFileName(QStringLiteral("com.halvorix.KestrondMonitor"));
  _application = std::make_unique<QApplication>(qtArgc, qtArgv);
  // Closing an alert must not end the program: it has no main window.
  _application->setQuitOnLastWindowClosed(false);
}

QtDesktop::~QtDesktop() = default;

void QtDesktop::runEventLoop(const std::function<void()>& didFinishLaunching) {
  QTimer::singleShot(0, _application.get(), [this, didFinishLaunching] {
    didFinishLaunching();
    syncMenus();
  });
  _application->exec();
}

void QtDesktop::stopEventLoop() {
  QCoreApplication::exit(0);
}

std::shared_ptr<StatusItem> QtDesktop::createStatusItem() {
  auto item = std::make_shared<QtStatusItem>(*this);
  _statusItems.push_back(item);
  item->start();
  return item;
}

std::shared_ptr<Timer> QtDesktop::scheduledTimer(double interval, bool repeats,
                                                 std::function<void(Timer&)> fired,
                                                 std::shared_ptr<Menu> userInfo) {
  return std::make_shared<QtTimer>(*this, interval, repeats, std::move(fired), std::move(userInfo));
}

std::unique_ptr<Alert> QtDesktop::makeAlert() {
  return std::make_unique<QtAlert>(*this);
}

void QtDesktop::postNotification(Notification notification) {
  if (!_notifications) _notifications = std::make_unique<QtNotifications>(*this);
  _notifications->post(std::move(notification));
}

double QtDesktop::currentTime() const {
  auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double>(sinceStart).count();
}

Error QtDesktop::openWithDefaultHandler(const std::string& target) {
  QProcess opener;
  opener.setProgram(QStringLiteral("xdg-open"));
  opener.setArguments({QString::fromLocal8Bit(target.c_str())});
  // Started with the environment the monitor was started with: a browser
  // must not inherit the server's library path.
  QStringList environment;
  for (const std::string& variable : startupEnvironment()) {
    environment << QString::fromLocal8Bit(variable.c_str());
  }
  opener.setEnvironment(environment);
  if (opener.startDetached()) return Error();
  Error error = Error::because(
      formatText("Cannot open %@: %@", {target, opener.errorString().toStdString()}));
  log().write(error.text());
  return error;
}

Error QtDesktop::openURL(const std::string& url) {
  return openWithDefaultHandler(url);
}

Error QtDesktop::openFile(const std::string& path) {
  return openWithDefaultHandler(absolutePath(path));
}

std::string QtDesktop::bundlePath() const {
  return bundlePathForExecutable(_executable);
}

std::unique_ptr<LoginItemsList> QtDesktop::createLoginItemsList() {
  std::optional<std::string> directory = AutostartLoginItems::userAutostartDirectory();
  if (!directory || _executable.empty()) return nullptr;
  return std::make_unique<AutostartLoginItems>(*directory, _executable, log());
}

// The monitor has no window of its own until the alert that follows: the
// request waits for it.
void QtDesktop::activateApplication() {
  _activationRequested = true;
}

std::unique_ptr<DescriptorWatch> QtDesktop::watchReadable(int fd, std::function<void()> readable) {
  if (fd < 0) return nullptr;
  return std::make_unique<QtDescriptorWatch>(*this, fd, std::move(readable));
}

void QtDesktop::syncMenus() {
  for (auto it = _statusItems.begin(); it != _statusItems.end();) {
    if (auto item = it->lock()) {
      item->syncMenu();
      ++it;
    } else {
      it = _statusItems.erase(it);
    }
  }
}

}  // namespace kestrond
