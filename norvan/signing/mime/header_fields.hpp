#pragma once
// Header fields as GMime's parser reads them: where a field name ends and whether it is one,
// and the few fields of a header block that decide what its entity is.

#include "norvan/signing/mime/line_source.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace norvan::signing::mime::detail {

bool is_blank(char byte) noexcept;

// Field names compare without regard to ASCII case.
bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept;

// How GMime reads the field name at the start of a header line: up to the colon, blanks
// allowed only between the name and the colon, no control characters, not empty.
enum class FieldName { valid, invalid, unfinished /* no colon yet, nothing invalid */ };

// Reads the field name of `line`; a valid one is stored in `name` without its blanks.
FieldName field_name_of(std::string_view line, std::string_view& name);

// Whether a lenient reader takes `line` for a header field: a name of printable ASCII other
// than the colon, optional blanks, a colon.
bool starts_header_field(std::string_view line);

// The fields of one header block that EntityHeaderReader needs: the first and the last
// Content-Type and Content-Transfer-Encoding fields, in their order. Other fields are only
// counted. Memory: the selected fields, whatever the number of others.
class FieldSelection {
 public:
  // A line that starts a field (the previous field ends), or continues the current one.
  void start_field(const Line& line);
  void continue_field(const Line& line);

  // Whether a field with a valid name started.
  bool any_valid() const noexcept { return any_valid_; }

  // The selected fields in their order, each ending in a line feed.
  std::string take();

 private:
  struct Slot {
    std::string first, last;
    std::size_t first_order = 0, last_order = 0;
  };

  void finish_field();

  Slot type_, encoding_;
  Slot* current_ = nullptr;
  std::string text_;
  std::size_t order_ = 0;
  bool any_valid_ = false;
};

}  // namespace norvan::signing::mime::detail
