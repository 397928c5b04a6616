#include "sim/cloud/self_signed_cert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace nuv {
namespace sim {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};

bool AddExt(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

}  // namespace

bool MakeSelfSignedCert(const std::string& certPath, const std::string& keyPath, std::string& err) {
  std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) return err = "key generation failed", false;
  std::unique_ptr<X509, X509Free> cert(X509_new());
  if (!cert) return err = "X509_new failed", false;
  X509_set_version(cert.get(), 2);
  unsigned char serial[8];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  uint64_t sn = 0;
  for (unsigned char b : serial) sn = (sn << 8) | b;
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert.get()), sn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24L * 3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3650L * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Cloud Simulator"), -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (!AddExt(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExt(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !AddExt(cert.get(), NID_subject_key_identifier, "hash") ||
      !AddExt(cert.get(), NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"))
    return err = "certificate extensions failed", false;
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
    return err = "certificate signing failed", false;

  std::unique_ptr<FILE, FileClose> kf(std::fopen(keyPath.c_str(), "wb"));
  if (!kf || PEM_write_PrivateKey(kf.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return err = "cannot write " + keyPath, false;
  std::unique_ptr<FILE, FileClose> cf(std::fopen(certPath.c_str(), "wb"));
  if (!cf || PEM_write_X509(cf.get(), cert.get()) != 1)
    return err = "cannot write " + certPath, false;
  return true;
}

}  // namespace sim
}  // namespace nuv
