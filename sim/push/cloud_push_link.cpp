#include "sim/push/cloud_push_link.h"

#include "sim/cloud/sim_cloud.h"
#include "sim/push/push_control.h"
#include "sim/push/push_server.h"

namespace nuv {
namespace sim {

void AddPushControlRoutes(SimCloudOptions& options, PushServer& push) {
  options.extraControlRoutes = [&push](httplib::Server& server) {
    RegisterPushControlRoutes(server, push);
  };
}

void AnnounceCloudMessages(SimCloud& cloud, PushServer& push) {
  cloud.SetMessageCreatedHook([&push](const SimCloudMessage& m) {
    OndekoMsgItem item;
    item.msg_id = m.msg_id;
    item.cur_userid = m.cur_userid;
    item.chatid = m.chatid;
    item.chatname = m.chatname;
    item.to_userid_list = m.to_userid_list;
    item.skip_userid_list = m.skip_userid_list;
    item.content = m.content;
    item.image_id_list = m.image_id_list;
    item.file_id_list = m.file_id_list;
    item.create_time = m.create_time;
    item.msg_type = m.msg_type;
    push.AnnounceMessage(item);
  });
}

}  // namespace sim
}  // namespace nuv
