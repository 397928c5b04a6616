#include "im/wire_codec.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "im/wire_stream.h"

namespace nuv {
namespace {

std::vector<WireFrame> DecodeAll(const std::string& s, WireStatus* last) {
  std::vector<WireFrame> out;
  size_t pos = 0;
  for (;;) {
    WireFrame f;
    size_t used = 0;
    std::string err;
    *last = DecodeWireFrame(s.data() + pos, s.size() - pos, &f, &used, &err);
    if (*last != WireStatus::kOk) return out;
    out.push_back(std::move(f));
    pos += used;
  }
}

TEST(WireCodec, RoundTripsFieldsAndBinaryBody) {
  WireFields f{{"op", "SendFile"}, {"name", "报告.pdf"}, {"text", "a\"b\nc\x18"}};
  std::string body("\0\n{}\xff", 5);
  std::string bytes = EncodeWireFrame(f, body) + EncodeWireFrame(WireFields{{"event", "3"}});
  WireStatus st;
  auto frames = DecodeAll(bytes, &st);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(WireStatus::kNeedMore, st);
  EXPECT_EQ("报告.pdf", frames[0].fields.Get("name"));
  EXPECT_EQ("a\"b\nc\x18", frames[0].fields.Get("text"));
  EXPECT_EQ(body, frames[0].body);
  EXPECT_EQ(3, frames[1].fields.GetInt("event"));
  EXPECT_TRUE(frames[1].body.empty());
}

// A stream cut anywhere decodes to the same frames once the rest arrives, and
// never yields a frame early.
// The stream reader over a socket: a large body between small frames, the
// next frame already partly received when the large one completes, and
// more large bodies after it; every frame arrives whole and in order.
TEST(WireStream, LargeBodiesBetweenSmallFramesArriveWholeAndInOrder) {
  int sv[2];
  ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv));
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 13));
  std::string bytes;
  bytes += EncodeWireFrame(WireFields{{"n", "0"}});
  bytes += EncodeWireFrame(WireFields{{"n", "1"}}, big);
  bytes += EncodeWireFrame(WireFields{{"n", "2"}}, "small");
  bytes += EncodeWireFrame(WireFields{{"n", "3"}}, big.substr(1000));
  bytes += EncodeWireFrame(WireFields{{"n", "4"}});
  // The first write ends 10 bytes into frame 2; the rest follows once the
  // reader has handed on the large frame 1 (so it holds a partial small
  // frame right after a large one).
  const size_t firstPart = EncodeWireFrame(WireFields{{"n", "0"}}).size() +
                           EncodeWireFrame(WireFields{{"n", "1"}}, big).size() + 10;
  std::atomic<int> delivered{0};
  std::thread writer([&] {
    size_t pos = 0, piece = 1;
    while (pos < bytes.size()) {
      if (pos == firstPart) {
        for (int i = 0; i < 100000 && delivered.load() < 2; ++i) std::this_thread::yield();
      }
      size_t n = std::min(bytes.size() - pos, piece);
      if (pos < firstPart) n = std::min(n, firstPart - pos);
      ASSERT_EQ(static_cast<ssize_t>(n), ::write(sv[1], bytes.data() + pos, n));
      pos += n;
      piece = piece * 3 + 17;  // uneven pieces: frame ends fall inside reads
      if (piece > (1 << 20)) piece = 5;
    }
    ::close(sv[1]);
  });
  std::vector<WireFrame> got;
  EXPECT_EQ("closed", ReadWireFrames(sv[0], [&](WireFrame& f) {
              got.push_back(std::move(f));
              ++delivered;
            }));
  writer.join();
  ::close(sv[0]);
  ASSERT_EQ(5u, got.size());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(std::to_string(i), got[i].fields.Get("n"));
  EXPECT_EQ(big, got[1].body);
  EXPECT_EQ("small", got[2].body);
  EXPECT_EQ(big.substr(1000), got[3].body);
  EXPECT_TRUE(got[4].body.empty());
}

TEST(WireCodec, SplitAtEveryOffset) {
  std::string stream = EncodeWireFrame(WireFields{{"id", "1"}, {"op", "Start"}}) +
                       EncodeWireFrame(WireFields{{"event", "3"}, {"name", "x.dat"}}, std::string("B\nODY", 5)) +
                       EncodeWireFrame(WireFields{{"event", "1"}});
  for (size_t cut = 0; cut <= stream.size(); ++cut) {
    std::string buf = stream.substr(0, cut);
    WireStatus st;
    size_t complete = DecodeAll(buf, &st).size();
    ASSERT_NE(WireStatus::kBad, st) << cut;
    buf += stream.substr(cut);
    auto all = DecodeAll(buf, &st);
    ASSERT_EQ(3u, all.size()) << cut;
    EXPECT_LE(complete, 3u);
    EXPECT_EQ("B\nODY", all[1].body);
  }
}

TEST(WireCodec, RejectsMalformedFrames) {
  const char* bad[] = {"not json\n", "[1,2]\n", "{\"a\":{\"b\":1}}\n", "{\"a\":true}\n",
                       "{\"bytes\":\"-1\"}\n", "{\"bytes\":\"12x\"}\n", "{\"bytes\":\"99999999999\"}\n",
                       "{\"a\":\"1\",\"a\":\"2\"}\n", "{\"a\":\"1\"} trailing\n"};
  for (const char* s : bad) {
    WireFrame f;
    size_t used = 0;
    std::string err;
    EXPECT_EQ(WireStatus::kBad, DecodeWireFrame(s, std::strlen(s), &f, &used, &err)) << s;
    EXPECT_FALSE(err.empty());
  }
  // Numbers are kept as their decimal text.
  const char ok[] = "{\"id\":42,\"big\":18446744073709551615}\n";
  WireFrame f;
  size_t used = 0;
  std::string err;
  ASSERT_EQ(WireStatus::kOk, DecodeWireFrame(ok, sizeof(ok) - 1, &f, &used, &err));
  EXPECT_EQ("42", f.fields.Get("id"));
  EXPECT_EQ("18446744073709551615", f.fields.Get("big"));
}

TEST(WireCodec, LineWithoutEndIsBoundedByTheLimit) {
  std::string s(kWireMaxLine, 'x');
  WireFrame f;
  size_t used = 0;
  std::string err;
  EXPECT_EQ(WireStatus::kNeedMore, DecodeWireFrame(s.data(), s.size(), &f, &used, &err));
  s.push_back('x');
  EXPECT_EQ(WireStatus::kBad, DecodeWireFrame(s.data(), s.size(), &f, &used, &err));
}

}  // namespace
}  // namespace nuv
