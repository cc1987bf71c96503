#include "Error.h"

#include <string.h>

namespace kestrond {

std::string Error::text() const {
  if (!_failed) return "";
  if (_code == 0) return _context;
  if (_context.empty()) return errnoText(_code);
  return _context + ": " + errnoText(_code);
}

std::string errnoText(int code) {
  char buffer[256];
  // GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : "errno " + std::to_string(code);
}

}  // namespace kestrond
