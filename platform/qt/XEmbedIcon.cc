#include "XEmbedIcon.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QToolTip>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Environment.h"
#include "Identity.h"
#include "PointerMenu.h"

namespace kestrond {
namespace {

// The system tray protocol's request, and XEmbed's "map me once docked".
constexpr uint32_t kRequestDock = 0;
constexpr uint32_t kXEmbedMapped = 1;

xcb_connection_t* xConnection() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  return x11 ? x11->connection() : nullptr;
}

// The X screen of $DISPLAY (":0.1" is screen 1).
int screenNumber() {
  std::optional<std::string> value = environmentValue("DISPLAY");
  if (!value) return 0;
  const char* colon = strrchr(value->c_str(), ':');
  const char* dot = colon ? strchr(colon, '.') : nullptr;
  return dot ? atoi(dot + 1) : 0;
}

xcb_screen_t* xScreen(xcb_connection_t* x) {
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(x));
  for (int skip = screenNumber(); skip > 0 && screens.rem > 1; --skip) xcb_screen_next(&screens);
  return screens.data;
}

std::vector<xcb_atom_t> internAtoms(xcb_connection_t* x, const std::vector<std::string>& names) {
  std::vector<xcb_intern_atom_cookie_t> cookies;
  for (const std::string& name : names) {
    cookies.push_back(xcb_intern_atom(x, 0, name.size(), name.c_str()));
  }
  std::vector<xcb_atom_t> atoms;
  for (xcb_intern_atom_cookie_t cookie : cookies) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(x, cookie, nullptr);
    atoms.push_back(reply ? reply->atom : XCB_NONE);
    free(reply);
  }
  return atoms;
}

std::string traySelection() {
  return "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber());
}

xcb_window_t selectionOwner(xcb_connection_t* x, xcb_atom_t selection) {
  xcb_get_selection_owner_reply_t* reply =
      xcb_get_selection_owner_reply(x, xcb_get_selection_owner(x, selection), nullptr);
  xcb_window_t owner = reply ? reply->owner : XCB_NONE;
  free(reply);
  return owner;
}

// Bits per pixel of the server's pixmaps at `depth`; 0 when it has none.
int bitsPerPixel(const xcb_setup_t* setup, uint8_t depth) {
  xcb_format_iterator_t formats = xcb_setup_pixmap_formats_iterator(setup);
  for (; formats.rem; xcb_format_next(&formats)) {
    if (formats.data->depth == depth) return formats.data->bits_per_pixel;
  }
  return 0;
}

}  // namespace

bool xembedTrayPresent() {
  xcb_connection_t* x = xConnection();
  if (!x) return false;
  xcb_atom_t selection = internAtoms(x, {traySelection()})[0];
  return selection != XCB_NONE && selectionOwner(x, selection) != XCB_NONE;
}

XEmbedIcon::XEmbedIcon(PointerMenu& menu, Picture picture, QString toolTip)
    : _menu(menu), _picture(std::move(picture)), _toolTip(std::move(toolTip)) {
  _x = xConnection();
  if (!_x) return;
  std::vector<xcb_atom_t> atoms = internAtoms(
      _x, {traySelection(), "_NET_SYSTEM_TRAY_OPCODE", "MANAGER", "_XEMBED_INFO", "_NET_WM_PID"});
  _selection = atoms[0];
  _opcode = atoms[1];
  _managerAtom = atoms[2];
  createWindow(atoms[3], atoms[4]);
  QCoreApplication::instance()->installNativeEventFilter(this);
  dock();
  xcb_flush(_x);
}

XEmbedIcon::~XEmbedIcon() {
  if (!_x) return;
  QCoreApplication::instance()->removeNativeEventFilter(this);
  QToolTip::hideText();
  // The tray forgets an icon whose window is gone.
  xcb_destroy_window(_x, _window);
  xcb_flush(_x);
}

void XEmbedIcon::createWindow(xcb_atom_t xembedInfo, xcb_atom_t wmPid) {
  xcb_screen_t* screen = xScreen(_x);
  _root = screen->root;
  // A new tray manager announces itself to the root window's structure
  // listeners; that selection is added to whatever the program asked for.
  xcb_get_window_attributes_reply_t* attributes =
      xcb_get_window_attributes_reply(_x, xcb_get_window_attributes(_x, _root), nullptr);
  uint32_t rootMask =
      (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  free(attributes);
  xcb_change_window_attributes(_x, _root, XCB_CW_EVENT_MASK, &rootMask);

  // The tray's own background shows through where the badge is
  // transparent.
  _window = xcb_generate_id(_x);
  const uint32_t values[] = {XCB_BACK_PIXMAP_PARENT_RELATIVE,
                             XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_BUTTON_PRESS |
                                 XCB_EVENT_MASK_ENTER_WINDOW | XCB_EVENT_MASK_LEAVE_WINDOW |
                                 XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(_x, XCB_COPY_FROM_PARENT, _window, _root, 0, 0, _width, _height, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT,
                    XCB_CW_BACK_PIXMAP | XCB_CW_EVENT_MASK, values);
  const uint32_t info[] = {0, kXEmbedMapped};
  xcb_change_property(_x, XCB_PROP_MODE_REPLACE, _window, xembedInfo, xembedInfo, 32, 2, info);
  // A tray sizes its sockets by the icon's minimum size, 1×1 without one.
  constexpr uint32_t kMinSize = 16, kBaseSize = 256;
  uint32_t sizeHints[18] = {kMinSize | kBaseSize};
  sizeHints[5] = sizeHints[15] = _width;
  sizeHints[6] = sizeHints[16] = _height;
  xcb_change_property(_x, XCB_PROP_MODE_REPLACE, _window, XCB_ATOM_WM_NORMAL_HINTS,
                      XCB_ATOM_WM_SIZE_HINTS, 32, 18, sizeHints);
  std::string name = kProgramName;
  std::string wmClass = name + '\0' + name + '\0';
  xcb_change_property(_x, XCB_PROP_MODE_REPLACE, _window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                      wmClass.size(), wmClass.data());
  xcb_change_property(_x, XCB_PROP_MODE_REPLACE, _window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      name.size(), name.data());
  // Whose window this is, for the tools that find a program's windows by
  // its pid; the pid means something only with the machine it runs on.
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) == 0) {
    xcb_change_property(_x, XCB_PROP_MODE_REPLACE, _window, XCB_ATOM_WM_CLIENT_MACHINE,
                        XCB_ATOM_STRING, 8, strlen(host), host);
    const uint32_t pid = uint32_t(getpid());
    xcb_change_property(_x, XCB_PROP_MODE_REPLACE, _window, wmPid, XCB_ATOM_CARDINAL, 32, 1, &pid);
  }
}

void XEmbedIcon::dock() {
  xcb_window_t manager = selectionOwner(_x, _selection);
  if (manager == XCB_NONE) return;  // its MANAGER message will say when one comes
  xcb_client_message_event_t request{};
  request.response_type = XCB_CLIENT_MESSAGE;
  request.format = 32;
  request.window = manager;
  request.type = _opcode;
  request.data.data32[0] = XCB_CURRENT_TIME;
  request.data.data32[1] = kRequestDock;
  request.data.data32[2] = _window;
  xcb_send_event(_x, 0, manager, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&request));
}

void XEmbedIcon::setPicture(Picture picture) {
  _picture = std::move(picture);
  if (_x) {
    draw();
    xcb_flush(_x);
  }
}

void XEmbedIcon::draw() {
  const xcb_setup_t* setup = xcb_get_setup(_x);
  xcb_screen_t* screen = xScreen(_x);
  // Drawn as 32-bit pixels in the server's byte order, with the badge's
  // alpha as a one-bit clip mask: the common 24-bit TrueColor screen.
  if (screen->root_depth != 24 || bitsPerPixel(setup, 24) != 32 ||
      setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
    return;
  }
  int side = std::min(_width, _height);
  // The window is measured in device pixels: the picture is asked for at
  // that size, whatever scale the program draws its own windows at.
  QImage badge = _picture(side).convertToFormat(QImage::Format_ARGB32);
  if (badge.isNull()) return;
  int width = badge.width();
  int height = badge.height();
  int left = (_width - width) / 2;
  int top = (_height - height) / 2;

  int pad = setup->bitmap_format_scanline_pad;
  int maskStride = (width + pad - 1) / pad * pad / 8;
  bool lsbBits = setup->bitmap_format_bit_order == XCB_IMAGE_ORDER_LSB_FIRST;
  std::vector<uint8_t> mask(size_t(maskStride) * height);
  std::vector<uint32_t> pixels(size_t(width) * height);
  for (int y = 0; y < height; ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(badge.constScanLine(y));
    for (int x = 0; x < width; ++x) {
      pixels[size_t(y) * width + x] = line[x] & 0xffffff;
      if (qAlpha(line[x]) >= 128) {
        mask[size_t(y) * maskStride + x / 8] |= uint8_t(lsbBits ? 1u << (x % 8) : 0x80u >> (x % 8));
      }
    }
  }
  xcb_pixmap_t clip = xcb_generate_id(_x);
  xcb_create_pixmap(_x, 1, clip, _window, width, height);
  xcb_gcontext_t maskGc = xcb_generate_id(_x);
  xcb_create_gc(_x, maskGc, clip, 0, nullptr);
  xcb_put_image(_x, XCB_IMAGE_FORMAT_XY_PIXMAP, clip, maskGc, width, height, 0, 0, 0, 1,
                mask.size(), mask.data());
  xcb_gcontext_t gc = xcb_generate_id(_x);
  const uint32_t clipValues[] = {uint32_t(left), uint32_t(top), clip};
  xcb_create_gc(_x, gc, _window, XCB_GC_CLIP_ORIGIN_X | XCB_GC_CLIP_ORIGIN_Y | XCB_GC_CLIP_MASK,
                clipValues);
  xcb_clear_area(_x, 0, _window, 0, 0, 0, 0);
  xcb_put_image(_x, XCB_IMAGE_FORMAT_Z_PIXMAP, _window, gc, width, height, left, top, 0, 24,
                pixels.size() * sizeof(uint32_t), reinterpret_cast<const uint8_t*>(pixels.data()));
  xcb_free_gc(_x, gc);
  xcb_free_gc(_x, maskGc);
  xcb_free_pixmap(_x, clip);
}

bool XEmbedIcon::nativeEventFilter(const QByteArray& type, void* message, qintptr*) {
  if (type != "xcb_generic_event_t") return false;
  auto* event = static_cast<xcb_generic_event_t*>(message);
  switch (event->response_type & 0x7f) {
    case XCB_CLIENT_MESSAGE: {
      auto* client = reinterpret_cast<xcb_client_message_event_t*>(event);
      // Qt follows the announcement too: it is left to it.
      if (client->window == _root && client->type == _managerAtom &&
          client->data.data32[1] == _selection) {
        dock();
        xcb_flush(_x);
      }
      return false;
    }
    case XCB_EXPOSE: {
      auto* expose = reinterpret_cast<xcb_expose_event_t*>(event);
      if (expose->window != _window) return false;
      if (expose->count == 0) draw();
      break;
    }
    case XCB_CONFIGURE_NOTIFY: {
      auto* configure = reinterpret_cast<xcb_configure_notify_event_t*>(event);
      if (configure->window != _window) return false;
      _width = configure->width;
      _height = configure->height;
      break;
    }
    case XCB_REPARENT_NOTIFY: {
      auto* reparent = reinterpret_cast<xcb_reparent_notify_event_t*>(event);
      if (reparent->window != _window) return false;
      // Back on the root: the tray went, and the server handed its icons
      // back to the screen (mapped, on some servers). It waits unseen for
      // the next tray.
      if (reparent->parent == _root) xcb_unmap_window(_x, _window);
      break;
    }
    case XCB_BUTTON_PRESS: {
      auto* press = reinterpret_cast<xcb_button_press_event_t*>(event);
      if (press->event != _window) return false;
      if (press->detail == 1 || press->detail == 3) {
        QToolTip::hideText();
        _menu.popupAtPointer();
      }
      break;
    }
    case XCB_ENTER_NOTIFY: {
      auto* enter = reinterpret_cast<xcb_enter_notify_event_t*>(event);
      if (enter->event != _window) return false;
      QToolTip::showText(QCursor::pos(), _toolTip);
      break;
    }
    case XCB_LEAVE_NOTIFY: {
      auto* leave = reinterpret_cast<xcb_leave_notify_event_t*>(event);
      if (leave->event != _window) return false;
      QToolTip::hideText();
      break;
    }
    default:
      return false;
  }
  xcb_flush(_x);
  return true;
}

}  // namespace kestrond
