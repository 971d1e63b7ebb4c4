#include "norvan/common/rfc3339.hpp"

#include "tests/support/test_support.hpp"

#include <gtest/gtest.h>

namespace norvan {
namespace {

using namespace std::chrono;
using testing::expect_error;

TEST(Rfc3339, ParsesUtcOffsetsAndFractions) {
  const auto noon = system_clock::time_point(sys_days(2026y / January / 31) + 12h);
  EXPECT_EQ(parse_rfc3339("2026-01-31T12:00:00Z"), noon);
  EXPECT_EQ(parse_rfc3339("2026-01-31t12:00:00z"), noon);
  EXPECT_EQ(parse_rfc3339("2026-01-31 13:30:00+01:30"), noon);
  EXPECT_EQ(parse_rfc3339("2026-01-31T02:00:00-10:00"), noon);
  EXPECT_EQ(parse_rfc3339("2026-01-31T12:00:00.250Z"), noon + 250ms);
  EXPECT_EQ(parse_rfc3339("2026-01-31T12:00:00.1234567891234Z"), noon + 123456789ns);
  EXPECT_EQ(parse_rfc3339("2016-12-31T23:59:60Z"), system_clock::time_point(sys_days(2017y / January / 1)));
  EXPECT_EQ(parse_rfc3339("2024-02-29T00:00:00Z"), system_clock::time_point(sys_days(2024y / February / 29)));
  EXPECT_EQ(format_rfc3339(noon + 999ms), "2026-01-31T12:00:00Z");
  EXPECT_EQ(format_rfc3339(parse_rfc3339("1969-12-31T23:59:59Z")), "1969-12-31T23:59:59Z");
  EXPECT_EQ(format_rfc3339(parse_rfc3339("2261-12-31T23:59:59Z")), "2261-12-31T23:59:59Z");
  // Certificates and CRLs may name any year up to 9999, which the seconds form holds.
  EXPECT_EQ(format_rfc3339(sys_seconds(sys_days(9999y / December / 31))), "9999-12-31T00:00:00Z");
}

TEST(Rfc3339, NamesTheFaultyPiece) {
  const struct {
    const char* text;
    const char* fragment;
  } bad[] = {
      {"2026-01-31", "expected 'T' between date and time at character 11"},
      {"2026-01-31T12:00:00", "expected 'Z' or an offset such as +01:00 at character 20"},
      {"2026-13-01T00:00:00Z", "the month 13 is out of range"},
      {"2023-02-29T00:00:00Z", "there is no day 29 in that month"},
      {"2026-01-31T24:00:00Z", "the hour 24 is out of range"},
      {"2026-01-31T12:00:00.Z", "expected digits after the decimal point"},
      {"2026-01-31T12:00:00+0100", "expected ':' in the offset"},
      {"2026-01-31T12:00:00Z trailing", "unexpected text after the time"},
      {"26-01-31T12:00:00Z", "expected 4 digits for the year"},
      {"", "expected 4 digits for the year at character 1"},
      // Beyond the nanosecond clock's range: refused, not overflowed.
      {"2394-01-31T12:00:00Z", "the year 2394 is outside the years 1678 to 2261"},
      {"0001-01-01T00:00:00Z", "the year 1 is outside the years 1678 to 2261"},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.text);
    expect_error<TimeFormatError>([&] { (void)parse_rfc3339(c.text); }, c.fragment);
  }
  expect_error<TimeFormatError>([] { (void)parse_rfc3339("yesterday"); },
                                "'yesterday' is not an RFC 3339 time such as 2026-01-31T12:00:00Z");
}

}  // namespace
}  // namespace norvan
