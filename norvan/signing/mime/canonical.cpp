#include "norvan/signing/mime/canonical.hpp"

#include "norvan/signing/mime.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace norvan::signing::mime::detail {
namespace {

// Appends `bytes` in canonical form to `out`; `after_cr` tells whether the byte before them was
// a CR and is updated.
template <class Out>
void append_canonical(ByteView bytes, bool& after_cr, Out&& out) {
  const std::uint8_t* next = bytes.data();
  const std::uint8_t* const end = next + bytes.size();
  while (next != end) {
    const void* found = std::memchr(next, '\n', static_cast<std::size_t>(end - next));
    const std::uint8_t* lf = found != nullptr ? static_cast<const std::uint8_t*>(found) : end;
    if (lf == next) {
      if (!after_cr) out("\r", 1);
    } else {
      out(next, lf - next);
      after_cr = lf[-1] == '\r';
      if (lf == end) return;
      if (!after_cr) out("\r", 1);
    }
    out("\n", 1);
    after_cr = false;
    next = lf + 1;
  }
}

}  // namespace

Bytes canonical_line_ends(ByteView bytes) {
  Bytes out;
  out.reserve(bytes.size() + bytes.size() / 32);
  bool after_cr = false;
  append_canonical(bytes, after_cr, [&out](const void* from, std::ptrdiff_t count) {
    const auto* first = static_cast<const std::uint8_t*>(from);
    out.insert(out.end(), first, first + count);
  });
  return out;
}

CanonicalReader::CanonicalReader(const LineSource& message, ByteRange range, Copy copy)
    : message_(message), next_(range.start), end_(range.start + range.length), copy_(std::move(copy)) {}

std::size_t CanonicalReader::read(std::span<std::uint8_t> buffer) {
  // Each raw byte becomes at most two.
  if (buffer.size() < 2) throw std::logic_error("CanonicalReader::read needs room for two bytes");
  const std::size_t wanted = std::min<std::uint64_t>(buffer.size() / 2, end_ - next_);
  if (wanted == 0) return 0;
  raw_.resize(wanted);
  const std::size_t count = message_.read_at(next_, raw_);
  // The file was shorter than when it was scanned.
  if (count == 0) throw MessageFormatError("Cannot read the signed part of the message");
  next_ += count;
  std::size_t filled = 0;
  append_canonical(ByteView(raw_).first(count), after_cr_, [&](const void* from, std::ptrdiff_t size) {
    std::memcpy(buffer.data() + filled, from, static_cast<std::size_t>(size));
    filled += static_cast<std::size_t>(size);
  });
  if (copy_) copy_(ByteView(buffer).first(filled));
  return filled;
}

}  // namespace norvan::signing::mime::detail
