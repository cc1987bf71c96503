#include "TrayHost.h"

#include <QGuiApplication>

#include "XEmbedIcon.h"

namespace kestrond {
namespace {

constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
// How long the watcher may keep silent before the item counts as shown
// nowhere; an answer that comes later is still used.
constexpr int kSilenceMs = 1000;

bool isError(DBusMessage* reply) {
  return !reply || dbus_message_get_type(reply) != DBUS_MESSAGE_TYPE_METHOD_RETURN;
}

std::string errorText(DBusMessage* reply) {
  if (!reply) return "the connection closed";
  std::string text = MessageReader(reply).string();
  const char* name = dbus_message_get_error_name(reply);
  return text.empty() && name ? name : text;
}

}  // namespace

bool onX11() {
  return QGuiApplication::platformName() == QStringLiteral("xcb");
}

TrayHost::TrayHost(LogSink& log, std::function<void(TrayHostKind)> changed)
    : _log(log), _changed(std::move(changed)) {
  _silence.setSingleShot(true);
  _silence.setInterval(kSilenceMs);
  connect(&_silence, &QTimer::timeout, this, [this] { decide(withoutHost()); });
}

TrayHost::~TrayHost() = default;

void TrayHost::start(BusConnection* bus, const std::string& itemService) {
  if (!bus || itemService.empty()) {
    QTimer::singleShot(0, this, [this] { decide(withoutHost()); });
    return;
  }
  _bus = bus;
  _itemService = itemService;
  // Followed by its owner: a watcher that comes later (a panel started
  // after the monitor, or restarted) is used at once.
  _bus->subscribe(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "NameOwnerChanged",
                  kWatcher, [this](DBusMessage* signal) {
                    MessageReader arguments(signal);
                    arguments.skip();  // the name
                    arguments.skip();  // its old owner
                    followOwner(arguments.string());
                  });
  _bus->subscribe(nullptr, kWatcherPath, kWatcher, "StatusNotifierHostRegistered", nullptr,
                  [this](DBusMessage*) { hostRegistered(); });
  askForOwner();
}

void TrayHost::askForOwner() {
  Message owner(dbus_message_new_method_call(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS,
                                             "GetNameOwner"));
  if (owner) MessageWriter(owner.get()).string(kWatcher);
  _bus->call(std::move(owner), [this, generation = _generation](DBusMessage* reply) {
    // An owner change that came meanwhile has been followed already.
    if (generation != _generation) return;
    std::string owner = isError(reply) ? std::string() : MessageReader(reply).string();
    if (owner.empty()) {
      decide(withoutHost());
    } else {
      followOwner(owner);
    }
  });
}

void TrayHost::followOwner(const std::string& owner) {
  if (!owner.empty() && owner == _owner) return;  // told twice: by the bus and a reply
  ++_generation;
  _owner = owner;
  _silence.stop();
  if (owner.empty()) {
    // The name may have been taken again already, with the news still on
    // its way (a panel handing over while the monitor was busy): a tray
    // icon made now would find the new watcher. The bus's answer comes
    // after any such news.
    askForOwner();
    return;
  }
  registerItem();
}

void TrayHost::registerItem() {
  // The item is registered by its connection's unique name and owns no
  // other: a host that watches a well-known item name (GNOME's
  // AppIndicator extension) wipes what it read of the item when that
  // watch's first answer comes late, and then drops the item for good.
  Message message(dbus_message_new_method_call(_owner.c_str(), kWatcherPath, kWatcher,
                                               "RegisterStatusNotifierItem"));
  if (message) MessageWriter(message.get()).string(_itemService);
  _silence.start();
  _bus->call(std::move(message), [this, generation = _generation](DBusMessage* reply) {
    if (generation != _generation) return;
    if (isError(reply)) {
      _silence.stop();
      _log.write("The tray's watcher did not take the status item: " + errorText(reply));
      decide(withoutHost());
      return;
    }
    askForHost();
  });
}

void TrayHost::askForHost() {
  // One asynchronous property read: a proxy would introspect the watcher
  // synchronously.
  Message get(
      dbus_message_new_method_call(_owner.c_str(), kWatcherPath, DBUS_INTERFACE_PROPERTIES, "Get"));
  if (get) {
    MessageWriter arguments(get.get());
    arguments.string(kWatcher);
    arguments.string("IsStatusNotifierHostRegistered");
  }
  _bus->call(std::move(get), [this, generation = _generation](DBusMessage* reply) {
    if (generation != _generation) return;
    _silence.stop();
    bool host = false;
    if (!isError(reply)) {
      host = MessageReader(reply).enter().boolean();
    }
    decide(host ? TrayHostKind::StatusNotifier : withoutHost());
  });
}

void TrayHost::hostRegistered() {
  if (!_owner.empty()) askForHost();
}

TrayHostKind TrayHost::withoutHost() const {
  // A watcher that shows nothing, or does not answer, is no better than
  // none: the X11 tray is used until a host shows the item.
  return onX11() ? TrayHostKind::XEmbed : TrayHostKind::None;
}

void TrayHost::decide(TrayHostKind kind) {
  if (_decided && kind == _kind) return;
  bool first = !_decided;
  _decided = true;
  _kind = kind;
  if (_changed) _changed(kind);
  // Said once the item is where it waits: a panel that comes on this line
  // finds it there.
  bool nowhere =
      kind == TrayHostKind::None || (kind == TrayHostKind::XEmbed && !xembedTrayPresent());
  if (nowhere && (first || kind == TrayHostKind::None)) {
    _log.write("No system tray yet; waiting for one to show the status item");
  }
}

}  // namespace kestrond
