#include "norvan/common/rfc3339.hpp"

#include <cstdint>
#include <cstdio>

namespace norvan {
namespace {

using namespace std::chrono;

// Reads exactly `count` decimal digits at `position` of `text`.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  int digits(std::size_t count, const char* what) {
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
      if (position_ >= text_.size() || text_[position_] < '0' || text_[position_] > '9') {
        fail(std::string("expected ") + std::to_string(count) + " digits for the " + what);
      }
      value = value * 10 + (text_[position_++] - '0');
    }
    return value;
  }

  void expect(std::string_view accepted, const char* what) {
    if (position_ >= text_.size() || accepted.find(text_[position_]) == std::string_view::npos) {
      fail(std::string("expected ") + what);
    }
    ++position_;
  }

  bool next_is(char c) const { return position_ < text_.size() && text_[position_] == c; }
  char take() { return text_[position_++]; }
  bool at_end() const { return position_ == text_.size(); }

  [[noreturn]] void fail(const std::string& why) const {
    throw TimeFormatError("'" + std::string(text_) + "' is not an RFC 3339 time such as 2026-01-31T12:00:00Z: " +
                          why + " at character " + std::to_string(position_ + 1));
  }

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

void check_range(const Cursor& cursor, int value, int low, int high, const char* what) {
  if (value < low || value > high) {
    cursor.fail(std::string("the ") + what + " " + std::to_string(value) + " is out of range");
  }
}

}  // namespace

system_clock::time_point parse_rfc3339(std::string_view text) {
  Cursor cursor(text);
  if (text.size() > 64) cursor.fail("the text is too long");
  const int year_value = cursor.digits(4, "year");
  cursor.expect("-", "'-' after the year");
  const int month_value = cursor.digits(2, "month");
  cursor.expect("-", "'-' after the month");
  const int day_value = cursor.digits(2, "day");
  cursor.expect("Tt ", "'T' between date and time");
  const int hour_value = cursor.digits(2, "hour");
  cursor.expect(":", "':' after the hour");
  const int minute_value = cursor.digits(2, "minute");
  cursor.expect(":", "':' after the minute");
  const int second_value = cursor.digits(2, "second");
  check_range(cursor, month_value, 1, 12, "month");
  const year_month_day date{year(year_value), month(static_cast<unsigned>(month_value)),
                            day(static_cast<unsigned>(day_value))};
  if (!date.ok()) cursor.fail("there is no day " + std::to_string(day_value) + " in that month");
  check_range(cursor, hour_value, 0, 23, "hour");
  check_range(cursor, minute_value, 0, 59, "minute");
  check_range(cursor, second_value, 0, 60, "second");

  system_clock::duration fraction{0};
  if (cursor.next_is('.')) {
    (void)cursor.take();
    // Digits beyond the clock's precision are read and dropped.
    std::int64_t numerator = 0;
    std::int64_t denominator = 1;
    std::size_t count = 0;
    for (; !cursor.at_end(); ++count) {
      if (cursor.next_is('Z') || cursor.next_is('z') || cursor.next_is('+') || cursor.next_is('-')) break;
      const char c = cursor.take();
      if (c < '0' || c > '9') cursor.fail("expected digits of the fraction of a second");
      if (denominator < 1'000'000'000) {
        numerator = numerator * 10 + (c - '0');
        denominator *= 10;
      }
    }
    if (count == 0) cursor.fail("expected digits after the decimal point");
    fraction = duration_cast<system_clock::duration>(nanoseconds(numerator * (1'000'000'000 / denominator)));
  }

  minutes offset{0};
  if (cursor.next_is('Z') || cursor.next_is('z')) {
    (void)cursor.take();
  } else if (cursor.next_is('+') || cursor.next_is('-')) {
    const bool negative = cursor.take() == '-';
    const int offset_hours = cursor.digits(2, "hours of the offset");
    cursor.expect(":", "':' in the offset");
    const int offset_minutes = cursor.digits(2, "minutes of the offset");
    check_range(cursor, offset_hours, 0, 23, "offset hour");
    check_range(cursor, offset_minutes, 0, 59, "offset minute");
    offset = hours(offset_hours) + minutes(offset_minutes);
    if (negative) offset = -offset;
  } else {
    cursor.fail("expected 'Z' or an offset such as +01:00");
  }
  if (!cursor.at_end()) cursor.fail("unexpected text after the time");

  const sys_seconds moment = sys_days(date) + hours(hour_value) + minutes(minute_value) + seconds(second_value) - offset;
  // The clock counts nanoseconds in 64 bits, so it holds the years 1678 to 2261 only.
  if (moment <= ceil<seconds>(system_clock::time_point::min()) ||
      moment >= floor<seconds>(system_clock::time_point::max())) {
    cursor.fail("the year " + std::to_string(year_value) + " is outside the years 1678 to 2261 that can be handled");
  }
  return system_clock::time_point(moment) + fraction;
}

std::string format_rfc3339(system_clock::time_point moment) { return format_rfc3339(floor<seconds>(moment)); }

std::string format_rfc3339(sys_seconds whole) {
  const auto day_start = floor<days>(whole);
  const year_month_day date{day_start};
  const hh_mm_ss time{whole - day_start};
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace norvan
