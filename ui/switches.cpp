#include "ui/switches.h"

namespace ui {

std::optional<std::string> SwitchValue(std::string_view commandLine, std::string_view name) {
  size_t at = commandLine.find(name);
  if (at == std::string_view::npos) return std::nullopt;
  std::string_view rest = commandLine.substr(at + name.size());
  bool quotedSwitch = at > 0 && commandLine[at - 1] == '"';
  size_t end;
  if (quotedSwitch) {
    end = rest.find('"');
  } else if (!rest.empty() && rest.front() == '"') {
    rest.remove_prefix(1);
    end = rest.find('"');
  } else {
    end = rest.find_first_of(" \t");
  }
  std::string value(rest.substr(0, end));
  if (value.empty()) return std::nullopt;
  return value;
}

}  // namespace ui
