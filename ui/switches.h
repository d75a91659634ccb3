// The Windows program's switches with a value, read from its command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ui {

// The value of the switch `name` (for example "/Backup:") in `commandLine`:
// what follows it up to the next blank, or, when the value or the whole
// switch stands in double quotes, up to the closing quote. nullopt when the
// switch is not there or its value is empty.
std::optional<std::string> SwitchValue(std::string_view commandLine, std::string_view name);

}  // namespace ui
