#pragma once
// OndekoMsgItem: one cloud message as the push channel decodes it from a
// notify payload (the same record the cloud API's message fetch fills).
// Strings hold the raw bytes received; converting them to text is the
// intake's job. A plain value; no threading rules of its own.

#include <cstdint>
#include <string>
#include <vector>

namespace nuv {

struct OndekoMsgItem {
  uint64_t msg_id = 0;
  std::string cur_userid;
  std::string chatid;
  std::string chatname;
  std::vector<std::string> to_userid_list;
  std::vector<std::string> skip_userid_list;
  std::string content;
  std::vector<std::string> image_id_list;
  std::vector<std::string> file_id_list;
  uint32_t create_time = 0;
  uint32_t msg_type = 0;
};

}  // namespace nuv
