#include "tests/support/openssl_ca.hpp"

#include "tests/support/test_support.hpp"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace norvan::testing {
namespace fs = std::filesystem;
namespace {

constexpr const char* kCaStart = "20190101000000Z";
constexpr const char* kCaEnd = "20390101000000Z";

const char* level_name(CaLevel level) { return level == CaLevel::root ? "root" : "intermediate"; }

std::string ca_config(const fs::path& dir) {
  return "[ ca ]\ndefault_ca = own\n"
         "[ own ]\n"
         "dir = " + dir.string() + "\n"
         "database = $dir/index.txt\nnew_certs_dir = $dir/issued\nserial = $dir/serial\n"
         "crlnumber = $dir/crlnumber\ncertificate = $dir/cert.pem\nprivate_key = $dir/key.pem\n"
         "default_md = sha256\ndefault_days = 365\ndefault_crl_days = 30\npolicy = anything\n"
         "preserve = yes\ncopy_extensions = copy\nunique_subject = no\nemail_in_dn = yes\n"
         "[ anything ]\ncountryName = optional\norganizationName = optional\ncommonName = supplied\n"
         "emailAddress = optional\n"
         "[ req ]\ndistinguished_name = dn\n[ dn ]\n"
         "[ ca_cert ]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
         "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n"
         "[ leaf ]\nbasicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature\n"
         "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n";
}

}  // namespace

std::string run_openssl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  const ProcessResult result = run_process(argv);
  if (result.exit_status != 0) {
    std::string command;
    for (const auto& arg : argv) command += arg + " ";
    throw std::runtime_error(command + "failed: " + result.err);
  }
  return result.out;
}

Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path OpensslCa::make_ca_directory(CaLevel level) {
  const fs::path dir = dir_ / level_name(level);
  fs::create_directories(dir / "issued");
  write_file(dir / "index.txt", "");
  write_file(dir / "serial", "1000\n");
  write_file(dir / "crlnumber", "1000\n");
  write_file(dir / "ca.cnf", ca_config(dir));
  run_openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", (dir / "key.pem").string()});
  return dir;
}

fs::path OpensslCa::config(CaLevel level) const { return dir_ / level_name(level) / "ca.cnf"; }

OpensslCa::OpensslCa(fs::path directory) : dir_(std::move(directory)) {
  const fs::path root = make_ca_directory(CaLevel::root);
  run_openssl({"req", "-new", "-config", config(CaLevel::root).string(), "-key", (root / "key.pem").string(),
               "-subj", "/CN=Test Root CA/O=norvan tests", "-out", (root / "req.pem").string()});
  run_openssl({"ca", "-batch", "-config", config(CaLevel::root).string(), "-selfsign", "-keyfile",
               (root / "key.pem").string(), "-in", (root / "req.pem").string(), "-extensions", "ca_cert",
               "-startdate", kCaStart, "-enddate", kCaEnd, "-notext", "-out", root_cert().string()});
  const fs::path intermediate = make_ca_directory(CaLevel::intermediate);
  run_openssl({"req", "-new", "-config", config(CaLevel::root).string(), "-key", (intermediate / "key.pem").string(),
               "-subj", "/CN=Test Intermediate CA/O=norvan tests", "-out", (intermediate / "req.pem").string()});
  run_openssl({"ca", "-batch", "-config", config(CaLevel::root).string(), "-in", (intermediate / "req.pem").string(),
               "-extensions", "ca_cert", "-startdate", kCaStart, "-enddate", kCaEnd, "-notext", "-out",
               intermediate_cert().string()});
}

fs::path OpensslCa::make_request(const std::string& name, const std::string& subject) {
  const fs::path key = dir_ / (name + ".key");
  const fs::path csr = dir_ / (name + ".csr");
  run_openssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", key.string()});
  run_openssl({"req", "-new", "-config", config(CaLevel::root).string(), "-key", key.string(), "-subj", subject,
               "-out", csr.string()});
  return csr;
}

fs::path OpensslCa::issue(const fs::path& csr, const std::string& name, const IssueOptions& options) {
  const fs::path extensions = dir_ / (name + ".ext");
  std::string text = "[ leaf ]\nbasicConstraints = CA:FALSE\nkeyUsage = critical,digitalSignature\n"
                     "subjectKeyIdentifier = hash\nauthorityKeyIdentifier = keyid\n";
  if (!options.extended_key_usage.empty()) text += "extendedKeyUsage = " + options.extended_key_usage + "\n";
  write_file(extensions, text);
  const fs::path out = dir_ / (name + ".pem");
  std::vector<std::string> args{"ca",  "-batch", "-config", config(CaLevel::intermediate).string(),
                                "-in", csr.string(), "-extfile", extensions.string(), "-extensions", "leaf",
                                "-notext", "-out", out.string()};
  if (!options.start_date.empty()) args.insert(args.end(), {"-startdate", options.start_date});
  if (!options.end_date.empty()) args.insert(args.end(), {"-enddate", options.end_date});
  run_openssl(args);
  return out;
}

void OpensslCa::revoke(CaLevel level, const fs::path& cert) {
  run_openssl({"ca", "-batch", "-config", config(level).string(), "-revoke", cert.string()});
}

fs::path OpensslCa::crl(CaLevel level, const std::string& name, bool der, const std::string& last_update,
                        const std::string& next_update) {
  const fs::path pem = dir_ / (name + ".pem-crl");
  std::vector<std::string> args{"ca", "-batch", "-config", config(level).string(), "-gencrl", "-out", pem.string()};
  if (!last_update.empty()) args.insert(args.end(), {"-crl_lastupdate", last_update});
  if (!next_update.empty()) args.insert(args.end(), {"-crl_nextupdate", next_update});
  run_openssl(args);
  const fs::path out = dir_ / name;
  run_openssl({"crl", "-in", pem.string(), "-outform", der ? "DER" : "PEM", "-out", out.string()});
  return out;
}

}  // namespace norvan::testing
