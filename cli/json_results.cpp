#include "cli/json_results.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "cli/options.h"
#include "scan/texts.h"

namespace cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k) {
      group = group << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      text += k <= n ? kDigits[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

// The path as JSON text, the way the library writes text that is not UTF-8
// (U+FFFD for each byte that is not), and its exact bytes when that differs.
void PutPath(Json& object, const std::string& path, const std::string& key = "path") {
  const std::string written = Json(path).dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string text = Json::parse(written).get<std::string>();
  const bool exact = text == path;
  object[key] = std::move(text);
  if (!exact) object[key + "_base64"] = Base64(path);
}

Json ObjectEntry(const ObjectResult& object) {
  Json entry = Json::object();
  PutPath(entry, object.path);
  if (!object.inner.empty()) {
    PutPath(entry, object.container, "container");
    PutPath(entry, object.inner, "inner_path");
  }
  entry["kind"] = object.kind == scan::ObjectKind::Folder ? "folder" : "file";
  entry["status"] = scan::StatusText(object.outcome);
  entry["code"] = static_cast<int32_t>(object.outcome);
  if (!object.reason.empty()) PutPath(entry, object.reason, "reason");
  return entry;
}

Json ErrorEntry(const PathError& error) {
  Json entry = Json::object();
  PutPath(entry, error.path);
  entry["error"] = error.error;
  return entry;
}

// The members that end the document and make the last record.
void PutTotals(Json& document, const Counts& counts) {
  document["counts"] = {{"clean", counts.clean},
                        {"left_infected", counts.leftInfected},
                        {"disinfected", counts.disinfected},
                        {"disinfect_at_reboot", counts.disinfectAtReboot},
                        {"deleted", counts.deleted},
                        {"delete_at_reboot", counts.deleteAtReboot},
                        {"could_not_disinfect", counts.couldNotDisinfect},
                        {"access_denied", counts.permissionDenied},
                        {"damaged_containers", counts.damagedContainers},
                        {"not_regular_files", counts.notRegularFiles},
                        {"out_of_file_handles", counts.outOfHandles},
                        {"not_opened_otherwise", counts.otherNotOpened}};
  document["not_scanned"] = {{"files", counts.accessDenied - counts.unopenedFolders},
                             {"folders", counts.unopenedFolders}};
  document["excluded"] = {{"files", counts.excludedFiles}, {"folders", counts.excludedFolders}};
}

std::string Line(const Json& record) {
  return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json RestoreObject(const RestoreEntry& entry) {
  Json object = Json::object();
  PutPath(object, entry.path);
  object["status"] = entry.status;
  object["code"] = entry.code;
  if (!entry.reason.empty()) PutPath(object, entry.reason, "reason");
  return object;
}

Json RestoreTotals(const RestoreCounts& counts) {
  Json totals = Json::object();
  for (const auto& [status, count] : counts) totals[status] = count;
  return totals;
}

// A record's first members.
Json Record(const char* type) { return Json{{"schema", kJsonSchema}, {"type", type}}; }

}  // namespace

Counts CountsOf(const scan::ScanState& state) {
  Counts counts;
  counts.clean = state.cleanCount;
  counts.leftInfected = state.leftInfectedCount;
  counts.disinfected = state.disinfectedCount;
  counts.disinfectAtReboot = state.disinfectAtRebootCount;
  counts.deleted = state.deletedCount;
  counts.deleteAtReboot = state.deleteAtRebootCount;
  counts.couldNotDisinfect = state.notDisinfectedCount;
  counts.accessDenied = state.accessDeniedCount;
  counts.unopenedFolders = state.unopenedFolderCount;
  counts.excludedFiles = state.excludedFileCount;
  counts.excludedFolders = state.excludedFolderCount;
  return counts;
}

std::string ResultsAsJson(scan::ActionMode action, const std::vector<ObjectResult>& objects,
                          const std::vector<PathError>& errors, const Counts& counts,
                          std::string_view report) {
  Json listed = Json::array();
  for (const ObjectResult& object : objects) listed.push_back(ObjectEntry(object));
  Json failed = Json::array();
  for (const PathError& error : errors) failed.push_back(ErrorEntry(error));
  Json document = {
      {"schema", kJsonSchema},        {"virus", scan::texts::kVirusName},
      {"action", ActionName(action)}, {"objects", std::move(listed)},
      {"errors", std::move(failed)},
  };
  PutTotals(document, counts);
  document["report"] = report;
  return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string ObjectRecord(const ObjectResult& object) {
  Json record = Record("object");
  record.update(ObjectEntry(object));
  return Line(record);
}

std::string ErrorRecord(const PathError& error) {
  Json record = Record("error");
  record.update(ErrorEntry(error));
  return Line(record);
}

std::string SummaryRecord(scan::ActionMode action, const Counts& counts, int exitStatus,
                          bool interrupted) {
  Json record = Record("summary");
  record["virus"] = scan::texts::kVirusName;
  record["action"] = ActionName(action);
  PutTotals(record, counts);
  record["exit_status"] = exitStatus;
  record["interrupted"] = interrupted;
  return Line(record);
}

std::string RestoreAsJson(const std::vector<RestoreEntry>& entries,
                          const std::vector<PathError>& errors, const RestoreCounts& counts,
                          int exitStatus) {
  Json listed = Json::array();
  for (const RestoreEntry& entry : entries) listed.push_back(RestoreObject(entry));
  Json failed = Json::array();
  for (const PathError& error : errors) failed.push_back(ErrorEntry(error));
  const Json document = {
      {"schema", kJsonSchema},
      {"action", "restore"},
      {"objects", listed},
      {"errors", failed},
      {"counts", RestoreTotals(counts)},
      {"exit_status", exitStatus},
  };
  return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string RestoreRecord(const RestoreEntry& entry) {
  Json record = Record("restore");
  record.update(RestoreObject(entry));
  return Line(record);
}

std::string RestoreSummaryRecord(const RestoreCounts& counts, int exitStatus, bool interrupted) {
  Json record = Record("summary");
  record["action"] = "restore";
  record["counts"] = RestoreTotals(counts);
  record["exit_status"] = exitStatus;
  record["interrupted"] = interrupted;
  return Line(record);
}

}  // namespace cli
