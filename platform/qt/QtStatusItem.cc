#include "QtStatusItem.h"

#include <QCursor>
#include <QGuiApplication>

#include "Badge.h"
#include "QtDesktop.h"

namespace kestrond {
namespace {

constexpr int kTrayLookupIntervalMs = 3000;
// How long after an Activate a D-Bus panel has to ask for the menu itself
// before the monitor opens it at the pointer.
constexpr int kActivationGraceMs = 300;

QString menuText(const std::string& title, TrayHostKind host) {
  // "&" would mark a mnemonic; the title shows it as it is.
  QString text = QString::fromStdString(title).replace(QLatin1Char('&'), QStringLiteral("&&"));
  // Over D-Bus a label's "_" marks a mnemonic too, and Qt passes it through.
  if (host == TrayHostKind::StatusNotifier) text.replace(QLatin1Char('_'), QStringLiteral("__"));
  return text;
}

QKeySequence shortcutFor(const std::string& key) {
  if (key.empty()) return QKeySequence();
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(key).toUpper());
}

}  // namespace

QtStatusItem::QtStatusItem(QtDesktop& desktop, MenuEvents events)
    : _desktop(desktop), _events(std::move(events)) {
  _activation.setSingleShot(true);
  _activation.setInterval(kActivationGraceMs);
  QObject::connect(&_activation, &QTimer::timeout, [this] {
    if (!_openedByHost && !_qmenu.isVisible()) _qmenu.popup(QCursor::pos());
  });
  QObject::connect(&_qmenu, &QMenu::aboutToShow, [this] {
    _openedByHost = true;
    if (_events.willOpen) _events.willOpen();
  });
  QObject::connect(&_qmenu, &QMenu::aboutToHide, [this] {
    if (_events.didClose) _events.didClose();
  });
  _trayLookup.setInterval(kTrayLookupIntervalMs);
  QObject::connect(&_trayLookup, &QTimer::timeout, [this] { lookForTray(); });
}

void QtStatusItem::showMenuAtPointer() {
  if (QGuiApplication::platformName() == QStringLiteral("xcb") && !_qmenu.isVisible()) {
    _qmenu.popup(QCursor::pos());
  }
}

QtStatusItem::~QtStatusItem() {
  _desktop.statusItemGone(this);
  _trayLookup.stop();
  if (_tray) _tray->hide();
}

void QtStatusItem::start() {
  // Deferred to the loop, so that the application has dressed the item (and
  // set its menu) before the icon is shown.
  QTimer::singleShot(0, &_qmenu, [this] { lookForTray(); });
}

void QtStatusItem::lookForTray() {
  if (_lookupPending) return;
  _lookupPending = true;
  findTrayHost(&_qmenu, [this](TrayHostKind host) {
    _lookupPending = false;
    if (host == TrayHostKind::None) {
      if (!_announcedWaiting) {
        _desktop.log().write("No system tray yet; waiting for one to show the status item");
        _announcedWaiting = true;
      }
      if (!_trayLookup.isActive()) _trayLookup.start();
      return;
    }
    _trayLookup.stop();
    if (!_tray) showIcon(host);
  });
}

void QtStatusItem::showIcon(TrayHostKind host) {
  _host = host;
  applyRows();  // the labels depend on the host
  _tray = std::make_unique<QSystemTrayIcon>();
  _tray->setIcon(badgeIcon(QString::fromStdString(_title), _mark));
  _tray->setToolTip(QString::fromStdString(_toolTip));
  _tray->setContextMenu(&_qmenu);  // before show(): the D-Bus item exports it then
  QObject::connect(_tray.get(), &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason != QSystemTrayIcon::Trigger) return;
                     // An XEmbed tray leaves a left click to us. A D-Bus panel
                     // opens the exported menu itself, except those whose
                     // left click only activates: there, on X11, the menu
                     // opens at the pointer unless the panel asked for its
                     // own meanwhile.
                     if (_host == TrayHostKind::XEmbed) {
                       _qmenu.popup(QCursor::pos());
                     } else if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
                       _openedByHost = false;
                       _activation.start();
                     }
                   });
  _tray->show();
}

void QtStatusItem::setTitle(const std::string& title) {
  if (title == _title) return;
  _title = title;
  updateIcon();
}

void QtStatusItem::setMark(StatusMark mark) {
  if (mark == _mark) return;
  _mark = mark;
  updateIcon();
}

void QtStatusItem::updateIcon() {
  if (_tray) _tray->setIcon(badgeIcon(QString::fromStdString(_title), _mark));
}

void QtStatusItem::setToolTip(const std::string& toolTip) {
  if (toolTip == _toolTip) return;
  _toolTip = toolTip;
  if (_tray) _tray->setToolTip(QString::fromStdString(_toolTip));
}

void QtStatusItem::setMenu(MenuRows rows) {
  _rows = std::move(rows);
  applyRows();
}

QAction* QtStatusItem::actionFor(const MenuRow& row) {
  auto known = _actions.find(row.key);
  if (known != _actions.end() && known->second->isSeparator() == row.separator) {
    return known->second;
  }
  if (known != _actions.end()) {
    _qmenu.removeAction(known->second);
    known->second->deleteLater();
  }
  auto* action = new QAction(&_qmenu);
  action->setSeparator(row.separator);
  QObject::connect(action, &QAction::triggered, [this, key = row.key] { triggered(key); });
  _actions[row.key] = action;
  return action;
}

void QtStatusItem::updateAction(QAction* action, const MenuRow& row) {
  if (row.separator) return;
  QString text = menuText(row.title, _host);
  if (action->text() != text) action->setText(text);
  if (action->isEnabled() != row.enabled) action->setEnabled(row.enabled);
  bool checkable = row.checked.has_value();
  if (action->isCheckable() != checkable) action->setCheckable(checkable);
  if (checkable && action->isChecked() != *row.checked) action->setChecked(*row.checked);
  QKeySequence shortcut = shortcutFor(row.shortcut);
  if (action->shortcut() != shortcut) action->setShortcut(shortcut);
}

void QtStatusItem::applyRows() {
  // Entries whose rows have gone go with them.
  std::map<std::string, const MenuRow*> wanted;
  for (const MenuRow& row : _rows) wanted.emplace(row.key, &row);
  for (auto it = _actions.begin(); it != _actions.end();) {
    if (wanted.count(it->first)) {
      ++it;
      continue;
    }
    _qmenu.removeAction(it->second);
    it->second->deleteLater();
    it = _actions.erase(it);
  }
  // The rest in row order; an entry already in its place is left there, so
  // only what is new or has moved is inserted.
  QList<QAction*> shown = _qmenu.actions();
  qsizetype position = 0;
  for (const MenuRow& row : _rows) {
    QAction* action = actionFor(row);
    if (position >= shown.size() || shown[position] != action) {
      QAction* before = position < shown.size() ? shown[position] : nullptr;
      _qmenu.insertAction(before, action);
      shown = _qmenu.actions();
    }
    updateAction(action, row);
    ++position;
  }
}

void QtStatusItem::triggered(const std::string& key) {
  // As on every desktop, the choice runs once the menu has closed, on the
  // row with that key as it is then.
  QTimer::singleShot(0, &_qmenu, [this, key] {
    const MenuRow* row = chosenRow(_rows, key, _desktop.log());
    if (!row || !row->enabled || !row->choose) return;
    std::function<void()> choose = row->choose;  // the rows may be replaced meanwhile
    choose();
  });
}

}  // namespace kestrond
