#include "BundleLocation.h"

#include <limits.h>
#include <unistd.h>

#include "Paths.h"

namespace kestrond {

std::string bundlePathForExecutable(const std::string& executable) {
  std::string above = parentPath(parentPath(executable));
  if (lastPathComponent(above) == "Contents" && above != "/Contents") return parentPath(above);
  return above;
}

std::string currentExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "";
  return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace kestrond
