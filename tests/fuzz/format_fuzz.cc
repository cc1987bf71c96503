// Fuzzes the format filler with arbitrary formats (as a translation could
// hold) and up to three arguments: it never reads past its arguments, and
// the result holds no more text than the format and the arguments together.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\x1f');
  std::string format = input.substr(0, cut);
  std::string argument = cut == std::string::npos ? "" : input.substr(cut + 1);
  std::string none = kestrond::formatText(format, {});
  std::string one = kestrond::formatText(format, {argument});
  std::string three = kestrond::formatText(format, {argument, static_cast<int>(size), "x"});
  if (none.size() > format.size()) std::abort();
  if (one.size() > format.size() + argument.size()) std::abort();
  if (three.size() > format.size() + argument.size() + 12) std::abort();
  kestrond::isValidUtf8(input);
  return 0;
}
