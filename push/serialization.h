#pragma once
// Serialization turns a message into an encrypted frame and a received frame
// into a message. It holds the session key (AES key and IV) and the RSA
// public key text. Owned by GapHubLogic (m_tSerialization); used only on the
// push thread.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "push/gap_msg.h"
#include "push/hibuffer.h"

namespace nuv {

class Serialization {
 public:
  explicit Serialization(std::string publicKeyText = std::string())
      : publicKey_(std::move(publicKeyText)) {}

  void SetPublicKey(const std::string& keyText) { publicKey_ = keyText; }
  // key: 32 bytes; the first 16 are the AES key, the last 16 the IV.
  void SetKey(const std::string& key);

  // Serializes msg and encrypts it (RSA for the key request, AES otherwise);
  // the ciphertext replaces out's content. 0 or a negative crypto code.
  int write(hibuffer& out, GapPacket& msg);
  // Decrypts a frame and decodes the message its command names. Returns 0
  // with *msg empty for an unknown command; a decryption or decoding code
  // otherwise (the decoded message, if any, is still handed over).
  int read(const uint8_t* bytes, size_t len, std::unique_ptr<GapPacket>* msg);

  const std::string& aesKey() const { return aesKey_; }
  const std::string& aesIv() const { return aesIv_; }

 private:
  std::string aesKey_;
  std::string aesIv_;
  std::string publicKey_;
};

// Creates the (empty) message object for a command the service receives:
// GapKeyRsp, ConnectRsp, HeartBeatReq, HeartBeatRsp, NotifyReq; nullptr for
// any other.
std::unique_ptr<GapPacket> CreateReceivedMessage(uint16_t cmd);

}  // namespace nuv
