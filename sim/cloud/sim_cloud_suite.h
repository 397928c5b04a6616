#pragma once
// Fixture base for test suites that talk to one cloud simulator on loopback:
// the simulator is started before the suite's first case and stopped after
// its last one. Base is the suite's own fixture base (::testing::Test or one
// derived from it). Tests only; used by the test thread.

#include <gtest/gtest.h>

#include <memory>

#include "cloud/http_transport.h"
#include "common/test_support.h"
#include "sim/cloud/sim_cloud.h"

namespace nuv {
namespace test {

template <class Base = ::testing::Test>
class SimCloudSuite : public Base {
 protected:
  static void SetUpTestSuite() {
    Base::SetUpTestSuite();
    cloud_ = std::make_unique<sim::SimCloud>();
    ASSERT_TRUE(cloud_->Start()) << cloud_->LastError();
  }
  static void TearDownTestSuite() {
    SetConnectionReuse(false);  // closes this thread's kept connection
    cloud_.reset();
    Base::TearDownTestSuite();
  }

  // Points the installation at the simulator: its [cloud] section as
  // root's service.ini, its qy.ini in root's configuration directory.
  static void PointAtCloud(TempInstallRoot& root) {
    root.WriteServiceIni(cloud_->ServiceIniSection());
    WriteWholeFile(root.config() + "qy.ini", cloud_->QyIniText());
  }
  // Forgets the faults, requests and fetch limit earlier cases left in the
  // simulator.
  static void ResetCloud() {
    cloud_->ClearFaults();
    cloud_->ClearRequests();
    cloud_->SetFetchLimit(0);
  }

  static std::unique_ptr<sim::SimCloud> cloud_;  // one simulator for the suite
};

template <class Base>
std::unique_ptr<sim::SimCloud> SimCloudSuite<Base>::cloud_;

}  // namespace test
}  // namespace nuv
