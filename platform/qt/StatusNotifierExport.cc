#include "StatusNotifierExport.h"

#include <QTimer>

#include "DBusMenuExport.h"
#include "Identity.h"

namespace kestrond {
namespace {

constexpr const char* kInterface = "org.kde.StatusNotifierItem";

}  // namespace

StatusNotifierExport::StatusNotifierExport(LogSink& log, Hooks hooks)
    : DBusObject(log, kPath, "the status item"), _hooks(std::move(hooks)) {
  auto text = [](std::string value) { return [value](MessageWriter& out) { out.string(value); }; };
  auto none = [](MessageWriter& out) { out.container('a', "(iiay)", [](MessageWriter&) {}); };
  auto pixmaps = [this](MessageWriter& out) { writePixmaps(out); };
  auto ignored = [this](DBusMessage* call, MessageReader&) { reply(call); };
  declare(
      {kInterface,
       {{"ContextMenu",
         {{"x", "i"}, {"y", "i"}},
         {},
         [this](DBusMessage* call, MessageReader& arguments) { click(call, arguments, false); }},
        {"Activate",
         {{"x", "i"}, {"y", "i"}},
         {},
         [this](DBusMessage* call, MessageReader& arguments) { click(call, arguments, true); }},
        // A middle click, or the wheel, means nothing here.
        {"SecondaryActivate", {{"x", "i"}, {"y", "i"}}, {}, ignored},
        {"Scroll", {{"delta", "i"}, {"orientation", "s"}}, {}, ignored},
        {"ProvideXdgActivationToken",
         {{"token", "s"}},
         {},
         [this](DBusMessage* call, MessageReader& arguments) {
           std::string token = arguments.string();
           if (_hooks.activationToken) _hooks.activationToken(QString::fromStdString(token));
           reply(call);
         }}},
       {{"Category", "s", text("ApplicationStatus")},
        {"Id", "s", text(kProgramName)},
        {"Title", "s", text(kApplicationName)},
        {"Status", "s",
         [this](MessageWriter& out) { out.string(_needsAttention ? "NeedsAttention" : "Active"); }},
        {"WindowId", "i", [](MessageWriter& out) { out.int32(0); }},
        {"IconThemePath", "s", text("")},
        {"IconName", "s", text("")},
        {"IconPixmap", "a(iiay)", pixmaps},
        {"OverlayIconName", "s", text("")},
        {"OverlayIconPixmap", "a(iiay)", none},
        {"AttentionIconName", "s", text("")},
        // The same picture: the mark already tells what happened.
        {"AttentionIconPixmap", "a(iiay)", pixmaps},
        {"AttentionMovieName", "s", text("")},
        {"ToolTip", "(sa(iiay)ss)",
         [this](MessageWriter& out) {
           // Hosts read the texts as markup; they are plain text.
           out.container('(', nullptr, [this](MessageWriter& tip) {
             tip.string("");
             tip.container('a', "(iiay)", [](MessageWriter&) {});
             tip.string(_toolTipTitle.toHtmlEscaped().toStdString());
             tip.string(_toolTipDescription.toHtmlEscaped().toStdString());
           });
         }},
        {"ItemIsMenu", "b", [](MessageWriter& out) { out.boolean(false); }},
        {"Menu", "o", [](MessageWriter& out) { out.objectPath(DBusMenuExport::kPath); }}},
       {{"NewTitle", {}},
        {"NewIcon", {}},
        {"NewAttentionIcon", {}},
        {"NewOverlayIcon", {}},
        {"NewToolTip", {}},
        {"NewStatus", {{"status", "s"}}}}});
}

void StatusNotifierExport::writePixmaps(MessageWriter& out) const {
  out.container('a', "(iiay)", [this](MessageWriter& list) {
    for (const IconPixmap& pixmap : _pixmaps) {
      list.container('(', nullptr, [&](MessageWriter& picture) {
        picture.int32(pixmap.width);
        picture.int32(pixmap.height);
        picture.bytes(pixmap.bytes.constData(), int(pixmap.bytes.size()));
      });
    }
  });
}

void StatusNotifierExport::setIcon(std::vector<IconPixmap> pixmaps) {
  _pixmaps = std::move(pixmaps);
  emitSignal("NewIcon");
  emitSignal("NewAttentionIcon");
}

void StatusNotifierExport::setToolTip(const QString& title, const QString& description) {
  if (title == _toolTipTitle && description == _toolTipDescription) return;
  _toolTipTitle = title;
  _toolTipDescription = description;
  emitSignal("NewToolTip");
}

void StatusNotifierExport::setNeedsAttention(bool attention) {
  if (attention == _needsAttention) return;
  _needsAttention = attention;
  emitSignal("NewStatus", [attention](MessageWriter& out) {
    out.string(attention ? "NeedsAttention" : "Active");
  });
}

void StatusNotifierExport::click(DBusMessage* call, MessageReader& arguments, bool activate) {
  int x = arguments.int32();
  int y = arguments.int32();
  reply(call);
  // An Activate only arms the grace for the host's own menu, at once: a
  // host opening its menu in the same loop turn must find it armed. A
  // context menu runs the menu's loop, so it waits for the next turn.
  if (activate) {
    if (_hooks.activate) _hooks.activate(x, y);
  } else if (const auto& hook = _hooks.contextMenu) {
    QTimer::singleShot(0, this, [hook, x, y] { hook(x, y); });
  }
}

}  // namespace kestrond
