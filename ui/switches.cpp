#include "ui/switches.h"

namespace ui {
namespace {

constexpr char kUsage[] = "The switches are /AutoStart, /ListedPaths, /Close and /Backup:FOLDER.";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `text` starts with `prefix` (written in lower case), in any case.
bool StartsWithAnyCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

bool IsAnyCase(std::string_view text, std::string_view word) {
  return text.size() == word.size() && StartsWithAnyCase(text, word);
}

}  // namespace

std::vector<std::string> SplitArguments(std::string_view commandLine) {
  std::vector<std::string> arguments;
  size_t at = 0;
  for (;;) {
    while (at < commandLine.size() && IsBlank(commandLine[at])) ++at;
    if (at == commandLine.size()) break;
    std::string argument;
    bool quoted = false;
    for (; at < commandLine.size() && (quoted || !IsBlank(commandLine[at])); ++at) {
      if (commandLine[at] == '"') {
        quoted = !quoted;
      } else {
        argument += commandLine[at];
      }
    }
    arguments.push_back(std::move(argument));
  }
  return arguments;
}

ParsedSwitches ParseSwitches(std::string_view commandLine) {
  ParsedSwitches parsed;
  Switches& s = parsed.switches;
  std::vector<std::string> arguments = SplitArguments(commandLine);
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (IsAnyCase(argument, "/autostart")) {
      s.autoStart = true;
    } else if (IsAnyCase(argument, "/listedpaths")) {
      s.listedPaths = true;
    } else if (IsAnyCase(argument, "/close")) {
      s.close = true;
    } else if (StartsWithAnyCase(argument, "/backup:")) {
      std::string folder = argument.substr(8);
      if (folder.empty()) {
        parsed.problem = "The switch /Backup: needs a folder, as in /Backup:C:\\KEPT.";
        return parsed;
      }
      if (s.backupFolder && *s.backupFolder != folder) {
        parsed.problem = "The switch /Backup: is given twice, with two folders.";
        return parsed;
      }
      s.backupFolder = std::move(folder);
    } else {
      parsed.problem = "Unknown switch: " + argument + "\r\n\r\n" + kUsage;
      return parsed;
    }
  }
  return parsed;
}

}  // namespace ui
