#include "cli/ask.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iostream>
#include <string>

#include "cli/progress.h"
#include "cli/terminal.h"
#include "scan/scan_state.h"
#include "scan/texts.h"

namespace cli {
namespace {

int g_questions = 0;

std::string_view Trimmed(std::string_view text) {
  const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsWord(std::string_view text, std::string_view word) {
  return std::equal(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == b;
  });
}

}  // namespace

std::optional<scan::PromptChoice> ParseAnswer(std::string_view line) {
  const std::string_view answer = Trimmed(line);
  if (answer.empty() || IsWord(answer, "s") || IsWord(answer, "skip")) {
    return scan::PromptChoice::Skip;
  }
  if (IsWord(answer, "d") || IsWord(answer, "disinfect")) return scan::PromptChoice::Disinfect;
  if (IsWord(answer, "q") || IsWord(answer, "quit")) return scan::PromptChoice::Quit;
  return std::nullopt;
}

int32_t AskOnTerminal() {
  ++g_questions;
  progress::Erase();
  const std::string path = Printable(scan::PathView(scan::TheScanState().objectPath));
  for (;;) {
    std::fprintf(stderr, "%s is infected with %.*s: [d]isinfect, [s]kip or [q]uit? ", path.c_str(),
                 static_cast<int>(scan::texts::kVirusName.size()), scan::texts::kVirusName.data());
    std::string line;
    if (!std::getline(std::cin, line)) {
      std::fputs("skip\n", stderr);  // ends the question's line
      return static_cast<int32_t>(scan::PromptChoice::Skip);
    }
    // An answer that came from a file or a pipe was not echoed: show it, so
    // that the question's line ends as on a terminal.
    if (!StandardInputIsTerminal()) std::fprintf(stderr, "%s\n", Printable(line).c_str());
    if (const std::optional<scan::PromptChoice> choice = ParseAnswer(line)) {
      return static_cast<int32_t>(*choice);
    }
    std::fputs("Please answer d, s or q.\n", stderr);
  }
}

int QuestionsAsked() { return g_questions; }

}  // namespace cli
