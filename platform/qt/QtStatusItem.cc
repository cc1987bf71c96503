#include "QtStatusItem.h"

#include <unistd.h>

#include <QCursor>
#include <QDBusConnection>
#include <QImage>
#include <QtEndian>

#include "Badge.h"

namespace kestrond {
namespace {

// How long after an Activate a D-Bus host has to ask for the menu itself
// before the monitor opens it at the pointer.
constexpr int kActivationGraceMs = 300;
// The sizes hosts are offered; they scale the nearest.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128};

// In a QMenu "&" marks an access key; the title shows it as it is.
QString qmenuText(const std::string& title) {
  return QString::fromStdString(title).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QKeySequence shortcutFor(const std::string& key) {
  if (key.empty()) return QKeySequence();
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(key).toUpper());
}

// The badge as StatusNotifierItem pictures: ARGB32, not premultiplied, each
// pixel in network byte order.
QList<DBusIconPixmap> iconPixmaps(const QString& title, StatusMark mark) {
  QList<DBusIconPixmap> pixmaps;
  for (int size : kIconSizes) {
    QImage image =
        badgePixmap(title, size, 1.0, mark).toImage().convertToFormat(QImage::Format_ARGB32);
    DBusIconPixmap pixmap{image.width(), image.height(), QByteArray()};
    pixmap.bytes.resize(qsizetype(image.width()) * image.height() * 4);
    auto* out = reinterpret_cast<quint32*>(pixmap.bytes.data());
    for (int y = 0; y < image.height(); ++y) {
      const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
      for (int x = 0; x < image.width(); ++x) *out++ = qToBigEndian(line[x]);
    }
    pixmaps << pixmap;
  }
  return pixmaps;
}

// The item has a connection of its own: a QSystemTrayIcon made for the X11
// tray becomes Qt's own D-Bus item when a watcher comes at that very moment
// (Qt asks the bus at each icon it makes), and Qt's item registers and, once
// destroyed, unregisters the same object paths on the connection it uses.
QDBusConnection itemConnection() {
  if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return QDBusConnection::sessionBus();
  return QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                       QStringLiteral("kestrond-status-item"));
}

}  // namespace

QtStatusItem::QtStatusItem(LogSink& log, MenuEvents events, Hooks hooks)
    : _log(log),
      _events(std::move(events)),
      _hooks(std::move(hooks)),
      _bus(itemConnection()),
      _menuExport(log, {[this] { hostOpens(); },
                        [this] {
                          if (_events.didClose) _events.didClose();
                        },
                        [this](const std::string& key) { choose(key); }}),
      _itemExport(log, {[this](int, int) {
                          // Hosts whose click only activates: on X11 the menu opens
                          // at the pointer, unless the host asks for its own.
                          if (!onX11()) return;
                          _hostOpened = false;
                          _activation.start();
                        },
                        [this](int, int) { showMenuAtPointer(); },
                        [this](const QString& token) {
                          if (_hooks.activationToken) _hooks.activationToken(token);
                        }}),
      _trayHost(log, _bus, _bus.baseService(), [this](TrayHostKind host) { useHost(host); }) {
  _activation.setSingleShot(true);
  _activation.setInterval(kActivationGraceMs);
  QObject::connect(&_activation, &QTimer::timeout, [this] {
    if (!_hostOpened && !_qmenu.isVisible()) _qmenu.popup(QCursor::pos());
  });
  QObject::connect(&_qmenu, &QMenu::aboutToShow, [this] {
    _qmenuOpening = true;
    if (_events.willOpen) _events.willOpen();
    _qmenuOpening = false;
    if (!_qmenuCurrent) applyRows();
  });
  QObject::connect(&_qmenu, &QMenu::aboutToHide, [this] {
    if (_events.didClose) _events.didClose();
  });
}

QtStatusItem::~QtStatusItem() {
  if (_hooks.gone) _hooks.gone(this);
  if (_xembed) _xembed->hide();
}

void QtStatusItem::start() {
  if (_bus.isConnected()) {
    _menuExport.serveOn(_bus);
    _itemExport.serveOn(_bus);
  }
  // Deferred to the loop, so that the application has dressed the item (and
  // set its menu) before a host reads it.
  QTimer::singleShot(0, &_qmenu, [this] { _trayHost.start(); });
}

void QtStatusItem::useHost(TrayHostKind host) {
  if (host != TrayHostKind::XEmbed) {
    _xembed.reset();
    return;
  }
  if (_xembed) return;
  // Made only while no watcher is there, so that Qt makes its X11 icon;
  // should a watcher come at that very moment, Qt's D-Bus item lives only
  // until the watcher's arrival reaches the item, which then takes over.
  _xembed = std::make_unique<QSystemTrayIcon>();
  _xembed->setIcon(badgeIcon(QString::fromStdString(_title), _mark));
  _xembed->setToolTip(toolTipText());
  _xembed->setContextMenu(&_qmenu);
  QObject::connect(_xembed.get(), &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     // An XEmbed tray leaves a left click to the program.
                     if (reason == QSystemTrayIcon::Trigger) _qmenu.popup(QCursor::pos());
                   });
  _xembed->show();
}

void QtStatusItem::hostOpens() {
  // A host showing the menu itself: the one at the pointer goes.
  _hostOpened = true;
  _activation.stop();
  if (_qmenu.isVisible()) _qmenu.hide();
  if (_events.willOpen) _events.willOpen();
}

void QtStatusItem::showMenuAtPointer() {
  if (onX11() && !_qmenu.isVisible()) _qmenu.popup(QCursor::pos());
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

void QtStatusItem::setNeedsAttention(bool attention) {
  _itemExport.setNeedsAttention(attention);
}

void QtStatusItem::updateIcon() {
  QString title = QString::fromStdString(_title);
  _itemExport.setIcon(iconPixmaps(title, _mark));
  if (_xembed) _xembed->setIcon(badgeIcon(title, _mark));
}

QString QtStatusItem::toolTipText() const {
  // Qt reads a tool tip as rich text when it looks like some; it is text.
  QString text = QString::fromStdString(_toolTip).toHtmlEscaped();
  if (!_description.empty()) {
    text += QStringLiteral("<br>") + QString::fromStdString(_description)
                                         .toHtmlEscaped()
                                         .replace(QLatin1Char('\n'), QStringLiteral("<br>"));
  }
  return QStringLiteral("<qt>") + text + QStringLiteral("</qt>");
}

void QtStatusItem::setToolTip(const std::string& title, const std::string& description) {
  if (title == _toolTip && description == _description) return;
  _toolTip = title;
  _description = description;
  _itemExport.setToolTip(QString::fromStdString(title), QString::fromStdString(description));
  if (_xembed) _xembed->setToolTip(toolTipText());
}

void QtStatusItem::setMenu(MenuRows rows) {
  _rows = std::move(rows);
  _menuExport.setRows(_rows);
  // The QMenu is brought up to date when it shows; most sessions only ever
  // show the D-Bus menu.
  _qmenuCurrent = false;
  if (_qmenuOpening || _qmenu.isVisible()) applyRows();
}

const QMenu& QtStatusItem::shownMenu() {
  if (!_qmenuCurrent) applyRows();
  return _qmenu;
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
  QObject::connect(action, &QAction::triggered, [this, key = row.key] {
    // As on every desktop, the choice runs once the menu has closed.
    QTimer::singleShot(0, &_qmenu, [this, key] { choose(key); });
  });
  _actions[row.key] = action;
  return action;
}

void QtStatusItem::updateAction(QAction* action, const MenuRow& row) {
  if (row.separator) return;
  QString text = qmenuText(row.title);
  if (action->text() != text) action->setText(text);
  if (action->isEnabled() != row.enabled) action->setEnabled(row.enabled);
  bool checkable = row.checked.has_value();
  if (action->isCheckable() != checkable) action->setCheckable(checkable);
  if (checkable && action->isChecked() != *row.checked) action->setChecked(*row.checked);
  QKeySequence shortcut = shortcutFor(row.shortcut);
  if (action->shortcut() != shortcut) action->setShortcut(shortcut);
}

void QtStatusItem::applyRows() {
  _qmenuCurrent = true;
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
  // The rest in row order; an entry already in its place stays, so only
  // what is new or has moved is inserted. The list of what is shown is
  // kept in step here rather than read back after each insertion.
  QList<QAction*> shown = _qmenu.actions();
  qsizetype position = 0;
  for (const MenuRow& row : _rows) {
    QAction* action = actionFor(row);
    if (position >= shown.size() || shown[position] != action) {
      QAction* before = position < shown.size() ? shown[position] : nullptr;
      qsizetype was = shown.indexOf(action);
      _qmenu.insertAction(before, action);
      if (was >= 0) shown.remove(was);
      shown.insert(position, action);
    }
    updateAction(action, row);
    ++position;
  }
}

void QtStatusItem::choose(const std::string& key) {
  const MenuRow* row = chosenRow(_rows, key, _log);
  if (!row || !row->enabled || !row->choose) return;
  std::function<void()> choose = row->choose;  // the rows may be replaced meanwhile
  choose();
}

}  // namespace kestrond
