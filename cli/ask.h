// The infection prompt on the terminal: the question goes to standard error,
// so that standard output keeps only results, and the answer comes from
// standard input, so that a script can answer too.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "cli/progress.h"
#include "scan/scan.h"

namespace cli {

// One line of input as an answer: "d" or "disinfect", "s", "skip" or an empty
// line, "q" or "quit", in any letter case and with blanks around; nullopt for
// anything else.
std::optional<scan::PromptChoice> ParseAnswer(std::string_view line);

// The scan's prompt on the terminal. Ask asks about `objectPath`, again
// after a line it cannot read; the end of input, or no input at all, answers
// Skip, and so does Ctrl-C, before the question or while it waits (the walk
// then stops). The progress line is erased before each question.
class TerminalPrompt {
 public:
  explicit TerminalPrompt(Progress& progress) : progress_(progress) {}
  int32_t Ask(std::string_view objectPath);
  // How many times the prompt was shown. Each question means an infected
  // file, also one that a Quit answer leaves without an outcome.
  int questionsAsked() const { return questions_; }

 private:
  Progress& progress_;
  int questions_ = 0;
};

}  // namespace cli
