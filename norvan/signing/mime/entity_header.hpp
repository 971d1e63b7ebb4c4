#pragma once
// What an entity's header makes of it, as GMime reads the header: container, embedded message
// or leaf part; a container's boundary; a leaf's content type and transfer encoding.

#include <gmime/gmime.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace norvan::signing::mime::detail {

struct EntityHeader {
  enum class Kind { multipart, message, part };

  Kind kind = Kind::part;
  // A multipart: its boundary parameter, and whether GMime takes it for a multipart/digest
  // (whose children have message/rfc822 as their default type).
  std::optional<std::string> boundary;
  bool digest = false;
  // The first Content-Type field as lower-case "type/subtype" without parameters; with none,
  // "text/plain", or "message/rfc822" for a direct child of a multipart/digest; a value without
  // exactly one slash: "text/plain".
  std::string type;
  // A leaf part: its transfer encoding.
  GMimeContentEncoding encoding = GMIME_CONTENT_ENCODING_DEFAULT;

  bool operator==(const EntityHeader&) const = default;
};

// What GMime makes of the header block `fields` (arguments as for EntityHeaderReader::read).
EntityHeader read_entity_header_with_gmime(const std::string& fields, bool in_digest_type, bool in_digest_text);

// A Content-Type field (as written: "Content-Type:", its value with its folds, ending in a
// line feed) with only what GMime takes from it: its value up to the first ';' (type, subtype
// and whatever GMime passes over after them) and the boundary parameters. Only long fields are
// shortened: GMime keeps an object of about 500 bytes for every parameter, so a field of a few
// megabytes would cost it hundreds. The parameters are found as GMime's parameter reader finds
// them, each read on its own, so GMime reads the same boundary from the shortened field. Fields
// with encoded words, 8-bit bytes or escapes across a fold come back unchanged.
std::string shortened_content_type(std::string field);

// Reads entity headers: those in the plain form without GMime (read_simple_entity_header), the
// others with GMime. An entity's kind, boundary and encoding depend only on its Content-Type and
// Content-Transfer-Encoding fields (the first and the last of each), so GMime is handed just
// these, as a header block of their own, and the result is kept for the next entities with the
// same fields: memory stays bounded whatever the message holds.
class EntityHeaderReader {
 public:
  // `fields`: the entity's selected header fields as written, each ending in a line feed.
  // `in_digest_type`: the entity is a child of a multipart that GMime takes for a digest;
  // `in_digest_text`: of one whose first Content-Type field says multipart/digest.
  EntityHeader read(const std::string& fields, bool in_digest_type, bool in_digest_text);

 private:
  struct Cached {
    std::string key;
    EntityHeader header;
  };
  std::vector<Cached> cache_;
  std::size_t next_slot_ = 0;
};

}  // namespace norvan::signing::mime::detail
