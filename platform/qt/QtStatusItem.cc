#include "QtStatusItem.h"

#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

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

QKeySequence shortcutFor(const std::string& keyEquivalent) {
  if (keyEquivalent.empty()) return QKeySequence();
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(keyEquivalent).toUpper());
}

}  // namespace

QPixmap QtStatusItem::badgePixmap(const QString& title, int size, qreal ratio, StatusMark mark) {
  QPixmap pixmap(QSize(size, size) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  // A dark rounded square with a light rim reads on dark and light panels.
  QRectF frame(0.5, 0.5, size - 1.0, size - 1.0);
  qreal radius = size * 0.2;
  painter.setPen(QPen(QColor(0xf2, 0xf4, 0xf7), qMax(1.0, size / 16.0)));
  painter.setBrush(QColor(0x1d, 0x4e, 0x89));
  painter.drawRoundedRect(frame.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
  // The letter is drawn as strokes, not from a font: no font has to be
  // loaded just to show the icon, and it looks the same everywhere.
  if (title == QStringLiteral("K")) {
    QPen pen(Qt::white, size * 0.13, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.drawLine(QPointF(size * 0.35, size * 0.24), QPointF(size * 0.35, size * 0.76));
    painter.drawLine(QPointF(size * 0.71, size * 0.24), QPointF(size * 0.38, size * 0.54));
    painter.drawLine(QPointF(size * 0.47, size * 0.46), QPointF(size * 0.73, size * 0.76));
  } else {
    QFont font;
    font.setBold(true);
    font.setPixelSize(qMax(8, static_cast<int>(size * 0.68)));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, title);
  }
  // The mark sits on the bottom right corner, over the badge's rim, with a
  // dark outline so that it reads on light panels and a light one inside on
  // dark panels: a filled green dot while a server runs, a hollow amber ring
  // while one starts or stops. They differ in form, not only in colour.
  if (mark != StatusMark::None) {
    qreal diameter = size * 0.46;
    QRectF spot(size - diameter - 0.5, size - diameter - 0.5, diameter, diameter);
    qreal outline = qMax(1.0, size / 16.0);
    painter.setPen(QPen(QColor(0x10, 0x18, 0x20), outline));
    if (mark == StatusMark::Running) {
      painter.setBrush(QColor(0x2e, 0xcc, 0x40));
      painter.drawEllipse(spot);
    } else {
      painter.setBrush(QColor(0x10, 0x18, 0x20));
      painter.drawEllipse(spot);
      qreal ring = diameter * 0.22;
      painter.setPen(QPen(QColor(0xff, 0xb0, 0x20), ring));
      painter.setBrush(Qt::NoBrush);
      qreal inset = outline / 2 + ring / 2;
      painter.drawEllipse(spot.adjusted(inset, inset, -inset, -inset));
    }
  }
  return pixmap;
}

QIcon QtStatusItem::badgeIcon(const QString& title, StatusMark mark) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    for (qreal ratio : {1.0, 2.0}) icon.addPixmap(badgePixmap(title, size, ratio, mark));
  }
  return icon;
}

QtStatusItem::QtStatusItem(QtDesktop& desktop) : _desktop(desktop) {
  _activation.setSingleShot(true);
  _activation.setInterval(kActivationGraceMs);
  QObject::connect(&_activation, &QTimer::timeout, [this] {
    if (!_openedByHost && !_qmenu.isVisible()) _qmenu.popup(QCursor::pos());
  });
  QObject::connect(&_qmenu, &QMenu::aboutToShow, [this] {
    _openedByHost = true;
    if (const auto& model = menu(); model && model->delegate())
      model->delegate()->menuWillOpen(*model);
    syncMenu();
  });
  QObject::connect(&_qmenu, &QMenu::aboutToHide, [this] {
    if (const auto& model = menu(); model && model->delegate())
      model->delegate()->menuDidClose(*model);
    syncMenu();
  });
  _trayLookup.setInterval(kTrayLookupIntervalMs);
  QObject::connect(&_trayLookup, &QTimer::timeout, [this] { lookForTray(); });
}

QtStatusItem::~QtStatusItem() {
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
  syncMenu();
  _tray = std::make_unique<QSystemTrayIcon>();
  _shownTitle = QString::fromStdString(title());
  _shownMark = mark();
  _tray->setIcon(badgeIcon(_shownTitle, _shownMark));
  _tray->setToolTip(QString::fromStdString(toolTip()));
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

void QtStatusItem::changed() {
  if (!_tray) return;
  QString title = QString::fromStdString(this->title());
  if (title != _shownTitle || mark() != _shownMark) {
    _shownTitle = title;
    _shownMark = mark();
    _tray->setIcon(badgeIcon(title, mark()));
  }
  QString tip = QString::fromStdString(toolTip());
  if (_tray->toolTip() != tip) _tray->setToolTip(tip);
}

QAction* QtStatusItem::makeAction(const MenuItem& item) {
  auto* action = new QAction(&_qmenu);
  action->setSeparator(item.isSeparator());
  QObject::connect(action, &QAction::triggered, [this, action] { triggered(action); });
  return action;
}

void QtStatusItem::updateAction(QAction* action, const MenuItem& item) {
  if (item.isSeparator()) return;
  QString text = menuText(item.title(), _host);
  if (action->text() != text) action->setText(text);
  if (action->isEnabled() != item.isEnabled()) action->setEnabled(item.isEnabled());
  bool checkable = item.state() != ItemState::Off;
  if (action->isCheckable() != checkable) action->setCheckable(checkable);
  if (checkable && action->isChecked() != (item.state() == ItemState::On)) {
    action->setChecked(item.state() == ItemState::On);
  }
  QKeySequence shortcut = shortcutFor(item.keyEquivalent());
  if (action->shortcut() != shortcut) action->setShortcut(shortcut);
}

void QtStatusItem::syncMenu() {
  const std::shared_ptr<Menu>& model = menu();
  static const Menu::Items kNone;
  const Menu::Items& items = model ? model->itemArray() : kNone;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i < _actions.size() && _actions[i]->isSeparator() != items[i]->isSeparator()) {
      QAction* replaced = _actions[i];
      _actions[i] = makeAction(*items[i]);
      _qmenu.insertAction(replaced, _actions[i]);
      _qmenu.removeAction(replaced);
      replaced->deleteLater();
    } else if (i >= _actions.size()) {
      _actions.push_back(makeAction(*items[i]));
      _qmenu.addAction(_actions.back());
    }
    updateAction(_actions[i], *items[i]);
  }
  while (_actions.size() > items.size()) {
    QAction* extra = _actions.back();
    _actions.pop_back();
    _qmenu.removeAction(extra);
    extra->deleteLater();
  }
  _mirrored.assign(items.begin(), items.end());
}

void QtStatusItem::triggered(QAction* action) {
  for (size_t i = 0; i < _actions.size(); ++i) {
    if (_actions[i] != action) continue;
    std::shared_ptr<MenuItem> item = _mirrored[i];
    // As on the original platform, the action runs once the menu has closed.
    QTimer::singleShot(0, &_qmenu, [this, item] {
      _desktop.sharedApplication().sendAction(*item);
      _desktop.syncMenus();
    });
    return;
  }
}

}  // namespace kestrond
