#include "GlobalEnvironment.h"

#include <optional>

#include "Environment.h"
#include "KestrondManager.h"
#include "Paths.h"
#include "Text.h"

namespace kestrond {
namespace {

std::optional<std::string> locateHome(const std::string& bundlePath) {
  if (std::optional<std::string> value = environmentValue("KESTROND_HOME");
      value && isValidUtf8(*value)) {
    std::string resolved = resolveSymlinks(*value);
    if (isDirectoryPath(resolved)) return resolved;
  }
  std::string bundled = appendPathComponent(bundlePath, "Contents/kestrond");
  if (isDirectoryPath(bundled)) return bundled;
  return std::nullopt;
}

void set(const char* variable, const std::string& value, LogSink& log) {
  if (Error error = setEnvironmentValue(variable, value); error.failed()) log.write(error.text());
}

void prependDirectory(const char* variable, const std::string& directory, LogSink& log) {
  if (!isDirectoryPath(directory)) return;
  std::string value = directory;
  if (std::optional<std::string> previous = environmentValue(variable)) value += ":" + *previous;
  set(variable, value, log);
}

void setIfUnsetAndFile(const char* variable, const std::string& file, LogSink& log) {
  if (!environmentValue(variable) && isNonDirectoryPath(file)) set(variable, file, log);
}

}  // namespace

void setupGlobalEnvironment(KestrondManager& manager, const std::string& bundlePath, LogSink& log) {
  std::optional<std::string> home = locateHome(bundlePath);
  if (!home) {
    log.write("Kestrond installation not found");
    return;
  }
  set("KESTROND_HOME", *home, log);
  prependDirectory("PATH", appendPathComponent(*home, "bin"), log);
  prependDirectory("LD_LIBRARY_PATH", appendPathComponent(*home, "lib"), log);
  setIfUnsetAndFile("ODBCINI", appendPathComponent(*home, "bin/odbc.ini"), log);
  setIfUnsetAndFile("ODBCINSTINI", appendPathComponent(*home, "bin/odbcinst.ini"), log);
  manager.addSearchPath(*home);
}

}  // namespace kestrond
