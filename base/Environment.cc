#include "Environment.h"

#include <errno.h>
#include <stdlib.h>

namespace kestrond {

std::optional<std::string> environmentValue(const char* name) {
  if (const char* value = getenv(name)) return std::string(value);
  return std::nullopt;
}

std::optional<std::string> nonEmptyEnvironmentValue(const char* name) {
  std::optional<std::string> value = environmentValue(name);
  if (value && value->empty()) return std::nullopt;
  return value;
}

Error setEnvironmentValue(const char* name, const std::string& value) {
  if (setenv(name, value.c_str(), 1) == 0) return Error();
  return Error(errno, std::string("Cannot set ") + name);
}

}  // namespace kestrond
