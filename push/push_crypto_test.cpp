// Frame encryption: sizes and padding, the error codes, and agreement with an
// independent implementation (the openssl command line decrypts what the
// service encrypted, with the simulator's private key for RSA).

#include "push/push_crypto.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/test_support.h"
#include "push/byte_order.h"
#include "push/gap_msg.h"
#include "push/push_settings.h"
#include "push/serialization.h"
#include "sim/push/push_keys.h"
#include "sim/push/server_frames.h"

namespace nuv {
namespace {

const std::string kKey = "0123456789abcdef";
const std::string kIv = "fedcba9876543210";

const uint8_t* U8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

bool HaveOpenssl() { return std::system("command -v openssl >/dev/null 2>&1") == 0; }

// Runs a shell command; its standard output as a string (empty on failure).
std::string RunShell(const std::string& cmd, int* status) {
  std::string out;
  std::FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  *status = ::pclose(p);
  return out;
}

TEST(PushCryptoTest, AesSizesAndPadding) {
  std::string out;
  for (size_t n : {0u, 1u, 14u, 15u, 16u, 17u, 30u, 31u, 32u}) {
    std::string plain(n, 'p');
    ASSERT_EQ(0, AesEncrypt(kKey, kIv, U8(plain), n, &out)) << n;
    EXPECT_EQ(n / 16 * 16 + 16, out.size()) << n;
    std::string back;
    ASSERT_EQ(0, AesDecrypt(kKey, kIv, U8(out), out.size(), &back)) << n;
    EXPECT_EQ(plain, back);
  }
  // Each frame starts from the IV: the same plaintext gives the same ciphertext.
  std::string a, b;
  AesEncrypt(kKey, kIv, U8(kKey), 16, &a);
  AesEncrypt(kKey, kIv, U8(kKey), 16, &b);
  EXPECT_EQ(a, b);
}

TEST(PushCryptoTest, AesErrorCodes) {
  std::string out;
  EXPECT_EQ(-7, AesEncrypt(kKey, kKey, U8(kKey), 16, &out));
  EXPECT_EQ(-2, AesEncrypt(kKey, kIv, nullptr, 5, &out));
  EXPECT_EQ(-2, AesDecrypt(kKey, kIv, nullptr, 16, &out));
  EXPECT_EQ(-3, AesDecrypt(kKey, kIv, U8(kKey), 15, &out));
  EXPECT_EQ(-5, AesDecrypt(kKey, kIv, U8(std::string(20, 'x')), 20, &out));
  EXPECT_EQ(-4, AesEncrypt("short", kIv, U8(kKey), 16, &out));
  // A last plaintext byte of 0 or above 16 is a padding error. Encrypt whole
  // blocks by hand (16 bytes + full pad block), then cut the pad block.
  for (char last : {'\0', '\x11', '\xff'}) {
    std::string plain(16, 'a');
    plain[15] = last;
    std::string c;
    ASSERT_EQ(0, AesEncrypt(kKey, kIv, U8(plain), 16, &c));
    EXPECT_EQ(-6, AesDecrypt(kKey, kIv, U8(c), 16, &out)) << int(last);
  }
}

TEST(PushCryptoTest, PemWrappingOfTheEmbeddedKey) {
  const std::string body = kPushPublicKey;
  ASSERT_EQ(216u, body.size());
  const std::string pem = PublicKeyPem(body);
  EXPECT_EQ("-----BEGIN PUBLIC KEY-----\n" + body.substr(0, 64) + "\n" + body.substr(64, 64) + "\n" +
                body.substr(128, 64) + "\n" + body.substr(192) + "\n-----END PUBLIC KEY-----\n",
            pem);
  EXPECT_EQ(pem, PublicKeyPem(pem));
}

TEST(PushCryptoTest, RsaChunksAndErrorCodes) {
  std::string out;
  const std::string req(52, 'k');
  ASSERT_EQ(0, RsaEncrypt(kPushPublicKey, U8(req), req.size(), &out));
  EXPECT_EQ(128u, out.size());
  const std::string longer(118, 'k');  // two chunks of at most 117 bytes
  ASSERT_EQ(0, RsaEncrypt(kPushPublicKey, U8(longer), longer.size(), &out));
  EXPECT_EQ(256u, out.size());
  std::string back;
  ASSERT_EQ(0, sim::RsaDecrypt(sim::kPushPrivateKeyPem, U8(out), out.size(), &back));
  EXPECT_EQ(longer, back);

  EXPECT_EQ(-2, RsaEncrypt("", U8(req), req.size(), &out));
  EXPECT_EQ(-2, RsaEncrypt(kPushPublicKey, nullptr, 4, &out));
  EXPECT_EQ(-3, RsaEncrypt("bm90IGEga2V5", U8(req), req.size(), &out));
}

// A frame the service writes, decrypted by the openssl command line.
TEST(PushCryptoTest, OpensslCommandLineAgrees) {
  if (!HaveOpenssl()) GTEST_SKIP() << "openssl command line not installed";
  test::TempInstallRoot dir;
  const std::string d = dir.root() + "/";
  int st = -1;

  // AES: a NotifyRsp under a session key with arbitrary bytes.
  const std::string session = sim::RandomSessionKey();
  Serialization ser(kPushPublicKey);
  ser.SetKey(session);
  NotifyRsp rsp(0xA1B2C3D4u);
  hibuffer frame;
  ASSERT_EQ(0, ser.write(frame, rsp));
  test::WriteWholeFile(d + "aes.bin", std::string(frame.data(), frame.length()));
  std::string plain = RunShell("openssl enc -d -aes-128-cbc -K " + HexUpper(session.substr(0, 16)) + " -iv " +
                              HexUpper(session.substr(16)) + " -in " + d + "aes.bin",
                          &st);
  ASSERT_EQ(0, st);
  ASSERT_EQ(18u, plain.size());
  EXPECT_EQ(std::string("\x01\x00\x0e\x00\x06", 5), plain.substr(0, 5));
  EXPECT_EQ(std::string("\x00\x00\x00\x04", 4), plain.substr(7, 4));
  EXPECT_EQ(std::string("\xa1\xb2\xc3\xd4", 4), plain.substr(14));

  // A 16-byte plaintext gets a whole block of 0x10 padding.
  std::string c16;
  ASSERT_EQ(0, AesEncrypt(kKey, kIv, U8(kIv), 16, &c16));
  test::WriteWholeFile(d + "full.bin", c16);
  plain = RunShell("openssl enc -d -nopad -aes-128-cbc -K " + HexUpper(kKey) + " -iv " + HexUpper(kIv) + " -in " +
                  d + "full.bin",
              &st);
  EXPECT_EQ(kIv + std::string(16, '\x10'), plain);

  // RSA: the key request, decrypted with the simulator's private key.
  GapKeyReq req(kInitialGapKey, 1765274400123ULL);
  ASSERT_EQ(0, ser.write(frame, req));
  ASSERT_EQ(128u, frame.length());
  test::WriteWholeFile(d + "rsa.bin", std::string(frame.data(), frame.length()));
  test::WriteWholeFile(d + "priv.pem", sim::kPushPrivateKeyPem);
  plain = RunShell("openssl pkeyutl -decrypt -inkey " + d + "priv.pem -pkeyopt rsa_padding_mode:pkcs1 -in " +
                  d + "rsa.bin",
              &st);
  ASSERT_EQ(0, st);
  ASSERT_EQ(52u, plain.size());
  EXPECT_EQ(std::string("\x01\x00\x34\x80\x00", 5), plain.substr(0, 5));
  EXPECT_EQ(std::string(5, '\0'), plain.substr(7, 5));
  EXPECT_EQ(kInitialGapKey, plain.substr(12, 32));
  EXPECT_EQ(std::string("\x69\x37\xf3\x20\x00\x00\x00\x7b", 8), plain.substr(44));

  // A public key that is not RSA.
  std::string ec = RunShell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 2>/dev/null"
                       " | openssl pkey -pubout",
                       &st);
  ASSERT_EQ(0, st);
  std::string out;
  EXPECT_EQ(-4, RsaEncrypt(ec, U8(plain), 52, &out));
}

}  // namespace
}  // namespace nuv
