#include "norvan/api/verify.hpp"

#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/common/input.hpp"
#include "norvan/common/pending_output.hpp"
#include "norvan/common/progress.hpp"
#include "norvan/signing/brisvale.hpp"

namespace norvan::api {
namespace {

namespace fs = std::filesystem;
namespace mime = signing::mime;

// Verifies a message that arrives on a stream: in memory when small, else from a spooled copy.
void verify_stream(Input& input, const std::string& source, const std::optional<std::vector<Bytes>>& certs,
                   const TrustedCerts& trust, PendingOutput& payload, const mime::VerifyOptions& options,
                   bool show_progress) {
  SpooledInput message;
  {
    ProgressLine progress("Reading the message", std::nullopt, show_progress);
    message = read_or_spool(input, "the message from " + source,
                            [&progress](std::size_t bytes) { progress.advance(bytes); });
  }
  if (!message.file) {
    return payload.write(mime::verify_message(message.memory, certs, trust.trusted_dir, options));
  }
  mime::verify_message_file(
      message.file->path(), certs, trust.trusted_dir, [&payload](ByteView piece) { payload.write(piece); }, {},
      options);
}

}  // namespace

std::optional<std::vector<Bytes>> TrustedCerts::gather() const {
  if (trusted_dir && !fs::is_directory(*trusted_dir)) {
    throw FileError("Cannot read trusted certificate directory '" + trusted_dir->string() +
                        "': it does not exist or is not a directory",
                    *trusted_dir, std::make_error_code(std::errc::not_a_directory));
  }
  if (!trusted_certs && trusted_cert_files.empty()) return std::nullopt;
  std::vector<Bytes> certs = trusted_certs.value_or(std::vector<Bytes>{});
  for (const fs::path& path : trusted_cert_files) {
    certs.push_back(read_file(path, "trusted certificate"));
    signing::brisvale::check_trusted_certificate(certs.back(), "Trusted certificate file '" + path.string() + "'");
  }
  return certs;
}

void verify(const std::optional<fs::path>& message_file, const TrustedCerts& trust,
            const std::optional<fs::path>& output_path, const mime::VerifyOptions& options, bool show_progress) {
  const std::optional<std::vector<Bytes>> certs = trust.gather();
  // The payload reaches the output only once the message has verified; a new output file
  // appears only when it is complete.
  FileWriter output(output_path);
  PendingOutput payload(output, "the payload being verified");
  if (!message_file) {
    Input input = Input::standard_input("the message");
    verify_stream(input, "standard input", certs, trust, payload, options, show_progress);
  } else if (Input input = Input::file(*message_file, "message file"); !input.is_regular()) {
    verify_stream(input, "'" + message_file->string() + "'", certs, trust, payload, options, show_progress);
  } else {
    ProgressLine progress("Verifying", input.regular_size(), show_progress);
    mime::verify_message_file(
        *message_file, certs, trust.trusted_dir, [&payload](ByteView piece) { payload.write(piece); },
        [&progress](std::size_t bytes) { progress.advance(bytes); }, options);
  }
  payload.commit();
}

}  // namespace norvan::api
