// krizclean._krizclean, the compiled half of the Python module: the
// command-line cleaner's own scan and collection of results (cli/run.h), run
// on a thread of its own while the calling thread waits without the GIL.
// Every 50 ms the waiting thread takes the GIL to let Python run its signal
// handlers: an exception from one (KeyboardInterrupt, for a Ctrl-C) asks the
// scan to stop after the file in work, as krizclean stops, and is handed
// back with the results once the scan has stopped. The Python half
// (krizclean/__init__.py) turns what these functions answer into results
// and exceptions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "cli/interrupt.h"
#include "cli/run.h"
#include "cli/version.h"

namespace py = pybind11;

namespace {

constexpr auto kSignalPoll = std::chrono::milliseconds(50);

// What the module holds for as long as it is loaded. A walk moves the
// process's current directory from folder to folder, so the scans of one
// process take turns.
struct ModuleState {
  std::mutex scanning;
};

// The way from the waiting thread to the scan's stop request.
class StopLine {
 public:
  void Attach(scan::ScanState* state) {
    std::lock_guard lock(mutex_);
    state_ = state;
    if (state_ != nullptr && requested_) state_->setStopRequested(1);
  }
  void Request() {
    std::lock_guard lock(mutex_);
    requested_ = true;
    if (state_ != nullptr) state_->setStopRequested(1);
  }
  bool requested() {
    std::lock_guard lock(mutex_);
    return requested_;
  }

 private:
  std::mutex mutex_;
  scan::ScanState* state_ = nullptr;
  bool requested_ = false;
};

// A finished run, in the shapes Python takes: (json, exact object paths,
// messages, exit status, interrupted, the exception a signal handler raised
// or None, the problem that kept the run from starting or None).
py::tuple Answer(const std::optional<cli::RunResults>& results, const std::string& problem,
                 const std::vector<std::string>& messages, py::object raised) {
  py::list told;
  for (const std::string& message : messages) told.append(py::bytes(message));
  if (!results) {
    return py::make_tuple(py::none(), py::list(), told, cli::kExitNotScanned, false, raised,
                          py::bytes(problem));
  }
  py::list paths;
  for (const cli::ObjectResult& object : results->objects) paths.append(py::bytes(object.path));
  return py::make_tuple(py::str(results->Json()), paths, told, results->ExitStatus(),
                        results->interrupted, raised, py::none());
}

// Runs the scan of `options` for `frontEnd` as described at the top.
py::tuple RunScan(ModuleState& module, const cli::Options& options, cli::FrontEnd frontEnd) {
  StopLine stop;
  std::vector<std::string> messages;
  frontEnd.tell = [&messages](const std::string& text) { messages.push_back(text); };
  frontEnd.stopThrough = [&stop](scan::ScanState* state) { stop.Attach(state); };
  frontEnd.interrupted = [&stop] { return stop.requested(); };

  std::optional<cli::RunResults> results;
  std::string problem;
  std::exception_ptr failure;
  py::object raised = py::none();
  {
    py::gil_scoped_release released;
    std::lock_guard turn(module.scanning);
    std::mutex doneMutex;
    std::condition_variable doneSignal;
    bool done = false;
    std::thread worker([&] {
      // Signals go to the waiting thread, whose waits they do not disturb.
      cli::BlockStopSignals();
      try {
        results = cli::ScanAndCollect(options, frontEnd, problem);
      } catch (...) {
        failure = std::current_exception();
      }
      std::lock_guard lock(doneMutex);
      done = true;
      doneSignal.notify_all();
    });
    std::unique_lock lock(doneMutex);
    while (!doneSignal.wait_for(lock, kSignalPoll, [&done] { return done; })) {
      lock.unlock();
      {
        py::gil_scoped_acquire held;
        if (raised.is_none() && PyErr_CheckSignals() != 0) {
          py::error_already_set error;
          raised = error.value();
          stop.Request();
        }
      }
      lock.lock();
    }
    lock.unlock();
    worker.join();
  }
  if (failure) std::rethrow_exception(failure);
  return Answer(results, problem, messages, raised);
}

std::string Text(const py::bytes& bytes) { return std::string(bytes); }

cli::Options OptionsFor(bool clean, bool allFiles, bool inside, bool showAll, unsigned jobs) {
  cli::Options options;
  // As `krizclean --json - --quiet`: nothing printed, everything collected.
  options.jsonPath = "-";
  options.quiet = true;
  options.action = clean ? scan::ActionMode::Clean : scan::ActionMode::ScanOnly;
  options.allFiles = allFiles;
  options.inside = inside;
  options.showAll = showAll;
  options.jobs = jobs;
  return options;
}

}  // namespace

PYBIND11_MODULE(_krizclean, m) {
  m.doc() = "The compiled half of krizclean: see krizclean/__init__.py.";
  auto module = std::make_shared<ModuleState>();
  m.attr("__version__") = std::string(cli::Version());
  m.attr("built_with") = cli::BuiltWith();

  m.def(
      "scan",
      [module](const py::bytes& path, bool clean, bool allFiles, bool inside,
               const std::optional<py::bytes>& backup, unsigned jobs, bool showAll, bool asEntry) {
        cli::Options options = OptionsFor(clean, allFiles, inside, showAll, jobs);
        if (backup) options.backupFolder = Text(*backup);
        options.paths = {Text(path)};
        cli::FrontEnd frontEnd;
        frontEnd.pathsAsEntries = asEntry;
        return RunScan(*module, options, std::move(frontEnd));
      },
      py::arg("path"), py::arg("clean"), py::arg("all_files"), py::arg("inside"), py::arg("backup"),
      py::arg("jobs"), py::arg("show_all"), py::arg("as_entry"));

  m.def(
      "scan_bytes",
      [module](const py::buffer& data, const py::bytes& name, bool allFiles, bool showAll) {
        // The view keeps the buffer from being resized while the scan reads it.
        const py::buffer_info view = data.request();
        if (view.ndim != 1 || view.itemsize != 1 || view.strides[0] != 1) {
          throw py::type_error("data must be a contiguous buffer of bytes");
        }
        cli::Options options = OptionsFor(false, allFiles, true, showAll, 1);
        cli::FrontEnd frontEnd;
        frontEnd.bytes = std::span<const uint8_t>(static_cast<const uint8_t*>(view.ptr),
                                                  static_cast<size_t>(view.size));
        frontEnd.bytesName = Text(name);
        return RunScan(*module, options, std::move(frontEnd));
      },
      py::arg("data"), py::arg("name"), py::arg("all_files"), py::arg("show_all"));

  m.def(
      "shown", [](const py::bytes& path) { return py::bytes(cli::Shown(Text(path))); },
      py::arg("path"));
}
