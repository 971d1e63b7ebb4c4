// hatch_project_setup as a Python context manager.
//
// The C++ set-up takes the caller's work as a callable and runs its clean-up when that returns
// or throws. A `with` block is not a callable, so the set-up runs on a worker thread of its own
// whose work is to wait: __enter__ starts it and returns once the work has begun (or the set-up
// failed); __exit__ tells the work how the block ended and joins the thread, which has then run
// the clean-up. So the one C++ implementation, with every guarantee it gives, serves Python
// too. Calls into the Python session from the worker take the GIL, which the waiting Python
// thread has released.

#include "support.hpp"
#include "session.hpp"

#include "norvan/binary_image/kelvory.hpp"

#include <condition_variable>
#include <csignal>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>

namespace norvan::python {
namespace {

namespace kelvory = binary_image::kelvory;
namespace noxconfig = binary_image::noxconfig;

// Thrown by the work to tell the set-up that the `with` block raised; never reaches Python.
struct BlockFailed {};

// The project configuration of the importable module noxconfig, read when the set-up starts.
noxconfig::ProjectConfig project_config() {
  py::object root = py::module_::import("noxconfig").attr("PROJECT_CONFIG").attr("root_path");
  return noxconfig::ProjectConfig{root.cast<std::filesystem::path>()};
}

class HatchProjectSetup {
 public:
  explicit HatchProjectSetup(py::object session) : session_(std::move(session)) {}
  HatchProjectSetup(const HatchProjectSetup&) = delete;
  HatchProjectSetup& operator=(const HatchProjectSetup&) = delete;

  ~HatchProjectSetup() {
    if (!worker_.joinable()) return;
    // Dropped inside its block (never left): clean up as for a failed block.
    finish_block(true);
    py::gil_scoped_release release;
    worker_.join();
  }

  void enter() {
    if (phase_ != Phase::created) throw py::value_error("A hatch_project_setup object serves one `with` block only");
    const noxconfig::ProjectConfig config = project_config();
    phase_ = Phase::setting_up;
    {
      py::gil_scoped_release release;
      worker_ = std::thread([this, config] { run(config); });
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return phase_ == Phase::working || phase_ == Phase::finished; });
    }
    if (phase_ == Phase::finished) {  // the set-up failed; the work never ran
      join();
      if (outcome_) std::rethrow_exception(outcome_);
      throw std::logic_error("hatch_project_setup ended without running the block");
    }
  }

  // Returns False: an exception of the block propagates unchanged.
  bool exit(const py::object& exc_type, const py::object&, const py::object&) {
    if (phase_ != Phase::working) throw py::value_error("hatch_project_setup: __exit__ without __enter__");
    finish_block(!exc_type.is_none());
    join();
    if (!outcome_) return false;
    try {
      std::rethrow_exception(outcome_);
    } catch (const BlockFailed&) {
      return false;
    } catch (const kelvory::CleanupError& e) {
      // The clean-up failed after the block raised: report the clean-up's failure; Python
      // makes the block's exception its __context__.
      if (is_block_failure(e.nested_ptr())) std::rethrow_exception(e.cause());
      throw;
    }
  }

 private:
  enum class Phase { created, setting_up, working, leaving, finished };

  void run(const noxconfig::ProjectConfig& config) noexcept {
    block_interrupting_signals();
    std::optional<PythonSession> session;
    try {
      {
        py::gil_scoped_acquire acquire;
        session.emplace(session_);
      }
      kelvory::hatch_project_setup(*session, [this] { await_block(); }, config);
    } catch (...) {
      outcome_ = std::current_exception();
    }
    {
      py::gil_scoped_acquire acquire;
      session.reset();
    }
    std::lock_guard lock(mutex_);
    phase_ = Phase::finished;
    changed_.notify_all();
  }

  // Interrupts go to Python's own thread, where they end the block (KeyboardInterrupt) and so
  // lead to the clean-up, never to this worker.
  static void block_interrupting_signals() noexcept {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&signals, signal);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  }

  // The work: waits until the block has ended; throws BlockFailed when it raised.
  void await_block() {
    std::unique_lock lock(mutex_);
    phase_ = Phase::working;
    changed_.notify_all();
    changed_.wait(lock, [this] { return phase_ == Phase::leaving; });
    if (block_failed_) throw BlockFailed{};
  }

  void finish_block(bool failed) {
    std::lock_guard lock(mutex_);
    block_failed_ = failed;
    phase_ = Phase::leaving;
    changed_.notify_all();
  }

  void join() {
    py::gil_scoped_release release;
    worker_.join();
  }

  static bool is_block_failure(const std::exception_ptr& error) {
    if (!error) return false;
    try {
      std::rethrow_exception(error);
    } catch (const BlockFailed&) {
      return true;
    } catch (...) {
      return false;
    }
  }

  py::object session_;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Phase::created;
  bool block_failed_ = false;
  std::exception_ptr outcome_;
};

}  // namespace

void bind_kelvory(py::module_& module) {
  py::class_<HatchProjectSetup>(module, "HatchProjectSetup",
                                "The scoped set-up made by hatch_project_setup(session); serves one `with` block.")
      .def("__enter__", &HatchProjectSetup::enter)
      .def("__exit__", &HatchProjectSetup::exit);

  module.def(
      "hatch_project_setup", [](py::object session) { return std::make_unique<HatchProjectSetup>(std::move(session)); },
      py::arg("session"),
      "Returns a context manager that turns the project into a Hatch project for the length of its `with` block "
      "and back afterwards.\n\n"
      "Entering: session.chdir(noxconfig.PROJECT_CONFIG.root_path) (the module noxconfig is imported then; the "
      "working directory stays there afterwards); create \"_tmp\", save \"pyproject.toml\" as "
      "\"_tmp/poetry_pyproject.toml\", convert it into \"_tmp/hatch_pyproject.toml\" (convert_drovane), copy that "
      "over \"pyproject.toml\" and print it on sys.stdout after the line \"Content of _tmp/hatch_pyproject.toml:\". "
      "Leaving, whether the block succeeded or raised: copy the saved file back over \"pyproject.toml\" and delete "
      "\"_tmp\". The block's exception propagates unchanged; a failing clean-up raises its own error, with the "
      "block's as __context__. `session` is any object with chdir(path), a nox.Session among them.");
}

}  // namespace norvan::python
