#pragma once
// JSON request bodies of the cloud API, built from the request records:
// members in key order, three-space indentation, a final line feed, and
// strings placed as the bytes they hold (UTF-8 content and ANSI-code-page
// accounts alike, never re-escaped). Each returns false when the body could
// not be built. Pure functions; any thread.

#include <cstdint>
#include <string>

#include "cloud/ondeko_records.h"

namespace nuv {

bool BuildLoginBody(const LoginRequest& r, std::string& body);
bool BuildRefreshSkeyBody(uint64_t vid, const std::string& refreshToken, std::string& body);
bool BuildGetUploadFileUrlBody(const GetUploadFileUrlRequest& r, std::string& body);
bool BuildSetContactsBody(const SetContactsRequest& r, std::string& body);
bool BuildCheckContactsBody(const CheckContactsRequest& r, std::string& body);
bool BuildSendMsgBody(const OndekoMsgItem& m, std::string& body);
bool BuildGetMediaUrlBody(const GetMediaUrlRequest& r, std::string& body);
bool BuildFetchMsgBody(const FetchMsgRequest& r, std::string& body);
bool BuildBindTokenBody(const BindTokenRequest& r, std::string& body);
// kf_file_key as given (the caller substitutes the vid for an empty key).
bool BuildKfFileKeyBody(const std::string& kfFileKey, std::string& body);
bool BuildFlagBody(const FlagRequest& r, std::string& body);
bool BuildGetErrorListBody(const GetErrorListRequest& r, std::string& body);
bool BuildCheckUploadKfFileBody(const CheckUploadKfFileRequest& r, std::string& body);
bool BuildInstallDoneBody(const InstallDoneRequest& r, std::string& body);
// An empty list gives the JSON literal null.
bool BuildSetMuteStatusBody(const SetMuteStatusRequest& r, std::string& body);
bool BuildCliReportBody(const CliReportRequest& r, std::string& body);

}  // namespace nuv
