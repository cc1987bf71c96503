#include "DBusMenuExport.h"

#include <QTimer>
#include <algorithm>

namespace kestrond {
namespace {

constexpr const char* kInterface = "com.canonical.dbusmenu";

void writeValue(MessageWriter& out, const MenuPropertyValue& value) {
  if (const bool* flag = std::get_if<bool>(&value)) {
    out.variant("b", [&](MessageWriter& v) { v.boolean(*flag); });
  } else if (const int32_t* number = std::get_if<int32_t>(&value)) {
    out.variant("i", [&](MessageWriter& v) { v.int32(*number); });
  } else if (const std::string* text = std::get_if<std::string>(&value)) {
    out.variant("s", [&](MessageWriter& v) { v.string(*text); });
  } else {
    const auto& keys = std::get<std::vector<std::vector<std::string>>>(value);
    out.variant("aas", [&](MessageWriter& v) {
      v.container('a', "as", [&](MessageWriter& combinations) {
        for (const std::vector<std::string>& combination : keys) {
          combinations.container('a', "s", [&](MessageWriter& names) {
            for (const std::string& name : combination) names.string(name);
          });
        }
      });
    });
  }
}

// a{sv}: the properties, only `names` when that is not empty.
void writeProperties(MessageWriter& out, const MenuProperties& properties,
                     const std::vector<std::string>& names = {}) {
  out.container('a', "{sv}", [&](MessageWriter& map) {
    for (const auto& [name, value] : properties) {
      if (!names.empty() && std::find(names.begin(), names.end(), name) == names.end()) continue;
      map.container('{', nullptr, [&](MessageWriter& entry) {
        entry.string(name);
        writeValue(entry, value);
      });
    }
  });
}

// (ia{sv}): an item's id and properties.
void writeItem(MessageWriter& out, int32_t id, const MenuProperties& properties,
               const std::vector<std::string>& names) {
  out.container('(', nullptr, [&](MessageWriter& item) {
    item.int32(id);
    writeProperties(item, properties, names);
  });
}

}  // namespace

DBusMenuExport::DBusMenuExport(LogSink& log, Hooks hooks)
    : DBusObject(log, kPath, "the menu"), _hooks(std::move(hooks)) {
  auto answer = [this](void (DBusMenuExport::*handler)(DBusMessage*, MessageReader&)) {
    return [this, handler](DBusMessage* call, MessageReader& arguments) {
      (this->*handler)(call, arguments);
    };
  };
  declare(
      {kInterface,
       {{"GetLayout",
         {{"parentId", "i"}, {"recursionDepth", "i"}, {"propertyNames", "as"}},
         {{"revision", "u"}, {"layout", "(ia{sv}av)"}},
         answer(&DBusMenuExport::getLayout)},
        {"GetGroupProperties",
         {{"ids", "ai"}, {"propertyNames", "as"}},
         {{"properties", "a(ia{sv})"}},
         answer(&DBusMenuExport::getGroupProperties)},
        {"GetProperty",
         {{"id", "i"}, {"name", "s"}},
         {{"value", "v"}},
         answer(&DBusMenuExport::getProperty)},
        {"Event",
         {{"id", "i"}, {"eventId", "s"}, {"data", "v"}, {"timestamp", "u"}},
         {},
         answer(&DBusMenuExport::event)},
        {"EventGroup",
         {{"events", "a(isvu)"}},
         {{"idErrors", "ai"}},
         answer(&DBusMenuExport::eventGroup)},
        {"AboutToShow", {{"id", "i"}}, {{"needUpdate", "b"}}, answer(&DBusMenuExport::aboutToShow)},
        {"AboutToShowGroup",
         {{"ids", "ai"}},
         {{"updatesNeeded", "ai"}, {"idErrors", "ai"}},
         answer(&DBusMenuExport::aboutToShowGroup)}},
       {{"Version", "u", [](MessageWriter& out) { out.uint32(3); }},
        {"TextDirection", "s", [](MessageWriter& out) { out.string("ltr"); }},
        {"Status", "s", [](MessageWriter& out) { out.string("normal"); }},
        {"IconThemePath", "as", [](MessageWriter& out) { out.container('a', "s", [](auto&) {}); }}},
       {{"ItemsPropertiesUpdated", {{"updatedProps", "a(ia{sv})"}, {"removedProps", "a(ias)"}}},
        {"LayoutUpdated", {{"revision", "u"}, {"parent", "i"}}},
        {"ItemActivationRequested", {{"id", "i"}, {"timestamp", "u"}}}}});
}

void DBusMenuExport::setRows(const MenuRows& rows) {
  if (_menu.setRows(rows)) scheduleSignals();
}

void DBusMenuExport::scheduleSignals() {
  if (_signalsScheduled) return;
  _signalsScheduled = true;
  QTimer::singleShot(0, this, [this] { sendSignals(); });
}

void DBusMenuExport::sendSignals() {
  _signalsScheduled = false;
  ExportedMenu::Signals pending = _menu.takeSignals();
  if (pending.empty()) return;
  if (!pending.properties.empty()) {
    emitSignal("ItemsPropertiesUpdated", [&](MessageWriter& out) {
      out.container('a', "(ia{sv})", [&](MessageWriter& updated) {
        for (const ExportedMenu::Signals::Changed& changed : pending.properties) {
          if (!changed.updated.empty()) writeItem(updated, changed.id, changed.updated, {});
        }
      });
      out.container('a', "(ias)", [&](MessageWriter& removed) {
        for (const ExportedMenu::Signals::Changed& changed : pending.properties) {
          if (changed.removed.empty()) continue;
          removed.container('(', nullptr, [&](MessageWriter& keys) {
            keys.int32(changed.id);
            keys.container('a', "s", [&](MessageWriter& names) {
              for (const std::string& name : changed.removed) names.string(name);
            });
          });
        }
      });
    });
  }
  if (pending.layout) {
    emitSignal("LayoutUpdated", [&](MessageWriter& out) {
      out.uint32(*pending.layout);
      out.int32(0);
    });
  }
}

bool DBusMenuExport::open() {
  uint64_t before = _menu.changes();
  _open = true;
  if (_hooks.opening) _hooks.opening();
  return _menu.changes() != before;
}

void DBusMenuExport::handle(int id, const std::string& eventId) {
  if (eventId == "clicked") {
    std::optional<std::string> key = _menu.keyOf(id);
    if (!key) return;
    // After the reply: the choice may ask a question and run the loop.
    QTimer::singleShot(0, this, [this, key = *key] {
      if (_hooks.chosen) _hooks.chosen(key);
    });
  } else if (id == ExportedMenu::kRootId && eventId == "opened") {
    // Hosts that sent AboutToShow first have had their opening.
    if (!_open) open();
  } else if (id == ExportedMenu::kRootId && eventId == "closed") {
    if (!_open) return;
    _open = false;
    if (_hooks.closed) _hooks.closed();
  }
}

void DBusMenuExport::unknownId(DBusMessage* call, int id) {
  invalidArguments(call, "No menu item has the id " + std::to_string(id));
}

void DBusMenuExport::getLayout(DBusMessage* call, MessageReader& arguments) {
  int parent = arguments.int32();
  bool children = arguments.int32() != 0;
  std::vector<std::string> names = arguments.strings();
  if (!_layout || _layout->changes != _menu.changes() || _layout->parent != parent ||
      _layout->children != children || _layout->names != names) {
    const MenuProperties* properties = nullptr;
    bool listed = false;  // a row has no submenu
    if (parent == ExportedMenu::kRootId) {
      properties = &_menu.rootProperties();
      listed = children;
    } else if (const ExportedMenu::Item* item = _menu.find(parent)) {
      properties = &item->properties;
    } else {
      return unknownId(call, parent);
    }
    Message reply(dbus_message_new_method_return(call));
    if (!reply) return;
    MessageWriter out(reply.get());
    out.uint32(_menu.revision());
    out.container('(', nullptr, [&](MessageWriter& layout) {
      layout.int32(parent);
      writeProperties(layout, *properties, names);
      layout.container('a', "v", [&](MessageWriter& rows) {
        if (!listed) return;
        for (const ExportedMenu::Item& item : _menu.items()) {
          rows.variant("(ia{sv}av)", [&](MessageWriter& row) {
            row.container('(', nullptr, [&](MessageWriter& fields) {
              fields.int32(item.id);
              writeProperties(fields, item.properties, names);
              fields.container('a', "v", [](MessageWriter&) {});
            });
          });
        }
      });
    });
    _layout = LayoutReply{_menu.changes(), parent, children, std::move(names), std::move(reply)};
  }
  if (dbus_message_get_no_reply(call)) return;
  // The same bytes, addressed to this call.
  Message again(dbus_message_copy(_layout->reply.get()));
  if (!again || !dbus_message_set_reply_serial(again.get(), dbus_message_get_serial(call)) ||
      !dbus_message_set_destination(again.get(), dbus_message_get_sender(call))) {
    return;
  }
  send(again.get());
}
void DBusMenuExport::getGroupProperties(DBusMessage* call, MessageReader& arguments) {
  std::vector<int32_t> ids = arguments.int32s();
  std::vector<std::string> names = arguments.strings();
  reply(call, [&](MessageWriter& out) {
    out.container('a', "(ia{sv})", [&](MessageWriter& found) {
      if (ids.empty()) {
        for (const ExportedMenu::Item& item : _menu.items()) {
          writeItem(found, item.id, item.properties, names);
        }
      }
      for (int32_t id : ids) {
        if (id == ExportedMenu::kRootId) {
          writeItem(found, id, _menu.rootProperties(), names);
        } else if (const ExportedMenu::Item* item = _menu.find(id)) {
          writeItem(found, id, item->properties, names);
        }
      }
    });
  });
}

void DBusMenuExport::getProperty(DBusMessage* call, MessageReader& arguments) {
  int id = arguments.int32();
  const MenuProperties* properties = nullptr;
  if (id == ExportedMenu::kRootId) {
    properties = &_menu.rootProperties();
  } else if (const ExportedMenu::Item* item = _menu.find(id)) {
    properties = &item->properties;
  } else {
    return unknownId(call, id);
  }
  std::string name = arguments.string();
  auto value = properties->find(name);
  // A property left out for its default is still the item's.
  std::optional<MenuPropertyValue> found =
      value != properties->end() ? value->second : dbusmenuDefault(name);
  if (!found) return invalidArguments(call, "The item has no such property");
  reply(call, [&](MessageWriter& out) { writeValue(out, *found); });
}

void DBusMenuExport::event(DBusMessage* call, MessageReader& arguments) {
  int id = arguments.int32();
  std::string eventId = arguments.string();
  reply(call);
  handle(id, eventId);
}

void DBusMenuExport::eventGroup(DBusMessage* call, MessageReader& arguments) {
  std::vector<std::pair<int32_t, std::string>> events;
  for (MessageReader list = arguments.enter(); !list.atEnd();) {
    MessageReader event = list.enter();
    int32_t id = event.int32();
    events.emplace_back(id, event.string());
  }
  reply(call, [&](MessageWriter& out) {
    out.container('a', "i", [&](MessageWriter& errors) {
      for (const auto& [id, eventId] : events) {
        if (!knownId(id)) errors.int32(id);
      }
    });
  });
  for (const auto& [id, eventId] : events) {
    if (knownId(id)) handle(id, eventId);
  }
}

void DBusMenuExport::aboutToShow(DBusMessage* call, MessageReader& arguments) {
  int id = arguments.int32();
  bool update = false;  // a row has no submenu
  if (id == ExportedMenu::kRootId) {
    update = open();
  } else if (!knownId(id)) {
    return unknownId(call, id);
  }
  reply(call, [update](MessageWriter& out) { out.boolean(update); });
}

void DBusMenuExport::aboutToShowGroup(DBusMessage* call, MessageReader& arguments) {
  std::vector<int32_t> errors;
  bool root = false;
  for (int32_t id : arguments.int32s()) {
    if (id == ExportedMenu::kRootId) {
      root = true;
    } else if (!knownId(id)) {
      errors.push_back(id);
    }
  }
  bool update = root && open();
  reply(call, [&](MessageWriter& out) {
    out.container('a', "i", [&](MessageWriter& updates) {
      if (update) updates.int32(ExportedMenu::kRootId);
    });
    out.container('a', "i", [&](MessageWriter& list) {
      for (int32_t id : errors) list.int32(id);
    });
  });
}

}  // namespace kestrond
