// The rows of a scan on their way from the worker to the window: each with
// its whole path (of any length) and, where there is more to say than its
// status, why it stands so, shown in its tip. The window's timer takes them
// in the order they came.
#pragma once

#include <windows.h>

#include <deque>
#include <map>
#include <string>
#include <string_view>

namespace ui {

struct StatusRow {
  std::string path;
  std::string status;
  std::string reason;
};

class StatusQueue {
 public:
  StatusQueue() { InitializeCriticalSection(&lock_); }
  ~StatusQueue() { DeleteCriticalSection(&lock_); }
  StatusQueue(const StatusQueue&) = delete;
  StatusQueue& operator=(const StatusQueue&) = delete;

  // Why the row of `path` that comes next stands as it does; a second
  // reason is added on a line of its own.
  void Explain(std::string_view path, std::string_view reason);
  // The file in work now, whose messages become its row's reasons.
  void Announce(std::string_view path);
  // When `text` is a message about the file in work ("PATH: what"), keeps
  // what it says as that file's reason and answers true.
  bool ExplainAnnounced(std::string_view text);
  // Queues the row of `path`, with the reasons given for it.
  void Push(std::string_view path, std::string_view status);
  // The next row; false when none is queued.
  bool Take(StatusRow& row);
  void Clear();

 private:
  CRITICAL_SECTION lock_;
  std::deque<StatusRow> rows_;
  std::map<std::string, std::string, std::less<>> reasons_;
  std::string announced_;
};

}  // namespace ui
