#include "cloud/cloud_settings.h"

#include "common/service_ini.h"

namespace nuv {

CloudSettings CloudSettings::FromServiceIni() {
  const ServiceIni& ini = ServiceIni::Get();
  CloudSettings s;
  s.api_host = ini.GetString("cloud", "api_host", "");
  s.upload_host = ini.GetString("cloud", "upload_host", "");
  s.ca_file = ini.GetString("cloud", "ca_file", "");
  s.verify_tls = ini.GetBool("cloud", "verify_tls", true);
  s.connect_timeout_s = ini.GetInt("cloud", "connect_timeout", 10);
  s.stall_timeout_s = ini.GetInt("cloud", "stall_timeout", 60);
  if (s.connect_timeout_s <= 0) s.connect_timeout_s = 10;
  if (s.stall_timeout_s <= 0) s.stall_timeout_s = 60;
  return s;
}

}  // namespace nuv
