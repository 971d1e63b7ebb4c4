#include "verify_options.hpp"

#include "norvan/common/files.hpp"
#include "norvan/common/rfc3339.hpp"

#include <chrono>
#include <string>

namespace norvan::python {
namespace {

namespace fs = std::filesystem;
namespace brisvale = signing::brisvale;
using Clock = std::chrono::system_clock;

std::string type_name(const py::handle& value) {
  return py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>();
}

bool is_path(const py::handle& value) {
  return py::isinstance<py::str>(value) || py::isinstance(value, module_attribute("os", "PathLike"));
}

brisvale::RevocationList revocation_list_of(const py::handle& entry, std::size_t index) {
  if (py::isinstance<py::bytes>(entry)) {
    return {copy(py::reinterpret_borrow<py::bytes>(entry)), "crls[" + std::to_string(index) + "]"};
  }
  if (py::isinstance<py::tuple>(entry) && py::len(entry) == 2 && py::isinstance<py::bytes>(entry[py::int_(0)]) &&
      py::isinstance<py::str>(entry[py::int_(1)])) {
    return {copy(entry[py::int_(0)].cast<py::bytes>()), entry[py::int_(1)].cast<std::string>()};
  }
  if (is_path(entry)) {
    const fs::path path = entry.cast<fs::path>();
    py::gil_scoped_release release;
    return {read_file(path, "CRL file"), path.string()};
  }
  throw py::type_error("each entry of crls must be bytes, a (bytes, name) pair or a path, not " + type_name(entry));
}

std::vector<brisvale::RevocationList> revocation_lists_of(const py::object& crls) {
  std::vector<brisvale::RevocationList> lists;
  if (crls.is_none()) return lists;
  if (py::isinstance<py::bytes>(crls) || py::isinstance<py::str>(crls)) {
    throw py::type_error("crls must be a list (of bytes, (bytes, name) pairs or paths), not " + type_name(crls));
  }
  for (const py::handle entry : py::iter(crls)) lists.push_back(revocation_list_of(entry, lists.size()));
  for (const brisvale::RevocationList& list : lists) brisvale::check_revocation_list(list);
  return lists;
}

// A timezone-aware datetime as the moment it names, to the microsecond.
Clock::time_point moment_of(const py::handle& datetime) {
  if (datetime.attr("utcoffset")().is_none()) {
    throw py::value_error("at_time must be timezone-aware (for example datetime(..., tzinfo=timezone.utc))");
  }
  const py::object timezone = module_attribute("datetime", "timezone");
  const py::object epoch = module_attribute("datetime", "datetime")(1970, 1, 1, py::arg("tzinfo") = timezone.attr("utc"));
  const py::object since = datetime - epoch;
  const auto days = since.attr("days").cast<long long>();
  const auto seconds = since.attr("seconds").cast<long long>();
  const auto microseconds = since.attr("microseconds").cast<long long>();
  const std::chrono::microseconds offset{(days * 86400 + seconds) * 1000000 + microseconds};
  // The clock counts nanoseconds in 64 bits: it holds the years 1678 to 2261 only.
  constexpr auto kLimit = std::chrono::duration_cast<std::chrono::microseconds>(Clock::duration::max());
  if (offset >= kLimit || offset <= -kLimit) {
    throw py::value_error("at_time " + py::str(datetime).cast<std::string>() +
                          " is outside the years 1678 to 2261 that can be handled");
  }
  return Clock::time_point(std::chrono::duration_cast<Clock::duration>(offset));
}

std::optional<Clock::time_point> at_time_of(const py::object& at_time) {
  if (at_time.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(at_time)) return parse_rfc3339(at_time.cast<std::string>());
  if (py::isinstance(at_time, module_attribute("datetime", "datetime"))) return moment_of(at_time);
  throw py::type_error("at_time must be a datetime or RFC 3339 text, not " + type_name(at_time));
}

std::optional<brisvale::Purpose> purpose_of(const py::object& purpose) {
  if (purpose.is_none()) return std::nullopt;
  if (!py::isinstance<py::str>(purpose)) throw py::type_error("purpose must be str or None, not " + type_name(purpose));
  return brisvale::parse_purpose(purpose.cast<std::string>());
}

long long microseconds_of(Clock::time_point moment) {
  return std::chrono::duration_cast<std::chrono::microseconds>(moment.time_since_epoch()).count();
}

}  // namespace

signing::mime::VerifyOptions verify_options_of(const py::object& crls, const py::object& at_time,
                                                bool at_signing_time, const py::object& purpose, bool rfc8551,
                                                bool body) {
  if (body && !rfc8551) throw py::value_error("body=True needs rfc8551=True: only RFC 8551 mode returns a body alone");
  signing::mime::VerifyOptions options;
  options.policy.crls = revocation_lists_of(crls);
  options.policy.at_time = at_time_of(at_time);
  options.policy.at_signing_time = at_signing_time;
  options.policy.purpose = purpose_of(purpose);
  options.rfc8551 = rfc8551;
  options.body = body;
  return options;
}

void add_options_to_state(const signing::mime::VerifyOptions& options, py::dict& state) {
  py::list crls;
  for (const brisvale::RevocationList& list : options.policy.crls) {
    crls.append(py::make_tuple(to_python(list.bytes), py::str(list.source)));
  }
  state["crls"] = crls;
  state["at_time_us"] = options.policy.at_time ? py::object(py::int_(microseconds_of(*options.policy.at_time)))
                                               : py::object(py::none());
  state["at_signing_time"] = options.policy.at_signing_time;
  state["purpose"] = options.policy.purpose ? py::object(py::str(brisvale::purpose_name(*options.policy.purpose)))
                                            : py::object(py::none());
  state["rfc8551"] = options.rfc8551;
  state["body"] = options.body;
}

signing::mime::VerifyOptions options_from_state(const py::dict& state) {
  const auto get = [&state](const char* key) {
    return state.contains(key) ? py::reinterpret_borrow<py::object>(state[key]) : py::object(py::none());
  };
  signing::mime::VerifyOptions options;
  options.policy.crls = revocation_lists_of(get("crls"));
  if (const py::object at_time = get("at_time_us"); !at_time.is_none()) {
    options.policy.at_time = Clock::time_point(
        std::chrono::duration_cast<Clock::duration>(std::chrono::microseconds(at_time.cast<long long>())));
  }
  options.policy.at_signing_time = get("at_signing_time").is_none() ? false : get("at_signing_time").cast<bool>();
  options.policy.purpose = purpose_of(get("purpose"));
  options.rfc8551 = get("rfc8551").is_none() ? false : get("rfc8551").cast<bool>();
  options.body = get("body").is_none() ? false : get("body").cast<bool>();
  return options;
}

std::string options_repr(const signing::mime::VerifyOptions& options) {
  std::string text;
  const brisvale::VerificationPolicy& policy = options.policy;
  if (!policy.crls.empty()) text += " crls=" + std::to_string(policy.crls.size());
  if (policy.at_time) text += " at_time=" + format_rfc3339(*policy.at_time);
  if (policy.at_signing_time) text += " at_signing_time=True";
  if (policy.purpose) text += std::string(" purpose=") + brisvale::purpose_name(*policy.purpose);
  if (options.rfc8551) text += " rfc8551=True";
  if (options.body) text += " body=True";
  return text;
}

}  // namespace norvan::python
