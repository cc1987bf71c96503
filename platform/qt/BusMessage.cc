#include "BusMessage.h"

#include "Text.h"

namespace kestrond {

MessageWriter::MessageWriter(DBusMessage* message) {
  dbus_message_iter_init_append(message, &_iter);
}

void MessageWriter::boolean(bool value) {
  dbus_bool_t flag = value ? TRUE : FALSE;
  dbus_message_iter_append_basic(&_iter, DBUS_TYPE_BOOLEAN, &flag);
}

void MessageWriter::int32(int32_t value) {
  dbus_message_iter_append_basic(&_iter, DBUS_TYPE_INT32, &value);
}

void MessageWriter::uint32(uint32_t value) {
  dbus_message_iter_append_basic(&_iter, DBUS_TYPE_UINT32, &value);
}

void MessageWriter::string(const std::string& text) {
  // libdbus refuses a message whose string is not UTF-8 (a directory's
  // name may be any bytes).
  std::string shown = isValidUtf8(text) ? std::string() : visibleText(text);
  const char* value = shown.empty() ? text.c_str() : shown.c_str();
  dbus_message_iter_append_basic(&_iter, DBUS_TYPE_STRING, &value);
}

void MessageWriter::objectPath(const char* path) {
  dbus_message_iter_append_basic(&_iter, DBUS_TYPE_OBJECT_PATH, &path);
}

void MessageWriter::bytes(const void* data, int size) {
  DBusMessageIter array;
  dbus_message_iter_open_container(&_iter, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE_AS_STRING, &array);
  dbus_message_iter_append_fixed_array(&array, DBUS_TYPE_BYTE, &data, size);
  dbus_message_iter_close_container(&_iter, &array);
}

void MessageWriter::container(char kind, const char* contained,
                              const std::function<void(MessageWriter&)>& fill) {
  int type = kind == 'a'   ? DBUS_TYPE_ARRAY
             : kind == '(' ? DBUS_TYPE_STRUCT
             : kind == '{' ? DBUS_TYPE_DICT_ENTRY
                           : DBUS_TYPE_VARIANT;
  bool typed = type == DBUS_TYPE_ARRAY || type == DBUS_TYPE_VARIANT;
  MessageWriter inner;
  dbus_message_iter_open_container(&_iter, type, typed ? contained : nullptr, &inner._iter);
  fill(inner);
  dbus_message_iter_close_container(&_iter, &inner._iter);
}

MessageReader::MessageReader(DBusMessage* message) {
  _valid = dbus_message_iter_init(message, &_iter);
}

int MessageReader::type() const {
  if (!_valid) return DBUS_TYPE_INVALID;
  return dbus_message_iter_get_arg_type(const_cast<DBusMessageIter*>(&_iter));
}

bool MessageReader::atEnd() const {
  return type() == DBUS_TYPE_INVALID;
}

void MessageReader::skip() {
  if (!atEnd()) dbus_message_iter_next(&_iter);
}

bool MessageReader::boolean() {
  dbus_bool_t value = FALSE;
  if (type() == DBUS_TYPE_BOOLEAN) dbus_message_iter_get_basic(&_iter, &value);
  skip();
  return value;
}

int32_t MessageReader::int32() {
  dbus_int32_t value = 0;
  if (type() == DBUS_TYPE_INT32) dbus_message_iter_get_basic(&_iter, &value);
  skip();
  return value;
}

uint32_t MessageReader::uint32() {
  dbus_uint32_t value = 0;
  if (type() == DBUS_TYPE_UINT32) dbus_message_iter_get_basic(&_iter, &value);
  skip();
  return value;
}

std::string MessageReader::string() {
  const char* value = "";
  int here = type();
  if (here == DBUS_TYPE_STRING || here == DBUS_TYPE_OBJECT_PATH) {
    dbus_message_iter_get_basic(&_iter, &value);
  }
  skip();
  return value;
}

MessageReader MessageReader::enter() {
  MessageReader inner;
  int here = type();
  if (here == DBUS_TYPE_STRUCT || here == DBUS_TYPE_ARRAY || here == DBUS_TYPE_VARIANT ||
      here == DBUS_TYPE_DICT_ENTRY) {
    dbus_message_iter_recurse(&_iter, &inner._iter);
    inner._valid = true;
  }
  skip();
  return inner;
}

std::vector<std::string> MessageReader::strings() {
  std::vector<std::string> values;
  for (MessageReader array = enter(); !array.atEnd();) values.push_back(array.string());
  return values;
}

std::vector<int32_t> MessageReader::int32s() {
  std::vector<int32_t> values;
  for (MessageReader array = enter(); !array.atEnd();) values.push_back(array.int32());
  return values;
}

}  // namespace kestrond
