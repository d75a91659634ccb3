// Random and mutated rename lists carried out by the assembled boot-time
// program under the test DOS. Whatever the list holds, the program must end
// by itself within the instruction bound, touch only the program's memory,
// delete the list, and delete, rename or overwrite no file that the list
// does not name whole: every name it hands to DOS must be empty or stand in
// the list between the delimiters of a rename line (a line start, "=" or a
// quote before it; "=", a quote or CR after it).
//
// The runs are drawn from a fixed seed; KRIZ_FUZZ_SEED picks another.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tests/dos/boot_sandbox.h"

namespace {

constexpr int kRuns = 3000;
constexpr uint32_t kDefaultSeed = 0x4B52495A;
const std::string kHeader = "[rename]\r\n";

// The files each run starts with. Many names are prefixes of one another, so
// that a name cut short by the program would hit one of them.
const std::string kLong = "C:\\LONG DIR\\" + std::string(68, 'l');  // 80 characters
const std::vector<std::string> kFiles = {
    "C:\\KEEP.DLL",
    "C:\\KEEP.DL",
    "C:\\KEEP",
    "C:\\A.EXE",
    "C:\\A.EXF",
    "C:\\MY DIR\\KEEP.EXE",
    "C:\\MY DIR\\A B.EXE",
    "C:\\MY DIR\\A B.EXF",
    "C:\\WINDOWS\\KEEP.DLL",
    "C:\\WINDOWS\\A.EXE",
    "C:\\WINDOWS\\SYSTEM\\K.DLL",
    kLong,
    kLong.substr(0, 79),
    kLong.substr(0, 78),
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string Uppercase(std::string_view text) {
  std::string upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), Upper);
  return upper;
}

// Whether `name` stands whole in `list`, compared as the program's DOS
// compares names (ASCII letters in either case) or exactly.
bool NamedWhole(std::string_view list, std::string_view name, bool anyCase) {
  if (name.empty()) return false;
  std::string haystack = anyCase ? Uppercase(list) : std::string(list);
  std::string needle = anyCase ? Uppercase(name) : std::string(name);
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    size_t end = at + needle.size();
    bool startsWhole =
        at > 0 && std::string_view("\n\"=").find(haystack[at - 1]) != std::string::npos;
    bool endsWhole =
        end < haystack.size() && std::string_view("\"=\r").find(haystack[end]) != std::string::npos;
    if (startsWhole && endsWhole) return true;
  }
  return false;
}

// The spellings that reach `path` (or the folder it lies in) from the
// program's current directory C:\WINDOWS: full, from the root, relative, and
// relative to C:'s current directory.
std::vector<std::string> SpellingsOf(const std::string& path) {
  std::vector<std::string> spellings;
  for (size_t end = path.size(); end > 3; end = path.rfind('\\', end - 1)) {
    std::string reached = path.substr(0, end);
    spellings.push_back(reached);
    spellings.push_back(reached.substr(2));
    if (Uppercase(reached).rfind("C:\\WINDOWS\\", 0) == 0) {
      spellings.push_back(reached.substr(11));
      spellings.push_back("C:" + reached.substr(11));
    }
  }
  return spellings;
}

class ListMaker {
 public:
  explicit ListMaker(uint32_t seed) : random_(seed) {}

  std::string List() {
    std::string list = Chance(9, 10) ? kHeader : Name() + "\r\n";
    int lines = Between(0, 12);
    for (int i = 0; i < lines; ++i) list += Line();
    int mutations = Between(0, 4);
    for (int i = 0; i < mutations; ++i) Mutate(list);
    return list;
  }

 private:
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
  bool Chance(int in, int of) { return Between(1, of) <= in; }
  char AnyByte() { return static_cast<char>(Between(0, 255)); }
  char Tricky() {
    static constexpr std::string_view kTricky("\0\"=\r\n[\\ .", 10);
    return kTricky[static_cast<size_t>(Between(0, static_cast<int>(kTricky.size()) - 1))];
  }

  std::string Name() {
    switch (Between(0, 6)) {
      case 0: {
        std::string name;
        for (int n = Between(0, 20); n > 0; --n) name += Chance(1, 4) ? Tricky() : AnyByte();
        return name;
      }
      case 1:
        return std::string(static_cast<size_t>(Between(60, 300)),
                           static_cast<char>('a' + Between(0, 25)));
      case 2:
        return "KEEP.DLL";  // relative: C:\WINDOWS\KEEP.DLL
      default: {
        std::string name =
            kFiles[static_cast<size_t>(Between(0, static_cast<int>(kFiles.size()) - 1))];
        if (Chance(1, 2)) {
          static const char* kTails[] = {".BAK", "X", " X", "\\SUB", "\"", "=", "l", "ll"};
          name += kTails[Between(0, 7)];
        }
        if (Chance(1, 6)) name = Uppercase(name);
        return name;
      }
    }
  }

  std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

  std::string Line() {
    switch (Between(0, 7)) {
      case 0:
        return Quoted(Name()) + "=" + Quoted(Name()) + "\r\n";
      case 1:
        return "NUL=" + Name() + "\r\n";
      case 2:
        return "NUL=" + Quoted(Name()) + "\r\n";
      case 3:
        return (Chance(1, 2) ? "nul" : "\"NUL\"") + std::string("=") + Quoted(Name()) + "\r\n";
      case 4: {
        std::string line;
        for (int n = Between(0, 40); n > 0; --n) line += Chance(1, 3) ? Tricky() : AnyByte();
        return line + "\r\n";
      }
      case 5:
        return "[" + Name() + "]\r\n";
      default:
        return Name() + "=" + Name() + "\r\n";
    }
  }

  void Mutate(std::string& list) {
    if (list.empty()) return;
    auto at = static_cast<size_t>(Between(0, static_cast<int>(list.size()) - 1));
    switch (Between(0, 6)) {
      case 0:
        list.insert(at, 1, Tricky());
        break;
      case 1:
        list.erase(at, 1);
        break;
      case 2:
        list[at] = AnyByte();
        break;
      case 3:
        list.resize(at);
        break;
      case 4: {  // a line end lost or halved
        size_t crlf = list.find("\r\n", at);
        if (crlf != std::string::npos) list.erase(crlf + static_cast<size_t>(Between(0, 1)), 1);
        break;
      }
      case 5:
        list.insert(at, list.substr(at, static_cast<size_t>(Between(1, 80))));
        break;
      default:
        list.insert(at, static_cast<size_t>(Between(200, 700)),
                    static_cast<char>('A' + Between(0, 25)));
        break;
    }
  }

  std::mt19937 random_;
};

std::string Printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out += escaped;
    }
  }
  return out;
}

TEST(BootProgramFuzz, RandomListsStayWithinWhatTheyName) {
  uint32_t seed = kDefaultSeed;
  if (const char* chosen = std::getenv("KRIZ_FUZZ_SEED")) {
    seed = static_cast<uint32_t>(std::strtoul(chosen, nullptr, 0));
  }
  ListMaker maker(seed);
  uint64_t mostInstructions = 0;
  uint64_t allInstructions = 0;
  int failedRuns = 0;
  for (int index = 0; index < kRuns && failedRuns < 3; ++index) {
    std::string list = maker.List();
    dos_test::BootSandbox c;
    for (const std::string& file : kFiles) c.Put(file, "contents of " + file);
    c.PutList(list);

    dos_test::DosRun run = c.Run();
    mostInstructions = std::max(mostInstructions, run.instructions);
    allInstructions += run.instructions;

    std::vector<std::string> wrong;
    if (!run.fault.empty()) wrong.push_back("fault: " + run.fault);
    if (!run.ended) wrong.push_back("did not end");
    if (c.Contents(c.ListPath())) wrong.push_back("list not deleted");
    for (const dos_test::DosCall& call : run.calls) {
      bool ownDeletion =
          call.ax >> 8 == 0x41 && (call.name == c.programPath() || call.name == "WININI32.INI");
      bool changes =
          call.ax >> 8 == 0x41 || call.ax == 0x7141 || call.ax == 0x7156 || call.ax == 0x7143;
      if (!changes || ownDeletion) continue;
      for (const std::string* name : {&call.name, &call.newName}) {
        if (name == &call.newName && call.ax != 0x7156) continue;
        // An empty name reaches no file: DOS refuses it.
        if (!name->empty() && !NamedWhole(list, *name, /*anyCase=*/false)) {
          char ax[8];
          std::snprintf(ax, sizeof ax, "%04Xh", call.ax);
          wrong.push_back(std::string(ax) +
                          " on a name the list does not hold whole: " + Printable(*name));
        }
      }
    }
    for (const std::string& file : kFiles) {
      if (c.Contents(file) == "contents of " + file) continue;
      std::vector<std::string> spellings = SpellingsOf(file);
      bool named = std::any_of(spellings.begin(), spellings.end(), [&](const std::string& s) {
        return NamedWhole(list, s, /*anyCase=*/true);
      });
      if (!named) wrong.push_back("changed without being named: " + file);
    }
    if (!wrong.empty()) {
      ++failedRuns;
      std::string report;
      for (const std::string& line : wrong) report += "  " + line + "\n";
      ADD_FAILURE() << "run " << index << " (seed " << seed << "), list \"" << Printable(list)
                    << "\":\n"
                    << report;
    }
  }
  std::printf("%d runs from seed %u: at most %llu instructions a run, %llu in all\n", kRuns, seed,
              static_cast<unsigned long long>(mostInstructions),
              static_cast<unsigned long long>(allInstructions));
}

}  // namespace
