// Fuzzes the path helpers on two arbitrary strings: joining gives exactly
// one "/" at the seam, the last component never holds a "/" (but for "/"),
// and standardising is idempotent.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  if (input.find('\0') != std::string::npos) return 0;  // paths are C strings
  size_t split = input.find('\n');
  std::string base = input.substr(0, split);
  std::string component = split == std::string::npos ? "" : input.substr(split + 1);

  std::string joined = kestrond::appendPathComponent(base, component);
  if (!base.empty() && !component.empty() && joined.find("//") != std::string::npos &&
      base.find("//") == std::string::npos && component.find("//") == std::string::npos) {
    std::abort();
  }
  std::string last = kestrond::lastPathComponent(joined);
  if (last != "/" && last.find('/') != std::string::npos) std::abort();

  // Under a root that does not exist, realpath() fails at its first lookup,
  // so the result is the lexical standard form whatever else is on disk.
  std::string rooted = "/nonexistent-fuzz-root/" + base;
  std::string once = kestrond::resolveSymlinks(rooted);
  if (once.empty() || once[0] != '/') std::abort();
  if (once.size() > 1 && once.back() == '/') std::abort();
  if (kestrond::resolveSymlinks(once) != once) std::abort();
  return 0;
}
