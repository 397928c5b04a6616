#include "push/push_settings.h"

#include "common/file_util.h"
#include "common/service_ini.h"
#include "push/push_log.h"

namespace nuv {

const char kPushPublicKey[] =
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQC89coNKGZqDsQO4umKEl7PpAkd"
    "jKJZIbEQAPJRh+XiD293bJghph+Ivj3Fy1FcU7/Zj4yTOzUY+VBicRWwswrPsX4k"
    "70S40UoZXo/aRfX0AFmIxRrYhpK94pbIqFB/5btyTN+eBcngmfoYfO3OFDeCIRJK"
    "vMrdieUI9supcL69bwIDAQAB";

const char kDefaultPushHost[] = "push.ondeko.com";

PushSettings LoadPushSettings() {
  ServiceIni& ini = ServiceIni::Get();
  PushSettings s;
  s.host = ini.GetString("push", "host", kDefaultPushHost);
  long port = ini.GetInt("push", "port", kDefaultPushPort);
  if (port <= 0 || port > 65535) {
    PushLog("LoadPushSettings port %ld invalid, use %d", port, kDefaultPushPort);
    port = kDefaultPushPort;
  }
  s.port = static_cast<uint16_t>(port);
  s.publicKey = kPushPublicKey;
  const std::string file = ini.GetString("push", "public_key_file", "");
  if (!file.empty()) {
    std::string pem;
    if (ReadFileData(ResolveDataPath(file), pem, 64 * 1024) && !pem.empty()) {
      s.publicKey = pem;
    } else {
      PushLog("LoadPushSettings public_key_file '%s' unreadable, use the embedded key",
              file.c_str());
    }
  }
  return s;
}

}  // namespace nuv
