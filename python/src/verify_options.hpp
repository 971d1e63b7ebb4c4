#pragma once
// The verification options of norvan.signing.mime.Verifier: taken from Python's keywords into
// mime::VerifyOptions, and turned into plain Python values (a pickle's state) and back.

#include "support.hpp"

#include "norvan/signing/mime.hpp"

namespace norvan::python {

/// Returns the options the keywords name. `crls`: None or a list whose entries are bytes (PEM
/// or DER, named "crls[i]" in errors), a (bytes, name) pair, or a path (str or os.PathLike,
/// read now, named by its path). `at_time`: None, a timezone-aware datetime or RFC 3339 text.
/// `purpose`: None, "smime", "codesign" or "any". Each CRL is checked now, so a bad one is
/// reported by its name before anything is verified. Raises TypeError for a value of the wrong
/// type, ValueError for a naive datetime, and what the C++ checks throw (InvalidRevocationListError,
/// TimeFormatError, PolicyError).
signing::mime::VerifyOptions verify_options_of(const py::object& crls, const py::object& at_time,
                                                bool at_signing_time, const py::object& purpose, bool rfc8551,
                                                bool body);

/// Adds the options to a pickle's state: CRLs as (bytes, name) pairs, the time as whole
/// microseconds since the epoch (exact), the purpose by name.
void add_options_to_state(const signing::mime::VerifyOptions& options, py::dict& state);

/// The options of a pickle's state made by add_options_to_state; a state without them (an
/// older pickle) gives the default options.
signing::mime::VerifyOptions options_from_state(const py::dict& state);

/// The options that differ from the default, as " name=value" pieces for a repr.
std::string options_repr(const signing::mime::VerifyOptions& options);

}  // namespace norvan::python
