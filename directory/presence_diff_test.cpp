// Presence change detection and its state files.
#include "directory/presence_diff.h"

#include <gtest/gtest.h>

#include "common/paths.h"
#include "common/test_support.h"

namespace nuv {
namespace {

using Names = std::vector<std::string>;

TEST(PresenceNames, OnlyPiecesEndingInASeparatorAreNames) {
  EXPECT_EQ((Names{"a"}), SplitPresenceNames("a;b"));
  EXPECT_EQ((Names{"a", "", "b"}), SplitPresenceNames("a;;b;"));
  EXPECT_EQ(Names{}, SplitPresenceNames(""));
  EXPECT_EQ(Names{}, SplitPresenceNames("abc"));
  EXPECT_EQ((Names{"b"}), NewPresenceNames("a;b;c;", "a;c;"));
  EXPECT_EQ((Names{"B", "b", "b"}), NewPresenceNames("B;b;a;b;", "a;"));  // case-sensitive
  EXPECT_EQ((Names{"ab"}), NewPresenceNames("ab;", "a;b;abc"));
}

TEST(PresenceDiff, RemembersEachStateInItsFile) {
  test::TempInstallRoot root;
  const std::string dir = root.config();
  MakeDirs(dir);
  Names n;
  ASSERT_EQ(0, DiffPresenceList("a;c;", kPresenceOnline, n, dir));
  EXPECT_EQ((Names{"a", "c"}), n);
  EXPECT_TRUE(root.LogContains("DeptHandler::ReadUserListFromFile strFilePath："));
  n.clear();
  ASSERT_EQ(0, DiffPresenceList("a;c;", kPresenceOnline, n, dir));
  EXPECT_TRUE(n.empty());
  ASSERT_EQ(0, DiffPresenceList("a;b;c;", kPresenceOnline, n, dir));
  EXPECT_EQ((Names{"b"}), n);
  n.clear();
  ASSERT_EQ(0, DiffPresenceList("x;y", kPresenceAway, n, dir));
  EXPECT_EQ((Names{"x"}), n);
  EXPECT_EQ("x;y", test::ReadWholeFile(dir + "away.txt"));
  EXPECT_EQ("a;b;c;", test::ReadWholeFile(dir + "online.txt"));
  n.clear();
  ASSERT_EQ(0, DiffPresenceList("", kPresenceOffline, n, dir));
  EXPECT_TRUE(n.empty());
  EXPECT_TRUE(test::FileExists(dir + "offline.txt"));
  EXPECT_EQ(-1, DiffPresenceList("a;", 3, n, dir));
  EXPECT_EQ(-1, DiffPresenceList("a;", -1, n, dir));
}

}  // namespace
}  // namespace nuv
