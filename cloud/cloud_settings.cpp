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
  long connect = ini.GetInt("cloud", "connect_timeout", 10);
  long stall = ini.GetInt("cloud", "stall_timeout", 60);
  s.connect_timeout_ms = (connect > 0 ? connect : 10) * 1000;
  s.stall_timeout_ms = (stall > 0 ? stall : 60) * 1000;
  long freeMb = ini.GetInt("cloud", "min_free_disk_mb", 100);
  s.min_free_disk_bytes = static_cast<uint64_t>(freeMb > 0 ? freeMb : 0) << 20;
  return s;
}

}  // namespace nuv
