#include "QtDesktop.h"

#include <unistd.h>

#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "AutostartLoginItems.h"
#include "BundleLocation.h"
#include "Log.h"
#include "Paths.h"
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
      : notifier_(fd, QSocketNotifier::Read) {
    QObject::connect(&notifier_, &QSocketNotifier::activated,
                     [&desktop, readable = std::move(readable)] {
                       readable();
                       desktop.syncMenus();
                     });
  }

 private:
  QSocketNotifier notifier_;
};

class QtTimer : public Timer {
 public:
  QtTimer(QtDesktop& desktop, double interval, bool repeats, std::function<void(Timer&)> fired,
          std::shared_ptr<Menu> userInfo)
      : desktop_(desktop), fired_(std::move(fired)) {
    userInfo_ = std::move(userInfo);
    timer_.setTimerType(Qt::CoarseTimer);
    timer_.setInterval(static_cast<int>(interval * 1000));
    timer_.setSingleShot(!repeats);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (!fired_) return;
      // A copy: the callback may invalidate this timer.
      auto fired = fired_;
      if (timer_.isSingleShot()) invalidate();
      fired(*this);
      desktop_.syncMenus();
    });
    timer_.start();
  }
  void invalidate() override {
    timer_.stop();
    fired_ = nullptr;
    userInfo_.reset();
  }
  bool isValid() const override { return static_cast<bool>(fired_); }

 private:
  QtDesktop& desktop_;
  QTimer timer_;
  std::function<void(Timer&)> fired_;
};

class QtAlert : public Alert {
 public:
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
    box.raise();
    box.activateWindow();
    box.exec();
    return first && box.clickedButton() == first ? kFirstButtonReturn : kSecondButtonReturn;
  }
};

}  // namespace

std::unique_ptr<Desktop> createSystemDesktop() {
  qInstallMessageHandler(handleQtMessage);
  const char* platform = getenv("QT_QPA_PLATFORM");
  const char* x11 = getenv("DISPLAY");
  const char* wayland = getenv("WAYLAND_DISPLAY");
  if (!(platform && *platform) && !(x11 && *x11) && !(wayland && *wayland)) {
    std::fprintf(stderr,
                 "kestrond-monitor: no display to show the tray icon on "
                 "(neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    return nullptr;
  }
  return std::make_unique<QtDesktop>();
}

// The executable's path is taken once: an upgrade that replaces the file
// while the monitor runs makes /proc/self/exe read "... (deleted)".
QtDesktop::QtDesktop() : executable_(currentExecutablePath()) {
  QApplication::setApplicationName(QStringLiteral("kestrond-monitor"));
  QApplication::setDesktopFileName(QStringLiteral("com.halvorix.KestrondMonitor"));
  application_ = std::make_unique<QApplication>(qtArgc, qtArgv);
  // Closing an alert must not end the program: it has no main window.
  application_->setQuitOnLastWindowClosed(false);
}

QtDesktop::~QtDesktop() = default;

void QtDesktop::runEventLoop(const std::function<void()>& didFinishLaunching) {
  QTimer::singleShot(0, application_.get(), [this, didFinishLaunching] {
    didFinishLaunching();
    syncMenus();
  });
  application_->exec();
}

void QtDesktop::stopEventLoop() {
  QCoreApplication::exit(0);
}

std::shared_ptr<StatusItem> QtDesktop::statusItemWithLength(double) {
  auto item = std::make_shared<QtStatusItem>(*this);
  statusItems_.push_back(item);
  item->start();
  return item;
}

std::shared_ptr<Timer> QtDesktop::scheduledTimer(double interval, bool repeats,
                                                 std::function<void(Timer&)> fired,
                                                 std::shared_ptr<Menu> userInfo) {
  return std::make_shared<QtTimer>(*this, interval, repeats, std::move(fired), std::move(userInfo));
}

std::unique_ptr<Alert> QtDesktop::makeAlert() {
  return std::make_unique<QtAlert>();
}

bool QtDesktop::openWithDefaultHandler(const std::string& target) {
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
  if (opener.startDetached()) return true;
  logLine(formatText("Cannot open %@: %@", {target, opener.errorString().toStdString()}));
  return false;
}

bool QtDesktop::openURL(const std::string& url) {
  return openWithDefaultHandler(url);
}

bool QtDesktop::openFile(const std::string& path) {
  return openWithDefaultHandler(absolutePath(path));
}

std::string QtDesktop::bundlePath() const {
  return bundlePathForExecutable(executable_);
}

std::unique_ptr<LoginItemsList> QtDesktop::createLoginItemsList() {
  std::optional<std::string> directory = AutostartLoginItems::userAutostartDirectory();
  if (!directory || executable_.empty()) return nullptr;
  return std::make_unique<AutostartLoginItems>(*directory, executable_);
}

void QtDesktop::getCurrentProcess(ProcessSerialNumber* psn) {
  psn->highLongOfPSN = 0;
  psn->lowLongOfPSN = static_cast<uint32_t>(getpid());
}

// The alert raises and activates itself; there is nothing else to bring up.
void QtDesktop::setFrontProcess(const ProcessSerialNumber*) {}

std::unique_ptr<DescriptorWatch> QtDesktop::watchReadable(int fd, std::function<void()> readable) {
  if (fd < 0) return nullptr;
  return std::make_unique<QtDescriptorWatch>(*this, fd, std::move(readable));
}

void QtDesktop::syncMenus() {
  for (auto it = statusItems_.begin(); it != statusItems_.end();) {
    if (auto item = it->lock()) {
      item->syncMenu();
      ++it;
    } else {
      it = statusItems_.erase(it);
    }
  }
}

}  // namespace kestrond
