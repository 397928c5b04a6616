#pragma once
// Where the cloud is and how to talk to it: the [cloud] section of
// service.ini. A value type; read once per client construction.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace nuv {

struct CloudSettings {
  std::string api_host;             // host or host:port of the cloud API server
  std::string upload_host;          // host or host:port of the upload proxy
  std::string ca_file;              // PEM bundle to trust; empty = the system store
  bool verify_tls = true;           // false only for a lab: certificate and host name unchecked
  long connect_timeout_ms = 10000;  // connect (TCP + TLS) limit
  long stall_timeout_ms = 60000;    // abort a transfer that moves no byte for this long
  size_t max_reply_bytes = 8u << 20;  // largest JSON reply body accepted
  uint64_t min_free_disk_bytes = 100ull << 20;  // a download is refused with less free space
  // Polled before every transfer and while it runs (about once a second,
  // also while connecting or waiting for an answer); true abandons it with
  // libcurl's "aborted by callback" code (42). Unset: never. Lets a stopping
  // thread or a caller with an overall deadline leave an exchange early.
  std::function<bool()> cancel;

  // The process-wide settings (ServiceIni::Get()).
  static CloudSettings FromServiceIni();
};

}  // namespace nuv
