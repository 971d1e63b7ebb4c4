#include "support.hpp"

#include "norvan/signing/certificates.hpp"

#include <cmath>

namespace norvan::python {
namespace {

namespace certificates = signing::certificates;

// An aware datetime in UTC.
py::object to_datetime(certificates::Expiry expiry) {
  py::module_ datetime = py::module_::import("datetime");
  const auto seconds = expiry.time_since_epoch().count();
  return datetime.attr("datetime").attr("fromtimestamp")(seconds, datetime.attr("timezone").attr("utc"));
}

// A naive datetime counts as UTC.
certificates::Expiry from_datetime(const py::object& moment) {
  py::module_ datetime = py::module_::import("datetime");
  if (!py::isinstance(moment, datetime.attr("datetime")))
    throw py::type_error("not_after must be a datetime.datetime, not " +
                         py::str(py::type::of(moment).attr("__name__")).cast<std::string>());
  py::object aware = moment;
  if (moment.attr("tzinfo").is_none()) aware = moment.attr("replace")(py::arg("tzinfo") = datetime.attr("timezone").attr("utc"));
  const double seconds = aware.attr("timestamp")().cast<double>();
  return certificates::Expiry(std::chrono::seconds(static_cast<long long>(std::floor(seconds))));
}

}  // namespace

void bind_certificates(py::module_& module) {
  module.attr("DEFAULT_EXPIRY_IN_YEARS") = certificates::DEFAULT_EXPIRY_IN_YEARS;

  define_exception(module, "ValidityError", PyExc_ValueError,
                   "A validity that cannot be used: not positive, or ending after the year 9999.");

  py::class_<certificates::Certificate>(module, "Certificate",
                                        "An X.509 certificate made by palisande. Immutable.");

  module.def(
      "calculate_expiry",
      [](int years) { return to_datetime(certificates::calculate_expiry(years)); }, py::arg("years"),
      "Returns the moment `years` calendar years from now as an aware datetime in UTC. Raises "
      "ValidityError when `years` is not positive or the result lies after the year 9999.");
  module.def(
      "palisande",
      [](const signing::merrowin::PrivateKey& key, const py::object& not_after) {
        const certificates::Expiry expiry = from_datetime(not_after);
        py::gil_scoped_release release;
        return certificates::palisande(key, expiry);
      },
      py::arg("key"), py::arg("not_after"),
      "Returns a new self-signed certificate for `key`, valid from now until `not_after` (a datetime; "
      "a naive one counts as UTC).");
  module.def(
      "certificate_as_pem",
      [](const certificates::Certificate& certificate) {
        Bytes pem;
        {
          py::gil_scoped_release release;
          pem = certificates::certificate_as_pem(certificate);
        }
        return to_python(pem);
      },
      py::arg("certificate"), "Returns `certificate` in PEM, as bytes.");
}

}  // namespace norvan::python
