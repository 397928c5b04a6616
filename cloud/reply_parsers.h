#pragma once
// Parsers of the cloud API's replies. Each reads a raw reply body into a
// reply record and returns kParseOk, kParseBadMember (a member missing or of
// the wrong type) or kParseNotJson. Pure functions over bytes: any input,
// however malformed, gives one of the three results. Any thread.
//
// Envelope replies: {"result": {"errCode": int32, "message": string},
// "data": {...}}. With a non-zero errCode the parser stops after the result
// object; otherwise it reads the operation's members from "data".

#include <string>

#include "cloud/ondeko_records.h"

namespace nuv {

constexpr int kParseOk = 0;
constexpr int kParseBadMember = -2;
constexpr int kParseNotJson = -3;

// Envelope only: "data" is never read.
int ParseEnvelopeReply(const std::string& body, ApiResult& r);
int ParseLoginReply(const std::string& body, LoginReply& r);
int ParseRefreshSkeyReply(const std::string& body, RefreshSkeyReply& r);
int ParseGetUploadFileUrlReply(const std::string& body, GetUploadFileUrlReply& r);
int ParseJobIdReply(const std::string& body, JobIdReply& r);
int ParseCheckContactsReply(const std::string& body, CheckContactsReply& r);
int ParseGetMediaUrlReply(const std::string& body, GetMediaUrlReply& r);
// Items are appended; on a non-object element the items before it stay.
int ParseFetchMsgReply(const std::string& body, FetchMsgReply& r);
int ParseGetErrorListReply(const std::string& body, GetErrorListReply& r);
int ParseCheckUploadKfFileReply(const std::string& body, CheckUploadKfFileReply& r);
int ParseSetMuteStatusReply(const std::string& body, SetMuteStatusReply& r);

// Upload reply (root members, no envelope): either {"errcode": int,
// "errmsg": string} or {"type": string, "media_id": string, "created_at": int}.
int ParseUploadFileReply(const std::string& body, UploadFileReply& r);
// Error body of a media download: {"errcode": int, "errmsg": string}.
int ParseDownloadErrorReply(const std::string& body, ApiResult& r);
// The quoted name after filename=" in the download's reply headers; false
// when the marker or the closing quote is missing.
bool FindDownloadFileName(const std::string& headers, std::string& name);
// True when the download's reply headers say the body is JSON (an error
// reply instead of the file): "Content-Type: application/json", with the
// header name in any case (HTTP/2 sends it lower-case).
bool IsJsonReplyHeaders(const std::string& headers);

}  // namespace nuv
