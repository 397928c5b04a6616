#include "sim/cloud/sim_cloud.h"

#include <httplib.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "common/paths.h"
#include "common/str_format.h"
#include "sim/cloud/http_serve.h"
#include "sim/cloud/self_signed_cert.h"
#include "sim/cloud/sim_control.h"

namespace nuv {
namespace sim {
namespace {

// A listening server and the thread that runs it.
struct RunningServer {
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
  uint16_t port = 0;

  void Stop() {
    if (server) StopServing(*server, thread);
    server.reset();
  }
};

void Configure(httplib::Server& s) {
  s.set_tcp_nodelay(true);
  s.set_keep_alive_max_count(1000000);  // clients reuse their connections
  s.set_keep_alive_timeout(5);
  s.set_payload_max_length(256u * 1024 * 1024);
}

// Binds to 127.0.0.1 (port 0 = ephemeral) and serves on a new thread.
bool Listen(RunningServer& rs, uint16_t port, std::string& err) {
  Configure(*rs.server);
  int bound = port == 0 ? rs.server->bind_to_any_port("127.0.0.1")
                        : (rs.server->bind_to_port("127.0.0.1", port) ? port : -1);
  if (bound <= 0) {
    err = StrFormat("cannot listen on 127.0.0.1:%u", static_cast<unsigned>(port));
    return false;
  }
  rs.port = static_cast<uint16_t>(bound);
  rs.thread = ServeInBackground(*rs.server);
  return true;
}

// Creates a given data directory and its missing parents, as the IM
// simulator does with its installation directory. False with a message
// naming the directory when it cannot exist.
bool MakeDataDir(const std::string& dir, std::string& err) {
  if (MakeDirs(dir)) return true;
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    err = "cannot use " + dir + " as the data directory: it is not a directory";
  } else {
    // Repeat the last step for its reason (a parent that is a file, no permission...).
    int e = ::mkdir(dir.c_str(), 0755) == 0 ? 0 : errno;
    err = "cannot create the data directory " + dir + ": " + std::strerror(e);
  }
  return false;
}

// Removes a data directory this object created (it holds only our two files).
void RemoveOwnDir(const std::string& dir) {
  ::unlink((dir + "/ca.pem").c_str());
  ::unlink((dir + "/key.pem").c_str());
  ::rmdir(dir.c_str());
}

}  // namespace

class SimCloud::Impl {
 public:
  Impl(SimCloudOptions o, SimCloudState& s) : options(std::move(o)), state(s) {}

  // Converts a received request and answers it from the state.
  // streamedBody, when given, is the body read through a content reader.
  void Serve(const std::string& endpoint, const httplib::Request& req, httplib::Response& res,
             const std::string* streamedBody = nullptr) {
    SimRequest r;
    r.endpoint = endpoint;
    r.target = req.target;
    r.vid = req.get_header_value("vid");
    r.hasSkey = req.has_header("skey");
    r.skey = req.get_header_value("skey");
    r.contentType = req.get_header_value("Content-Type");
    if (req.has_file("file")) {
      httplib::MultipartFormData f = req.get_file_value("file");
      r.body = f.content;
      r.fileName = f.filename;
    } else {
      r.body = streamedBody ? *streamedBody : req.body;
    }
    std::map<std::string, std::string> params;
    for (const auto& kv : req.params) params.emplace(kv.first, kv.second);
    SimHttpReply reply = state.Handle(r, params);
    res.status = reply.status;
    for (const auto& h : reply.headers) res.set_header(h.first, h.second);
    res.set_content(reply.body, reply.contentType);
  }

  void Route(httplib::Server& s, bool upload) {
    // The client posts JSON with the HTTP library's default form content
    // type, as the real cloud accepts. Read the body through a content reader:
    // the server library refuses form bodies above 8 KB when it parses them
    // itself, which would reject a full presence batch.
    auto api = [this](const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader) {
      std::string body;
      reader([&body](const char* data, size_t len) {
        body.append(data, len);
        return true;
      });
      Serve(req.matches[1], req, res, &body);
    };
    if (upload) {
      s.Post("/cgi-bin/upload_kf", [this](const httplib::Request& req, httplib::Response& res) {
        Serve("upload_kf", req, res);
      });
      return;
    }
    s.Post(R"(/cgi-bin/([A-Za-z_]+))", api);
    s.Post("/media/upload", [this](const httplib::Request& req, httplib::Response& res) {
      Serve("media_upload", req, res);
    });
    s.Get("/media/download", [this](const httplib::Request& req, httplib::Response& res) {
      Serve("media_download", req, res);
    });
  }

  SimCloudOptions options;
  SimCloudState& state;  // the SimCloud itself
  std::string dataDir;
  bool ownsDir = false;
  std::string caFile;
  std::string keyFile;
  std::string lastError;
  RunningServer api, upload, control;
  bool running = false;
};

SimCloud::SimCloud(SimCloudOptions options)
    : SimCloudState(options), impl_(std::make_unique<Impl>(options, *this)) {}

SimCloud::~SimCloud() {
  Stop();
  if (impl_->ownsDir) RemoveOwnDir(impl_->dataDir);
}

bool SimCloud::Start() {
  Impl& d = *impl_;
  if (d.running) return true;
  if (d.dataDir.empty()) {
    if (!d.options.dataDir.empty()) {
      if (!MakeDataDir(d.options.dataDir, d.lastError)) return false;
      d.dataDir = d.options.dataDir;
    } else {
      char tmpl[] = "/tmp/ondeko-sim-XXXXXX";
      if (!::mkdtemp(tmpl)) return d.lastError = "mkdtemp failed", false;
      d.dataDir = tmpl;
      d.ownsDir = true;
    }
    d.caFile = d.dataDir + "/ca.pem";
    d.keyFile = d.dataDir + "/key.pem";
    if (!MakeSelfSignedCert(d.caFile, d.keyFile, d.lastError)) return false;
  }
  auto makeTls = [&d]() {
    std::unique_ptr<httplib::Server> s =
        std::make_unique<httplib::SSLServer>(d.caFile.c_str(), d.keyFile.c_str());
    return s;
  };
  d.api.server = makeTls();
  d.upload.server = makeTls();
  if (!static_cast<httplib::SSLServer&>(*d.api.server).is_valid() ||
      !static_cast<httplib::SSLServer&>(*d.upload.server).is_valid()) {
    d.lastError = "TLS server set-up failed";
    d.api.server.reset();
    d.upload.server.reset();
    return false;
  }
  d.Route(*d.api.server, false);
  d.Route(*d.upload.server, true);
  bool ok = Listen(d.api, d.options.apiPort, d.lastError) &&
            Listen(d.upload, d.options.uploadPort, d.lastError);
  if (ok && d.options.control) {
    d.control.server = std::make_unique<httplib::Server>();
    RegisterControlRoutes(*d.control.server, *this);
    if (d.options.extraControlRoutes) d.options.extraControlRoutes(*d.control.server);
    ok = Listen(d.control, d.options.controlPort, d.lastError);
  }
  if (!ok) {
    d.api.Stop();
    d.upload.Stop();
    d.control.Stop();
    return false;
  }
  d.state.SetEndpoints(SimEndpoints{ApiHost()});
  d.state.Reopen();
  d.running = true;
  return true;
}

void SimCloud::Stop() {
  Impl& d = *impl_;
  d.state.Shutdown();
  d.control.Stop();
  d.api.Stop();
  d.upload.Stop();
  d.running = false;
}

const std::string& SimCloud::LastError() const { return impl_->lastError; }
uint16_t SimCloud::ApiPort() const { return impl_->api.port; }
uint16_t SimCloud::UploadPort() const { return impl_->upload.port; }
uint16_t SimCloud::ControlPort() const { return impl_->control.port; }
std::string SimCloud::ApiHost() const { return StrFormat("127.0.0.1:%u", ApiPort()); }
std::string SimCloud::UploadHost() const { return StrFormat("127.0.0.1:%u", UploadPort()); }
const std::string& SimCloud::CaFile() const { return impl_->caFile; }

std::string SimCloud::ServiceIniSection() const {
  return "[cloud]\napi_host = " + ApiHost() + "\nupload_host = " + UploadHost() +
         "\nca_file = " + CaFile() + "\nverify_tls = true\n";
}

std::string SimCloud::QyIniText() const {
  SimCredentials c = Credentials();
  return "skey:" + c.skey + "\nrefresh_token:" + c.refresh_token +
         "\nvid:" + std::to_string(c.vid) + "\n";
}

}  // namespace sim
}  // namespace nuv
