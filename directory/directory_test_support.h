#pragma once
// Test set-up shared by the directory tests: a temporary service install root
// whose service.ini names a simulated IM server installation (nuvserver.xml
// plus a SQLite directory database read through the real ODBC driver).
// One per test, used by the test's thread.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/test_support.h"
#include "sim/imdb/im_directory_db.h"

namespace nuv {
namespace test {

class DirectoryEnv {
 public:
  explicit DirectoryEnv(const std::string& extraIni = "") {
    imDir_ = root_.root() + "/nuvserver";
    root_.WriteServiceIni("[im]\ninstall_dir=" + imDir_ + "\n" + extraIni);
    std::string error;
    db_ = sim::ImDirectoryDb::Create(imDir_, error);
    EXPECT_TRUE(db_) << error;
  }
  TempInstallRoot& root() { return root_; }
  sim::ImDirectoryDb& db() { return *db_; }
  const std::string& imDir() const { return imDir_; }
  // The sync directory of the service (Config/, ends in '/').
  std::string syncDir() const { return root_.config(); }

  void AddUser(int id, const std::string& account, const std::string& name, int gender = 0,
               const std::string& position = "") {
    sim::SimUser u;
    u.id = id;
    u.account = account;
    u.name = name;
    u.mobile = "1380000" + std::to_string(id);
    u.email = account + "@example.com";
    u.gender = gender;
    u.position = position;
    EXPECT_TRUE(db_->AddUser(u)) << db_->lastError();
  }

 private:
  TempInstallRoot root_;
  std::string imDir_;
  std::unique_ptr<sim::ImDirectoryDb> db_;
};

}  // namespace test
}  // namespace nuv
