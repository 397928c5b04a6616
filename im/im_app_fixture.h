#pragma once
// Test fixture: an IM test environment with a CAppManager already started
// against the simulator.

#include <gtest/gtest.h>

#include <memory>

#include "im/app_manager.h"
#include "im/im_test_env.h"

namespace nuv {
namespace test {

class StartedAppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app_ = std::make_unique<CAppManager>();
    app_->Run();
    ASSERT_TRUE(app_->IsStarted());
  }
  void TearDown() override { app_.reset(); }

  ImTestEnv env_;
  std::unique_ptr<CAppManager> app_;
};

}  // namespace test
}  // namespace nuv
