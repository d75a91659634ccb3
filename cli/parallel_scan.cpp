#include "cli/parallel_scan.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "cli/interrupt.h"
#include "cli/prefix_reader.h"
#include "engine/virus_body.h"
#include "scan/handle_object.h"
#include "scan/outcome.h"

namespace cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often a thread that waits looks at the scan's stop request, which a
// signal handler sets and cannot announce.
constexpr auto kStopPoll = std::chrono::milliseconds(20);
// Items go between threads in batches, so that the threads meet (and take
// the lock, and wake each other) once per batch rather than once per file.
constexpr size_t kBatch = 256;

// One thing the walk met, in the walk's order.
struct Item {
  enum class Kind { File, Status, Excluded, Message };
  Kind kind = Kind::File;
  // File (its folder held open); Status and Excluded: names.shown
  scan::ObjectNames names;
  std::string text, caption;  // Message
  // Status: a line the walk itself records (a folder not opened, a journal
  // left as it is, a pipe), and why. Excluded: what was left out.
  scan::ObjectKind statusKind = scan::ObjectKind::File;
  std::string reason;  // Status, File: what the seam for reasons said
  // Filled by the worker that takes a File.
  bool taken = false;
  std::atomic<bool> done{false};  // set last, by the worker or at birth
  bool changedFile = false;       // the worker repaired it, or tried to
  scan::ScanOutcome outcome = scan::ScanOutcome::CannotOpen;
  std::vector<std::pair<std::string, std::string>> messages;
};

bool Unreached(const Item& item) {
  // After a stop, what the single-threaded walk would not have reached is
  // not recorded: a file no worker took, or one only tested. A file in hand
  // is waited for, and one a worker cleaned, or tried to, is recorded, with
  // what it said: no change goes unreported.
  if (item.kind != Item::Kind::File) return false;
  return !item.taken || (item.done && !item.changedFile && item.messages.empty());
}

class Pipeline {
 public:
  Pipeline(scan::Scan& scan, const ParallelSettings& settings)
      : scan_(scan), settings_(settings), walkScan_(WalkSeams()) {
    walkScan_.state().setSelectedTypesOnly(scan.state().selectedTypesOnly());
    walkScan_.state().setActionMode(scan.state().actionMode());
  }

  scan::RootResult Run(const std::string& root, const std::string& shown);

 private:
  scan::ScanSeams WalkSeams();
  // The walker's side: items gather in its own batch, handed over whole.
  void Add(std::unique_ptr<Item> item);
  void HandOver();
  void Walk(const std::string& root, const std::string& shown);
  void Work();
  // Tests one file: from its prefix where it was read, else by itself.
  scan::ScanOutcome Test(scan::Scan& worker, Item& item, const Prefix* prefix);
  // The next items in the walk's order that are ready to record; empty at
  // the end. Items a stop leaves unreached are dropped.
  std::vector<std::unique_ptr<Item>> NextResults();
  // Records one item; false after a Quit answer.
  bool Record(Item& item);
  bool Stopping() const { return stop_.load(std::memory_order_acquire); }
  void StopAll();

  scan::Scan& scan_;
  const ParallelSettings settings_;
  scan::Scan walkScan_;  // the walker's: its status lines and messages join the items
  std::vector<std::unique_ptr<Item>> batch_;        // the walker's, not yet handed over
  std::pair<std::string, std::string> walkReason_;  // the walker's: path, reason

  std::mutex mutex_;
  std::condition_variable walkerWaits_;    // for room in the window
  std::condition_variable workersWait_;    // for files to test
  std::condition_variable recorderWaits_;  // for the next result
  std::deque<std::unique_ptr<Item>> window_;
  std::deque<Item*> toTest_;
  bool walkEnded_ = false;
  std::atomic<bool> recorderWaiting_{false};
  unsigned idleWorkers_ = 0;
  scan::RootResult walkResult_ = scan::RootResult::Completed;
  std::atomic<bool> stop_{false};
};

scan::ScanSeams Pipeline::WalkSeams() {
  scan::ScanSeams seams = scan_.seams();
  // What the walk itself reports (a folder not opened, a journal carried out
  // or left) takes its place among the files.
  seams.statusSink = [this](std::string_view path, scan::ScanOutcome outcome,
                            scan::ObjectKind kind) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Kind::Status;
    item->names.shown = std::string(path);
    item->outcome = outcome;
    item->statusKind = kind;
    if (walkReason_.first == path) item->reason = std::move(walkReason_.second);
    walkReason_ = {};
    item->done = true;
    Add(std::move(item));
  };
  seams.objectReason = [this](std::string_view path, std::string_view reason) {
    walkReason_ = {std::string(path), std::string(reason)};
  };
  // So does what it leaves out, to be counted in the same order.
  seams.excluded = [this](std::string_view path, scan::ObjectKind kind) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Kind::Excluded;
    item->names.shown = std::string(path);
    item->statusKind = kind;
    item->done = true;
    Add(std::move(item));
  };
  seams.message = [this](const char* text, const char* caption) {
    auto item = std::make_unique<Item>();
    item->kind = Item::Kind::Message;
    item->text = text;
    item->caption = caption;
    item->done = true;
    Add(std::move(item));
  };
  seams.objectHook = nullptr;
  return seams;
}

void Pipeline::Add(std::unique_ptr<Item> item) {
  batch_.push_back(std::move(item));
  if (batch_.size() >= kBatch) HandOver();
}

void Pipeline::HandOver() {
  if (batch_.empty()) return;
  std::unique_lock lock(mutex_);
  while (window_.size() >= settings_.window && !Stopping()) {
    walkerWaits_.wait_for(lock, kStopPoll);
    if (scan_.state().stopRequested() != 0) StopAll();
  }
  if (Stopping()) {
    batch_.clear();
    return;
  }
  size_t files = 0;
  for (std::unique_ptr<Item>& item : batch_) {
    if (item->kind == Item::Kind::File) {
      toTest_.push_back(item.get());
      ++files;
    }
    window_.push_back(std::move(item));
  }
  batch_.clear();
  if (files != 0 && idleWorkers_ != 0) workersWait_.notify_all();
  if (recorderWaiting_) recorderWaits_.notify_one();
}

void Pipeline::Walk(const std::string& root, const std::string& shown) {
  const scan::RootResult result =
      scan::WalkTreeVisiting(walkScan_, root, shown, [this](const scan::ObjectNames& names) {
        if (Stopping()) return false;
        auto item = std::make_unique<Item>();
        item->names = names;
        Add(std::move(item));
        return !Stopping();
      });
  HandOver();
  std::lock_guard lock(mutex_);
  walkEnded_ = true;
  walkResult_ = result;
  workersWait_.notify_all();
  recorderWaits_.notify_all();
}

scan::ScanOutcome Pipeline::Test(scan::Scan& worker, Item& item, const Prefix* prefix) {
  if (prefix == nullptr || prefix->got < 0) return scan::TestObject(worker, item.names);
  PrefixedFile file(*prefix, {item.names.folder.get(), &item.names.name});
  if (!engine::IsInfected(file)) return scan::ScanOutcome::Ok;
  // An infected file is opened and tested once more by itself, so that what
  // is done with it is done to the very file that was tested.
  return scan::TestObject(worker, item.names);
}

void Pipeline::Work() {
  // Each worker's own scan: the main scan's choices and repair seams, its
  // messages kept with the file they are about.
  scan::ScanSeams seams = scan_.seams();
  seams.prompt = nullptr;
  seams.statusSink = nullptr;
  seams.objectHook = nullptr;
  std::vector<std::pair<std::string, std::string>>* messages = nullptr;
  seams.message = [&messages](const char* text, const char* caption) {
    if (messages != nullptr) messages->emplace_back(text, caption);
  };
  std::string* reason = nullptr;
  seams.objectReason = [&reason](std::string_view, std::string_view said) {
    if (reason != nullptr) reason->assign(said);
  };
  scan::Scan worker(std::move(seams));
  const scan::ActionMode mode = scan_.state().actionMode();
  worker.state().setActionMode(mode);
  const size_t jobs = std::max(1u, settings_.jobs);

  // The starts of the files in hand, read a batch at a time where the
  // system offers io_uring.
  // The prefixes are made before the ring and so outlive it: the kernel
  // writes into them until the ring is gone.
  std::vector<Prefix> prefixes(PrefixReader::kDepth);
  std::unique_ptr<PrefixReader> reader = settings_.prefixReads ? PrefixReader::Make() : nullptr;
  std::vector<NamedFile> named;

  std::vector<Item*> mine;
  for (;;) {
    mine.clear();
    {
      std::unique_lock lock(mutex_);
      while (toTest_.empty() && !walkEnded_ && !Stopping()) {
        ++idleWorkers_;
        workersWait_.wait_for(lock, kStopPoll);
        --idleWorkers_;
      }
      if (Stopping() || toTest_.empty()) return;
      // A fair share of what waits, and not more than a batch: the others
      // get work too, and the recorder gets results soon.
      const size_t take = std::clamp<size_t>(toTest_.size() / jobs, 1, kBatch);
      for (size_t i = 0; i < take; ++i) {
        Item* item = toTest_.front();
        toTest_.pop_front();
        item->taken = true;
        mine.push_back(item);
      }
    }
    size_t finished = 0;
    for (size_t index = 0; index < mine.size(); ++index) {
      Item* item = mine[index];
      // Finished before the next is begun: a stop waits for the file in hand
      // only.
      if (Stopping()) break;
      const size_t inBatch = index % PrefixReader::kDepth;
      if (reader != nullptr && inBatch == 0) {
        named.clear();
        for (size_t i = index; i < mine.size() && named.size() < PrefixReader::kDepth; ++i) {
          named.push_back({mine[i]->names.folder.get(), &mine[i]->names.name});
        }
        if (!reader->Read(named, prefixes)) reader.reset();
      }
      std::vector<std::pair<std::string, std::string>> said;
      std::string why;
      messages = &said;
      reason = &why;
      scan::ScanOutcome outcome =
          Test(worker, *item, reader != nullptr ? &prefixes[inBatch] : nullptr);
      // An answer is asked for in the walk's order, by the recorder; every
      // other mode acts here, and never answers Quit.
      bool changedFile = false;
      if (outcome == scan::ScanOutcome::Infected && mode != scan::ActionMode::AskUser) {
        outcome = scan::ActOnInfected(worker, item->names).value_or(scan::ScanOutcome::Infected);
        changedFile = mode == scan::ActionMode::Clean;
      }
      messages = nullptr;
      reason = nullptr;
      // Written before `done`: the recorder reads them only after it sees it.
      item->reason = std::move(why);
      item->outcome = outcome;
      item->changedFile = changedFile;
      item->messages = std::move(said);
      item->done.store(true);
      ++finished;
      // From here the recorder may take the item and free it: only its
      // address is compared. The recorder says it waits before it looks at
      // `done` a last time, so one of the two sees the other.
      if (recorderWaiting_.load()) {
        std::lock_guard lock(mutex_);
        if (!window_.empty() && window_.front().get() == item) recorderWaits_.notify_one();
      }
    }
    if (finished < mine.size()) {
      // What was taken and not begun is given up: unreached, as after a
      // stop in the single-threaded walk.
      std::lock_guard lock(mutex_);
      for (size_t i = finished; i < mine.size(); ++i) mine[i]->taken = false;
      recorderWaits_.notify_all();
    }
  }
}

void Pipeline::StopAll() {
  stop_.store(true, std::memory_order_release);
  walkScan_.state().setStopRequested(1);
  workersWait_.notify_all();
  walkerWaits_.notify_all();
  recorderWaits_.notify_all();
}

std::vector<std::unique_ptr<Item>> Pipeline::NextResults() {
  std::vector<std::unique_ptr<Item>> ready;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!Stopping() && scan_.state().stopRequested() != 0) StopAll();
    while (!window_.empty()) {
      Item& front = *window_.front();
      const bool dropped = Stopping() && Unreached(front);
      if (!front.done && !dropped) break;
      if (!dropped) ready.push_back(std::move(window_.front()));
      window_.pop_front();
    }
    if (!ready.empty()) {
      walkerWaits_.notify_one();
      return ready;
    }
    if (window_.empty() && walkEnded_) return ready;
    recorderWaiting_.store(true);
    if (window_.empty() || !window_.front()->done.load()) recorderWaits_.wait_for(lock, kStopPoll);
    recorderWaiting_.store(false);
  }
}

bool Pipeline::Record(Item& item) {
  for (const auto& [text, caption] : item.messages) scan_.Tell(text.c_str(), caption.c_str());
  switch (item.kind) {
    case Item::Kind::Message:
      scan_.Tell(item.text.c_str(), item.caption.c_str());
      return true;
    case Item::Kind::Status:
      if (!item.reason.empty()) scan_.Reason(item.names.shown, item.reason);
      if (item.statusKind == scan::ObjectKind::Folder) {
        scan::RecordFolderNotOpened(scan_, item.names.shown);
      } else {
        scan::RecordOutcomeFor(scan_, item.names.shown, item.outcome);
      }
      return true;
    case Item::Kind::Excluded:
      scan::RecordExcluded(scan_, item.names.shown, item.statusKind);
      return true;
    case Item::Kind::File:
      break;
  }
  scan::ScanState& state = scan_.state();
  scan_.Announce(item.names.shown);
  scan::SetPath(state.objectPath, scan::CutPath(item.names.shown, scan::kMaxPathLength));
  scan_.snapshot().Publish(scan::PathView(state.objectPath));
  std::optional<scan::ScanOutcome> outcome = item.outcome;
  if (!item.reason.empty()) scan_.Reason(item.names.shown, item.reason);
  if (outcome == scan::ScanOutcome::Infected && state.actionMode() == scan::ActionMode::AskUser) {
    outcome = scan::ActOnInfected(scan_, item.names);
    if (!outcome) return false;
  }
  scan::RecordOutcomeFor(scan_, item.names.shown, *outcome);
  return true;
}

scan::RootResult Pipeline::Run(const std::string& root, const std::string& shown) {
  // Signals go to this thread alone, where the prompt waits for them: the
  // threads made here start with them blocked.
  const sigset_t previous = BlockStopSignals();
  std::vector<std::thread> threads;
  threads.emplace_back([this, &root, &shown] { Walk(root, shown); });
  for (unsigned i = 0; i < std::max(1u, settings_.jobs); ++i) {
    threads.emplace_back([this] { Work(); });
  }
  RestoreStopSignals(previous);

  bool quit = false;
  for (auto ready = NextResults(); !ready.empty() && !quit; ready = NextResults()) {
    for (std::unique_ptr<Item>& item : ready) {
      // A stop that came while earlier items were recorded (at the prompt)
      // holds for the rest of the batch as well.
      if (scan_.state().stopRequested() != 0) StopAll();
      if (Stopping() && Unreached(*item)) continue;
      if (!Record(*item)) {
        quit = true;
        StopAll();
        break;
      }
    }
  }
  StopAll();
  for (std::thread& thread : threads) thread.join();
  const bool stopped = quit || scan_.state().stopRequested() != 0;
  if (scan_.state().stopRequested() != 0) scan_.state().setStopRequested(0);
  if (walkResult_ == scan::RootResult::CannotEnter) return walkResult_;
  return stopped || walkResult_ == scan::RootResult::Stopped ? scan::RootResult::Stopped
                                                             : scan::RootResult::Completed;
}

}  // namespace

scan::RootResult WalkTreeInParallel(scan::Scan& scan, const std::string& root,
                                    const std::string& shown, const ParallelSettings& settings) {
  Pipeline pipeline(scan, settings);
  return pipeline.Run(root, shown);
}

bool CanWalkInParallel() {
  std::error_code error;
  return std::filesystem::is_directory("/proc/self/fd", error);
}

}  // namespace cli
