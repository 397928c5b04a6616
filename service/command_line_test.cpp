#include "service/command_line.h"

#include <gtest/gtest.h>

namespace nuv {
namespace {

using Role = CommandLineAction::Role;

CommandLineAction Scan(const char* line) { return ScanCommandLine(line); }

TEST(CommandLineTest, ChildCountsOnlyWhenLast) {
  EXPECT_TRUE(Scan("\"/opt/nuv/bin/nuv4ondeko\" /Child").child);
  EXPECT_TRUE(Scan("\"/opt/nuv/bin/nuv4ondeko\" -child").child);
  EXPECT_EQ(Scan("\"/opt/nuv/bin/nuv4ondeko\" /Child").role, CommandLineAction::kNone);
  // Followed by another word: no keyword at all, so a watchdog starts.
  CommandLineAction a = Scan("\"/opt/nuv/bin/nuv4ondeko\" /Child extra");
  EXPECT_FALSE(a.child);
  EXPECT_EQ(a.role, CommandLineAction::kNone);
  EXPECT_FALSE(Scan("\"/opt/nuv/bin/nuv4ondeko\" /Child ").child);
  EXPECT_FALSE(Scan("\"/opt/nuv/bin/nuv4ondeko\" /Children").child);
}

TEST(CommandLineTest, RegistrationKeywordsInAnyCaseWithEitherMarker) {
  for (const char* line : {"\"/x/nuv4ondeko\" -service", "\"/x/nuv4ondeko\" /SERVICE",
                           "\"/x/nuv4ondeko\" -Service", "\"/x/nuv4ondeko\" /sErViCe"}) {
    EXPECT_EQ(Scan(line).role, CommandLineAction::kService) << line;
  }
  EXPECT_EQ(Scan("\"/x/nuv4ondeko\" -RegServer").role, CommandLineAction::kRegServer);
  EXPECT_EQ(Scan("\"/x/nuv4ondeko\" /unregserver").role, CommandLineAction::kUnregServer);
  EXPECT_EQ(Scan("\"/x/nuv4ondeko\" -Service now").role, CommandLineAction::kNone);
  EXPECT_EQ(Scan("\"/x/nuv4ondeko\"").role, CommandLineAction::kNone);
  EXPECT_EQ(Scan("").role, CommandLineAction::kNone);
  // /Child is not last here; -Service is.
  EXPECT_EQ(Scan("\"/x/nuv4ondeko\" /Child -Service").role, CommandLineAction::kService);
}

TEST(CommandLineTest, HyphensAndSlashesInsidePathsAreSkipped) {
  CommandLineAction a = Scan("\"/srv/im-bridge/nuv-4-ondeko/bin/nuv4ondeko\" /Child");
  EXPECT_TRUE(a.child);
  EXPECT_EQ(a.role, CommandLineAction::kNone);
  EXPECT_EQ(Scan("\"/srv/my-service/bin/nuv4ondeko\" -Service").role, CommandLineAction::kService);
  // A directory named like a keyword is not the end of the line.
  EXPECT_EQ(Scan("\"/srv/-Service/nuv4ondeko\"").role, CommandLineAction::kNone);
  EXPECT_FALSE(Scan("\"/srv/Child/nuv4ondeko\"").child);
}

TEST(CommandLineTest, JoinQuotesTheProgramSoItNeverReadsAsAKeyword) {
  const char* argv[] = {"/usr/local/bin/Child", nullptr};
  EXPECT_EQ(JoinCommandLine(1, argv), "\"/usr/local/bin/Child\"");
  EXPECT_FALSE(ScanCommandLine(JoinCommandLine(1, argv)).child);
  const char* argv2[] = {"/opt/a-b/nuv4ondeko", "/Child"};
  EXPECT_EQ(JoinCommandLine(2, argv2), "\"/opt/a-b/nuv4ondeko\" /Child");
  EXPECT_TRUE(ScanCommandLine(JoinCommandLine(2, argv2)).child);
}

}  // namespace
}  // namespace nuv
