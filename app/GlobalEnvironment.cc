#include "GlobalEnvironment.h"

#include <stdlib.h>

#include <optional>

#include "KestrondManager.h"
#include "Log.h"
#include "Paths.h"
#include "Text.h"

namespace kestrond {
namespace {

std::optional<std::string> locateHome(const std::string& bundlePath) {
  if (const char* value = getenv("KESTROND_HOME"); value && isValidUtf8(value)) {
    std::string resolved = resolveSymlinks(value);
    if (isDirectoryPath(resolved)) return resolved;
  }
  std::string bundled = appendPathComponent(bundlePath, "Contents/kestrond");
  if (isDirectoryPath(bundled)) return bundled;
  return std::nullopt;
}

void prependDirectory(const char* variable, const std::string& directory) {
  if (!isDirectoryPath(directory)) return;
  std::string value = directory;
  if (const char* previous = getenv(variable)) value += std::string(":") + previous;
  setenv(variable, value.c_str(), 1);
}

void setIfUnsetAndFile(const char* variable, const std::string& file) {
  if (getenv(variable) == nullptr && isNonDirectoryPath(file)) setenv(variable, file.c_str(), 1);
}

}  // namespace

void setupGlobalEnvironment(KestrondManager& manager, const std::string& bundlePath) {
  std::optional<std::string> home = locateHome(bundlePath);
  if (!home) {
    logLine("Kestrond installation not found");
    return;
  }
  setenv("KESTROND_HOME", home->c_str(), 1);
  prependDirectory("PATH", appendPathComponent(*home, "bin"));
  prependDirectory("LD_LIBRARY_PATH", appendPathComponent(*home, "lib"));
  setIfUnsetAndFile("ODBCINI", appendPathComponent(*home, "bin/odbc.ini"));
  setIfUnsetAndFile("ODBCINSTINI", appendPathComponent(*home, "bin/odbcinst.ini"));
  manager.addSearchPath(*home);
}

}  // namespace kestrond
