// Text helpers for user-visible and logged sentences.
//
// formatText() fills the monitor's formats: "%@" takes the next argument as
// text and "%d" the next argument as an integer, "%%" is a literal "%". It is
// used instead of printf because formats come from translation catalogs,
// which must never be able to make the program read arguments it was not
// given. localizedString() looks a text up in the program's gettext catalog
// with the English text as key. Any caller may use these.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "Error.h"
#include "Identity.h"

namespace kestrond {

// One argument of formatText(): a string, or an integer shown in decimal.
class FormatArgument {
 public:
  FormatArgument(std::string text) : _text(std::move(text)) {}
  FormatArgument(const char* text) : _text(text ? text : "") {}
  FormatArgument(int value) : _text(std::to_string(value)) {}
  FormatArgument(int64_t value) : _text(std::to_string(value)) {}
  const std::string& text() const { return _text; }

 private:
  std::string _text;
};

// The format with each "%@" and "%d" replaced, in order, by the next
// argument. A placeholder without an argument left yields nothing; surplus
// arguments are ignored; any other "%" sequence is kept as it stands.
std::string formatText(std::string_view format, std::initializer_list<FormatArgument> arguments);

// True when the bytes are well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view bytes);

// The bytes as text a user can read and tell apart: UTF-8 stays as it is,
// and each byte that is not part of well-formed UTF-8 becomes "\xE9" (its
// value in hexadecimal), where a decoder would show the same U+FFFD for
// every one. For names from the file system in titles and questions.
std::string visibleText(std::string_view bytes);

// The program's gettext text domain.
inline constexpr const char* kTextDomain = kProgramName;

// Points the text domain at a catalog directory (a "share/locale" tree) and
// asks for UTF-8 output. The Error when gettext refuses either.
Error bindCatalogDirectory(const std::string& directory);

// The translation of the English text `key`, or `key` itself when there is
// none. Never fails.
std::string localizedString(const std::string& key);

// The translation of the English text counted by `count`, in the form the
// language uses for that number ("%d servers" has one form in English for 1
// and one for the rest, other languages more), or the English form itself.
// Never fails.
std::string localizedPlural(const char* singular, const char* plural, unsigned long count);

// Marks an English text that is looked up later, so that the catalog
// template picks it up; returns it unchanged.
constexpr const char* textKey(const char* key) {
  return key;
}

}  // namespace kestrond
