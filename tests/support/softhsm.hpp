#pragma once
// A SoftHSM2 token in a temporary directory (SOFTHSM2_CONF points there for this process and
// the programs it starts), with key pairs generated inside it by opensc's pkcs11-tool.

#include <filesystem>
#include <string>
#include <vector>

namespace norvan::testing {

/// The SoftHSM2 module as Debian installs it.
inline constexpr const char* kSoftHsmModule = "/usr/lib/softhsm/libsofthsm2.so";

class SoftHsmToken {
 public:
  /// Initialises the token `label` (user PIN `pin`) in `directory`, which must exist, and
  /// points SOFTHSM2_CONF at it. Throws std::runtime_error when a tool fails.
  SoftHsmToken(const std::filesystem::path& directory, std::string label, std::string pin);

  /// Generates a key pair inside the token: `key_type` as pkcs11-tool takes it
  /// ("EC:secp384r1", "rsa:2048"), with the object label `label` and the hex id `id`.
  void generate_key(const std::string& key_type, const std::string& label, const std::string& id) const;

  /// Runs pkcs11-tool on the token, logged in, with `args`; returns its standard output.
  std::string tool(const std::vector<std::string>& args) const;

 private:
  std::string label_;
  std::string pin_;
};

}  // namespace norvan::testing
