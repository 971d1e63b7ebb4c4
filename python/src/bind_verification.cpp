#include "support.hpp"

namespace norvan::python {

void bind_verification(py::module_& module) {
  define_exception(module, "VerificationError", PyExc_Exception,
                   "A verification that failed: the message says what did not verify (it may be empty); "
                   "the underlying failure, when there is one, is the exception's __cause__.");
}

}  // namespace norvan::python
