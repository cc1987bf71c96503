#include "Text.h"

#include <errno.h>
#include <libintl.h>

namespace kestrond {

std::string formatText(std::string_view format, std::initializer_list<FormatArgument> arguments) {
  std::string result;
  result.reserve(format.size() + 32);
  auto next = arguments.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      result += c;
      continue;
    }
    char directive = format[i + 1];
    if (directive == '@' || directive == 'd') {
      if (next != arguments.end()) {
        result += next->text();
        ++next;
      }
      ++i;
    } else if (directive == '%') {
      result += '%';
      ++i;
    } else {
      result += c;
    }
  }
  return result;
}

namespace {

// The length of the well-formed UTF-8 sequence at `i`, or 0 when the byte
// there starts none (no overlong forms, no surrogates, nothing above
// U+10FFFF).
size_t utf8SequenceAt(std::string_view bytes, size_t i) {
  unsigned char lead = static_cast<unsigned char>(bytes[i]);
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t codePoint;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    unsigned char continuation = static_cast<unsigned char>(bytes[i + k]);
    if ((continuation & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (continuation & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
      (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
    return 0;
  }
  return length;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    size_t length = utf8SequenceAt(bytes, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string visibleText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    if (size_t length = utf8SequenceAt(bytes, i)) {
      text.append(bytes.substr(i, length));
      i += length;
      continue;
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    unsigned char byte = static_cast<unsigned char>(bytes[i++]);
    text += "\\x";
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

Error bindCatalogDirectory(const std::string& directory) {
  if (!bindtextdomain(kTextDomain, directory.c_str())) {
    return Error(errno, "Cannot use the catalogs in " + directory);
  }
  if (!bind_textdomain_codeset(kTextDomain, "UTF-8")) {
    return Error(errno, "Cannot ask the catalogs for UTF-8");
  }
  return Error();
}

std::string localizedString(const std::string& key) {
  // gettext maps the empty key to the catalog header; it is never a text.
  if (key.empty()) return key;
  return dgettext(kTextDomain, key.c_str());
}

std::string localizedPlural(const char* singular, const char* plural, unsigned long count) {
  return dngettext(kTextDomain, singular, plural, count);
}

}  // namespace kestrond
