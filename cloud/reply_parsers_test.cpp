#include "cloud/reply_parsers.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

std::string Env(const std::string& result, const std::string& rest = "") {
  return "{\"result\":" + result + rest + "}";
}

TEST(ReplyParsersTest, EnvelopeRules) {
  ApiResult r;
  EXPECT_EQ(ParseEnvelopeReply("<html>", r), kParseNotJson);
  EXPECT_EQ(ParseEnvelopeReply("", r), kParseNotJson);
  EXPECT_EQ(ParseEnvelopeReply("[1,2]", r), kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply("{}", r), kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply(Env("null"), r), kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply(Env("{\"errCode\":\"0\",\"message\":\"\"}"), r), kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply(Env("{\"errCode\":0,\"message\":5}"), r), kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply(Env("{\"errCode\":2147483648,\"message\":\"\"}"), r),
            kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply(Env("{\"errCode\":0.5,\"message\":\"\"}"), r), kParseBadMember);
  EXPECT_EQ(ParseEnvelopeReply(Env("{\"errCode\":-2147483648,\"message\":\"m\"}"), r), kParseOk);
  EXPECT_EQ(r.errCode, INT32_MIN);
  EXPECT_EQ(r.message, "m");
}

TEST(ReplyParsersTest, DataIsReadOnlyWithErrCodeZero) {
  GetMediaUrlReply r;
  // errCode 0 and no data: -2 for an endpoint with required members...
  EXPECT_EQ(ParseGetMediaUrlReply(Env("{\"errCode\":0,\"message\":\"ok\"}"), r), kParseBadMember);
  // ...but fine for an envelope-only endpoint.
  ApiResult e;
  EXPECT_EQ(ParseEnvelopeReply(Env("{\"errCode\":0,\"message\":\"ok\"}"), e), kParseOk);
  // A refusal without data is a parsed reply carrying the server's code.
  GetMediaUrlReply r2;
  EXPECT_EQ(ParseGetMediaUrlReply(Env("{\"errCode\":9,\"message\":\"no\"}"), r2), kParseOk);
  EXPECT_EQ(r2.errCode, 9);
  EXPECT_EQ(r2.media_url, "");
  // data must be an object (or null); a required member must have its type.
  EXPECT_EQ(ParseGetMediaUrlReply(Env("{\"errCode\":0,\"message\":\"\"}", ",\"data\":[]"), r),
            kParseBadMember);
  EXPECT_EQ(ParseGetMediaUrlReply(
                Env("{\"errCode\":0,\"message\":\"\"}", ",\"data\":{\"media_url\":1}"), r),
            kParseBadMember);
  EXPECT_EQ(ParseGetMediaUrlReply(
                Env("{\"errCode\":0,\"message\":\"\"}", ",\"data\":{\"media_url\":\"u\"}"), r),
            kParseOk);
  EXPECT_EQ(r.media_url, "u");
}

TEST(ReplyParsersTest, CheckContactsReadsAbsentMembersAsZero) {
  CheckContactsReply r;
  r.status = r.percentage = 5;
  EXPECT_EQ(ParseCheckContactsReply(Env("{\"errCode\":0,\"message\":\"\"}", ",\"data\":{}"), r),
            kParseOk);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.percentage, 0);
  EXPECT_EQ(ParseCheckContactsReply(Env("{\"errCode\":0,\"message\":\"\"}", ",\"data\":null"), r),
            kParseOk);
  EXPECT_EQ(ParseCheckContactsReply(
                Env("{\"errCode\":0,\"message\":\"\"}", ",\"data\":{\"percentage\":60}"), r),
            kParseOk);
  EXPECT_EQ(r.percentage, 60);
}

TEST(ReplyParsersTest, FetchMsgList) {
  const std::string head = "{\"errCode\":0,\"message\":\"\"}";
  FetchMsgReply r;
  EXPECT_EQ(ParseFetchMsgReply(Env(head, ",\"data\":{\"msglist\":null}"), r), kParseOk);
  EXPECT_TRUE(r.msglist.empty());
  EXPECT_EQ(ParseFetchMsgReply(Env(head, ",\"data\":{}"), r), kParseBadMember);

  FetchMsgReply r2;
  EXPECT_EQ(ParseFetchMsgReply(Env(head, ",\"data\":{\"msglist\":[{\"msg_id\":3},7]}"), r2),
            kParseBadMember);
  ASSERT_EQ(r2.msglist.size(), 1u);  // the element before the bad one stays
  EXPECT_EQ(r2.msglist[0].msg_id, 3u);

  FetchMsgReply r3;
  EXPECT_EQ(ParseFetchMsgReply(
                Env(head,
                    ",\"data\":{\"msglist\":[{\"msg_id\":18446744073709551615,\"msg_type\":\"1\","
                    "\"to_userid_list\":[1,\"a\",\"b\"],\"content\":7,\"chatname\":\"n\","
                    "\"image_id_list\":null,\"file_id_list\":\"x\",\"create_time\":-1},"
                    "{\"msg_id\":-4,\"msg_type\":1}]}"),
                r3),
            kParseOk);
  ASSERT_EQ(r3.msglist.size(), 2u);
  const OndekoMsgItem& m = r3.msglist[0];
  EXPECT_EQ(m.msg_id, UINT64_MAX);
  EXPECT_EQ(m.msg_type, 0u);
  EXPECT_EQ(m.to_userid_list, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(m.content, "");
  EXPECT_EQ(m.chatname, "n");
  EXPECT_TRUE(m.image_id_list.empty());
  EXPECT_TRUE(m.file_id_list.empty());
  EXPECT_EQ(m.create_time, UINT32_MAX);
  EXPECT_EQ(r3.msglist[1].msg_id, 0u);  // a negative id has no value to store
  EXPECT_EQ(r3.msglist[1].msg_type, 1u);
}

TEST(ReplyParsersTest, MuteAndErrorListsAndLogin) {
  const std::string head = "{\"errCode\":0,\"message\":\"\"}";
  SetMuteStatusReply mute;
  EXPECT_EQ(ParseSetMuteStatusReply(Env(head, ",\"data\":{\"invalid_users\":[\"x\",1]}"), mute),
            kParseBadMember);
  EXPECT_EQ(ParseSetMuteStatusReply(Env(head, ",\"data\":{\"invalid_users\":[\"x\",\"y\"]}"), mute),
            kParseOk);
  EXPECT_EQ(mute.invalid_users, (std::vector<std::string>{"x", "y"}));

  GetErrorListReply el;
  EXPECT_EQ(ParseGetErrorListReply(Env(head,
                                       ",\"data\":{\"fail_list\":[{\"userid\":\"u\",\"errcode\":3,"
                                       "\"errmsg\":7}]}"),
                                   el),
            kParseOk);
  ASSERT_EQ(el.fail_list.size(), 1u);
  EXPECT_EQ(el.fail_list[0].userid, "u");
  EXPECT_EQ(el.fail_list[0].errcode, 3);
  EXPECT_EQ(el.fail_list[0].errmsg, "");
  EXPECT_EQ(ParseGetErrorListReply(Env(head, ",\"data\":{\"fail_list\":[1]}"), el),
            kParseBadMember);

  LoginReply lr;
  EXPECT_EQ(ParseLoginReply(Env(head,
                                ",\"data\":{\"vid\":-1,\"skey\":\"s\","
                                "\"refresh_token\":\"r\"}"),
                            lr),
            kParseBadMember);
  EXPECT_EQ(ParseLoginReply(Env(head,
                                ",\"data\":{\"vid\":12,\"skey\":\"s\","
                                "\"refresh_token\":\"r\"}"),
                            lr),
            kParseOk);
  EXPECT_EQ(lr.vid, 12u);

  CheckUploadKfFileReply ck;
  EXPECT_EQ(ParseCheckUploadKfFileReply(Env(head, ",\"data\":{}"), ck), kParseBadMember);
}

TEST(ReplyParsersTest, UploadReplyForms) {
  UploadFileReply r;
  EXPECT_EQ(ParseUploadFileReply("{\"type\":\"file\",\"media_id\":\"M1\",\"created_at\":5}", r),
            kParseOk);
  EXPECT_EQ(r.errCode, 0);
  EXPECT_EQ(r.media_id, "M1");
  EXPECT_EQ(r.created_at, 5);
  // errcode 0 with errmsg and no media id is an error-style reply.
  UploadFileReply r2;
  EXPECT_EQ(ParseUploadFileReply("{\"errcode\":0,\"errmsg\":\"ok\"}", r2), kParseOk);
  EXPECT_EQ(r2.errCode, 0);
  EXPECT_EQ(r2.media_id, "");
  EXPECT_EQ(ParseUploadFileReply("{\"errcode\":\"1\",\"errmsg\":\"x\"}", r2), kParseBadMember);
  EXPECT_EQ(ParseUploadFileReply("{\"errcode\":1}", r2), kParseBadMember);
  EXPECT_EQ(ParseUploadFileReply("{\"type\":\"file\",\"media_id\":\"M1\"}", r2), kParseBadMember);
  EXPECT_EQ(ParseUploadFileReply("nope", r2), kParseNotJson);
}

TEST(ReplyParsersTest, DownloadHeadersAndErrorBody) {
  std::string name;
  EXPECT_TRUE(FindDownloadFileName(
      "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"a b.txt\"\r\n", name));
  EXPECT_EQ(name, "a b.txt");
  EXPECT_FALSE(FindDownloadFileName("Content-Disposition: attachment\r\n", name));
  EXPECT_FALSE(FindDownloadFileName("Content-Disposition: filename=\"open", name));
  // The JSON error form is recognised whatever the case of the header name
  // (HTTP/2 lower-cases every name); a file of another type is not.
  EXPECT_TRUE(IsJsonReplyHeaders("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"));
  EXPECT_TRUE(IsJsonReplyHeaders("HTTP/2 200\r\ncontent-type: application/json; charset=utf-8\r\n"));
  EXPECT_TRUE(IsJsonReplyHeaders("HTTP/1.1 200 OK\r\nCONTENT-TYPE: Application/JSON\r\n"));
  EXPECT_FALSE(IsJsonReplyHeaders("HTTP/2 200\r\ncontent-type: application/octet-stream\r\n"));
  ApiResult r;
  EXPECT_EQ(ParseDownloadErrorReply("{\"errcode\":40006,\"errmsg\":\"gone\"}", r), kParseOk);
  EXPECT_EQ(r.errCode, 40006);
  EXPECT_EQ(ParseDownloadErrorReply("{\"errcode\":1}", r), kParseBadMember);
}

}  // namespace
}  // namespace nuv
