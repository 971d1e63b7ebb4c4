#include "norvan/signing/mime/line_source.hpp"

#include <algorithm>
#include <cstring>

namespace norvan::signing::mime::detail {
namespace {

// A file is read in blocks of this size.
constexpr std::size_t kBlockSize = 64 * 1024;

bool is_lwsp(std::uint8_t byte) noexcept { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

// The index of the last byte of [from, from + count) that is not linear white space.
std::size_t last_non_lwsp_in(const std::uint8_t* from, std::size_t count) noexcept {
  for (std::size_t index = count; index > 0; --index) {
    if (!is_lwsp(from[index - 1])) return index - 1;
  }
  return Line::kNone;
}

}  // namespace

LineSource::LineSource(ByteView bytes) : memory_(bytes) {}

LineSource::LineSource(Input& input) : input_(&input) {}

bool LineSource::refill() {
  if (input_ == nullptr) return false;  // a message in memory is one block
  block_start_ += block_.size();
  block_.resize(kBlockSize);
  block_next_ = 0;
  block_.resize(input_->read(block_));
  return !block_.empty();
}

void LineSource::add_piece(Line& line, const std::uint8_t* from, std::size_t count, std::size_t head_limit) {
  if (count == 0) return;
  const std::size_t last = last_non_lwsp_in(from, count);
  if (last != Line::kNone) line.last_non_lwsp = static_cast<std::size_t>(line.length) + last;
  const std::size_t room = head_limit - std::min<std::size_t>(head_limit, assembled_.size());
  assembled_.append(reinterpret_cast<const char*>(from), std::min(room, count));
  line.ends_in_cr = from[count - 1] == '\r';
  line.length += count;
}

bool LineSource::next(Line& line, std::size_t head_limit) {
  if (block_next_ == current().size() && !refill()) return false;
  line = Line{};
  line.start = block_start_ + block_next_;
  const ByteView rest = current().subspan(block_next_);
  // The usual case: the whole line lies in this block and is viewed where it is.
  if (const void* lf = std::memchr(rest.data(), '\n', rest.size()); lf != nullptr || input_ == nullptr) {
    const std::size_t count =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - rest.data()) : rest.size();
    line.length = count;
    line.has_lf = lf != nullptr;
    line.ends_in_cr = count > 0 && rest[count - 1] == '\r';
    line.last_non_lwsp = last_non_lwsp_in(rest.data(), count);
    line.head = std::string_view(reinterpret_cast<const char*>(rest.data()), std::min(count, head_limit));
    block_next_ += count + (line.has_lf ? 1 : 0);
    return true;
  }
  // A line that goes on in the next blocks: its head is gathered, the rest only measured.
  assembled_.clear();
  for (;;) {
    const ByteView piece = ByteView(block_).subspan(block_next_);
    const void* lf = std::memchr(piece.data(), '\n', piece.size());
    const std::size_t count =
        lf != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(lf) - piece.data()) : piece.size();
    add_piece(line, piece.data(), count, head_limit);
    block_next_ += count;
    if (lf != nullptr) {
      line.has_lf = true;
      ++block_next_;
      break;
    }
    if (!refill()) break;
  }
  line.head = assembled_;
  return true;
}

void LineSource::seek(std::uint64_t offset) {
  if (offset >= block_start_ && offset - block_start_ <= current().size()) {
    block_next_ = static_cast<std::size_t>(offset - block_start_);
    return;
  }
  input_->seek(offset);
  block_.clear();
  block_start_ = offset;
  block_next_ = 0;
}

std::size_t LineSource::read_at(std::uint64_t offset, std::span<std::uint8_t> buffer) const {
  if (input_ == nullptr) {
    if (offset >= memory_.size()) return 0;
    const std::size_t count = std::min<std::uint64_t>(buffer.size(), memory_.size() - offset);
    std::memcpy(buffer.data(), memory_.data() + offset, count);
    return count;
  }
  return input_->read_at(offset, buffer);
}

Bytes LineSource::read_range(std::uint64_t offset, std::uint64_t length) const {
  if (input_ == nullptr) {
    if (offset >= memory_.size()) return {};
    const ByteView range = memory_.subspan(offset, std::min<std::uint64_t>(length, memory_.size() - offset));
    return Bytes(range.begin(), range.end());
  }
  Bytes bytes(length);
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const std::size_t count = read_at(offset + filled, std::span<std::uint8_t>(bytes).subspan(filled));
    if (count == 0) break;
    filled += count;
  }
  bytes.resize(filled);
  return bytes;
}

}  // namespace norvan::signing::mime::detail
