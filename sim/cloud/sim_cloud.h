#pragma once
// SimCloud: a stand-in for the cloud platform's HTTPS side on loopback, for
// tests, benchmarks and the demo. Three servers:
//   - the cloud API server (HTTPS): /cgi-bin/<endpoint>, the media upload
//     URL it hands out (/media/upload) and the media store (/media/download);
//   - the upload proxy (HTTPS): /cgi-bin/upload_kf?type=1|2;
//   - the control interface (plain HTTP+JSON, loopback only): see
//     docs/cloud-simulator.md.
// At Start it makes a self-signed certificate for 127.0.0.1 and localhost
// and writes it as a CA file (CaFile()) that clients trust.
//
// The object is owned by the test or program that starts it. Every method is
// thread-safe: server threads and the owner's threads touch the same state
// under one lock. The message hook runs on the thread that created the
// message, without that lock.

#include <cstdint>
#include <memory>
#include <string>

#include "sim/cloud/sim_cloud_state.h"
#include "sim/cloud/sim_cloud_types.h"

namespace nuv {
namespace sim {

// The state's methods (credentials, messages, media, directory, presence,
// reports, requests, faults) are the simulator's in-process controls;
// SimCloud adds the servers around them.
class SimCloud : public SimCloudState {
 public:
  explicit SimCloud(SimCloudOptions options = {});
  ~SimCloud();  // stops
  SimCloud(const SimCloud&) = delete;
  SimCloud& operator=(const SimCloud&) = delete;

  // Makes the certificate and starts the servers; false (with LastError())
  // when something fails. Stop is idempotent and quick.
  bool Start();
  void Stop();
  const std::string& LastError() const;

  uint16_t ApiPort() const;
  uint16_t UploadPort() const;
  uint16_t ControlPort() const;
  std::string ApiHost() const;     // "127.0.0.1:<api port>"
  std::string UploadHost() const;  // "127.0.0.1:<upload port>"
  const std::string& CaFile() const;
  // The text of a [cloud] section pointing a client at this simulator.
  std::string ServiceIniSection() const;
  // qy.ini text with the current credentials.
  std::string QyIniText() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
}  // namespace nuv
