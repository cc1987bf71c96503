#include "QtStatusItem.h"

#include <QTimer>
#include <QtEndian>

#include "Badge.h"

namespace kestrond {
namespace {

// The sizes hosts are offered; they scale the nearest.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 128};

// The badge as StatusNotifierItem pictures: ARGB32, not premultiplied, each
// pixel in network byte order.
std::vector<IconPixmap> iconPixmaps(const std::string& title, StatusMark mark) {
  std::vector<IconPixmap> pixmaps;
  for (int size : kIconSizes) {
    BadgePicture picture = drawBadge(title, size, mark);
    IconPixmap pixmap{picture.side, picture.side,
                      QByteArray(qsizetype(picture.pixels.size()) * 4, Qt::Uninitialized)};
    auto* out = reinterpret_cast<quint32*>(pixmap.bytes.data());
    for (uint32_t pixel : picture.pixels) *out++ = qToBigEndian(pixel);
    pixmaps.push_back(std::move(pixmap));
  }
  return pixmaps;
}

}  // namespace

QtStatusItem::QtStatusItem(LogSink& log, MenuEvents events, Hooks hooks)
    : _log(log),
      _events(std::move(events)),
      _hooks(std::move(hooks)),
      _pointerMenu(_rows, {[this] {
                             if (_events.willOpen) _events.willOpen();
                           },
                           [this] {
                             if (_events.didClose) _events.didClose();
                           },
                           [this](const std::string& key) { choose(key); }}),
      _grace([this] { _pointerMenu.popupAtPointer(); }),
      _menuExport(log, {[this] { hostOpens(); },
                        [this] {
                          if (_events.didClose) _events.didClose();
                        },
                        [this](const std::string& key) { choose(key); }}),
      _itemExport(log, {[this](int, int) {
                          // Hosts whose click only activates: on X11 the menu opens
                          // at the pointer, unless the host asks for its own.
                          if (onX11()) _grace.activated();
                        },
                        [this](int, int) { showMenuAtPointer(); },
                        [this](const QString& token) {
                          if (_hooks.activationToken) _hooks.activationToken(token);
                        }}),
      _trayHost(log, [this](TrayHostKind host) { useHost(host); }) {}

QtStatusItem::~QtStatusItem() {
  if (_hooks.gone) _hooks.gone(this);
}

void QtStatusItem::start() {
  // The tray is followed from the loop (once the bus has named the
  // connection), so that the application has dressed the item (and set its
  // menu) before a host reads it.
  _bus = BusConnection::openSession(
      _log, [this](const std::string& name) { _trayHost.start(_bus.get(), name); });
  if (!_bus) {
    QTimer::singleShot(0, &_trayHost, [this] { _trayHost.start(nullptr, {}); });
    return;
  }
  _menuExport.serveOn(*_bus);
  _itemExport.serveOn(*_bus);
}

void QtStatusItem::useHost(TrayHostKind host) {
  if (host != TrayHostKind::XEmbed) {
    _xembed.reset();
    return;
  }
  if (!_xembed) {
    _xembed = std::make_unique<XEmbedIcon>(_pointerMenu, badgePicture(), toolTipText());
  }
}

void QtStatusItem::hostOpens() {
  // A host showing the menu itself: the one at the pointer goes.
  _grace.hostOpened();
  _pointerMenu.hide();
  if (_events.willOpen) _events.willOpen();
}

void QtStatusItem::showMenuAtPointer() {
  _pointerMenu.popupAtPointer();
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
  _itemExport.setIcon(iconPixmaps(_title, _mark));
  if (_xembed) _xembed->setPicture(badgePicture());
}

XEmbedIcon::Picture QtStatusItem::badgePicture() const {
  return [title = _title, mark = _mark](int side) { return badgeImage(title, side, mark); };
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
  _pointerMenu.rowsChanged();
}

const QMenu& QtStatusItem::shownMenu() {
  return _pointerMenu.menu();
}

void QtStatusItem::choose(const std::string& key) {
  const MenuRow* row = chosenRow(_rows, key, _log);
  if (!row || !row->enabled || !row->choose) return;
  std::function<void()> choose = row->choose;  // the rows may be replaced meanwhile
  choose();
}

}  // namespace kestrond
