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

}  // namespace

Counts CountsOf(const scan::ScanState& state) {
  return {state.cleanCount,          state.leftInfectedCount,
          state.disinfectedCount,    state.disinfectAtRebootCount,
          state.deletedCount,        state.deleteAtRebootCount,
          state.notDisinfectedCount, state.accessDeniedCount,
          state.unopenedFolderCount, state.excludedFileCount,
          state.excludedFolderCount};
}

std::string ResultsAsJson(scan::ActionMode action, const std::vector<ObjectResult>& objects,
                          const std::vector<PathError>& errors, const Counts& counts,
                          std::string_view report) {
  Json listed = Json::array();
  for (const ObjectResult& object : objects) {
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
    listed.push_back(std::move(entry));
  }
  Json failed = Json::array();
  for (const PathError& error : errors) {
    Json entry = Json::object();
    PutPath(entry, error.path);
    entry["error"] = error.error;
    failed.push_back(std::move(entry));
  }
  const Json document = {
      {"virus", scan::texts::kVirusName},
      {"action", ActionName(action)},
      {"objects", std::move(listed)},
      {"errors", std::move(failed)},
      {"counts",
       {{"clean", counts.clean},
        {"left_infected", counts.leftInfected},
        {"disinfected", counts.disinfected},
        {"disinfect_at_reboot", counts.disinfectAtReboot},
        {"deleted", counts.deleted},
        {"delete_at_reboot", counts.deleteAtReboot},
        {"could_not_disinfect", counts.couldNotDisinfect},
        {"access_denied", counts.accessDenied}}},
      {"not_scanned",
       {{"files", counts.accessDenied - counts.unopenedFolders},
        {"folders", counts.unopenedFolders}}},
      {"excluded", {{"files", counts.excludedFiles}, {"folders", counts.excludedFolders}}},
      {"report", report},
  };
  return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace cli
