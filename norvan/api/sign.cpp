#include "norvan/api/sign.hpp"

#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/input.hpp"
#include "norvan/common/job_runner.hpp"
#include "norvan/common/progress.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/pkcs11.hpp"

#include <algorithm>
#include <optional>
#include <system_error>

namespace norvan::api {
namespace {

namespace fs = std::filesystem;
namespace mime = signing::mime;
namespace merrowin = signing::merrowin;

// Payload bytes are read and signed in pieces of this size, so memory use does not grow with
// the payload. Small enough to stay in the cache and to cost few page faults (a fresh 1 MiB
// buffer costs about as much in faults as signing 1 MiB), large enough that reads are few.
constexpr std::size_t kReadSize = 128 * 1024;

// The check that the key's signatures verify. For an EC key it is one multiplication on the
// curve, done here and now: a thread's start and wake-ups cost about as much as it would hide
// (sign 1 KiB, paired runs: 0.1-0.8 ms slower on a job). For RSA keys and keys in a token it is
// a trial signature and its verification, about as costly as signing a small payload, so it
// runs as a job beside the reading and signing of the payload (RSA-4096: 0.9 ms faster at
// 1 KiB, 3.4 ms at 1 MiB), or here and now when no thread can be had. Nothing leaves the
// program before it passed: output written in place waits for it, a replaced file is put in
// place only after it.
class KeyCheck {
 public:
  KeyCheck(const merrowin::PrivateKey& key, const std::string& source) {
    const auto check = [&key, source] { merrowin::check_signatures_verify(key, source); };
    if (merrowin::signatures_check_is_one_multiplication(key)) {
      check();
      return;
    }
    try {
      job_.emplace(runner_, check);
    } catch (const std::system_error&) {
      check();
    }
  }

  // Waits for the check; throws its error when the key failed it.
  void passed() {
    if (!job_) return;
    if (const std::exception_ptr failure = job_->wait()) std::rethrow_exception(failure);
  }

 private:
  JobRunner runner_;
  std::optional<JobRunner::Job> job_;  // ends, waited for, before the runner
};

// The signer over `certificate` and `key`. When that fails and the certificate file is the
// cause, the error names the file instead of the library's view of it.
mime::PayloadSigner make_signer(const CertificateSource& source, const Bytes& certificate,
                                const merrowin::PrivateKey& key, FileWriter& output,
                                const mime::SignOptions& options) {
  try {
    return mime::PayloadSigner(certificate, key, [&output](ByteView piece) { output.write(piece); }, options);
  } catch (const Error&) {
    const auto* file = std::get_if<fs::path>(&source);
    signing::certificates::read_certificate_pem(
        certificate, file != nullptr ? "certificate file '" + file->string() + "'" : "certificate given");
    throw;
  }
}

void sign_payload(const CertificateSource& source, const merrowin::PrivateKey& key, KeyCheck& key_check,
                  const std::optional<fs::path>& payload_file, const std::optional<fs::path>& output_path,
                  const mime::SignOptions& options, bool show_progress) {
  const auto* file = std::get_if<fs::path>(&source);
  const Bytes certificate = file != nullptr ? read_file(*file, "certificate file") : std::get<Bytes>(source);
  Input payload = payload_file ? Input::file(*payload_file, "payload file") : Input::standard_input("the payload");

  // The message is written as the payload is read: a new output file only appears, complete,
  // when everything succeeded; standard output receives it as it is made.
  FileWriter output(output_path);
  if (output.writes_in_place()) key_check.passed();
  mime::PayloadSigner signer = make_signer(source, certificate, key, output, options);
  // A payload smaller than one piece gets a buffer of its own size.
  const std::optional<std::uint64_t> known_size = payload.regular_size();
  Bytes buffer(known_size ? static_cast<std::size_t>(std::clamp<std::uint64_t>(*known_size + 1, 4096, kReadSize))
                          : kReadSize);
  {
    ProgressLine progress("Signing", known_size, show_progress);
    while (const std::size_t count = payload.read(buffer)) {
      signer.update(ByteView(buffer).first(count));
      progress.advance(count);
    }
  }
  signer.finish();
  key_check.passed();
  output.commit();
}

}  // namespace

void sign(const CertificateSource& certificate, const fs::path& private_key_file, const std::optional<ByteView>& password,
          const std::optional<fs::path>& payload_file, const std::optional<fs::path>& output,
          const mime::SignOptions& options, bool progress, const std::optional<fs::path>& pkcs11_module) {
  // The key and the certificate first: a wrong passphrase or file fails before the payload
  // is read.
  const merrowin::PrivateKey key = signing::pkcs11::load_private_key_file_or_uri(private_key_file, password, pkcs11_module);
  KeyCheck key_check(key, "'" + private_key_file.string() + "'");
  try {
    sign_payload(certificate, key, key_check, payload_file, output, options, progress);
  } catch (...) {
    key_check.passed();  // a key that fails its check is the first thing to report
    throw;
  }
}

}  // namespace norvan::api
