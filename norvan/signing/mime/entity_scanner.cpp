#include "norvan/signing/mime/entity_scanner.hpp"

#include "norvan/signing/mime/entity_header.hpp"
#include "norvan/signing/mime/header_fields.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace norvan::signing::mime::detail {
namespace {

// GMime's nesting limit: deeper containers keep their children as unparsed text.
constexpr int kMaxLevel = 1024;

// Content lines are read with at least this many first bytes (and always the longest
// delimiter in force).
constexpr std::size_t kMinimumHead = 256;

bool is_empty_line(const Line& line) { return line.has_lf && line.length_without_cr() == 0; }

bool is_signature_type(std::string_view type) {
  return type == "application/x-pkcs7-signature" || type == "application/pkcs7-signature";
}

// Where a body ends, seen from the line that ends it.
enum class Boundary { none, immediate, immediate_end, parent, parent_end, end_of_stream };

enum class HeaderEnd { content, boundary, error };

// An entity's header block: how it ended and the fields that decide what the entity is.
struct HeaderBlock {
  HeaderEnd end = HeaderEnd::content;
  bool has_fields = false;
  std::string fields;
};

class Scanner {
 public:
  explicit Scanner(LineSource& lines) : lines_(lines) {}

  SignedEntities run() {
    const HeaderBlock block = read_headers(true);
    if (block.end != HeaderEnd::error) construct(block, false, false, 0);
    return found_;
  }

 private:
  // ---- Lines -------------------------------------------------------------------------------
  // Makes the next line current (the current one again after push_back()); false at the end.
  bool next_line(std::size_t head_limit) {
    if (pending_) {
      pending_ = false;
      return true;
    }
    return lines_.next(line_, head_limit);
  }

  // Hands the current line out again: kept when read whole, otherwise read again.
  void push_back() {
    next_start_ = line_.start;
    if (line_.whole()) {
      pending_ = true;
    } else {
      lines_.seek(line_.start);
    }
  }

  // Where the next line starts.
  std::uint64_t position() const noexcept { return pending_ ? line_.start : next_start_; }

  std::size_t content_head() const noexcept { return std::max(kMinimumHead, longest_delimiter() + 2); }

  std::size_t longest_delimiter() const noexcept { return longest_.empty() ? 0 : longest_.back(); }

  // ---- Delimiters ---------------------------------------------------------------------------
  void push_boundary(const std::string& boundary) {
    bounds_.push_back("--" + boundary + "--");
    longest_.push_back(std::max(longest_delimiter(), bounds_.back().size()));
  }

  void pop_boundary() {
    bounds_.pop_back();
    longest_.pop_back();
  }

  // The line is `delimiter` (its first `length` bytes) followed by linear white space only.
  static bool is_delimiter(const Line& line, std::uint64_t line_length, const std::string& delimiter,
                           std::size_t length) {
    if (length > line_length || line.head.size() < length) return false;
    if (std::memcmp(line.head.data(), delimiter.data(), length) != 0) return false;
    return line.last_non_lwsp == Line::kNone || line.last_non_lwsp < length;
  }

  Boundary check_boundary(const Line& line) const {
    const std::uint64_t length = line.length_without_cr();
    if (length < 2 || line.head[0] != '-' || line.head[1] != '-') return Boundary::none;
    for (std::size_t level = bounds_.size(); level-- > 0;) {
      const std::string& delimiter = bounds_[level];
      const bool immediate = level + 1 == bounds_.size();
      if (is_delimiter(line, length, delimiter, delimiter.size())) {
        return immediate ? Boundary::immediate_end : Boundary::parent_end;
      }
      if (is_delimiter(line, length, delimiter, delimiter.size() - 2)) {
        return immediate ? Boundary::immediate : Boundary::parent;
      }
    }
    return Boundary::none;
  }

  // Whether the current line is a delimiter of the innermost multipart.
  bool found_immediate(bool close) const {
    const std::string& delimiter = bounds_.back();
    return is_delimiter(line_, line_.length, delimiter, close ? delimiter.size() : delimiter.size() - 2);
  }

  // Passes over the current line (a delimiter); false when it is the last line and has no
  // line feed.
  bool skip_line() {
    if (!next_line(kMinimumHead)) return false;
    next_start_ = line_.end();
    return line_.has_lf;
  }

  // ---- Header blocks ------------------------------------------------------------------------
  // Reads an entity's header block up to the empty line that ends it, a delimiter, or the end
  // of the message. `root`: the message's own header, which must start with a header field.
  HeaderBlock read_headers(bool root) {
    HeaderBlock block;
    if (!read_line(LineSource::kWhole)) {
      block.end = HeaderEnd::error;
      return block;
    }
    FieldSelection fields;
    bool first = true;
    for (;;) {
      const bool starts_field = first || line_.length == 0 || !is_blank(line_.head[0]);
      if (!root && first && check_boundary(line_) == Boundary::none && !is_empty_line(line_) &&
          !starts_header_field(line_.head)) {
        // No header at all: the body starts with this line.
        push_back();
        return block;
      }
      if (!line_.has_lf) {
        // The message ends in the header block.
        std::string_view name;
        const FieldName state = field_name_of(line_.head, name);
        if (starts_field && (state == FieldName::unfinished || (root && first && state == FieldName::invalid))) {
          block.end = HeaderEnd::error;
          return block;
        }
        add_line(fields, starts_field);
        break;
      }
      if (is_empty_line(line_)) break;
      if (root && first) {
        std::string_view name;
        if (field_name_of(line_.head, name) != FieldName::valid) {
          block.end = HeaderEnd::error;
          return block;
        }
      }
      if ((boundary_ = check_boundary(line_)) != Boundary::none) {
        push_back();
        block.end = HeaderEnd::boundary;
        break;
      }
      add_line(fields, starts_field);
      first = false;
      if (!read_line(LineSource::kWhole)) break;
    }
    block.has_fields = fields.any_valid();
    block.fields = fields.take();
    return block;
  }

  bool read_line(std::size_t head_limit) {
    if (!next_line(head_limit)) return false;
    next_start_ = line_.end();
    return true;
  }

  void add_line(FieldSelection& fields, bool starts_field) {
    if (starts_field) {
      fields.start_field(line_);
    } else {
      fields.continue_field(line_);
    }
  }

  // ---- Bodies -------------------------------------------------------------------------------
  // Reads a body up to the next delimiter of any enclosing multipart (left to be read again)
  // or the end of the message, and returns which it was. The line end before a delimiter
  // belongs to the delimiter (RFC 2046): the body's last line end, CR LF or LF, is not part of
  // the body. (GMime dropped two bytes when the delimiter line itself ended in CR LF and one
  // otherwise, which cut a byte from a body ending in LF alone and left a CR on one ending in
  // CR LF when the line ends of the two differed.)
  Boundary scan_content(FoundEntity* body) {
    const std::uint64_t start = position();
    Boundary found = Boundary::end_of_stream;
    std::uint64_t end = start;
    bool last_ended_in_cr = false;
    while (read_line(content_head())) {
      found = check_boundary(line_);
      if (found != Boundary::none) {
        push_back();
        end = line_.start;
        if (end > start) end -= last_ended_in_cr ? 2 : 1;
        break;
      }
      found = Boundary::end_of_stream;
      end = line_.end();
      last_ended_in_cr = line_.ends_in_cr;
    }
    if (body != nullptr) {
      body->body_start = start;
      body->body_length = end - start;
    }
    return found;
  }

  // ---- Entities -----------------------------------------------------------------------------
  void construct(const HeaderBlock& block, bool in_digest_type, bool in_digest_text, int depth) {
    const EntityHeader header = headers_.read(block.fields, in_digest_type, in_digest_text);
    if (header.kind == EntityHeader::Kind::multipart) {
      construct_multipart(header, depth);
    } else {
      construct_leaf(header, block.end, depth);
    }
  }

  void construct_leaf(const EntityHeader& header, HeaderEnd end, int depth) {
    if (header.kind == EntityHeader::Kind::message && depth < kMaxLevel) {
      if (end == HeaderEnd::content) scan_message_part(depth + 1);
      return;
    }
    FoundEntity body;
    body.found = true;
    body.encoding = header.encoding;
    if (end == HeaderEnd::content) boundary_ = scan_content(&body);
    if (header.type.rfind("multipart/", 0) == 0) return;
    if (is_signature_type(header.type)) {
      found_.signature = body;
    } else if (header.type == "text/plain") {
      found_.payload = body;
    }
  }

  void construct_multipart(const EntityHeader& header, int depth) {
    if (!header.boundary || depth >= kMaxLevel) {
      boundary_ = scan_content(nullptr);  // all of it is the prologue
      return;
    }
    push_boundary(*header.boundary);
    boundary_ = scan_content(nullptr);  // the prologue
    if (boundary_ == Boundary::immediate) boundary_ = scan_subparts(header, depth);
    if (boundary_ == Boundary::immediate_end) {
      skip_line();
      pop_boundary();
      boundary_ = scan_content(nullptr);  // the epilogue
      return;
    }
    pop_boundary();
    if (boundary_ == Boundary::parent_end && found_immediate(true)) {
      boundary_ = Boundary::immediate_end;
    } else if (boundary_ == Boundary::parent && found_immediate(false)) {
      boundary_ = Boundary::immediate;
    }
  }

  Boundary scan_subparts(const EntityHeader& header, int depth) {
    do {
      if (!skip_line()) {
        boundary_ = Boundary::end_of_stream;
        break;
      }
      const HeaderBlock block = read_headers(false);
      if (block.end == HeaderEnd::error) {
        boundary_ = Boundary::end_of_stream;
        break;
      }
      if (block.end == HeaderEnd::boundary && !block.has_fields) {
        if (boundary_ == Boundary::immediate) continue;  // an empty part: nothing to construct
        break;
      }
      construct(block, header.digest, header.type == "multipart/digest", depth + 1);
    } while (boundary_ == Boundary::immediate);
    return boundary_;
  }

  void scan_message_part(int depth) {
    if (!bounds_.empty()) {
      if (!next_line(LineSource::kWhole)) {
        boundary_ = Boundary::end_of_stream;
        return;
      }
      const Boundary found = check_boundary(line_);
      push_back();
      if (found != Boundary::none) {  // an empty message
        boundary_ = found;
        return;
      }
    }
    const HeaderBlock block = read_headers(false);
    if (block.end == HeaderEnd::error) {
      boundary_ = Boundary::end_of_stream;
      return;
    }
    construct(block, false, false, depth + 1);
  }

  LineSource& lines_;
  EntityHeaderReader headers_;
  std::vector<std::string> bounds_;  // "--boundary--" of each enclosing multipart, innermost last
  std::vector<std::size_t> longest_;  // the longest of bounds_ up to each level
  Line line_;
  bool pending_ = false;
  std::uint64_t next_start_ = 0;
  Boundary boundary_ = Boundary::none;
  SignedEntities found_;
};

}  // namespace

SignedEntities scan_signed_entities(LineSource& lines) { return Scanner(lines).run(); }

}  // namespace norvan::signing::mime::detail
