#include "Desktop.h"

#include <cstdio>

namespace kestrond {

MenuRow MenuRow::separatorRow(std::string key) {
  MenuRow row;
  row.key = std::move(key);
  row.separator = true;
  return row;
}

const MenuRow* chosenRow(const MenuRows& rows, const std::string& key, LogSink& log) {
  for (const MenuRow& row : rows) {
    if (row.key == key && !row.separator) return &row;
  }
  log.write("A menu choice arrived for a row that is no longer in the menu (" + key +
            "); nothing done");
  return nullptr;
}

Desktop::Desktop(LogSink& log) : _log(log) {}

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
