#include "BundleLocation.h"

#include <limits.h>
#include <unistd.h>

namespace kestrond {
namespace {

std::string parentDirectory(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string bundlePathForExecutable(const std::string& executable) {
  std::string ownDirectory = parentDirectory(executable);
  std::string above = parentDirectory(ownDirectory);
  if (lastComponent(above) == "Contents" && above != "/Contents") return parentDirectory(above);
  return above;
}

std::string currentExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return "";
  return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace kestrond
