// Key generation, the certificate with its subjectAltName, and writing both as PEM files.
#include "http/self_signed.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "base/file_io.h"
#include "base/unique_fd.h"
#include "http/tls_context.h"

namespace orvelle::http {
namespace {

namespace fs = std::filesystem;

// A year, as browsers cap the lifetime of certificates they accept.
constexpr long kValiditySeconds = 365L * 24 * 60 * 60;
// Backdated this much, so a client whose clock is a little behind does not see it as not yet
// valid.
constexpr long kBackdateSeconds = 60 * 60;
// Bytes of the random serial number (positive, under the 20 allowed).
constexpr int kSerialBytes = 16;
// gethostname's result fits here on Linux (HOST_NAME_MAX is 64).
constexpr std::size_t kHostNameBuffer = 256;

template <auto Free>
struct TFreeWith {
  template <class T>
  void operator()(T* p) const {
    Free(p);
  }
};
using TKey = std::unique_ptr<EVP_PKEY, TFreeWith<::EVP_PKEY_free>>;
using TCert = std::unique_ptr<X509, TFreeWith<::X509_free>>;
using TBio = std::unique_ptr<BIO, TFreeWith<::BIO_free>>;
using TExtension = std::unique_ptr<X509_EXTENSION, TFreeWith<::X509_EXTENSION_free>>;
using TBigNum = std::unique_ptr<BIGNUM, TFreeWith<::BN_free>>;

[[noreturn]] void Fail(const std::string& what) {
  throw ETlsError("cannot make the certificate: " + what + ": " + TakeTlsError("library error"));
}

bool IsHostName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
  });
}

void AddUnique(std::vector<std::string>& list, std::string item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(std::move(item));
}

void AddInterfaceAddresses(std::vector<std::string>& addresses) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return;
  const std::unique_ptr<ifaddrs, TFreeWith<::freeifaddrs>> owner(list);
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    char text[INET6_ADDRSTRLEN] = {};
    const int family = a->ifa_addr->sa_family;
    const void* raw = nullptr;
    if (family == AF_INET) raw = &reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr;
    if (family == AF_INET6) raw = &reinterpret_cast<const sockaddr_in6*>(a->ifa_addr)->sin6_addr;
    if (raw && ::inet_ntop(family, raw, text, sizeof text)) AddUnique(addresses, text);
  }
}

std::string AltNames(const TCertificateNames& names) {
  std::string text;
  for (const std::string& host : names.hosts) text += (text.empty() ? "DNS:" : ",DNS:") + host;
  for (const std::string& ip : names.addresses) text += (text.empty() ? "IP:" : ",IP:") + ip;
  return text;
}

TKey NewKey() {
  TKey key(::EVP_EC_gen("P-256"));
  if (!key) Fail("key generation");
  return key;
}

void AddExtension(X509* cert, int nid, const std::string& value) {
  X509V3_CTX context;
  X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
  const TExtension extension(::X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
  if (!extension || ::X509_add_ext(cert, extension.get(), -1) != 1) Fail("extension " + value);
}

void SetRandomSerial(X509* cert) {
  unsigned char bytes[kSerialBytes];
  if (::RAND_bytes(bytes, sizeof bytes) != 1) Fail("random serial");
  bytes[0] &= 0x7f;  // positive
  const TBigNum serial(::BN_bin2bn(bytes, sizeof bytes, nullptr));
  if (!serial || !::BN_to_ASN1_INTEGER(serial.get(), ::X509_get_serialNumber(cert)))
    Fail("serial number");
}

TCert NewCertificate(EVP_PKEY* key, const TCertificateNames& names) {
  TCert cert(::X509_new());
  if (!cert) Fail("certificate");
  X509* c = cert.get();
  ::X509_set_version(c, X509_VERSION_3);
  SetRandomSerial(c);
  ::X509_gmtime_adj(::X509_getm_notBefore(c), -kBackdateSeconds);
  ::X509_gmtime_adj(::X509_getm_notAfter(c), kValiditySeconds);
  ::X509_set_pubkey(c, key);
  X509_NAME* subject = ::X509_get_subject_name(c);
  const std::string common = names.hosts.empty() ? "localhost" : names.hosts.front();
  ::X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(common.c_str()), -1, -1, 0);
  ::X509_set_issuer_name(c, subject);
  AddExtension(c, NID_subject_alt_name, AltNames(names));
  AddExtension(c, NID_ext_key_usage, "serverAuth");
  AddExtension(c, NID_subject_key_identifier, "hash");
  if (::X509_sign(c, key, ::EVP_sha256()) == 0) Fail("signature");
  return cert;
}

template <class Write>
std::string Pem(Write write) {
  const TBio bio(::BIO_new(::BIO_s_mem()));
  if (!bio || !write(bio.get())) Fail("PEM encoding");
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<std::size_t>(size));
}

// O_EXCL: an existing certificate or key, maybe a real one, is never replaced.
void WriteNew(const fs::path& path, const std::string& bytes, mode_t mode) {
  base::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.Valid() || ::fchmod(fd.Get(), mode) != 0)
    throw ETlsError("cannot write " + path.string() + ": " + std::strerror(errno));
  if (!base::WriteAll(fd.Get(), bytes))
    throw ETlsError("cannot write " + path.string() + ": " + std::strerror(errno));
}

}  // namespace

TCertificateNames LocalCertificateNames() {
  TCertificateNames names;
  char host[kHostNameBuffer] = {};
  if (::gethostname(host, sizeof host - 1) == 0 && IsHostName(host)) names.hosts.push_back(host);
  AddUnique(names.hosts, "localhost");
  names.addresses = {"127.0.0.1", "::1"};
  AddInterfaceAddresses(names.addresses);
  return names;
}

void WriteSelfSigned(const fs::path& dir, const TCertificateNames& names) {
  for (const std::string& host : names.hosts) {
    if (!IsHostName(host)) throw ETlsError("not a host name: " + host);
  }
  const TKey key = NewKey();
  const TCert cert = NewCertificate(key.get(), names);
  const std::string key_pem = Pem([&](BIO* bio) {
    return ::PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
  const std::string cert_pem =
      Pem([&](BIO* bio) { return ::PEM_write_bio_X509(bio, cert.get()) == 1; });
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) throw ETlsError("cannot create " + dir.string() + ": " + error.message());
  for (const char* name : {"cert.pem", "key.pem"}) {
    if (fs::exists(dir / name)) throw ETlsError((dir / name).string() + " exists already");
  }
  WriteNew(dir / "key.pem", key_pem, 0600);
  WriteNew(dir / "cert.pem", cert_pem, 0644);
}

}  // namespace orvelle::http
