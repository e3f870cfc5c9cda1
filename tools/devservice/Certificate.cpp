#include "tools/devservice/Certificate.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/TextFile.h"

namespace lumora::devservice {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;

std::unexpected<Error> opensslError(const std::string& what) {
  return fail("OpenSSL", 0, "could not make the certificate: " + what);
}

bool addExtension(X509* cert, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

std::string pem(const std::function<int(BIO*)>& write) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || write(bio.get()) != 1) return {};
  char* data = nullptr;
  long length = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(length));
}

}  // namespace

Result<void> ensureCertificate(const std::filesystem::path& certFile,
                               const std::filesystem::path& keyFile) {
  if (std::filesystem::exists(certFile) && std::filesystem::exists(keyFile)) return {};
  KeyPtr key(EVP_EC_gen("P-256"));
  if (!key) return opensslError("key");
  CertPtr cert(X509_new());
  if (!cert) return opensslError("certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(::time(nullptr)));
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 10L * 365 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("Lumora development service"),
                             -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (!addExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !addExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign") ||
      !addExtension(cert.get(), NID_ext_key_usage, "serverAuth") ||
      !addExtension(cert.get(), NID_subject_key_identifier, "hash") ||
      !addExtension(cert.get(), NID_subject_alt_name,
                    "DNS:localhost,IP:127.0.0.1,IP:0:0:0:0:0:0:0:1")) {
    return opensslError("extensions");
  }
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return opensslError("signature");
  std::string keyText = pem([&](BIO* b) {
    return PEM_write_bio_PrivateKey(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  std::string certText = pem([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()); });
  if (keyText.empty() || certText.empty()) return opensslError("PEM");
  // The key first: a certificate without its key would be kept on the next start.
  if (auto w = writeFileAtomically(keyFile, keyText, 0600); !w) return w;
  return writeFileAtomically(certFile, certText, 0644);
}

}  // namespace lumora::devservice
