#include "scan/scan.h"

#include <cstdio>

#include "scan/outcome.h"
#include "scan/status_ring.h"

namespace scan {

Scan::Scan(ScanSeams seams) : seams_(std::move(seams)) {}

int32_t Scan::Ask(std::string_view objectPath) const {
  if (!seams_.prompt) return static_cast<int32_t>(PromptChoice::Skip);
  return seams_.prompt(objectPath);
}

void Scan::Status(std::string_view path, ScanOutcome outcome, ObjectKind kind) {
  if (seams_.statusSink) {
    seams_.statusSink(path, outcome, kind);
  } else {
    QueueStatusLine(*this, ComposeStatusLine(path, outcome));
  }
}

void Scan::Tell(const char* text, const char* caption) const {
  if (seams_.message) {
    seams_.message(text, caption);
  } else {
    std::fprintf(stderr, "%s: %s\n", caption, text);
  }
}

void Scan::Announce(std::string_view shownPath) const {
  if (seams_.objectHook) seams_.objectHook(shownPath);
}

void Scan::Reason(std::string_view path, std::string_view reason) const {
  if (seams_.objectReason) seams_.objectReason(path, reason);
}

void Scan::Excluded(std::string_view path, ObjectKind kind) const {
  if (seams_.excluded) seams_.excluded(path, kind);
}

engine::PlanResult Scan::Plan(os::ByteSource& file) const {
  return seams_.plan != nullptr ? seams_.plan(file) : engine::PlanRepair(file);
}

bool Scan::DeleteInstead(const std::string& path) const {
  return seams_.deleteInstead ? seams_.deleteInstead(path) : false;
}

bool Scan::ReplaceAtRestart(const std::optional<std::string>& destination,
                            const std::string& source) {
  return seams_.replaceAtRestart && seams_.replaceAtRestart(state_, destination, source);
}

}  // namespace scan
