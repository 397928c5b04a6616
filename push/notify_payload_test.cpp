// The notify payload decoder: field placement by tag and type, skipping of
// unknown fields by their exact size, and refusal of anything that runs past
// the end (every truncation of a valid payload is tried).

#include "push/notify_payload.h"

#include <gtest/gtest.h>

#include <string>

#include "push/byte_order.h"
#include "sim/push/server_frames.h"

namespace nuv {
namespace {

using sim::AppendTlvHead;
using sim::AppendTlvString;
using sim::AppendTlvStringList;
using sim::AppendTlvU32;
using sim::AppendTlvU64;

int Parse(const std::string& p, OndekoMsgItem* item) {
  return ParseFromBuffer(item, reinterpret_cast<const uint8_t*>(p.data()), static_cast<int>(p.size()));
}

std::string U32(uint32_t v) {
  uint8_t b[4];
  PutU32(b, v);
  return std::string(reinterpret_cast<char*>(b), 4);
}

TEST(NotifyPayloadTest, FullRecordRoundTrip) {
  OndekoMsgItem in;
  in.msg_id = 0x0102030405060708ULL;
  in.cur_userid = "u1";
  in.chatid = "{KEY}";
  in.chatname = "名字";
  in.to_userid_list = {"a", "b"};
  in.skip_userid_list = {"c"};
  in.content = std::string("bin\0ary", 7);
  in.image_id_list = {"i1"};
  in.file_id_list = {"f1", ""};
  in.create_time = 0xFFFFFFF0u;
  in.msg_type = 1;
  OndekoMsgItem out;
  ASSERT_EQ(0, Parse(sim::EncodeNotifyPayload(in), &out));
  EXPECT_EQ(in.msg_id, out.msg_id);
  EXPECT_EQ(in.cur_userid, out.cur_userid);
  EXPECT_EQ(in.chatid, out.chatid);
  EXPECT_EQ(in.chatname, out.chatname);
  EXPECT_EQ(in.to_userid_list, out.to_userid_list);
  EXPECT_EQ(in.skip_userid_list, out.skip_userid_list);
  EXPECT_EQ(in.content, out.content);
  EXPECT_EQ(in.image_id_list, out.image_id_list);
  EXPECT_EQ(in.file_id_list, out.file_id_list);
  EXPECT_EQ(in.create_time, out.create_time);
  EXPECT_EQ(in.msg_type, out.msg_type);
}

TEST(NotifyPayloadTest, UnknownFieldsAreSkippedByTheirExactSize) {
  std::string p;
  AppendTlvString(&p, 99, "skip me");  // unknown tag, type 3
  AppendTlvHead(&p, 42, 0);            // type 0: no value
  AppendTlvHead(&p, 43, 11);           // type above 10: no value
  AppendTlvHead(&p, 44, 1);            // uint16
  p += "\x01\x02";
  AppendTlvHead(&p, 45, 4);  // uint8
  p += "\x03";
  AppendTlvHead(&p, 46, 6);  // uint16 array
  p += U32(2) + std::string(4, 'x');
  AppendTlvHead(&p, 47, 7);  // uint32 array
  p += U32(1) + std::string(4, 'x');
  AppendTlvHead(&p, 48, 9);  // uint8 array
  p += U32(3) + "xyz";
  AppendTlvHead(&p, 49, 10);  // uint64 array
  p += U32(1) + std::string(8, 'x');
  AppendTlvString(&p, kTagContent, "kept");
  OndekoMsgItem item;
  ASSERT_EQ(0, Parse(p, &item));
  EXPECT_EQ("kept", item.content);
  EXPECT_EQ(0u, item.msg_id);
  EXPECT_EQ(0u, item.create_time);
  EXPECT_EQ(0u, item.msg_type);
}

TEST(NotifyPayloadTest, KnownTagWithAnotherTypeIsDropped) {
  std::string p;
  AppendTlvU32(&p, kTagMsgId, 5);                 // msg id must be uint64
  AppendTlvString(&p, kTagToUserIdList, "x");     // list tag as a string
  AppendTlvStringList(&p, kTagContent, {"y"});    // string tag as a list
  AppendTlvU64(&p, kTagCreateTime, 6);            // uint32 tag as uint64
  OndekoMsgItem item;
  ASSERT_EQ(0, Parse(p, &item));
  EXPECT_EQ(0u, item.msg_id);
  EXPECT_TRUE(item.to_userid_list.empty());
  EXPECT_EQ("", item.content);
  EXPECT_EQ(0u, item.create_time);
}

TEST(NotifyPayloadTest, RepeatedListTagAppends) {
  std::string p;
  AppendTlvStringList(&p, kTagToUserIdList, {"a", "b"});
  AppendTlvStringList(&p, kTagToUserIdList, {"c"});
  OndekoMsgItem item;
  ASSERT_EQ(0, Parse(p, &item));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), item.to_userid_list);
}

TEST(NotifyPayloadTest, NullOrEmptyInput) {
  OndekoMsgItem item;
  EXPECT_EQ(-1, ParseFromBuffer(&item, nullptr, 5));
  EXPECT_EQ(-1, ParseFromBuffer(&item, reinterpret_cast<const uint8_t*>("x"), 0));
  EXPECT_EQ(-1, ParseFromBuffer(nullptr, reinterpret_cast<const uint8_t*>("x"), 1));
}

// Cut a valid payload at every offset: a cut on a field boundary decodes
// the fields before it, any other cut is refused; nothing reads past the end
// (the sanitizer build checks that).
TEST(NotifyPayloadTest, EveryTruncationDecodesOrFails) {
  OndekoMsgItem in;
  in.msg_id = 7;
  in.chatid = "chat";
  in.to_userid_list = {"one", "two"};
  in.content = "text";
  const std::string p = sim::EncodeNotifyPayload(in);
  int ok = 0;
  for (size_t n = 1; n < p.size(); ++n) {
    std::string cut = p.substr(0, n);  // own allocation: exact bounds for the sanitizer
    OndekoMsgItem item;
    int rc = Parse(cut, &item);
    EXPECT_TRUE(rc == 0 || rc == -2) << n;
    ok += rc == 0;
  }
  EXPECT_EQ(7, ok);  // 8 fields (empty lists are left out): every boundary but the end

  // Counts that promise more than the payload holds.
  std::string lie;
  AppendTlvHead(&lie, kTagFileIdList, 8);
  lie += U32(0xFFFFFFFFu);
  OndekoMsgItem item;
  EXPECT_EQ(-2, Parse(lie, &item));
  lie.clear();
  AppendTlvHead(&lie, 50, 10);
  lie += U32(0x20000000u) + std::string(8, 'x');
  EXPECT_EQ(-2, Parse(lie, &item));
  lie.clear();
  AppendTlvHead(&lie, kTagContent, 3);
  lie += U32(0xFFFFFFFFu) + "abc";
  EXPECT_EQ(-2, Parse(lie, &item));
}

}  // namespace
}  // namespace nuv
