#include "cli/json_results.h"

#include <nlohmann/json.hpp>

#include "cli/options.h"
#include "scan/outcome.h"
#include "scan/texts.h"

namespace cli {

std::string ResultsAsJson(scan::ActionMode action, const std::vector<ObjectResult>& objects,
                          const scan::ScanState& state, std::string_view report) {
  nlohmann::ordered_json listed = nlohmann::ordered_json::array();
  for (const ObjectResult& object : objects) {
    listed.push_back({{"path", object.path},
                      {"status", scan::StatusText(object.outcome)},
                      {"code", static_cast<int32_t>(object.outcome)}});
  }
  const nlohmann::ordered_json document = {
      {"virus", scan::texts::kVirusName},
      {"action", ActionName(action)},
      {"objects", std::move(listed)},
      {"counts",
       {{"clean", state.cleanCount},
        {"left_infected", state.leftInfectedCount},
        {"disinfected", state.disinfectedCount},
        {"disinfect_at_reboot", state.disinfectAtRebootCount},
        {"deleted", state.deletedCount},
        {"delete_at_reboot", state.deleteAtRebootCount},
        {"could_not_disinfect", state.notDisinfectedCount},
        {"access_denied", state.accessDeniedCount}}},
      {"report", report},
  };
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace cli
