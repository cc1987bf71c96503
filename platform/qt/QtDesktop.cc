#include "QtDesktop.h"

#include <malloc.h>

#include <unistd.h>

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <cstdio>

#include "AutostartEntries.h"
#include "BundleLocation.h"
#include "Environment.h"
#include "Identity.h"
#include "Paths.h"
#include "QtNotifications.h"
#include "QtServiceManager.h"
#include "QtSession.h"
#include "QtStatusItem.h"
#include "Text.h"

namespace kestrond {
namespace {

// QApplication keeps references to these for its whole life. The monitor
// reads no command-line arguments, so Qt sees none either.
int qtArgc = 1;
char qtProgramName[] = "kestrond-monitor";  // kProgramName, writable as argv must be
char* qtArgv[] = {qtProgramName, nullptr};

// Where the monitor's own lines go while Qt runs.
LogSink* qtLog = nullptr;

// Qt ends a failed start (no display, no platform plugin) with qFatal and an
// abort; the monitor ends with a message and status 1 instead. When the
// display goes away (a logout, a session torn down, also while quitting),
// Qt says so and ends the program with status 1; the session is over and
// nothing is lost (the servers run on), so the monitor ends with 0 and a
// line of its own: a user service that ends with 1 shows as failed after
// every logout.
// Gives the heap's free pages back to the system. The monitor stays for the
// whole session, and glibc keeps what the launch and each opening freed.
void releaseFreeMemory() {
  malloc_trim(0);
}

void handleQtMessage(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtWarningMsg && message.startsWith(QStringLiteral("The X11 connection broke"))) {
    if (qtLog) qtLog->write("The display has gone; the monitor ends");
    _exit(0);
  }
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
  QtDescriptorWatch(int fd, std::function<void()> readable) : _notifier(fd, QSocketNotifier::Read) {
    QObject::connect(&_notifier, &QSocketNotifier::activated, std::move(readable));
  }

 private:
  QSocketNotifier _notifier;
};

class QtTimer : public Timer {
 public:
  QtTimer(std::chrono::milliseconds interval, std::function<void()> fired) : _timer(new QTimer) {
    _timer->setTimerType(Qt::CoarseTimer);
    _timer->setInterval(interval);
    QObject::connect(_timer, &QTimer::timeout, [fired = std::move(fired)] {
      // A copy: the callback may destroy this timer, and with it the lambda.
      std::function<void()> call = fired;
      call();
    });
    _timer->start();
  }
  // Destroyed from inside its own callback too: the QTimer goes once the
  // loop is back.
  ~QtTimer() override {
    _timer->stop();
    _timer->deleteLater();
  }

 private:
  QTimer* _timer;
};

}  // namespace

std::unique_ptr<Desktop> createSystemDesktop(LogSink& log, const StartingState& starting) {
  qtLog = &log;
  qInstallMessageHandler(handleQtMessage);
  if (!nonEmptyEnvironmentValue("QT_QPA_PLATFORM") && !nonEmptyEnvironmentValue("DISPLAY") &&
      !nonEmptyEnvironmentValue("WAYLAND_DISPLAY")) {
    std::fprintf(stderr,
                 "kestrond-monitor: no display to show the tray icon on "
                 "(neither DISPLAY nor WAYLAND_DISPLAY is set)\n");
    return nullptr;
  }
  return std::make_unique<QtDesktop>(log, starting);
}

// The executable's path is taken once: an upgrade that replaces the file
// while the monitor runs makes /proc/self/exe read "... (deleted)".
QtDesktop::QtDesktop(LogSink& log, const StartingState& starting)
    : Desktop(log),
      _starting(starting),
      _executable(currentExecutablePath()),
      _startAtLogin(userStartAtLogin(_executable, log)) {
  QApplication::setApplicationName(QString::fromLatin1(kProgramName));
  QApplication::setDesktopFileName(QString::fromLatin1(kApplicationId));
  _application = std::make_unique<QApplication>(qtArgc, qtArgv);
  // Closing a question must not end the program: it has no main window.
  _application->setQuitOnLastWindowClosed(false);
}

QtDesktop::~QtDesktop() = default;

void QtDesktop::runEventLoop(const std::function<void()>& didFinishLaunching) {
  QTimer::singleShot(0, _application.get(), [&didFinishLaunching] {
    didFinishLaunching();
    releaseFreeMemory();
  });
  _application->exec();
}

void QtDesktop::stopEventLoop() {
  QCoreApplication::exit(0);
}

std::unique_ptr<StatusItem> QtDesktop::createStatusItem(MenuEvents events) {
  // What an opening built (a long menu's rows, a scan) is freed once the
  // menu has closed and the application has followed.
  if (events.didClose) {
    events.didClose = [closed = std::move(events.didClose), this] {
      closed();
      QTimer::singleShot(0, _application.get(), [] { releaseFreeMemory(); });
    };
  }
  QtStatusItem::Hooks hooks;
  // Kept for the next question window: on Wayland a window may take the
  // focus only with a token from the click that asked for it.
  hooks.activationToken = [this](const QString& token) { _activationToken = token; };
  hooks.gone = [this](QtStatusItem* item) {
    if (_statusItem == item) _statusItem = nullptr;
  };
  auto item = std::make_unique<QtStatusItem>(log(), std::move(events), std::move(hooks));
  item->start();
  _statusItem = item.get();
  return item;
}

bool QtDesktop::claimSession() {
  _session = std::make_unique<QtSession>(log(), [this] {
    // What showing itself means here: the menu at the pointer, where a
    // program may place one (X11).
    if (_statusItem) _statusItem->showMenuAtPointer();
  });
  return _session->claim();
}

std::unique_ptr<Timer> QtDesktop::startTimer(std::chrono::milliseconds interval,
                                             std::function<void()> fired) {
  return std::make_unique<QtTimer>(interval, std::move(fired));
}

bool QtDesktop::ask(const Question& question) {
  QMessageBox box;
  box.setWindowTitle(QString::fromLatin1(kApplicationName));
  box.setIcon(QMessageBox::NoIcon);
  // Both texts are shown as plain text: a directory named like HTML stays text.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(question.message));
  box.setInformativeText(QString::fromStdString(question.informative));
  if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
    informative->setTextFormat(Qt::PlainText);
  }
  QPushButton* yes =
      box.addButton(QString::fromStdString(question.yesTitle), QMessageBox::AcceptRole);
  QPushButton* no =
      box.addButton(QString::fromStdString(question.noTitle), QMessageBox::RejectRole);
  box.setDefaultButton(yes);
  // Escape and the window's close button both answer no.
  box.setEscapeButton(no);
  box.setWindowModality(Qt::ApplicationModal);
  box.show();
  // Asked for from the tray, so it comes to the front: on X11 the window
  // manager is asked to make it the active window (_NET_ACTIVE_WINDOW, with
  // the user's last input time, which a focus-stealing guard accepts); on
  // Wayland the compositor decides and may only mark it as wanting attention.
  // There, a token a tray host handed over for the click lets the window
  // take the focus: Qt's Wayland shell presents the one in the environment
  // when the window asks to be activated, and drops it.
  if (!_activationToken.isEmpty() &&
      QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))) {
    qputenv("XDG_ACTIVATION_TOKEN", _activationToken.toUtf8());
  }
  _activationToken.clear();
  box.raise();
  box.activateWindow();
  box.exec();
  qunsetenv("XDG_ACTIVATION_TOKEN");  // used once, and never inherited
  return box.clickedButton() == yes;
}

void QtDesktop::placeInUnit(pid_t pid, const ProcessUnit& unit, std::function<void(Error)> done) {
  if (!_serviceManager) _serviceManager = std::make_unique<QtServiceManager>();
  _serviceManager->place(pid, unit, std::move(done));
}

void QtDesktop::postNotification(Notification notification) {
  if (!_notifications) _notifications = std::make_unique<QtNotifications>(log());
  _notifications->post(std::move(notification));
}

Error QtDesktop::openWithDefaultHandler(const std::string& target) {
  // The browser or viewer gets the environment and the limit on open files
  // the monitor was started with: not the server's library path, not the
  // limit raised for the servers' descriptors.
  Error error = _starting.spawnDetached({"xdg-open", target});
  if (error.failed()) {
    error = Error(error.code(), formatText("Cannot open %@", {target}));
    log().write(error.text());
  }
  return error;
}

Error QtDesktop::openURL(const std::string& url) {
  return openWithDefaultHandler(url);
}

Error QtDesktop::openFile(const std::string& path) {
  // As a file URL: percent-encoded, every byte of the path survives, also
  // where it is not text in the locale's encoding.
  return openWithDefaultHandler(fileURLWithPath(absolutePath(path), false));
}

std::string QtDesktop::bundlePath() const {
  return bundlePathForExecutable(_executable);
}

std::unique_ptr<DescriptorWatch> QtDesktop::watchReadable(int fd, std::function<void()> readable) {
  if (fd < 0) return nullptr;
  return std::make_unique<QtDescriptorWatch>(fd, std::move(readable));
}

}  // namespace kestrond
