#pragma once
// Times written as RFC 3339 text ("2026-01-31T12:00:00Z", "2026-01-31T13:00:00.5+01:00").

#include "norvan/common/error.hpp"

#include <chrono>
#include <string>
#include <string_view>

#include "norvan/common/export.hpp"

NORVAN_PUBLIC_BEGIN

namespace norvan {

/// A time text that is not an RFC 3339 date-time. Its text names the faulty piece.
class TimeFormatError : public Error {
 public:
  explicit TimeFormatError(const std::string& what) : Error(ErrorCode::invalid_argument, what) {}
};

/// Returns the moment `text` names: an RFC 3339 date-time, full-date "T" full-time with a
/// "Z" or a numeric offset ("t", "z" and a space instead of "T" are accepted, as RFC 3339
/// allows); fractions of a second are kept to the clock's precision; a leap second (:60) is
/// taken as the following second. Throws TimeFormatError naming what is wrong.
std::chrono::system_clock::time_point parse_rfc3339(std::string_view text);

/// Returns `moment` as RFC 3339 text in UTC, whole seconds ("2026-01-31T12:00:00Z").
std::string format_rfc3339(std::chrono::system_clock::time_point moment);

/// The same for a count of seconds, which covers every year a certificate or CRL can name.
std::string format_rfc3339(std::chrono::sys_seconds moment);

}  // namespace norvan

NORVAN_PUBLIC_END
