#include "support.hpp"
#include "session.hpp"

#include "norvan/binary_image/docker.hpp"

namespace norvan::python {
namespace {

namespace docker = binary_image::docker;

// Each element's str(), as the command line shows it.
std::vector<docker::Arg> texts_of(const py::sequence& args) {
  if (py::isinstance<py::str>(args) || py::isinstance<py::bytes>(args))
    throw py::type_error("args must be a list of arguments, not a single " +
                         py::str(py::type::of(args).attr("__name__")).cast<std::string>());
  std::vector<docker::Arg> texts;
  for (const py::handle arg : args) texts.emplace_back(py::str(arg).cast<std::string>());
  return texts;
}

void run_subprocess(const py::object& session, const py::sequence& args, bool verbose) {
  const std::vector<docker::Arg> command = texts_of(args);
  PythonSession python_session(session);
  flush_python_streams();
  py::gil_scoped_release release;
  docker::run_subprocess(python_session, command, verbose);
}

void build_docker_image(const py::object& session, const py::str& name, const py::str& dockerfile_content) {
  const std::string image = std::string(utf8(name));
  const std::string dockerfile = std::string(utf8(dockerfile_content));
  PythonSession python_session(session);
  flush_python_streams();
  py::gil_scoped_release release;
  docker::build_docker_image(python_session, image, dockerfile);
}

}  // namespace

void bind_docker(py::module_& module) {
  define_exception(module, "DecodingError", PyExc_UnicodeError,
                   "A command's captured output was not UTF-8 text; raised after the command ended, with no "
                   "report printed and session.error not called.");

  module.def("run_subprocess", &run_subprocess, py::arg("session"), py::arg("args"), py::arg("verbose") = false,
             "Runs `args` (the program, found on PATH, then its arguments, each turned into text with str(); no "
             "shell) and waits for it. With `verbose` the command writes to this process's standard output and "
             "error; otherwise both are captured. When it exits with a code other than 0 (minus the signal "
             "number when a signal ended it), writes the red failure report to sys.stderr and calls "
             "session.error(code); what that raises propagates. Raises OSError when the program cannot be "
             "started (no report then).");
  module.def("build_docker_image", &build_docker_image, py::arg("session"), py::arg("name"),
             py::arg("dockerfile_content"),
             "Builds the Docker image `name` from the Dockerfile text `dockerfile_content`: writes it into a fresh "
             "temporary directory and runs `docker build -t NAME DIR` through run_subprocess (output captured). "
             "The directory is removed on every path.");
}

}  // namespace norvan::python
