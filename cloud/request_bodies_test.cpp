#include "cloud/request_bodies.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

TEST(RequestBodiesTest, StyledLayoutKeyOrderAndFinalLineFeed) {
  std::string body;
  ASSERT_TRUE(BuildCheckContactsBody(CheckContactsRequest{2, "JOB7"}, body));
  EXPECT_EQ(body, "{\n   \"job_id\" : \"JOB7\",\n   \"op\" : 2\n}\n");
  ASSERT_TRUE(BuildRefreshSkeyBody(18446744073709551615ULL, "rt", body));
  EXPECT_EQ(body, "{\n   \"refresh_token\" : \"rt\",\n   \"vid\" : 18446744073709551615\n}\n");
}

TEST(RequestBodiesTest, SendMsgWritesOnlyNonEmptyListsAndNoIdOrTime) {
  OndekoMsgItem m;
  m.msg_id = 77;
  m.create_time = 123;
  m.cur_userid = "alice";
  m.to_userid_list = {"bob", "carol"};
  m.content = "hi";
  m.msg_type = 1;
  std::string body;
  ASSERT_TRUE(BuildSendMsgBody(m, body));
  EXPECT_EQ(body,
            "{\n"
            "   \"msgitem\" : \n"
            "   {\n"
            "      \"chatid\" : \"\",\n"
            "      \"chatname\" : \"\",\n"
            "      \"content\" : \"hi\",\n"
            "      \"cur_userid\" : \"alice\",\n"
            "      \"msg_type\" : 1,\n"
            "      \"to_userid_list\" : \n"
            "      [\n"
            "         \"bob\",\n"
            "         \"carol\"\n"
            "      ]\n"
            "   }\n"
            "}\n");
}

TEST(RequestBodiesTest, BytesPassThroughUnescaped) {
  OndekoMsgItem m;
  m.cur_userid = "\xd5\xc5\xc8\xfd";               // GBK account name
  m.content = "\xe4\xbd\xa0\xe5\xa5\xbd \"q\"\n";  // UTF-8 content with quote and line feed
  std::string body;
  ASSERT_TRUE(BuildSendMsgBody(m, body));
  EXPECT_NE(body.find("\"cur_userid\" : \"\xd5\xc5\xc8\xfd\""), std::string::npos) << body;
  EXPECT_NE(body.find("\"content\" : \"\xe4\xbd\xa0\xe5\xa5\xbd \\\"q\\\"\\n\""), std::string::npos)
      << body;
}

TEST(RequestBodiesTest, MuteListAndItsEmptyForm) {
  std::string body;
  ASSERT_TRUE(BuildSetMuteStatusBody(SetMuteStatusRequest{}, body));
  EXPECT_EQ(body, "null\n");
  ASSERT_TRUE(BuildSetMuteStatusBody(SetMuteStatusRequest{{{"a", 0}, {"b", 2}}}, body));
  EXPECT_EQ(body,
            "{\n   \"status_list\" : \n   [\n      {\n         \"mute_status\" : 0,\n"
            "         \"username\" : \"a\"\n      },\n      {\n"
            "         \"mute_status\" : 2,\n         \"username\" : \"b\"\n      }\n   ]\n}\n");
}

}  // namespace
}  // namespace nuv
