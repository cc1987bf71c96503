// Fuzzes the resolution of autostart entries: any text gives a file URL or
// nothing, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "AutostartEntries.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  auto url = kestrond::resolveDesktopEntry(text, "kestrond-monitor");
  if (url && url->rfind("file:///", 0) != 0) std::abort();
  std::string quoted = kestrond::quoteExecArgument(text);
  if (quoted.empty()) std::abort();
  return 0;
}
