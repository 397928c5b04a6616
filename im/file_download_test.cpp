// IM file download against the simulator's file monitor, in virtual time.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/paths.h"
#include "common/text_conv.h"
#include "im/app_manager.h"
#include "im/im_app_fixture.h"

namespace nuv {
namespace {

using test::WaitUntil;

class DownloadTest : public test::StartedAppTest {
 protected:
  CQueueFile File(const std::string& fid, const std::wstring& name, int status = FILE_STATUS_WAIT) {
    CQueueFile f;
    f.fid = Utf8ToWide(fid);
    f.fkey = L"k";
    f.fileName = name;
    f.datName = f.fid + L".dat";
    f.localPath = GetTmpFilesDir() + L"/" + f.datName;
    f.status = status;
    return f;
  }
  void Announce(const std::string& fid) {
    int16_t flag = 0;
    app_->OnFileUploaded(L"<FileUpload FileID=\"" + Utf8ToWide(fid) + L"\" FileName=\"x\"/>", &flag);
    EXPECT_EQ(-1, flag);
  }
  void Download(CQueueMsg& msg, std::vector<CQueueFile>& failed) {
    env_.RunInVirtualTime([&] { app_->DownloadAllFiles(msg, failed); });
  }
  std::vector<std::string> DownloadedFids() {
    std::vector<std::string> fids;
    for (const auto& c : env_.server().Calls()) {
      if (c.Get("op") == "DownloadFile") fids.push_back(c.Get("fid"));
    }
    return fids;
  }
  void NoAnnouncements() {
    env_.SetFaults([](sim::ImSimServer::Faults& f) { f.neverAnnounce = true; });
  }
  void HoldDownloads(bool on) {
    env_.SetFaults([on](sim::ImSimServer::Faults& f) { f.holdDownloads = on; });
  }
  // A download the server holds, retired at the message's limit; downloads
  // stay held.
  void RetireHeldDownload(const std::string& name) {
    const std::string fid = env_.server().UserUpload(name, "HELD");
    HoldDownloads(true);
    CQueueMsg msg;
    msg.files = {File(fid, Utf8ToWide(name), FILE_STATUS_READY)};
    std::vector<CQueueFile> failed;
    Download(msg, failed);
    ASSERT_EQ(1u, failed.size());
  }
};

TEST_F(DownloadTest, AnnouncementParsing) {
  NoAnnouncements();
  const std::string fid = env_.server().UserUpload("a.txt", "AAA");
  int16_t flag = 0;
  app_->OnFileUploaded(L"<F FileID=\"ab12\"/>", &flag);
  EXPECT_TRUE(env_.root().LogContains("OnFileUploaded FID token Endtag not Found"));
  app_->OnFileUploaded(L"<F FID=\"ab12\" />", &flag);
  EXPECT_TRUE(env_.root().LogContains("OnFileUploaded FID token not Found, upinfo is:"));
  Announce(fid);
  CQueueMsg msg;
  msg.files.push_back(File(fid, L"a.txt"));
  std::vector<CQueueFile> failed;
  Download(msg, failed);
  ASSERT_EQ(1u, msg.files.size());
  EXPECT_EQ(FILE_STATUS_OK, msg.files[0].status);
  EXPECT_EQ("AAA", test::ReadWholeFile(WideToUtf8(msg.files[0].localPath)));
  EXPECT_TRUE(failed.empty());
}

TEST_F(DownloadTest, TwoAnnouncedFilesDownloadOneAfterTheOther) {
  std::vector<std::string> fids;
  sim::ImSimServer::UserMessage m;
  m.from = "alice";
  m.to = {"bob"};
  m.files = {{"one.bin", std::string("\0\1\2", 3), false, false}, {"two.jpg", "JPEGDATA", true, false}};
  std::string key;
  ASSERT_TRUE(env_.server().UserSend(m, &key, &fids));
  ASSERT_EQ(2u, fids.size());
  CQueueMsg msg;
  msg.msgid = 9;
  msg.files = {File(fids[0], L"one.bin"), File(fids[1], L"two.jpg")};
  std::vector<CQueueFile> failed;
  Download(msg, failed);
  ASSERT_EQ(2u, msg.files.size());
  EXPECT_TRUE(failed.empty());
  EXPECT_EQ(std::string("\0\1\2", 3), test::ReadWholeFile(WideToUtf8(msg.files[0].localPath)));
  EXPECT_EQ("JPEGDATA", test::ReadWholeFile(WideToUtf8(msg.files[1].localPath)));
  EXPECT_EQ(fids, DownloadedFids());
  EXPECT_TRUE(env_.root().LogContains(
      "DownloadNuvFile files 2 End 2 (OK 2 ERR 0) WAIT 0 READY 0 DOWNING 0, FINISHED !"));
}

TEST_F(DownloadTest, FailedTwiceIsAnError) {
  const std::string fid = env_.server().UserUpload("bad.txt", "B");
  env_.SetFaults([](sim::ImSimServer::Faults& f) { f.downloadFail = 2; });
  Announce(fid);
  CQueueMsg msg;
  msg.msgid = 4;
  msg.files = {File(fid, L"bad.txt")};
  std::vector<CQueueFile> failed;
  Download(msg, failed);
  EXPECT_TRUE(msg.files.empty());
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(FILE_STATUS_ERR, failed[0].status);
  EXPECT_EQ(2, failed[0].failCount);
  const std::string tail = fid.substr(fid.size() - 12);
  EXPECT_TRUE(env_.root().LogContains("OnDownloadFail Call, fid '" + tail +
                                      "' file 'bad.txt' download faile, code 2, retry 1 change status to READY"));
  EXPECT_TRUE(env_.root().LogContains("OnDownloadFail Call, fid '" + tail +
                                      "' file 'bad.txt' download faile, code 2, retry 2 change status to DOWNERR"));
  EXPECT_TRUE(env_.root().LogContains("DownloadNuvFile files 1 End 1 (OK 0 ERR 1)"));
  EXPECT_TRUE(env_.root().LogContains(
      "DownloadNuvFile climsgid 4 File 'bad.txt' download failed, last status 3, put to faillist"));
  EXPECT_EQ(2u, DownloadedFids().size());
}

TEST_F(DownloadTest, OneFailureThenSuccessAndFewerFailuresFirst) {
  const std::string a = env_.server().UserUpload("a", "AA", false);
  const std::string b = env_.server().UserUpload("b", "BB", false);
  CQueueMsg msg;
  msg.files = {File(a, L"a", FILE_STATUS_READY), File(b, L"b", FILE_STATUS_READY)};
  msg.files[0].failCount = 1;
  env_.SetFaults([](sim::ImSimServer::Faults& f) { f.downloadFail = 1; });  // the first request fails once
  std::vector<CQueueFile> failed;
  Download(msg, failed);
  ASSERT_EQ(2u, msg.files.size());
  // b (no failures) first, fails once; then a and b tie at 1 and a, the
  // first of equals, goes before b's second attempt.
  EXPECT_EQ((std::vector<std::string>{b, a, b}), DownloadedFids());
  EXPECT_EQ(1, msg.files[1].failCount);
}

TEST_F(DownloadTest, StrayEventsOnlyLog) {
  app_->OnDownloadComplete();
  EXPECT_TRUE(env_.root().LogContains("OnDownloadComplete Call, but downing list size 0 != 1, error"));
  app_->OnDownloadFail(5);
  EXPECT_TRUE(env_.root().LogContains("OnDownloadFail Call, iCode =5 but downing list size 0 != 1, error"));
}

TEST_F(DownloadTest, AnnouncementIsClaimedOnceAndUnannouncedFilesTimeOut) {
  NoAnnouncements();
  const std::string fid = env_.server().UserUpload("x.txt", "X");
  Announce(fid);  // before the message is forwarded
  CQueueMsg first;
  first.files = {File(fid, L"x.txt")};
  std::vector<CQueueFile> failed;
  Download(first, failed);
  EXPECT_EQ(1u, first.files.size());
  // The entry was used up: a second message with the same file waits in vain.
  CQueueMsg second;
  second.msgid = 77;
  second.files = {File(fid, L"x.txt")};
  const int64_t t0 = env_.clock().Now();
  Download(second, failed);
  EXPECT_GT(env_.clock().Now() - t0, 10);
  EXPECT_TRUE(second.files.empty());
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(FILE_STATUS_WAIT, failed[0].status);
  EXPECT_TRUE(env_.root().LogContains("DownloadNuvFile Download > 10s , quit download loop"));
  EXPECT_TRUE(env_.root().LogContains(
      "DownloadNuvFile climsgid 77 File 'x.txt' download failed, last status 0, put to faillist"));
}

// A download still running at the limit is retired: its late event touches
// nothing, and the next message's downloads are not blocked.
TEST_F(DownloadTest, LateEventAfterTheLimitTouchesNothing) {
  const std::string slow = env_.server().UserUpload("slow.bin", "SLOW");
  const std::string next = env_.server().UserUpload("next.bin", "NEXT");
  HoldDownloads(true);
  auto first = std::make_unique<CQueueMsg>();
  first->msgid = 1;
  first->files = {File(slow, L"slow.bin", FILE_STATUS_READY)};
  std::vector<CQueueFile> failed;
  Download(*first, failed);
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(FILE_STATUS_DOWNING, failed[0].status);
  EXPECT_TRUE(env_.root().LogContains("still downloading, retire it"));
  first.reset();  // the message has moved on and is gone

  HoldDownloads(false);
  env_.server().ReleaseDownloads();  // the late completion
  ASSERT_TRUE(WaitUntil([&] { return env_.root().LogContains("OnDownloadComplete Call for a retired download, ignored"); }));

  CQueueMsg second;
  second.files = {File(next, L"next.bin", FILE_STATUS_READY)};
  std::vector<CQueueFile> failed2;
  Download(second, failed2);
  ASSERT_EQ(1u, second.files.size());
  EXPECT_EQ(FILE_STATUS_OK, second.files[0].status);
  EXPECT_EQ("NEXT", test::ReadWholeFile(WideToUtf8(second.files[0].localPath)));
}

TEST_F(DownloadTest, RetiredDownloadWithoutEventBlocksOnlyForTheGrace) {
  const std::string next = env_.server().UserUpload("next.bin", "N");
  RetireHeldDownload("lost.bin");
  std::vector<CQueueFile> failed;

  HoldDownloads(false);  // the held answer never comes
  CQueueMsg second;
  second.files = {File(next, L"next.bin", FILE_STATUS_READY)};
  const int64_t t0 = env_.clock().Now();
  Download(second, failed);
  ASSERT_EQ(1u, second.files.size());
  EXPECT_EQ(FILE_STATUS_OK, second.files[0].status);
  EXPECT_LE(env_.clock().Now() - t0, 7);
  EXPECT_TRUE(env_.root().LogContains("retired download got no event within 5000 ms, forget it"));
}

// A retired download whose event comes only after its grace, while the next
// download runs: its completion is not taken for the next file's, which
// would be OK without a copy (its own answer here is a refusal).
TEST_F(DownloadTest, LateCompletionAfterTheGraceIsNotTakenForTheNextFile) {
  RetireHeldDownload("slow.bin");
  CQueueMsg second;
  second.files = {File("NOSUCHFID", L"gone.bin", FILE_STATUS_READY)};
  std::vector<CQueueFile> failed2;
  std::thread releaser([&] {
    WaitUntil([&] { return DownloadedFids().size() == 2; });  // after the grace
    HoldDownloads(false);
    env_.server().ReleaseDownloads();  // the late completion, then the refusal
  });
  Download(second, failed2);
  releaser.join();
  for (const CQueueFile& f : second.files)
    EXPECT_TRUE(test::FileExists(WideToUtf8(f.localPath))) << "reported fetched without a copy";
  ASSERT_EQ(1u, failed2.size());
  EXPECT_EQ(FILE_STATUS_ERR, failed2[0].status);
  EXPECT_TRUE(env_.root().LogContains("has no local copy: another download's late event, ignored"));
}

TEST_F(DownloadTest, LostServerEndsTheDownloadInProgress) {
  const std::string fid = env_.server().UserUpload("d.bin", "D");
  HoldDownloads(true);
  CQueueMsg msg;
  msg.files = {File(fid, L"d.bin", FILE_STATUS_READY)};
  std::vector<CQueueFile> failed;
  std::thread dropper([&] {
    WaitUntil([&] { return DownloadedFids().size() == 1; });
    env_.server().Stop();  // gone for good: the retry is refused
  });
  msg.msgid = 12;
  const int64_t t0 = env_.clock().Now();
  Download(msg, failed);
  dropper.join();
  // Not the file's failure: it stays READY, uncounted, for the message's
  // next attempt, and the loop ends at once instead of waiting out the limit.
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(FILE_STATUS_READY, failed[0].status);
  EXPECT_EQ(0, failed[0].failCount);
  EXPECT_LT(env_.clock().Now() - t0, 10);
  EXPECT_TRUE(env_.root().LogContains("DownloadNuvFile climsgid 12 file monitor not reachable, quit download loop"));
  // The server may vanish before or after it acknowledged the request.
  // After: the transfer's failure event names the lost connection. Before:
  // the request itself fails with it.
  EXPECT_TRUE(env_.root().LogContains("code -2147023174, file monitor not reachable, change status to READY") ||
              env_.root().LogContains("failed hr=-2147023174"));
  EXPECT_FALSE(env_.root().LogContains("DOWNERR"));
}

}  // namespace
}  // namespace nuv
