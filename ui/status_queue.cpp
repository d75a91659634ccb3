#include "ui/status_queue.h"

namespace ui {
namespace {

class Locked {
 public:
  explicit Locked(CRITICAL_SECTION& lock) : lock_(lock) { EnterCriticalSection(&lock_); }
  ~Locked() { LeaveCriticalSection(&lock_); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  CRITICAL_SECTION& lock_;
};

}  // namespace

void StatusQueue::Explain(std::string_view path, std::string_view reason) {
  Locked locked(lock_);
  std::string& said = reasons_[std::string(path)];
  if (!said.empty()) said += "\r\n";
  said += reason;
}

void StatusQueue::Announce(std::string_view path) {
  Locked locked(lock_);
  announced_ = path;
}

bool StatusQueue::ExplainAnnounced(std::string_view text) {
  std::string path;
  {
    Locked locked(lock_);
    path = announced_;
  }
  if (path.empty() || text.size() <= path.size() + 2 || text.substr(0, path.size()) != path ||
      text.substr(path.size(), 2) != ": ") {
    return false;
  }
  Explain(path, text.substr(path.size() + 2));
  return true;
}

void StatusQueue::Push(std::string_view path, std::string_view status) {
  Locked locked(lock_);
  StatusRow row{std::string(path), std::string(status), {}};
  if (auto found = reasons_.find(path); found != reasons_.end()) {
    row.reason = std::move(found->second);
    reasons_.erase(found);
  }
  rows_.push_back(std::move(row));
}

bool StatusQueue::Take(StatusRow& row) {
  Locked locked(lock_);
  if (rows_.empty()) return false;
  row = std::move(rows_.front());
  rows_.pop_front();
  return true;
}

void StatusQueue::Clear() {
  Locked locked(lock_);
  rows_.clear();
  reasons_.clear();
  announced_.clear();
}

}  // namespace ui
