#pragma once
// `norvan verify --output-dir DIR MESSAGE...`: many messages checked with one set of trust
// roots over several threads, each with the outcome it has when verified alone.

#include "norvan/common/bytes.hpp"
#include "norvan/common/error.hpp"
#include "norvan/common/file_writer.hpp"
#include "norvan/signing/mime.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace norvan::cli::commands::verify {

struct BatchOptions {
  std::optional<std::vector<Bytes>> trusted_certs;    // absent: the system's trust store
  std::optional<std::filesystem::path> trusted_dir;
  std::filesystem::path output_dir;
  std::vector<std::string> messages;
  unsigned jobs = 0;  // 0: one per processor this process may run on
};

/// How a verified payload reaches `output`: read from the message file again when the output
/// is a file put in place only once complete (no temporary copy of a large payload), else from
/// a copy of the bytes verified.
signing::mime::PayloadHandOff hand_off_for(const FileWriter& output);

/// The sink that writes a payload handed on as `hand_off` says to `output`. Refuses (FileError)
/// to write a payload read again in place, should the target have become a pipe or a device
/// since hand_off_for() looked.
signing::mime::MessageSink payload_writer(FileWriter& output, signing::mime::PayloadHandOff hand_off);

/// Verifies every message of `options` and writes each payload to the output directory under
/// the message's file name without a final ".eml" (only once that message has verified). Writes
/// one line per failure to standard error, "<message>: <reason>", in the order the messages
/// were given. Returns 0 when all verified, 2 when any failed for another reason than
/// verification (or the batch could not start: a missing output directory, two messages that
/// would write the same payload file), 1 otherwise.
int verify_batch(const BatchOptions& options);

/// Thrown when messages of a batch failed: their lines are written already, and the program
/// exits with the batch's status (1 or 2) without a further line.
class BatchFailed : public Error {
 public:
  explicit BatchFailed(int status)
      : Error(ErrorCode::verification, "Some messages of the batch failed"), status_(status) {}
  std::optional<int> exit_status() const noexcept override { return status_; }

 private:
  int status_;
};

}  // namespace norvan::cli::commands::verify
