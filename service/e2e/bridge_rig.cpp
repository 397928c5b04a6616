#include "service/e2e/bridge_rig.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

#include "common/paths.h"
#include "sim/cloud/sha256_hex.h"

namespace nuv {
namespace e2e {
namespace {

std::unique_ptr<httplib::Client> ClientFor(uint16_t port) {
  auto c = std::make_unique<httplib::Client>("127.0.0.1", port);
  c->set_connection_timeout(2, 0);
  c->set_read_timeout(10, 0);
  c->set_write_timeout(10, 0);
  return c;
}

ControlAnswer Answer(const httplib::Result& r) {
  ControlAnswer a;
  if (!r) return a;
  a.status = r->status;
  a.body = r->body;
  Json::CharReaderBuilder b;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  std::string err;
  if (!reader->parse(a.body.data(), a.body.data() + a.body.size(), &a.json, &err)) a.json = Json::Value();
  return a;
}

// The value after "name=" on a line of text ("" when absent).
std::string Field(const std::string& text, const std::string& name) {
  size_t at = text.find(name + "=");
  while (at != std::string::npos && at > 0 && text[at - 1] != '\n' && text[at - 1] != ' ')
    at = text.find(name + "=", at + 1);
  if (at == std::string::npos) return "";
  at += name.size() + 1;
  size_t end = text.find_first_of(" \n", at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

uint16_t Port(const std::string& text) { return static_cast<uint16_t>(std::atoi(text.c_str())); }

// Field i (from 0) of the one-line generalconf.ini.
uint64_t GeneralConfField(const std::string& text, int i) {
  std::istringstream in(text);
  std::string piece;
  for (int k = 0; std::getline(in, piece, ';'); ++k) {
    if (k == i) return std::strtoull(piece.c_str(), nullptr, 10);
  }
  return 0;
}

bool JsonTextContains(const Json::Value& v, const char* member, const std::string& text) {
  return v.isObject() && v[member].isString() && v[member].asString().find(text) != std::string::npos;
}

}  // namespace

ControlAnswer ControlGet(uint16_t port, const std::string& path) {
  return Answer(ClientFor(port)->Get(path));
}

ControlAnswer ControlPost(uint16_t port, const std::string& path, const std::string& body) {
  return Answer(ClientFor(port)->Post(path, body.empty() ? std::string("{}") : body,
                                      "application/json"));
}

std::string ToJsonText(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  return v.isNull() ? std::string("{}") : Json::writeString(b, v);
}

std::string Sha256Hex(const std::string& data) { return sim::Sha256Hex(data); }

std::string Base64Encode(const std::string& data) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    uint32_t v = (uint8_t(data[i]) << 16) | (uint8_t(data[i + 1]) << 8) | uint8_t(data[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i < data.size()) {
    uint32_t v = uint8_t(data[i]) << 16;
    if (i + 1 < data.size()) v |= uint8_t(data[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string Base64Decode(const std::string& text) {
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z') v = c - 'A';
    else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
    else if (c >= '0' && c <= '9') v = c - '0' + 52;
    else if (c == '+') v = 62;
    else if (c == '/') v = 63;
    else continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

std::string NewGuidText() {
  static std::mt19937_64 rng{std::random_device{}()};
  static const char kHex[] = "0123456789ABCDEF";
  std::string g = "{";
  const int groups[] = {8, 4, 4, 4, 12};
  for (int gi = 0; gi < 5; ++gi) {
    if (gi) g += '-';
    for (int k = 0; k < groups[gi]; ++k) g += kHex[rng() & 15];
  }
  return g + "}";
}

BridgeRig::BridgeRig(RigOptions options) : options_(std::move(options)) {
  BecomeSubreaper();
  env_ = CleanEnvironment();
  env_.push_back("NUV4ONDEKO_TEST_UNIT_DIR=" + root_.root() + "/units");
  MakeDirs(root_.root() + "/units");
  MakeDirs(root_.root() + "/cloudsim");
  MakeDirs(root_.config(), 0700);  // as the operator page asks
}

BridgeRig::~BridgeRig() {
  std::vector<pid_t> workers = WorkerPids();
  if (watchdog_ && watchdog_->Running()) {
    // A stop request has the watchdog kill its worker within about a
    // second; its own remaining 5 s pause is of no interest here.
    watchdog_->Signal(SIGTERM);
    WaitUntil([&] { return ProcessGone(workers.empty() ? 0 : workers.back()); }, 3);
    watchdog_->Signal(SIGKILL);
    watchdog_->Wait(5);
  }
  // A worker outlives its watchdog only by a moment (it dies with it).
  for (pid_t p : workers) {
    if (!WaitUntil([p] { return ProcessGone(p); }, 3)) ::kill(p, SIGKILL);
    ProcessGone(p);
  }
  if (im_) im_->Stop(5);
  if (cloud_) cloud_->Stop(5);
  // The CPU limit is machine-wide: on a machine saturated by other work the
  // worker ends itself, and a failure above is then the machine's, not the
  // bridge's. Say so next to it.
  if (CountLog("load too high, exit") > 0) {
    std::fprintf(stderr, "[e2e] note: a worker ended itself for the machine's CPU load (TOOMANYCPUUSAGE) "
                         "during this test: the machine is overloaded\n");
  }
  // In the sanitizer build a memory or undefined-behaviour error in any of
  // the programs (the worker writes to the watchdog's console) fails the test.
  for (const std::string& path : outputs_) {
    const std::string out = path.substr(path.rfind('/'));
    if (!test::FileExists(path)) continue;
    const std::string text = test::ReadWholeFile(path);
    for (const char* mark : {"ERROR: AddressSanitizer", "runtime error:"}) {
      size_t at = text.find(mark);
      if (at != std::string::npos) ADD_FAILURE() << out << ": " << text.substr(at, 4000);
    }
  }
}

std::string BridgeRig::Sim(const std::string& rel) const { return std::string(NUV_BINARY_DIR) + rel; }

bool BridgeRig::StartSimulators(std::string* why) {
  cloud_ = std::make_unique<Subprocess>();
  outputs_.push_back(root_.root() + "/cloudsim.out");
  if (!cloud_->Start(Sim("/sim/cloud/ondeko_sim"), {"--dir", root_.root() + "/cloudsim"}, env_,
                     outputs_.back()) ||
      !cloud_->WaitForOutput("\nport = ", 20)) {
    *why = "ondeko_sim did not start: " + cloud_->Output();
    return false;
  }
  const std::string cloudOut = cloud_->Output();
  cloudControl_ = Port(Field(cloudOut, "control_port"));
  pushPort_ = Port(Field(cloudOut, "push_port"));
  if (!cloudControl_ || !pushPort_) {
    *why = "cannot read the cloud simulator's ports: " + cloudOut;
    return false;
  }
  if (!StartImSimulator(0, 0, 0, why)) return false;
  if (!options_.generalconf.empty()) {
    test::WriteWholeFile(root_.config() + "generalconf.ini", options_.generalconf);
    ::chmod((root_.config() + "generalconf.ini").c_str(), 0600);
  }
  if (options_.writeServiceIni) WriteServiceIni();
  if (options_.writeQyIni) WriteQyIni();
  return true;
}

bool BridgeRig::StartImSimulator(uint16_t appPort, uint16_t fmPort, uint16_t controlPort, std::string* why) {
  const std::string out = root_.root() + (imStarts_++ ? "/imsim-" + std::to_string(imStarts_) + ".out" : "/imsim.out");
  outputs_.push_back(out);
  im_ = std::make_unique<Subprocess>();
  if (!im_->Start(Sim("/sim/im/nuv_im_sim"),
                  {"--app-port", std::to_string(appPort), "--fm-port", std::to_string(fmPort), "--control-port",
                   std::to_string(controlPort), "--install-dir", root_.root() + "/imserver"},
                  env_, out) ||
      !im_->WaitForOutput("install_dir=", 20)) {
    *why = "nuv_im_sim did not start: " + im_->Output();
    return false;
  }
  const std::string imOut = im_->Output();
  imAppPort_ = Port(Field(imOut, "app_port"));
  imFmPort_ = Port(Field(imOut, "filemonitor_port"));
  imControl_ = Port(Field(imOut, "control_port"));
  if (!imAppPort_ || !imFmPort_ || !imControl_) {
    *why = "cannot read the IM simulator's ports: " + imOut;
    return false;
  }
  for (const char* user : {"alice", "bob", "carol"}) {
    Json::Value u;
    u["user"] = user;
    u["state"] = "online";
    ImPost("/users", u);
  }
  return true;
}

void BridgeRig::StopImSimulator() {
  if (im_) im_->Stop(5);
}

bool BridgeRig::RestartImSimulator(std::string* why) {
  StopImSimulator();
  return StartImSimulator(imAppPort_, imFmPort_, imControl_, why);
}

void BridgeRig::WriteServiceIni() {
  std::string cloud = Cloud("/service.ini").body;
  std::ostringstream s;
  s << "[im]\ninstall_dir = " << root_.root() << "/imserver\nserver_ip = 127.0.0.1\napp_port = "
    << imAppPort_ << "\nfilemonitor_port = " << imFmPort_ << "\n\n"
    << cloud << (cloud.empty() || cloud.back() == '\n' ? "" : "\n") << options_.cloudExtra
    << "\n[push]\nhost = 127.0.0.1\nport = " << pushPort_ << "\n\n[status]\nlisten = " << options_.statusListen
    << "\n" << options_.iniExtra;
  test::WriteWholeFile(root_.config() + "service.ini", s.str());
}

// Readable by the service's user only, as the operator page asks.
void BridgeRig::WriteQyIni() {
  test::WriteWholeFile(root_.config() + "qy.ini", Cloud("/qy.ini").body);
  ::chmod((root_.config() + "qy.ini").c_str(), 0600);
}

bool BridgeRig::StartWatchdog(std::string* why) {
  const std::string exe = ExePath();
  if (!test::FileExists(exe)) {
    std::string cmd = "cp '" + std::string(NUV_BINARY_DIR) + "/service/nuv4ondeko' '" + exe + "'";
    if (std::system(cmd.c_str()) != 0) return *why = "cannot copy nuv4ondeko", false;
  }
  Subprocess reg;
  if (!reg.Start(exe, {"-RegServer"}, env_, root_.root() + "/regserver.out") || reg.Wait(10) != 0) {
    *why = "-RegServer failed: " + reg.Output();
    return false;
  }
  tokensSeen_ = Cloud("/tokens").json.size();
  watchdog_ = std::make_unique<Subprocess>();
  outputs_.push_back(root_.root() + "/watchdog.out");
  if (!watchdog_->Start(exe, {}, env_, outputs_.back())) {
    *why = "cannot start the watchdog";
    return false;
  }
  return true;
}

int BridgeRig::RunExe(const std::vector<std::string>& args, std::string* output, double maxSeconds) {
  Subprocess run;
  const std::string out = root_.root() + "/run-" + std::to_string(++runs_) + ".out";
  if (!run.Start(ExePath(), args, env_, out)) return -1;
  const int code = run.Wait(maxSeconds);
  if (output) *output = run.Output();
  return code;
}

bool BridgeRig::StartAll(std::string* why, double upSeconds) {
  if (!StartSimulators(why) || !StartWatchdog(why)) return false;
  if (!WaitBridgeUp(upSeconds)) {
    *why = "bridge not up within " + std::to_string(upSeconds) + " s; IM state " + Im("/state").body +
           " push " + Cloud("/control/push/status").body;
    return false;
  }
  return true;
}

bool BridgeRig::WaitBridgeUp(double maxSeconds) {
  const size_t before = tokensSeen_;
  bool up = WaitUntil(
      [&] {
        ControlAnswer im = Im("/state");
        if (!im.json.isObject() || !im.json["started"].asBool() || !im.json["fm_started"].asBool())
          return false;
        ControlAnswer push = Cloud("/control/push/status");
        if (!push.json.isObject() || push.json["established"].asInt() < 1) return false;
        return Cloud("/tokens").json.size() > before;
      },
      maxSeconds, 100);
  tokensSeen_ = Cloud("/tokens").json.size();
  return up;
}

std::vector<pid_t> BridgeRig::WorkerPids() const {
  std::vector<pid_t> pids;
  const std::string tag = "StartChildProc CreateProcess() OK , child pid ";
  for (const auto& l : root_.LogLines()) {
    size_t at = l.find(tag);
    if (at != std::string::npos) pids.push_back(std::atoi(l.c_str() + at + tag.size()));
  }
  return pids;
}

pid_t BridgeRig::LastWorker() const {
  std::vector<pid_t> p = WorkerPids();
  return p.empty() ? 0 : p.back();
}

pid_t BridgeRig::WaitNewWorker(pid_t old, double maxSeconds) {
  pid_t found = 0;
  WaitUntil(
      [&] {
        pid_t p = LastWorker();
        if (p != 0 && p != old) found = p;
        return found != 0;
      },
      maxSeconds, 50);
  return found;
}

std::string BridgeRig::ImUserSends(const std::string& from, const std::vector<std::string>& to,
                                   const std::string& text, const Json::Value& files,
                                   double maxSeconds) {
  Json::Value b;
  b["from"] = from;
  for (const auto& t : to) b["to"].append(t);
  b["text"] = text;
  if (!files.isNull()) b["files"] = files;
  std::string key;
  WaitUntil(
      [&] {
        ControlAnswer a = ImPost("/send", b);
        if (a.ok()) key = a.json["key"].asString();
        return a.ok() || (a.status != 409 && a.status != 0);
      },
      maxSeconds, 50);
  return key;
}

uint64_t BridgeRig::CloudUserSends(const std::string& from, const std::vector<std::string>& to,
                                   const std::string& text, Json::Value extra, bool announce) {
  Json::Value b = extra.isObject() ? extra : Json::Value(Json::objectValue);
  b["cur_userid"] = from;
  if (!b.isMember("chatid")) b["chatid"] = NewGuidText();
  b["to_userid_list"] = Json::Value(Json::arrayValue);
  for (const auto& t : to) b["to_userid_list"].append(t);
  b["content"] = text;
  b["announce"] = announce;
  ControlAnswer a = CloudPost("/messages", b);
  return a.ok() ? a.json["msg_id"].asUInt64() : 0;
}

std::string BridgeRig::CloudPutMedia(const std::string& name, const std::string& data, bool image) {
  // name: URL-safe characters only.
  auto c = ClientFor(cloudControl_);
  auto r = c->Post(("/media?name=" + name + "&type=" + (image ? "image" : "file")).c_str(), data,
                   "application/octet-stream");
  ControlAnswer a = Answer(r);
  return a.ok() ? a.json["media_id"].asString() : std::string();
}

Json::Value BridgeRig::Filter(const ControlAnswer& a, const std::function<bool(const Json::Value&)>& m) {
  Json::Value out(Json::arrayValue);
  if (!a.json.isArray()) return out;
  for (const auto& e : a.json)
    if (m(e)) out.append(e);
  return out;
}

Json::Value BridgeRig::CloudSent(const std::function<bool(const Json::Value&)>& match) {
  return Filter(Cloud("/sent"), match);
}
Json::Value BridgeRig::ImMessages(const std::function<bool(const Json::Value&)>& match) {
  return Filter(Im("/messages"), match);
}
Json::Value BridgeRig::ImSysMessages(const std::function<bool(const Json::Value&)>& match) {
  return Filter(Im("/sysmessages"), match);
}
Json::Value BridgeRig::ImSentFiles(const std::function<bool(const Json::Value&)>& match) {
  return Filter(Im("/sentfiles"), match);
}

Json::Value BridgeRig::WaitCloudSent(const std::function<bool(const Json::Value&)>& match,
                                     double maxSeconds, unsigned count) {
  Json::Value found;
  WaitUntil([&] { return (found = CloudSent(match)).size() >= count; }, maxSeconds);
  return found;
}

Json::Value BridgeRig::WaitImMessages(const std::function<bool(const Json::Value&)>& match,
                                      double maxSeconds, unsigned count) {
  Json::Value found;
  WaitUntil([&] { return (found = ImMessages(match)).size() >= count; }, maxSeconds);
  return found;
}

std::function<bool(const Json::Value&)> BridgeRig::SentWithContent(const std::string& text) {
  return [text](const Json::Value& m) { return JsonTextContains(m, "content", text); };
}

std::function<bool(const Json::Value&)> BridgeRig::ImWithText(const std::string& text) {
  return [text](const Json::Value& m) {
    return m.isObject() && JsonTextContains(m["values"], "Content", text);
  };
}

BridgeRig::RoundTrip BridgeRig::BothWays(const std::string& tag, double maxSeconds) {
  RoundTrip rt;
  const auto start = SteadyClock::now();
  const std::string up = tag + " from alice";
  const std::string down = tag + " from zhang";
  // The cloud side first: it waits in the push server when the bridge is
  // down, while the IM side refuses messages until the application is back.
  auto downSent = SteadyClock::now();
  if (CloudUserSends("zhang", {"alice"}, down) == 0) return rt;
  auto upSent = SteadyClock::now();
  if (ImUserSends("alice", {"bob"}, up, Json::Value(), maxSeconds).empty()) return rt;
  const double left = maxSeconds - SecondsSince(start);
  bool gotUp = false, gotDown = false;
  WaitUntil(
      [&] {
        if (!gotDown && ImMessages(ImWithText(down)).size() > 0) {
          gotDown = true;
          rt.toIm = SecondsSince(downSent);
        }
        if (!gotUp && CloudSent(SentWithContent(up)).size() > 0) {
          gotUp = true;
          rt.toCloud = SecondsSince(upSent);
        }
        return gotUp && gotDown;
      },
      left > 0 ? left : 0);
  rt.ok = gotUp && gotDown;
  rt.total = SecondsSince(start);
  return rt;
}

std::string BridgeRig::Diagnostics(size_t lines) const {
  std::string out = "\n--- watchdog console:\n" + (watchdog_ ? watchdog_->Output() : std::string());
  std::vector<std::string> log = root_.LogLines();
  out += "--- last log lines:\n";
  for (size_t i = log.size() > lines ? log.size() - lines : 0; i < log.size(); ++i) out += log[i] + "\n";
  return out;
}

int BridgeRig::CountLog(const std::string& needle) const {
  int n = 0;
  for (const auto& l : root_.LogLines())
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}

bool BridgeRig::WaitLog(const std::string& needle, double maxSeconds, int count) const {
  return WaitUntil([&] { return CountLog(needle) >= count; }, maxSeconds, 100);
}

uint16_t BridgeRig::StatusPort() const {
  const std::string p = root_.config() + "status.addr";
  if (!test::FileExists(p)) return 0;
  const std::string text = test::ReadWholeFile(p);
  const size_t colon = text.rfind(':');
  return colon == std::string::npos ? 0 : Port(text.substr(colon + 1));
}

uint64_t BridgeRig::SavedToken() const {
  const std::string p = root_.config() + "generalconf.ini";
  return test::FileExists(p) ? GeneralConfField(test::ReadWholeFile(p), 0) : 0;
}

uint64_t BridgeRig::SavedMaxMsgId() const {
  const std::string p = root_.config() + "generalconf.ini";
  return test::FileExists(p) ? GeneralConfField(test::ReadWholeFile(p), 1) : 0;
}

}  // namespace e2e
}  // namespace nuv
