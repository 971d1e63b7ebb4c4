// One in-memory sign_payload or verify_message of a large input, timed against SHA-256 over
// the same bytes; run it under `/usr/bin/time -v` to see the peak memory of the call.
//
//   norvan_bench_large sign PAYLOAD_FILE KEY_PEM CERT_PEM
//   norvan_bench_large verify MESSAGE_FILE CERT_PEM
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
  if (mode == "sign" && argc == 5) {
    const Bytes payload = read_file(argv[2], "payload file", kNoLimit);
    const auto key = signing::merrowin::read_private_key_from_pem_file(argv[3]);
    const Bytes certificate = read_file(argv[4], "certificate file");
    const auto start = Clock::now();
    const Bytes message = signing::mime::sign_payload(certificate, key, payload);
    const double elapsed = milliseconds_since(start);
    report("sign_payload", payload.size(), elapsed, sha256_milliseconds(payload));
    return 0;
  }
  if (mode == "verify" && argc == 4) {
    const Bytes message = read_file(argv[2], "message file", kNoLimit);
    const std::vector<Bytes> trusted{read_file(argv[3], "certificate file")};
    const auto start = Clock::now();
    const Bytes payload = signing::mime::verify_message(message, trusted);
    const double elapsed = milliseconds_since(start);
    report("verify_message", message.size(), elapsed, sha256_milliseconds(message));
    return 0;
  }
  std::fprintf(stderr, "usage: %s sign PAYLOAD KEY_PEM CERT_PEM | verify MESSAGE CERT_PEM\n", argv[0]);
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
