#include "sim/cloud/sha256_hex.h"

#include <openssl/evp.h>

namespace nuv {
namespace sim {

std::string Sha256Hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), md, &n, EVP_sha256(), nullptr) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 15];
  }
  return out;
}

}  // namespace sim
}  // namespace nuv
