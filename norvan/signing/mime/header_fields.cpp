#include "norvan/signing/mime/header_fields.hpp"

#include "norvan/signing/mime/entity_header.hpp"

#include <algorithm>
#include <cctype>
#include <vector>

namespace norvan::signing::mime::detail {
namespace {

bool is_ctrl(char byte) noexcept {
  const auto value = static_cast<unsigned char>(byte);
  return value < 32 || value == 127;
}

}  // namespace

bool is_blank(char byte) noexcept { return byte == ' ' || byte == '\t'; }

bool equals_ignoring_case(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

FieldName field_name_of(std::string_view line, std::string_view& name) {
  bool blank = false;
  for (std::size_t index = 0; index < line.size(); ++index) {
    const char byte = line[index];
    if (byte == ':') {
      if (index == 0) return FieldName::invalid;
      name = line.substr(0, index);
      while (!name.empty() && is_blank(name.back())) name.remove_suffix(1);
      return FieldName::valid;
    }
    if (is_blank(byte)) {
      blank = true;
    } else if (blank || is_ctrl(byte)) {
      return FieldName::invalid;
    }
  }
  return FieldName::unfinished;
}

bool starts_header_field(std::string_view line) {
  std::size_t index = 0;
  while (index < line.size() && line[index] > ' ' && line[index] < 127 && line[index] != ':') ++index;
  if (index == 0) return false;
  while (index < line.size() && is_blank(line[index])) ++index;
  return index < line.size() && line[index] == ':';
}

void FieldSelection::start_field(const Line& line) {
  finish_field();
  std::string_view name;
  if (field_name_of(line.head, name) != FieldName::valid) return;
  any_valid_ = true;
  if (equals_ignoring_case(name, "Content-Type")) {
    current_ = &type_;
  } else if (equals_ignoring_case(name, "Content-Transfer-Encoding")) {
    current_ = &encoding_;
  } else {
    return;
  }
  text_.assign(line.head);
  text_ += '\n';
}

void FieldSelection::continue_field(const Line& line) {
  if (current_ == nullptr) return;
  text_ += line.head;
  text_ += '\n';
}

void FieldSelection::finish_field() {
  if (current_ != nullptr) {
    if (current_ == &type_) text_ = shortened_content_type(std::move(text_));
    Slot& slot = *current_;
    if (slot.first.empty()) {
      slot.first_order = order_;
      slot.first = std::move(text_);
    } else {
      slot.last_order = order_;
      slot.last = std::move(text_);
    }
    ++order_;
  }
  current_ = nullptr;
  text_.clear();
}

std::string FieldSelection::take() {
  finish_field();
  struct Piece {
    std::size_t order;
    const std::string* text;
  };
  std::vector<Piece> pieces;
  for (const Slot* slot : {&type_, &encoding_}) {
    if (!slot->first.empty()) pieces.push_back({slot->first_order, &slot->first});
    if (!slot->last.empty()) pieces.push_back({slot->last_order, &slot->last});
  }
  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.order < b.order; });
  std::string fields;
  for (const Piece& piece : pieces) fields += *piece.text;
  return fields;
}

}  // namespace norvan::signing::mime::detail
