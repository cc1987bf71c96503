#include "Desktop.h"

#include <cstdio>

extern char** environ;

namespace kestrond {

Desktop::Desktop(LogSink& log) : _log(log), _application(*this) {
  for (char** variable = environ; variable && *variable; ++variable) {
    _startupEnvironment.emplace_back(*variable);
  }
}

void SharedApplication::run() {
  _desktop.runEventLoop([this] {
    if (_delegate) _delegate->applicationDidFinishLaunching();
  });
}

void SharedApplication::stop() {
  _desktop.stopEventLoop();
}

bool SharedApplication::tryToPerform(const Action& action, MenuItem&) {
  if (action != kStopAction) return false;
  stop();
  return true;
}

bool SharedApplication::sendAction(MenuItem& item) {
  if (item.action().empty()) return false;
  if (Responder* target = item.target()) return target->tryToPerform(item.action(), item);
  if (tryToPerform(item.action(), item)) return true;
  return _delegate && _delegate->tryToPerform(item.action(), item);
}

std::string fileURLWithPath(const std::string& path, bool isDirectory) {
  std::string url = "file://";
  for (unsigned char c : path) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '/' || c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      url += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      url += escaped;
    }
  }
  if (isDirectory && (url.empty() || url.back() != '/')) url += '/';
  return url;
}

}  // namespace kestrond
