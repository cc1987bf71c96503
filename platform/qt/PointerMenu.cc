#include "PointerMenu.h"

#include <QCursor>
#include <QTimer>

#include "TrayHost.h"

namespace kestrond {
namespace {

// In a QMenu "&" marks an access key; the title shows it as it is.
QString qmenuText(const std::string& title) {
  return QString::fromStdString(title).replace(QLatin1Char('&'), QStringLiteral("&&"));
}

QKeySequence shortcutFor(const std::string& key) {
  if (key.empty()) return QKeySequence();
  return QKeySequence(QStringLiteral("Ctrl+") + QString::fromStdString(key).toUpper());
}

void updateAction(QAction* action, const MenuRow& row) {
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

}  // namespace

PointerMenu::PointerMenu(const MenuRows& rows, Hooks hooks)
    : _rows(rows), _hooks(std::move(hooks)) {
  QObject::connect(&_menu, &QMenu::aboutToShow, [this] {
    _opening = true;
    if (_hooks.willOpen) _hooks.willOpen();
    _opening = false;
    if (!_current) apply();
  });
  QObject::connect(&_menu, &QMenu::aboutToHide, [this] {
    if (_hooks.didClose) _hooks.didClose();
  });
}

void PointerMenu::rowsChanged() {
  _current = false;
  if (_opening || _menu.isVisible()) apply();
}

void PointerMenu::popupAtPointer() {
  if (onX11() && !_menu.isVisible()) _menu.popup(QCursor::pos());
}

void PointerMenu::hide() {
  if (_menu.isVisible()) _menu.hide();
}

QMenu& PointerMenu::menu() {
  if (!_current) apply();
  return _menu;
}

QAction* PointerMenu::actionFor(const MenuRow& row) {
  auto known = _actions.find(row.key);
  if (known != _actions.end() && known->second->isSeparator() == row.separator) {
    return known->second;
  }
  if (known != _actions.end()) {
    _menu.removeAction(known->second);
    known->second->deleteLater();
  }
  auto* action = new QAction(&_menu);
  action->setSeparator(row.separator);
  QObject::connect(action, &QAction::triggered, [this, key = row.key] {
    // As on every desktop, the choice runs once the menu has closed.
    QTimer::singleShot(0, &_menu, [this, key] {
      if (_hooks.chosen) _hooks.chosen(key);
    });
  });
  _actions[row.key] = action;
  return action;
}

void PointerMenu::apply() {
  _current = true;
  // Entries whose rows have gone go with them.
  std::map<std::string, const MenuRow*> wanted;
  for (const MenuRow& row : _rows) wanted.emplace(row.key, &row);
  for (auto it = _actions.begin(); it != _actions.end();) {
    if (wanted.count(it->first)) {
      ++it;
      continue;
    }
    _menu.removeAction(it->second);
    it->second->deleteLater();
    it = _actions.erase(it);
  }
  // The rest in row order; an entry already in its place stays, so only
  // what is new or has moved is inserted. The list of what is shown is
  // kept in step here rather than read back after each insertion.
  QList<QAction*> shown = _menu.actions();
  qsizetype position = 0;
  for (const MenuRow& row : _rows) {
    QAction* action = actionFor(row);
    if (position >= shown.size() || shown[position] != action) {
      QAction* before = position < shown.size() ? shown[position] : nullptr;
      qsizetype was = shown.indexOf(action);
      _menu.insertAction(before, action);
      if (was >= 0) shown.remove(was);
      shown.insert(position, action);
    }
    updateAction(action, row);
    ++position;
  }
}

}  // namespace kestrond
