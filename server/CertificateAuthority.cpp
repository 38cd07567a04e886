#include "server/CertificateAuthority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>

namespace nb::server {
namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct FileClose {
  void operator()(FILE* file) const { std::fclose(file); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;
using File = std::unique_ptr<FILE, FileClose>;

constexpr long kTenYears = 10L * 365 * 24 * 3600;

Key newKey() { return Key(EVP_EC_gen("P-256")); }

bool addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (!ext) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

Cert newCertificate(EVP_PKEY* key, const std::string& commonName) {
  Cert cert(X509_new());
  X509_set_version(cert.get(), 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7F;  // positive
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get()));
  BN_free(bn);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), kTenYears);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                             0);
  return cert;
}

bool writeKey(const std::string& path, EVP_PKEY* key) {
  const mode_t old = umask(077);
  File file(std::fopen(path.c_str(), "w"));
  umask(old);
  return file && PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
}

bool writeCert(const std::string& path, X509* cert) {
  File file(std::fopen(path.c_str(), "w"));
  return file && PEM_write_X509(file.get(), cert) == 1;
}

}  // namespace

Status CertificateAuthority::prepare(const std::vector<std::string>& hosts) {
  ::mkdir(folder_.c_str(), 0700);
  Key caKey;
  Cert caCert;
  {
    File keyFile(std::fopen((folder_ + "/ca.key").c_str(), "r"));
    File certFile(std::fopen(caFile().c_str(), "r"));
    if (keyFile && certFile) {
      caKey.reset(PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr));
      caCert.reset(PEM_read_X509(certFile.get(), nullptr, nullptr, nullptr));
    }
  }
  if (!caKey || !caCert) {
    caKey = newKey();
    if (!caKey) return Status::ioError("cannot make a key");
    caCert = newCertificate(caKey.get(), "nbserver local CA");
    X509_set_issuer_name(caCert.get(), X509_get_subject_name(caCert.get()));
    if (!addExtension(caCert.get(), caCert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
        !addExtension(caCert.get(), caCert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !addExtension(caCert.get(), caCert.get(), NID_subject_key_identifier, "hash") ||
        X509_sign(caCert.get(), caKey.get(), EVP_sha256()) == 0) {
      return Status::ioError("cannot sign the CA certificate");
    }
    if (!writeKey(folder_ + "/ca.key", caKey.get()) || !writeCert(caFile(), caCert.get())) {
      return Status::ioError("cannot write the CA files in " + folder_);
    }
  }

  Key key = newKey();
  if (!key) return Status::ioError("cannot make a key");
  Cert cert = newCertificate(key.get(), hosts.empty() ? "localhost" : hosts.front());
  X509_set_issuer_name(cert.get(), X509_get_subject_name(caCert.get()));
  std::string san = "DNS:localhost,IP:127.0.0.1";
  for (const auto& host : hosts) san += ",DNS:" + host;
  if (!addExtension(cert.get(), caCert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
      !addExtension(cert.get(), caCert.get(), NID_key_usage,
                    "critical,digitalSignature,keyEncipherment") ||
      !addExtension(cert.get(), caCert.get(), NID_ext_key_usage, "serverAuth") ||
      !addExtension(cert.get(), caCert.get(), NID_subject_alt_name, san) ||
      !addExtension(cert.get(), caCert.get(), NID_authority_key_identifier, "keyid:always") ||
      X509_sign(cert.get(), caKey.get(), EVP_sha256()) == 0) {
    return Status::ioError("cannot sign the server certificate");
  }
  if (!writeKey(keyFile(), key.get()) || !writeCert(certFile(), cert.get())) {
    return Status::ioError("cannot write the server certificate in " + folder_);
  }
  return Status::OK();
}

}  // namespace nb::server
