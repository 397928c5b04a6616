// CAppManager: creation of the SDK objects, registration, start and stop of
// the application and the file monitor, and the application-stop event.
#include "im/app_manager.h"

#include <mutex>

#include "common/log.h"
#include "common/paths.h"
#include "common/sdk_error.h"
#include "common/service_ini.h"
#include "common/text_conv.h"
#include "im/im_connection.h"
#include "processor/processor.h"

namespace nuv {
namespace {

constexpr const char kUnit[] = "app_manager.cpp";

void LogSdkError(int line, const NuvSdkError& e) { WriteLog(FormatComError(kUnit, line, e)); }

}  // namespace

CAppManager& CAppManager::GetInstance() {
  static std::once_flag once;
  static std::unique_ptr<CAppManager> instance;
  std::call_once(once, [] {
    instance.reset(new CAppManager());
    instance->InitApp();
  });
  return *instance;
}

CAppManager::CAppManager(NuvRootFactory factory)
    : configDir(GetConfigDirA()),
      serverIp(Utf8ToWide(ServiceIni::Get().GetString("im", "server_ip", "127.0.0.1"))),
      serverPort(static_cast<uint16_t>(ServiceIni::Get().GetInt("im", "app_port", 8006))),
      fileMonitorPort(static_cast<uint16_t>(ServiceIni::Get().GetInt("im", "filemonitor_port", 8003))),
      rootFactory(std::move(factory)) {}

CAppManager::~CAppManager() {
  // The sinks go quiet first, then the SDK objects end their threads.
  appSink.Unadvise();
  fmSink.Unadvise();
  appSink.Init(nullptr, nullptr);
  fmSink.Init(nullptr, nullptr);
  fileMonitor.reset();
  fmRoot.reset();
  appObject.reset();
  apiRoot.reset();
}

void CAppManager::InitApp() {
  m_bStart = 0;
  if (!apiRoot) {
    try {
      apiRoot = rootFactory();
    } catch (...) {
      apiRoot.reset();
    }
    if (!apiRoot) WriteLogF("%s 初始化应用时发生了错误。错误码：2", "InitApp");
  }
  if (apiRoot && !appObject) {
    try {
      appObject = apiRoot->AppObject();
    } catch (...) {
      appObject.reset();
    }
    if (!appObject) WriteLogF("%s 初始化应用时发生了错误。错误码：4", "InitApp");
  }
  if (!fmRoot) {
    try {
      fmRoot = rootFactory();
      if (!fmRoot) WriteLogF("%s 初始化根对象时发生了错误。错误码：5", "InitApp");
    } catch (const NuvSdkError& e) {
      LogSdkError(__LINE__, e);
    } catch (...) {
      WriteLogF("%s 初始化根对象时发生了错误。错误码：5", "InitApp");
    }
  }
  if (fmRoot && !fileMonitor) {
    try {
      fileMonitor = fmRoot->FileMonitorObject();
      if (!fileMonitor) WriteLogF("%s 初始化根对象时发生了错误。错误码：6", "InitApp");
    } catch (const NuvSdkError& e) {
      LogSdkError(__LINE__, e);
    } catch (...) {
      WriteLogF("%s 初始化根对象时发生了错误。错误码：6", "InitApp");
    }
  }
}

bool CAppManager::RegApp() {
  if (!appObject) {
    WriteLogF("%s 准备注册应用服务，但还未初始化。", "RegApp");
    return false;
  }
  try {
    apiRoot->SetServerIP(serverIp);
    apiRoot->SetServerPort(serverPort);
    appObject->SetAppGUID(appGuid);
    appObject->SetAppName(appName);
    appObject->SetServerIP(serverIp);
    appObject->SetServerPort(serverPort);
    appObject->SetRegSetting(1, msgType);
    appObject->SetRegSetting(2, regSettings[0]);
    appObject->SetRegSetting(3, regSettings[1]);
    appObject->SetRegSetting(4, regSettings[2]);
    appObject->SetRegSetting(5, regSettings[3]);
    appObject->SetRegSetting(6, int32_t{1});
    appObject->SetRegSetting(7, regSettings[4]);
    if (appObject->Register()) {
      WriteLogF("%s 注册应用服务成功。", "RegApp");
      return true;
    }
    WriteLogF("%s 注册应用服务失败。", "RegApp");
    return false;
  } catch (const NuvSdkError& e) {
    LogSdkError(__LINE__, e);
  } catch (...) {
    WriteLog(L"注册应用时发生了错误。");
  }
  return false;
}

bool CAppManager::StartApp() {
  if (m_bStart) {
    WriteLogF("%s 尝试启动应用，但此时应用已启动。", "StartApp");
    return true;
  }
  if (!apiRoot || !appObject) {
    WriteLogF("%s 准备启动应用，但Api Object还未初始化。", "StartApp");
    return false;
  }
  if (!fmRoot || !fileMonitor) {
    WriteLogF("%s 准备启动应用，但FileMonitor Object还未初始化。", "StartApp");
    return false;
  }
  bool appStarted = false;
  try {
    apiRoot->SetServerIP(serverIp);
    apiRoot->SetServerPort(serverPort);
    appObject->SetAppGUID(appGuid);
    appObject->SetAppName(appName);
    if (appSink.Init(appObject, this) && appSink.Advise()) {
      appObject->Start(L"", 4);
      WriteLogF("%s 启动了NUVPallen插件成功。", "StartApp");
      appStarted = true;
    }
  } catch (...) {
    WriteLogF("%s 启动应用时发生了错误。", "StartApp");
    return false;
  }
  if (!appStarted) {
    WriteLogF("%s 启动app失败，不启动文件monitor.", "StartApp");
    return m_bStart != 0;
  }
  try {
    fmRoot->SetServerIP(serverIp);
    fmRoot->SetServerPort(fileMonitorPort);
    fileMonitor->SetServerIP(serverIp);
    fileMonitor->SetServerPort(fileMonitorPort);
    if (fmSink.Init(fileMonitor, this) && fmSink.Advise()) {
      fileMonitor->Start();
      WriteLogF("%s 文件监控启动成功!", "StartApp");
      m_bStart = 1;
    } else {
      WriteLogF("%s 文件监控启动出现错误，失败!", "StartApp");
      m_bStart = 0;
    }
  } catch (...) {
    WriteLogF("%s 文件监控启动出现异常，失败!", "StartApp");
    m_bStart = 0;
  }
  if (!m_bStart) {
    StopApp();
    WriteLogF("%s StartApp failed, call StopApp() to stop it.", "StartApp");
  }
  return m_bStart != 0;
}

void CAppManager::StopApp() {
  if (!m_bStart) {
    WriteLogF("%s Warnning：尝试停止应用，而应用服务未启动(m_bStart == FALSE )。", "StopApp");
  }
  try {
    appSink.Unadvise();
    if (!appObject) throw NuvSdkError(kSdkErrFail, "no application object");
    if (appObject->Stop()) WriteLogF("%s 停止应用成功。", "StopApp");
    fmSink.Unadvise();
    WriteLogF("%s 停止Filemonitor成功。", "StopApp");
  } catch (...) {
    fmSink.Unadvise();  // a failed stop must not leave download events flowing in
    WriteLogF("%s 停止应用时发生了异常。", "StopApp");
  }
  m_bStart = 0;
}

void CAppManager::UnRegApp() {
  if (!appObject) {
    WriteLogF("%s 准备注销应用，但还未初始化。", "UnRegApp");
    return;
  }
  try {
    apiRoot->SetServerIP(serverIp);
    apiRoot->SetServerPort(serverPort);
    appObject->SetAppGUID(appGuid);
    if (appObject->Unregister()) {
      WriteLogF("%s 注销应用成功。", "UnRegApp");
    } else {
      WriteLogF("%s 注销应用失败。", "UnRegApp");
    }
  } catch (...) {
    WriteLogF("%s 注销应用时发生了异常。", "UnRegApp");
  }
}

void CAppManager::Run() {
  WriteLogF("%s InitApp() now...", "CAppManager::Run");
  InitApp();
  WriteLogF("%s RegApp() now...", "CAppManager::Run");
  if (!RegApp()) {
    WriteLogF("%s RegApp() failed, maybe nuv server is down", "CAppManager::Run");
    return;
  }
  if (!StartApp()) {
    WriteLogF("%s StartApp() failed, maybe nuv server is down. UnReg it", "CAppManager::Run");
    UnRegApp();
    return;
  }
  m_bStart = 1;
}

void CAppManager::Stop() {
  StopApp();
  UnRegApp();
}

void CAppManager::OnAppStop(int32_t code) {
  CNuv4OndekoProcessor* p = GetProcessor();
  if (p->GetStatus() == CNuv4OndekoProcessor::START) {
    WriteLogF("OnAppStop code=%d processor status is START, stop to STOP", code);
    p->SetStatus(CNuv4OndekoProcessor::STOP);
  } else {
    WriteLogF("OnAppStop code=%d processor status is NOT START, do nothing", code);
  }
}

}  // namespace nuv
