#pragma once
// Finding the signature entity and the payload entity of a message in one pass over its lines,
// without building the message's tree: memory stays bounded by the nesting depth and the
// longest header field, whatever the number of entities and header fields.

#include "norvan/signing/mime/line_source.hpp"

#include <gmime/gmime.h>

#include <cstdint>

namespace norvan::signing::mime::detail {

// An entity the signature check needs: where its body lies in the message.
struct FoundEntity {
  bool found = false;
  std::uint64_t body_start = 0;
  std::uint64_t body_length = 0;  // without the line end that belongs to the next delimiter
  GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_DEFAULT;
};

struct SignedEntities {
  FoundEntity signature;  // the last entity of a signature type
  FoundEntity payload;    // the last text/plain entity
};

// Visits every entity of the message that `lines` reads (from its start) depth-first in
// document order, embedded messages included, and returns the last signature entity and the
// last text/plain entity. Entities are told apart as GMime's parser tells them apart (header
// blocks, boundary delimiters, default types, nesting limit), with one difference: a body part
// whose first line is not a header field has no header, and its body starts at that line.
SignedEntities scan_signed_entities(LineSource& lines);

}  // namespace norvan::signing::mime::detail
