// Messages of the item's bus connection: what is written is read back with
// its types, and text that is not UTF-8 (a directory may be named with any
// bytes) still goes out, readable, where libdbus would refuse the message.
#include "BusMessage.h"

#include <gtest/gtest.h>

#include "Text.h"

namespace kestrond {
namespace {

Message signal() {
  return Message(dbus_message_new_signal("/MenuBar", "com.canonical.dbusmenu", "Test"));
}

TEST(BusMessage, WrittenValuesReadBackWithTheirTypes) {
  Message message = signal();
  MessageWriter out(message.get());
  out.int32(-7);
  out.uint32(3);
  out.boolean(true);
  out.container('a', "s", [](MessageWriter& names) {
    names.string("label");
    names.string("enabled");
  });
  out.variant("(ia{sv})", [](MessageWriter& item) {
    item.container('(', nullptr, [](MessageWriter& fields) {
      fields.int32(4);
      fields.container('a', "{sv}", [](MessageWriter&) {});
    });
  });
  EXPECT_STREQ(dbus_message_get_signature(message.get()), "iubasv");

  MessageReader in(message.get());
  EXPECT_EQ(in.int32(), -7);
  EXPECT_EQ(in.uint32(), 3u);
  EXPECT_TRUE(in.boolean());
  EXPECT_EQ(in.strings(), (std::vector<std::string>{"label", "enabled"}));
  MessageReader item = in.enter().enter();
  EXPECT_EQ(item.int32(), 4);
  EXPECT_TRUE(in.atEnd());
  // Past the end, or on another type, a read gives the zero value.
  EXPECT_EQ(in.int32(), 0);
  EXPECT_EQ(in.string(), "");
}

TEST(BusMessage, TextThatIsNotUtf8IsSentReadable) {
  for (const std::string& text :
       {std::string("Start Instance 'caf\xE9'"), std::string("ok \xC3")}) {
    Message message = signal();
    MessageWriter(message.get()).string(text);
    std::string read = MessageReader(message.get()).string();
    EXPECT_EQ(read, visibleText(text)) << text;
    EXPECT_NE(read.find("\\x"), std::string::npos) << read;
  }
}

}  // namespace
}  // namespace kestrond
