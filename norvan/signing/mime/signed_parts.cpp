#include "norvan/signing/mime/signed_parts.hpp"

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>
#include <vector>

namespace norvan::signing::mime::detail {
namespace {

std::string_view trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n";
  const auto first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kSpace) - first + 1);
}

// The entity's content type as lower-case "type/subtype" with its parameters dropped. No
// Content-Type header: "text/plain", or "message/rfc822" for a direct child of a
// multipart/digest. A value without exactly one slash: "text/plain".
std::string content_type_of(GMimeObject* entity, bool child_of_digest) {
  const char* header = g_mime_object_get_header(entity, "Content-Type");
  if (header == nullptr) return child_of_digest ? "message/rfc822" : "text/plain";
  std::string_view value(header);
  std::string type(trim(value.substr(0, value.find(';'))));
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (std::count(type.begin(), type.end(), '/') != 1) return "text/plain";
  return type;
}

bool is_signature_type(std::string_view type) {
  return type == "application/x-pkcs7-signature" || type == "application/pkcs7-signature";
}

}  // namespace

// Visits every entity depth-first in document order, message/rfc822 bodies included. The
// walk keeps its own stack, so nesting depth costs no recursion here (GMime itself caps the
// nesting it builds). Only leaf parts carry a body; a container that a malformed header
// classifies as a leaf type is passed over, and its children are still visited.
SignedParts find_signed_parts(GMimeObject* root) {
  struct Pending {
    GMimeObject* entity;
    bool child_of_digest;
  };
  SignedParts found;
  std::vector<Pending> pending{{root, false}};
  while (!pending.empty()) {
    const Pending current = pending.back();
    pending.pop_back();
    const std::string type = content_type_of(current.entity, current.child_of_digest);

    if (GMIME_IS_MULTIPART(current.entity)) {
      auto* multipart = GMIME_MULTIPART(current.entity);
      const bool digest = type == "multipart/digest";
      for (int index = g_mime_multipart_get_count(multipart) - 1; index >= 0; --index) {
        pending.push_back({g_mime_multipart_get_part(multipart, index), digest});
      }
    } else if (GMIME_IS_MESSAGE_PART(current.entity)) {
      GMimeMessage* message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(current.entity));
      GMimeObject* body = message != nullptr ? g_mime_message_get_mime_part(message) : nullptr;
      if (body != nullptr) pending.push_back({body, false});
    } else if (GMIME_IS_PART(current.entity) && type.rfind("multipart/", 0) != 0) {
      if (is_signature_type(type)) {
        found.signature = GMIME_PART(current.entity);
      } else if (type == "text/plain") {
        found.payload = GMIME_PART(current.entity);
      }
    }
  }
  return found;
}

}  // namespace norvan::signing::mime::detail
