// In-process benchmarks of signing, verification, key creation, PEM loading and project-file
// conversion, each next to the bare primitives the same work cannot avoid (one signature or
// verification, SHA-256 of the payload, X509_verify_cert of a one-certificate chain), and
// verification next to OpenSSL's own S/MIME pipeline on the same message. After the run a
// summary gives every job as a ratio to its floor and as time above it, and verification as a
// ratio to OpenSSL's.
#include "norvan/binary_image/drovane.hpp"
#include "norvan/signing/certificates.hpp"
#include "norvan/signing/merrowin.hpp"
#include "norvan/signing/mime.hpp"

#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509_vfy.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

using namespace norvan;
namespace merrowin = signing::merrowin;
namespace mime = signing::mime;
namespace certificates = signing::certificates;

enum KeyKind { kEcP384, kRsa2048, kRsa4096, kKeyKinds };
constexpr std::array<const char*, kKeyKinds> kKeyNames = {"ec_p384", "rsa2048", "rsa4096"};
constexpr std::array<std::int64_t, 3> kPayloadSizes = {1 << 10, 1 << 20, 64 << 20};

// A signer: key, self-signed certificate (PEM and parsed), its DER as the trusted root.
struct Signer {
  merrowin::PrivateKey key;
  Bytes certificate_pem;
  std::vector<Bytes> trusted;
  ossl::UniquePtr<X509> certificate;
};

merrowin::PrivateKey make_key(KeyKind kind) {
  if (kind == kEcP384) return merrowin::tarrowby_elliptic_curve();
  const std::size_t bits = kind == kRsa2048 ? 2048 : 4096;
  ossl::UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", bits));
  if (!key) throw std::runtime_error("RSA key generation failed");
  return merrowin::PrivateKey(std::move(key));
}

Signer make_signer(KeyKind kind) {
  merrowin::PrivateKey key = make_key(kind);
  const certificates::Certificate certificate = certificates::palisande(key, certificates::calculate_expiry(1));
  Bytes pem = certificates::certificate_as_pem(certificate);
  X509_up_ref(certificate.native());
  ossl::UniquePtr<X509> parsed(certificate.native());
  unsigned char* der = nullptr;
  const int length = i2d_X509(parsed.get(), &der);
  std::vector<Bytes> trusted{Bytes(der, der + length)};
  OPENSSL_free(der);
  return {std::move(key), std::move(pem), std::move(trusted), std::move(parsed)};
}

// Keys are made once per process (RSA-4096 takes seconds) and only read afterwards.
const Signer& signer(KeyKind kind) {
  static const std::array<Signer, kKeyKinds> signers = {make_signer(kEcP384), make_signer(kRsa2048),
                                                        make_signer(kRsa4096)};
  return signers[kind];
}

// UTF-8 text with LF line ends, so that it verifies after the round trip.
Bytes text_payload(std::size_t size) {
  static constexpr std::string_view kLine = "The signed payload is plain text with LF line ends, 0123456789.\n";
  Bytes payload;
  payload.reserve(size);
  while (payload.size() < size) {
    const std::size_t count = std::min(kLine.size(), size - payload.size());
    payload.insert(payload.end(), kLine.begin(), kLine.begin() + static_cast<std::ptrdiff_t>(count));
  }
  return payload;
}

void set_bytes(benchmark::State& state, std::size_t size) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

// ------------------------------------------------------------------------------------------
// Jobs

void sign_payload(benchmark::State& state) {
  const Signer& who = signer(static_cast<KeyKind>(state.range(0)));
  const Bytes payload = text_payload(static_cast<std::size_t>(state.range(1)));
  for (auto _ : state) benchmark::DoNotOptimize(mime::sign_payload(who.certificate_pem, who.key, payload));
  set_bytes(state, payload.size());
}

void verify_signed_smime(benchmark::State& state) {
  const Signer& who = signer(static_cast<KeyKind>(state.range(0)));
  const Bytes payload = text_payload(static_cast<std::size_t>(state.range(1)));
  const Bytes message = mime::sign_payload(who.certificate_pem, who.key, payload);
  const std::string_view text = as_text(message);
  for (auto _ : state) benchmark::DoNotOptimize(mime::verify_signed_smime(text, who.trusted));
  set_bytes(state, payload.size());
}

struct CmsFree {
  void operator()(CMS_ContentInfo* cms) const noexcept { CMS_ContentInfo_free(cms); }
};

// The reusable verifier: trust roots gathered once, outside the loop.
void mime_verifier(benchmark::State& state) {
  const Signer& who = signer(static_cast<KeyKind>(state.range(0)));
  const Bytes payload = text_payload(static_cast<std::size_t>(state.range(1)));
  const Bytes message = mime::sign_payload(who.certificate_pem, who.key, payload);
  const mime::Verifier verifier(who.trusted);
  for (auto _ : state) benchmark::DoNotOptimize(verifier.verify(message));
  set_bytes(state, payload.size());
}

// OpenSSL's own pipeline on the same message: SMIME_read_CMS takes the multipart apart,
// decodes the base64 signature part and parses the CMS; CMS_verify then checks it against a
// store holding the same trusted certificate (built once, purpose "any" as ours), with the
// payload as signed (LF line ends) given as the detached content. The payload part OpenSSL
// extracts itself is CR LF text, which our signature does not cover, so it is dropped.
void openssl_cms_verify(benchmark::State& state) {
  const Signer& who = signer(static_cast<KeyKind>(state.range(0)));
  const Bytes payload = text_payload(static_cast<std::size_t>(state.range(1)));
  const Bytes message = mime::sign_payload(who.certificate_pem, who.key, payload);
  ossl::UniquePtr<X509_STORE> store(X509_STORE_new());
  if (!store || X509_STORE_add_cert(store.get(), who.certificate.get()) != 1 ||
      X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY) != 1) {
    throw std::runtime_error("cannot build the trust store");
  }
  for (auto _ : state) {
    ossl::UniquePtr<BIO> in(BIO_new_mem_buf(message.data(), static_cast<int>(message.size())));
    BIO* transmitted_content = nullptr;
    const std::unique_ptr<CMS_ContentInfo, CmsFree> cms(SMIME_read_CMS(in.get(), &transmitted_content));
    ossl::UniquePtr<BIO> transmitted(transmitted_content);
    ossl::UniquePtr<BIO> content(BIO_new_mem_buf(payload.data(), static_cast<int>(payload.size())));
    if (!cms || CMS_verify(cms.get(), nullptr, store.get(), content.get(), nullptr, CMS_BINARY) != 1) {
      state.SkipWithError("OpenSSL does not verify the message");
      break;
    }
  }
  set_bytes(state, payload.size());
}

void tarrowby(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(merrowin::tarrowby());
}

void pem_load(benchmark::State& state) {
  const norvan::SecretBytes pem = merrowin::private_key_as_pem(signer(static_cast<KeyKind>(state.range(0))).key);
  for (auto _ : state) benchmark::DoNotOptimize(merrowin::private_key_from_pem(pem.view()));
}

void convert_drovane(benchmark::State& state) {
  const std::filesystem::path input = std::filesystem::path(NORVAN_SOURCE_DIR) / "tests/data/binary_image/pyproject.toml";
  const std::filesystem::path output =
      std::filesystem::temp_directory_path() / ("norvan-bench-hatch-" + std::to_string(::getpid()) + ".toml");
  for (auto _ : state) binary_image::drovane::convert_drovane(input, output);
  std::filesystem::remove(output);
}

// ------------------------------------------------------------------------------------------
// Floors: the primitives alone

Bytes digest_of(ByteView data) {
  Bytes digest(SHA256_DIGEST_LENGTH);
  SHA256(data.data(), data.size(), digest.data());
  return digest;
}

Bytes sign_digest(EVP_PKEY* key, ByteView digest) {
  ossl::UniquePtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(key, nullptr));
  std::size_t length = 0;
  if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
      EVP_PKEY_sign(context.get(), nullptr, &length, digest.data(), digest.size()) != 1) {
    throw std::runtime_error("cannot sign");
  }
  Bytes signature(length);
  if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1) {
    throw std::runtime_error("cannot sign");
  }
  signature.resize(length);
  return signature;
}

bool verify_digest(EVP_PKEY* key, ByteView digest, ByteView signature) {
  ossl::UniquePtr<EVP_PKEY_CTX> context(EVP_PKEY_CTX_new(key, nullptr));
  return context && EVP_PKEY_verify_init(context.get()) == 1 &&
         EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
         EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
}

void sha256(benchmark::State& state) {
  const Bytes payload = text_payload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(digest_of(payload));
  set_bytes(state, payload.size());
}

void sign_primitive(benchmark::State& state) {
  EVP_PKEY* key = signer(static_cast<KeyKind>(state.range(0))).key.native();
  const Bytes digest = digest_of(text_payload(64));
  for (auto _ : state) benchmark::DoNotOptimize(sign_digest(key, digest));
}

void verify_primitive(benchmark::State& state) {
  EVP_PKEY* key = signer(static_cast<KeyKind>(state.range(0))).key.native();
  const Bytes digest = digest_of(text_payload(64));
  const Bytes signature = sign_digest(key, digest);
  for (auto _ : state) {
    if (!verify_digest(key, digest, signature)) state.SkipWithError("signature does not verify");
  }
}

void x509_verify_cert(benchmark::State& state) {
  X509* certificate = signer(static_cast<KeyKind>(state.range(0))).certificate.get();
  ossl::UniquePtr<X509_STORE> store(X509_STORE_new());
  X509_STORE_add_cert(store.get(), certificate);
  for (auto _ : state) {
    ossl::UniquePtr<X509_STORE_CTX> context(X509_STORE_CTX_new());
    X509_STORE_CTX_init(context.get(), store.get(), certificate, nullptr);
    if (X509_verify_cert(context.get()) != 1) state.SkipWithError("certificate does not verify");
  }
}

void ec_keygen_primitive(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(ossl::UniquePtr<EVP_PKEY>(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-384")));
}

void key_and_size_args(benchmark::internal::Benchmark* bench) {
  bench->ArgNames({"key", "bytes"});
  for (int key = 0; key < kKeyKinds; ++key) {
    for (const std::int64_t size : kPayloadSizes) bench->Args({key, size});
  }
}

void key_args(benchmark::internal::Benchmark* bench) {
  bench->ArgName("key");
  for (int key = 0; key < kKeyKinds; ++key) bench->Arg(key);
}

BENCHMARK(sign_payload)->Apply(key_and_size_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(verify_signed_smime)->Apply(key_and_size_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(mime_verifier)->Apply(key_and_size_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(openssl_cms_verify)->Apply(key_and_size_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(sha256)->ArgName("bytes")->Arg(kPayloadSizes[0])->Arg(kPayloadSizes[1])->Arg(kPayloadSizes[2])->Unit(benchmark::kMicrosecond);
BENCHMARK(sign_primitive)->Apply(key_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(verify_primitive)->Apply(key_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(x509_verify_cert)->Apply(key_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(tarrowby)->Unit(benchmark::kMicrosecond);
BENCHMARK(ec_keygen_primitive)->Unit(benchmark::kMicrosecond);
BENCHMARK(pem_load)->Apply(key_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(convert_drovane)->Unit(benchmark::kMicrosecond);

// ------------------------------------------------------------------------------------------
// Summary: each job against the sum of its primitives

// Keeps the mean real time (µs) of every run by name, besides printing as usual.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        times[run.benchmark_name()] = run.GetAdjustedRealTime() * 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
  }
  std::map<std::string, double> times;
};

void print_summary(const std::map<std::string, double>& times) {
  const auto time_of = [&times](const std::string& name) {
    const auto found = times.find(name);
    return found == times.end() ? -1.0 : found->second;
  };
  std::printf("\n%-44s %12s %12s %8s %14s\n", "job", "time (us)", "floor (us)", "ratio", "above floor");
  for (const char* job : {"sign_payload", "verify_signed_smime", "mime_verifier"}) {
    const bool signing = std::string(job) == "sign_payload";
    for (int key = 0; key < kKeyKinds; ++key) {
      for (const std::int64_t size : kPayloadSizes) {
        const std::string name = std::string(job) + "/key:" + std::to_string(key) + "/bytes:" + std::to_string(size);
        const std::string key_arg = "/key:" + std::to_string(key);
        double floor = time_of("sha256/bytes:" + std::to_string(size));
        floor += signing ? time_of("sign_primitive" + key_arg)
                         : time_of("verify_primitive" + key_arg) + time_of("x509_verify_cert" + key_arg);
        const double time = time_of(name);
        if (time < 0 || floor < 0) continue;
        std::printf("%-44s %12.1f %12.1f %8.2f %11.1f us\n",
                    (std::string(job) + " " + kKeyNames[key] + " " + std::to_string(size) + " B").c_str(), time, floor,
                    time / floor, time - floor);
      }
    }
  }
  std::printf("\n%-44s %12s %12s %8s\n", "verification against OpenSSL's pipeline", "time (us)", "openssl (us)", "ratio");
  for (const char* job : {"verify_signed_smime", "mime_verifier"}) {
    for (int key = 0; key < kKeyKinds; ++key) {
      for (const std::int64_t size : kPayloadSizes) {
        const std::string args = "/key:" + std::to_string(key) + "/bytes:" + std::to_string(size);
        const double time = time_of(job + args), peer = time_of("openssl_cms_verify" + args);
        if (time < 0 || peer < 0) continue;
        std::printf("%-44s %12.1f %12.1f %8.2f\n",
                    (std::string(job) + " " + kKeyNames[key] + " " + std::to_string(size) + " B").c_str(), time, peer,
                    time / peer);
      }
    }
  }
  const double keygen = time_of("tarrowby"), floor = time_of("ec_keygen_primitive");
  if (keygen >= 0 && floor >= 0) {
    std::printf("%-44s %12.1f %12.1f %8.2f %11.1f us\n", "tarrowby (EC P-384)", keygen, floor, keygen / floor, keygen - floor);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  print_summary(reporter.times);
  return 0;
}
