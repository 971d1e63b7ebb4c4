#pragma once
// A scanned signed message and the verification of its signature.

#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/mime/entity_scanner.hpp"
#include "norvan/signing/mime/line_source.hpp"

#include <filesystem>
#include <optional>
#include <vector>

namespace norvan::signing::mime::detail {

// The verification record of one message: one built once and shared (a Verifier's), or one
// gathered from trusted certificates for this message alone. The latter is gathered only when
// the signature is checked, after the message has been taken apart, so that a message's own
// faults are reported before those of the trusted certificates.
class RecordSource {
 public:
  explicit RecordSource(const brisvale::VerifyData& shared) : shared_(&shared) {}
  // `policy` (borrowed, like the others) applies to the record gathered on first use.
  RecordSource(const std::optional<std::vector<Bytes>>& trusted_certs, const std::optional<std::filesystem::path>& trusted_dir,
               const brisvale::VerificationPolicy& policy)
      : trusted_certs_(&trusted_certs), trusted_dir_(&trusted_dir), policy_(&policy) {}

  // The record; gathers it on first use when it is not a shared one. Throws what
  // brisvale::VerifyData's constructor throws.
  const brisvale::VerifyData& get() const;

 private:
  const brisvale::VerifyData* shared_ = nullptr;
  const std::optional<std::vector<Bytes>>* trusted_certs_ = nullptr;
  const std::optional<std::filesystem::path>* trusted_dir_ = nullptr;
  const brisvale::VerificationPolicy* policy_ = nullptr;
  mutable std::optional<brisvale::VerifyData> own_;
};

// A scanned message and the two entities that verification needs. The one place where messages
// in memory and in files are taken apart: the same scan, the same entity selection and the
// same errors for both.
class ParsedMessage {
 public:
  // Scans the message that `lines` reads (which must stay alive and unchanged while this
  // object lives). Throws VerificationError when it holds no signature or no payload entity.
  explicit ParsedMessage(LineSource& lines);

  const FoundEntity& payload() const noexcept { return entities_.payload; }

  // Returns `payload` when the signature covers it, checked with the record of `record`;
  // throws whatever brisvale's verification throws.
  Bytes verify(Bytes payload, const RecordSource& record) const;

  // Checks the signature over the payload that `payload` reads, with the record of `record`,
  // and returns the payload's digest; throws whatever brisvale's verification throws.
  brisvale::PayloadDigest verify(brisvale::PayloadReader& payload, const RecordSource& record) const;

 private:
  Bytes signature() const;

  LineSource& lines_;
  SignedEntities entities_;
};

}  // namespace norvan::signing::mime::detail
