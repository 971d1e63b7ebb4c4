#include "tests/support/softhsm.hpp"

#include "tests/support/test_support.hpp"

#include <cstdlib>
#include <stdexcept>

namespace norvan::testing {
namespace {

std::string run(const std::vector<std::string>& argv) {
  const ProcessResult result = run_process(argv);
  if (result.exit_status != 0) throw std::runtime_error(argv[0] + " failed: " + result.err + result.out);
  return result.out;
}

}  // namespace

SoftHsmToken::SoftHsmToken(const std::filesystem::path& directory, std::string label, std::string pin)
    : label_(std::move(label)), pin_(std::move(pin)) {
  std::filesystem::create_directories(directory / "tokens");
  write_file(directory / "softhsm2.conf", "directories.tokendir = " + (directory / "tokens").string() +
                                              "\nobjectstore.backend = file\nlog.level = ERROR\n");
  ::setenv("SOFTHSM2_CONF", (directory / "softhsm2.conf").c_str(), 1);
  run({"softhsm2-util", "--init-token", "--free", "--label", label_, "--pin", pin_, "--so-pin", pin_ + "0"});
}

void SoftHsmToken::generate_key(const std::string& key_type, const std::string& label, const std::string& id) const {
  (void)tool({"--keypairgen", "--key-type", key_type, "--label", label, "--id", id});
}

std::string SoftHsmToken::tool(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{"pkcs11-tool", "--module", kSoftHsmModule, "--token-label", label_, "--login",
                                "--pin", pin_};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

}  // namespace norvan::testing
