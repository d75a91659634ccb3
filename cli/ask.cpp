#include "cli/ask.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "cli/interrupt.h"
#include "cli/progress.h"
#include "cli/terminal.h"
#include "scan/scan_state.h"
#include "scan/texts.h"

namespace cli {
namespace {

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

enum class Answer { Line, End, Interrupted };

// One line from standard input, read a byte at a time so that nothing past
// it is taken from the next answer. Ctrl-C ends the wait: the signals are
// let through only inside ppoll, so one that comes at any moment is seen.
Answer ReadAnswer(std::string& line) {
  const sigset_t previous = BlockStopSignals();
  Answer answer = Answer::End;
  for (;;) {
    if (ScanInterrupted()) {
      answer = Answer::Interrupted;
      break;
    }
    pollfd input{STDIN_FILENO, POLLIN, 0};
    const int ready = ppoll(&input, 1, nullptr, &previous);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    // ppoll answers for input that is there without taking a signal that
    // came as well; that signal waits, blocked, and wins.
    sigset_t pending;
    if (sigpending(&pending) == 0 &&
        (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)) {
      answer = Answer::Interrupted;
      break;
    }
    char byte = 0;
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      // The end of input ends a last line that has no line feed.
      if (!line.empty()) answer = Answer::Line;
      break;
    }
    if (byte == '\n') {
      answer = Answer::Line;
      break;
    }
    line += byte;
  }
  RestoreStopSignals(previous);
  return answer;
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

int32_t TerminalPrompt::Ask(std::string_view objectPath) {
  // A Ctrl-C that came before the question skips it, as one during it does.
  if (ScanInterrupted()) return static_cast<int32_t>(scan::PromptChoice::Skip);
  ++questions_;
  progress_.Erase();
  const std::string path = Escaped(objectPath);
  for (;;) {
    std::fprintf(stderr, "%s is infected with %.*s: [d]isinfect, [s]kip or [q]uit? ", path.c_str(),
                 static_cast<int>(scan::texts::kVirusName.size()), scan::texts::kVirusName.data());
    std::string line;
    switch (ReadAnswer(line)) {
      case Answer::Interrupted:
        std::fputs("interrupted: skip\n", stderr);  // ends the question's line
        return static_cast<int32_t>(scan::PromptChoice::Skip);
      case Answer::End:
        std::fputs("skip\n", stderr);
        return static_cast<int32_t>(scan::PromptChoice::Skip);
      case Answer::Line:
        break;
    }
    // An answer that came from a file or a pipe was not echoed: show it, so
    // that the question's line ends as on a terminal.
    if (!StandardInputIsTerminal()) std::fprintf(stderr, "%s\n", Escaped(line).c_str());
    if (const std::optional<scan::PromptChoice> choice = ParseAnswer(line)) {
      return static_cast<int32_t>(*choice);
    }
    std::fputs("Please answer d, s or q.\n", stderr);
  }
}

}  // namespace cli
