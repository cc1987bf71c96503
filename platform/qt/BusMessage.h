// D-Bus messages of the status item's own connection (libdbus): an owning
// handle, and a writer and a reader of their arguments. The writer turns any
// text that is not UTF-8 into a readable form, since a message with such a
// string is refused whole; the reader reads arguments whose signature was
// checked, and gives zero values past the end. Used by BusConnection and the
// objects served on it. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <dbus/dbus.h>

namespace kestrond {

struct MessageRelease {
  void operator()(DBusMessage* message) const { dbus_message_unref(message); }
};
// An owned reference to a message; null where libdbus had no memory.
using Message = std::unique_ptr<DBusMessage, MessageRelease>;

class MessageWriter {
 public:
  // Appends to the end of `message`'s arguments.
  explicit MessageWriter(DBusMessage* message);

  void boolean(bool value);
  void int32(int32_t value);
  void uint32(uint32_t value);
  void string(const std::string& text);
  void objectPath(const char* path);
  void bytes(const void* data, int size);  // ay
  // A container: 'a' of `contained`, '(' (a struct), '{' (a dict entry), or
  // 'v' holding `contained`; `fill` writes its members.
  void container(char kind, const char* contained, const std::function<void(MessageWriter&)>& fill);
  // v holding one value of `type` that `fill` writes.
  void variant(const char* type, const std::function<void(MessageWriter&)>& fill) {
    container('v', type, fill);
  }

 private:
  MessageWriter() = default;
  DBusMessageIter _iter;
};

class MessageReader {
 public:
  explicit MessageReader(DBusMessage* message);

  bool boolean();
  int32_t int32();
  uint32_t uint32();
  std::string string();
  // An array of strings or of int32, read whole.
  std::vector<std::string> strings();
  std::vector<int32_t> int32s();
  // The members of the container (struct, array or variant) here.
  MessageReader enter();
  bool atEnd() const;
  // The D-Bus type code of the value here (DBUS_TYPE_INVALID at the end).
  int type() const;
  // Moves past the value here without reading it.
  void skip();

 private:
  MessageReader() = default;
  DBusMessageIter _iter;
  bool _valid = false;
};

}  // namespace kestrond
