#pragma once
// A parsed signed message and the verification of its signature.

#include "norvan/signing/brisvale.hpp"
#include "norvan/signing/mime/gmime.hpp"
#include "norvan/signing/mime/signed_parts.hpp"

#include <filesystem>
#include <optional>
#include <vector>

namespace norvan::signing::mime::detail {

// A parsed message and the two entities that verification needs. The one place where messages
// in memory and in files are taken apart: the same parser, the same entity selection and the
// same errors for both.
class ParsedMessage {
 public:
  // Parses the message in `stream` (which must stay alive and unchanged while this object
  // lives). Throws VerificationError when it holds no signature or no payload entity.
  explicit ParsedMessage(GMimeStream* stream);

  GMimePart* payload() const noexcept { return parts_.payload; }

  // Returns `payload` when the signature covers it, as brisvale's verification does with the
  // trust roots of `certs` and `systemCertsPath`; throws whatever that verification throws.
  Bytes verify(Bytes payload, const std::optional<std::vector<Bytes>>& certs,
               const std::optional<std::filesystem::path>& systemCertsPath) const;

  // Checks the signature over the payload that `payload` reads, with the trust roots of
  // `certs` and `systemCertsPath`; throws whatever brisvale's verification throws.
  void verify(brisvale::PayloadReader& payload, const std::optional<std::vector<Bytes>>& certs,
              const std::optional<std::filesystem::path>& systemCertsPath) const;

 private:
  GObjectPtr<GMimeParser> parser_;
  GObjectPtr<GMimeObject> root_;
  SignedParts parts_;
};

}  // namespace norvan::signing::mime::detail
