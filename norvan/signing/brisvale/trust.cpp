#include "norvan/signing/brisvale/trust.hpp"

#include "norvan/common/files.hpp"

#include <algorithm>
#include <climits>
#include <string_view>
#include <system_error>

namespace norvan::signing::brisvale {
namespace detail {
namespace {

// Returns the first PEM block's contents when `entry` holds a PEM boundary, else `entry`.
Bytes certificate_der(ByteView entry, const std::string& what) {
  static constexpr std::string_view kBoundary = "-----BEGIN";
  const std::string_view text = as_text(entry);
  if (text.find(kBoundary) == std::string_view::npos) return Bytes(entry.begin(), entry.end());
  const ossl::UniquePtr<BIO> bio = ossl::memory_reader(entry.data(), entry.size());
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long size = 0;
  ossl::clear_errors();
  const int ok = PEM_read_bio(bio.get(), &name, &header, &data, &size);
  const ossl::UniquePtr<char> owned_name(name);
  const ossl::UniquePtr<char> owned_header(header);
  const ossl::UniquePtr<unsigned char> owned_data(data);
  if (ok != 1) {
    const std::string reason = ossl::take_error_reason();
    throw InvalidTrustedCertificateError(what + " holds no valid PEM block" +
                                         (reason.empty() ? "" : ": " + reason));
  }
  return Bytes(data, data + size);
}

Certificate load_trusted_certificate(ByteView entry, const std::string& what) {
  const Bytes der_bytes = certificate_der(entry, what);
  ossl::clear_errors();
  Certificate cert = parse_certificate(der_bytes);
  if (!cert) {
    const std::string reason = ossl::take_error_reason();
    throw InvalidTrustedCertificateError(what + " is not an X.509 certificate in PEM or DER" +
                                         (reason.empty() ? "" : ": " + reason));
  }
  return cert;
}

// The entries of `directory` matching "*.pem" (not recursive, no names starting with a dot,
// case-sensitive), in listing order. A missing directory (or a non-directory) has none.
std::vector<std::filesystem::path> pem_files(const std::filesystem::path& directory) {
  std::vector<std::filesystem::path> files;
  std::error_code error;
  if (!std::filesystem::is_directory(directory, error)) return files;
  std::filesystem::directory_iterator it(directory, error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() > 4 && name.front() != '.' && name.ends_with(".pem")) files.push_back(it->path());
  }
  if (error) throw_file_error("Cannot list trusted certificate directory", directory, error.value());
  return files;
}

}  // namespace

Certificate parse_certificate(ByteView der_bytes) {
  const unsigned char* cursor = der_bytes.data();
  if (der_bytes.size() > static_cast<std::size_t>(LONG_MAX)) return nullptr;
  ossl::UniquePtr<X509> parsed(d2i_X509(nullptr, &cursor, static_cast<long>(der_bytes.size())));
  if (!parsed) return nullptr;
  Certificate cert(std::move(parsed));
  if (cursor != der_bytes.data() + der_bytes.size()) return nullptr;
  // Compute OpenSSL's cached extension data now, so that the object is not changed later.
  X509_check_purpose(cert.get(), -1, 0);
  ossl::clear_errors();
  return cert;
}

std::shared_ptr<const ValidationContext> build_context(const std::optional<std::vector<Bytes>>& trusted,
                                                       const std::optional<std::filesystem::path>& directory) {
  std::optional<std::vector<Certificate>> roots;
  if (trusted) {
    roots.emplace();
    for (std::size_t i = 0; i < trusted->size(); ++i) {
      roots->push_back(load_trusted_certificate((*trusted)[i], "Trusted certificate #" + std::to_string(i + 1)));
    }
  }
  if (directory) {
    if (!roots) roots.emplace();
    for (const auto& file : pem_files(*directory)) {
      const Bytes contents = read_file(file, "trusted certificate file");
      roots->push_back(load_trusted_certificate(contents, "Trusted certificate file '" + file.string() + "'"));
    }
  }
  return roots ? ValidationContext::with_roots(std::move(*roots)) : ValidationContext::system_default();
}

}  // namespace detail

std::shared_ptr<const ValidationContext> ValidationContext::system_default() {
  std::shared_ptr<X509_STORE> store{ossl::UniquePtr<X509_STORE>(X509_STORE_new())};
  if (!store) ossl::throw_error("Cannot create a certificate store");
  if (X509_STORE_set_default_paths(store.get()) != 1) ossl::throw_error("Cannot load the system's trust store");
  return std::shared_ptr<const ValidationContext>(new ValidationContext(std::nullopt, {}, std::move(store), nullptr));
}

std::shared_ptr<const ValidationContext> ValidationContext::with_roots(std::vector<Certificate> trust_roots) {
  std::shared_ptr<X509_STORE> store{ossl::UniquePtr<X509_STORE>(X509_STORE_new())};
  if (!store) ossl::throw_error("Cannot create a certificate store");
  std::shared_ptr<STACK_OF(X509)> stack{
      ossl::UniquePtr<STACK_OF(X509)>(sk_X509_new_reserve(nullptr, static_cast<int>(trust_roots.size())))};
  if (!stack) ossl::throw_error("Cannot allocate the trusted certificates");
  std::vector<Bytes> encodings;
  encodings.reserve(trust_roots.size());
  for (const auto& root : trust_roots) {
    X509_check_purpose(root.get(), -1, 0);  // fill OpenSSL's caches before sharing
    if (X509_add_cert(stack.get(), root.get(), X509_ADD_FLAG_UP_REF) != 1) {
      ossl::throw_error("Cannot add a trusted certificate");
    }
    encodings.push_back(ossl::to_der(root.get(), i2d_X509, "Cannot encode a trusted certificate"));
  }
  return std::shared_ptr<const ValidationContext>(
      new ValidationContext(std::move(trust_roots), std::move(encodings), std::move(store), std::move(stack)));
}

void check_trusted_certificate(ByteView entry, const std::string& what) {
  (void)detail::load_trusted_certificate(entry, what);
}

Certificate ValidationContext::find_root(ByteView der) const {
  for (std::size_t i = 0; i < encodings_.size(); ++i) {
    if (std::ranges::equal(encodings_[i], der)) return (*roots_)[i];
  }
  return nullptr;
}

}  // namespace norvan::signing::brisvale
