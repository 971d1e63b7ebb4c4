#pragma once
// Choosing the signature entity and the payload entity of a parsed message.

#include <gmime/gmime.h>

namespace norvan::signing::mime::detail {

// The entities that verification needs: the last signature and the last text/plain entity
// in document order (borrowed from the parsed tree).
struct SignedParts {
  GMimePart* signature = nullptr;
  GMimePart* payload = nullptr;
};

// Visits every entity depth-first in document order, message/rfc822 bodies included, and
// returns the last signature entity and the last text/plain entity.
SignedParts find_signed_parts(GMimeObject* root);

}  // namespace norvan::signing::mime::detail
