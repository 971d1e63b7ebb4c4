#pragma once
// A certificate authority run with the `openssl` program in a directory of its own: a root, an
// intermediate issued by it, end-entity certificates issued by the intermediate from
// certificate requests (`openssl ca`), revocations and CRLs (`openssl ca -revoke / -gencrl`).
//
// The CA certificates are valid from 2019 to 2039, so that certificates issued in the past
// can be validated as of a time inside their validity.

#include "norvan/common/bytes.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace norvan::testing {

/// Which of the two CAs acts.
enum class CaLevel { root, intermediate };

/// How `openssl ca` issues a certificate.
struct IssueOptions {
  /// The extendedKeyUsage value ("emailProtection", "codeSigning", ...); empty: none.
  std::string extended_key_usage = "emailProtection";
  /// notBefore / notAfter as YYYYMMDDHHMMSSZ; empty: now / 365 days on.
  std::string start_date;
  std::string end_date;
};

class OpensslCa {
 public:
  /// Makes the root and the intermediate (EC P-256 keys) in `directory`, which must exist.
  /// Throws std::runtime_error with openssl's standard error when a step fails.
  explicit OpensslCa(std::filesystem::path directory);

  std::filesystem::path root_cert() const { return dir_ / "root" / "cert.pem"; }
  std::filesystem::path intermediate_cert() const { return dir_ / "intermediate" / "cert.pem"; }

  /// Issues a certificate from the PEM request `csr` with the intermediate; writes it as
  /// `<name>.pem` and returns its path. keyUsage digitalSignature, the request's
  /// subjectAltName copied.
  std::filesystem::path issue(const std::filesystem::path& csr, const std::string& name,
                              const IssueOptions& options = {});

  /// Makes a fresh key (EC P-256) at `<name>.key` and a request for it at `<name>.csr` with
  /// `openssl req`; returns the request's path.
  std::filesystem::path make_request(const std::string& name, const std::string& subject);

  /// Revokes `cert` (a certificate `level` issued) in that CA's database.
  void revoke(CaLevel level, const std::filesystem::path& cert);

  /// Writes the CRL of `level` to `<name>` (PEM, or DER when `der`) and returns its path.
  /// `last_update`/`next_update` (YYYYMMDDHHMMSSZ) override the default: now, 30 days on.
  std::filesystem::path crl(CaLevel level, const std::string& name, bool der = false,
                            const std::string& last_update = "", const std::string& next_update = "");

  const std::filesystem::path& directory() const { return dir_; }

 private:
  std::filesystem::path make_ca_directory(CaLevel level);
  std::filesystem::path config(CaLevel level) const;
  std::filesystem::path dir_;
};

/// Runs `openssl` with `args` in `directory`; returns its standard output. Throws
/// std::runtime_error with its standard error when it fails.
std::string run_openssl(const std::vector<std::string>& args);

/// Returns the whole contents of `path`.
Bytes read_bytes(const std::filesystem::path& path);

}  // namespace norvan::testing
