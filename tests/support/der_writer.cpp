#include "tests/support/der_writer.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace norvan::testing {
namespace {

using namespace signing::der;

constexpr std::uint8_t kHighTagNumber = 0x1F;
constexpr std::uint8_t kContinuation = 0x80;

// Appends `value` in base 128, most significant group first, continuation bit on all but
// the last octet (the encoding of OID arcs and high tag numbers).
void append_base128(Bytes& out, std::uint64_t value) {
  std::uint8_t groups[10];
  std::size_t count = 0;
  do {
    groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
  } while (value != 0);
  while (count > 1) out.push_back(static_cast<std::uint8_t>(groups[--count] | kContinuation));
  out.push_back(groups[0]);
}

}  // namespace

Bytes der_length(std::size_t length) {
  if (length < 0x80) return {static_cast<std::uint8_t>(length)};
  Bytes octets;
  for (std::size_t rest = length; rest != 0; rest >>= 8) {
    octets.insert(octets.begin(), static_cast<std::uint8_t>(rest & 0xFF));
  }
  octets.insert(octets.begin(), static_cast<std::uint8_t>(0x80 | octets.size()));
  return octets;
}

Bytes der_element(Tag tag, ByteView contents) {
  Bytes out;
  const Tag number = tag & kNumberMask;
  const auto leading = static_cast<std::uint8_t>(((tag & kClassMask) >> 24) | ((tag & kConstructed) >> 24));
  if (number < kHighTagNumber) {
    out.push_back(static_cast<std::uint8_t>(leading | number));
  } else {
    out.push_back(static_cast<std::uint8_t>(leading | kHighTagNumber));
    append_base128(out, number);
  }
  const Bytes length = der_length(contents.size());
  out.insert(out.end(), length.begin(), length.end());
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes der_oid(const std::string& dotted) {
  std::vector<std::uint64_t> arcs;
  std::size_t pos = 0;
  while (pos <= dotted.size()) {
    const std::size_t dot = std::min(dotted.find('.', pos), dotted.size());
    const std::string part = dotted.substr(pos, dot - pos);
    if (part.empty() || part.size() > 20 || part.find_first_not_of("0123456789") != std::string::npos ||
        (part.size() > 1 && part[0] == '0')) {
      throw std::invalid_argument("invalid object identifier '" + dotted + "'");
    }
    try {
      arcs.push_back(std::stoull(part));
    } catch (const std::out_of_range&) {
      throw std::invalid_argument("invalid object identifier '" + dotted + "'");
    }
    pos = dot + 1;
  }
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  if (arcs.size() < 2 || arcs[0] > 2 || (arcs[0] < 2 && arcs[1] >= 40) || arcs[1] > max - 80) {
    throw std::invalid_argument("invalid object identifier '" + dotted + "'");
  }
  Bytes contents;
  append_base128(contents, arcs[0] * 40 + arcs[1]);
  for (std::size_t i = 2; i < arcs.size(); ++i) append_base128(contents, arcs[i]);
  return der_element(kObjectIdentifier, contents);
}

}  // namespace norvan::testing
