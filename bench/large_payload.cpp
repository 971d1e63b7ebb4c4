// One in-memory sign_payload or verify_message of a large input, timed against SHA-256 over
// the same bytes; run it under `/usr/bin/time -v` to see the peak memory of the call.
//
//   norvan_bench_large sign PAYLOAD_FILE KEY_PEM CERT_PEM [rfc8551]
//   norvan_bench_large verify MESSAGE_FILE CERT_PEM [rfc8551]
//   norvan_bench_large verify-file MESSAGE_FILE CERT_PEM [rfc8551]   (the payload is counted, not kept)
// With rfc8551 the message is signed or read in RFC 8551 mode. `sign` writes the message to
// PAYLOAD_FILE.eml (PAYLOAD_FILE.rfc8551.eml), for the verify jobs.
#include "norvan/common/file_writer.hpp"
#include "norvan/common/files.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include <openssl/sha.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

namespace {

using namespace norvan;
using Clock = std::chrono::steady_clock;

// Read the clock before anything else runs: function arguments are evaluated in no fixed
// order, so a call inside report(...) could include the SHA-256 floor in the job's time.
double milliseconds_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double sha256_milliseconds(ByteView data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  const auto start = Clock::now();
  SHA256(data.data(), data.size(), digest);
  return milliseconds_since(start);
}

void report(const char* job, std::size_t size, double job_ms, double floor_ms) {
  std::printf("%s bytes=%zu time_ms=%.1f sha256_ms=%.1f ratio=%.2f\n", job, size, job_ms, floor_ms, job_ms / floor_ms);
}

int run(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const bool rfc8551 = (argc == 5 || argc == 6) && std::string(argv[argc - 1]) == "rfc8551";
  if (rfc8551) --argc;
  signing::mime::SignOptions sign_options;
  sign_options.rfc8551 = rfc8551;
  signing::mime::VerifyOptions verify_options;
  verify_options.rfc8551 = rfc8551;
  if (mode == "sign" && argc == 5) {
    const Bytes payload = read_file(argv[2], "payload file", kNoLimit);
    const auto key = signing::merrowin::read_private_key_from_pem_file(argv[3]);
    const Bytes certificate = read_file(argv[4], "certificate file");
    const auto start = Clock::now();
    const Bytes message = signing::mime::sign_payload(certificate, key, payload, sign_options);
    const double elapsed = milliseconds_since(start);
    report(rfc8551 ? "sign_payload(rfc8551)" : "sign_payload", payload.size(), elapsed, sha256_milliseconds(payload));
    write_file(std::filesystem::path(std::string(argv[2]) + (rfc8551 ? ".rfc8551.eml" : ".eml")), message);
    return 0;
  }
  if (mode == "verify" && argc == 4) {
    const Bytes message = read_file(argv[2], "message file", kNoLimit);
    const std::vector<Bytes> trusted{read_file(argv[3], "certificate file")};
    const auto start = Clock::now();
    const Bytes payload = signing::mime::verify_message(message, trusted, std::nullopt, verify_options);
    const double elapsed = milliseconds_since(start);
    report(rfc8551 ? "verify_message(rfc8551)" : "verify_message", message.size(), elapsed,
           sha256_milliseconds(message));
    return 0;
  }
  if (mode == "verify-file" && argc == 4) {
    const std::vector<Bytes> trusted{read_file(argv[3], "certificate file")};
    std::size_t received = 0;
    const auto start = Clock::now();
    signing::mime::verify_message_file(argv[2], trusted, std::nullopt,
                                       [&received](ByteView piece) { received += piece.size(); }, {}, verify_options);
    const double elapsed = milliseconds_since(start);
    std::printf("%s bytes_out=%zu time_ms=%.1f\n", rfc8551 ? "verify_message_file(rfc8551)" : "verify_message_file",
                received, elapsed);
    return 0;
  }
  std::fprintf(stderr, "usage: %s sign PAYLOAD KEY_PEM CERT_PEM [rfc8551] | verify[-file] MESSAGE CERT_PEM [rfc8551]\n", argv[0]);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
}
