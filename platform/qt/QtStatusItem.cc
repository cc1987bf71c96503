#include "QtStatusItem.h"

#include <QCursor>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QPixmap>

#include "Log.h"
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

QPixmap QtStatusItem::badgePixmap(const QString& title, int size, qreal ratio) {
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
  return pixmap;
}

QIcon QtStatusItem::badgeIcon(const QString& title) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    for (qreal ratio : {1.0, 2.0}) icon.addPixmap(badgePixmap(title, size, ratio));
  }
  return icon;
}

QtStatusItem::QtStatusItem(QtDesktop& desktop) : desktop_(desktop) {
  activation_.setSingleShot(true);
  activation_.setInterval(kActivationGraceMs);
  QObject::connect(&activation_, &QTimer::timeout, [this] {
    if (!openedByHost_ && !qmenu_.isVisible()) qmenu_.popup(QCursor::pos());
  });
  QObject::connect(&qmenu_, &QMenu::aboutToShow, [this] {
    openedByHost_ = true;
    if (const auto& model = menu(); model && model->delegate())
      model->delegate()->menuWillOpen(*model);
    syncMenu();
  });
  QObject::connect(&qmenu_, &QMenu::aboutToHide, [this] {
    if (const auto& model = menu(); model && model->delegate())
      model->delegate()->menuDidClose(*model);
    syncMenu();
  });
  trayLookup_.setInterval(kTrayLookupIntervalMs);
  QObject::connect(&trayLookup_, &QTimer::timeout, [this] { lookForTray(); });
}

QtStatusItem::~QtStatusItem() {
  trayLookup_.stop();
  if (tray_) tray_->hide();
}

void QtStatusItem::start() {
  // Deferred to the loop, so that the application has dressed the item (and
  // set its menu) before the icon is shown.
  QTimer::singleShot(0, &qmenu_, [this] { lookForTray(); });
}

void QtStatusItem::lookForTray() {
  if (lookupPending_) return;
  lookupPending_ = true;
  findTrayHost(&qmenu_, [this](TrayHostKind host) {
    lookupPending_ = false;
    if (host == TrayHostKind::None) {
      if (!announcedWaiting_) {
        logLine("No system tray yet; waiting for one to show the status item");
        announcedWaiting_ = true;
      }
      if (!trayLookup_.isActive()) trayLookup_.start();
      return;
    }
    trayLookup_.stop();
    if (!tray_) showIcon(host);
  });
}

void QtStatusItem::showIcon(TrayHostKind host) {
  host_ = host;
  syncMenu();
  tray_ = std::make_unique<QSystemTrayIcon>();
  shownTitle_ = QString::fromStdString(title());
  tray_->setIcon(badgeIcon(shownTitle_));
  tray_->setToolTip(QString::fromStdString(toolTip()));
  tray_->setContextMenu(&qmenu_);  // before show(): the D-Bus item exports it then
  QObject::connect(tray_.get(), &QSystemTrayIcon::activated,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason != QSystemTrayIcon::Trigger) return;
                     // An XEmbed tray leaves a left click to us. A D-Bus panel
                     // opens the exported menu itself, except those whose
                     // left click only activates: there, on X11, the menu
                     // opens at the pointer unless the panel asked for its
                     // own meanwhile.
                     if (host_ == TrayHostKind::XEmbed) {
                       qmenu_.popup(QCursor::pos());
                     } else if (QGuiApplication::platformName() == QStringLiteral("xcb")) {
                       openedByHost_ = false;
                       activation_.start();
                     }
                   });
  tray_->show();
}

void QtStatusItem::changed() {
  if (!tray_) return;
  QString title = QString::fromStdString(this->title());
  if (title != shownTitle_) {
    shownTitle_ = title;
    tray_->setIcon(badgeIcon(title));
  }
  QString tip = QString::fromStdString(toolTip());
  if (tray_->toolTip() != tip) tray_->setToolTip(tip);
}

QAction* QtStatusItem::makeAction(const MenuItem& item) {
  auto* action = new QAction(&qmenu_);
  action->setSeparator(item.isSeparator());
  QObject::connect(action, &QAction::triggered, [this, action] { triggered(action); });
  return action;
}

void QtStatusItem::updateAction(QAction* action, const MenuItem& item) {
  if (item.isSeparator()) return;
  QString text = menuText(item.title(), host_);
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
    if (i < actions_.size() && actions_[i]->isSeparator() != items[i]->isSeparator()) {
      QAction* replaced = actions_[i];
      actions_[i] = makeAction(*items[i]);
      qmenu_.insertAction(replaced, actions_[i]);
      qmenu_.removeAction(replaced);
      replaced->deleteLater();
    } else if (i >= actions_.size()) {
      actions_.push_back(makeAction(*items[i]));
      qmenu_.addAction(actions_.back());
    }
    updateAction(actions_[i], *items[i]);
  }
  while (actions_.size() > items.size()) {
    QAction* extra = actions_.back();
    actions_.pop_back();
    qmenu_.removeAction(extra);
    extra->deleteLater();
  }
  mirrored_.assign(items.begin(), items.end());
}

void QtStatusItem::triggered(QAction* action) {
  for (size_t i = 0; i < actions_.size(); ++i) {
    if (actions_[i] != action) continue;
    std::shared_ptr<MenuItem> item = mirrored_[i];
    // As on the original platform, the action runs once the menu has closed.
    QTimer::singleShot(0, &qmenu_, [this, item] {
      desktop_.sharedApplication().sendAction(*item);
      desktop_.syncMenus();
    });
    return;
  }
}

}  // namespace kestrond
