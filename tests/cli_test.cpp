// krizclean run as a process over trees of specimens: its status lines, its
// JSON, its exit status, and what it changes on disk and what it leaves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using test_support::ReadBytes;
using test_support::WriteBytes;

constexpr uint32_t kCheckSumField = 88;  // from the start of the NT headers

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct CleanerRun {
  int status = -1;
  std::string out;
  std::string err;
  std::vector<std::string> lines;  // the status lines, sorted: the walk's order is the system's
  std::string report;              // what follows them
};

// What a run left in `io`: its exit status, its output split into status
// lines and the report, and standard error.
CleanerRun Collected(const test_support::TempDir& io) {
  CleanerRun run;
  run.status = std::stoi(Slurp(io.File("rc")));
  run.out = Slurp(io.File("out"));
  run.err = Slurp(io.File("err"));

  // Status lines come first (every path here is absolute, or starts with
  // "..", so none of them starts like the report), then the report from its
  // first counter line.
  size_t report = run.out.starts_with("clean: ") ? 0 : run.out.find("\nclean: ");
  if (report != std::string::npos && report != 0) ++report;
  const std::string lines = run.out.substr(0, std::min(report, run.out.size()));
  if (report != std::string::npos) run.report = run.out.substr(report);
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) run.lines.push_back(line);
  std::sort(run.lines.begin(), run.lines.end());
  return run;
}

std::string CommandLine(const std::string& program, const std::vector<std::string>& args) {
  std::string command = Quoted(program);
  for (const std::string& arg : args) command += " " + Quoted(arg);
  return command;
}

// Runs krizclean in `cwd` with `input` on its standard input; `before` is
// shell code run there first, `program` the copy of krizclean to run, with
// `launcher` (a command that runs it as another user) before it. The shell
// does the redirections and writes the exit status down.
CleanerRun RunCleaner(const fs::path& cwd, const std::vector<std::string>& args,
                      const std::string& input = "", const std::string& before = "true",
                      const std::string& program = KRIZCLEAN_PATH,
                      const std::string& launcher = "") {
  const test_support::TempDir io;
  { std::ofstream(io.path() / "in", std::ios::binary) << input; }
  std::string command = "cd " + Quoted(cwd.string()) + " && " + before + " && " + launcher + " " +
                        CommandLine(program, args) + " <" + Quoted(io.File("in")) + " >" +
                        Quoted(io.File("out")) + " 2>" + Quoted(io.File("err")) + "; echo $? >" +
                        Quoted(io.File("rc"));
  std::system(command.c_str());
  return Collected(io);
}

// Runs krizclean in `cwd` while the shell code `steps` runs beside it and
// answers its questions on descriptor 3 (closing it ends the answers, and
// every question after that is skipped). In `steps`, $K is krizclean's
// process, $ERR its standard error, and `await N` waits until it has asked
// N questions.
CleanerRun RunAsking(const fs::path& cwd, const std::vector<std::string>& args,
                     const std::string& steps) {
  const test_support::TempDir io;
  const std::string answers = Quoted(io.File("answers"));
  const std::string err = Quoted(io.File("err"));
  const std::string script =
      "trap '' PIPE; cd " + Quoted(cwd.string()) + " && mkfifo " + answers + " && { " +
      CommandLine(KRIZCLEAN_PATH, args) + " <" + answers + " >" + Quoted(io.File("out")) + " 2>" +
      err + " & K=$!; ERR=" + err + "; exec 3>" + answers +
      "; await() { n=0; until [ \"$(grep -c 'is infected' \"$ERR\")\" -ge \"$1\" ]; do "
      "n=$((n+1)); [ $n -lt 3000 ] || return 1; sleep 0.01; done; }; " +
      steps + "; exec 3>&-; wait $K; echo $? >" + Quoted(io.File("rc")) + "; }";
  std::system(("timeout 60 sh -c " + Quoted(script)).c_str());
  return Collected(io);
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

// A folder to scan:
//   clean.exe      a clean program
//   readme.txt     no program at all
//   near.exe       a near miss: the signature is one byte off
//   sub/bad.exe    infected, with a checksum in its header
//   sub/prog.bin   infected, but only looked at with --all-files
struct Tree {
  fs::path root;
  specimen::Infection bad;
  std::map<std::string, std::vector<uint8_t>> before;  // every file's bytes, by relative name

  std::string Path(const std::string& name) const { return (root / name).string(); }
  std::vector<uint8_t> Now(const std::string& name) const { return ReadBytes(Path(name)); }
  bool Unchanged(const std::string& name) const { return Now(name) == before.at(name); }
};

Tree MakeTree(const fs::path& root) {
  Tree tree;
  tree.root = root;
  tree.bad = test_support::InfectOrFail(test_support::SmallProgram(0x1234));
  tree.before["clean.exe"] = test_support::SmallProgram();
  tree.before["readme.txt"] = {'n', 'o', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm', '\n'};
  specimen::InfectSpec nearMiss;
  nearMiss.nearMiss = specimen::NearMiss::SignatureOffByOne;
  tree.before["near.exe"] =
      test_support::InfectOrFail(test_support::SmallProgram(), nearMiss).bytes;
  tree.before["sub/bad.exe"] = tree.bad.bytes;
  tree.before["sub/prog.bin"] = test_support::InfectOrFail(test_support::SmallProgram()).bytes;
  fs::create_directories(root / "sub");
  for (const auto& [name, bytes] : tree.before) WriteBytes(tree.Path(name), bytes);
  return tree;
}

// What cleaning must leave, apart from the checksum, which the cleaner
// repairs and the specimen's expectation keeps as it was.
bool CleanedAsExpected(const std::vector<uint8_t>& now, const specimen::Infection& infection) {
  std::vector<uint8_t> expected = specimen::ExpectedCleanBytes(infection);
  std::vector<uint8_t> actual = now;
  if (actual.size() != expected.size()) return false;
  test_support::PutLe32(actual, infection.ntHeadersOffset + kCheckSumField, 0);
  test_support::PutLe32(expected, infection.ntHeadersOffset + kCheckSumField, 0);
  return actual == expected;
}

class Cli : public ::testing::Test {
 protected:
  test_support::TempDir scratch;
  Tree tree = MakeTree(scratch.path() / "root");
};

TEST_F(Cli, ActionsAndAnswersDecideWhatHappensToTheInfectedFile) {
  const std::string bad = tree.Path("sub/bad.exe");
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string input;
    const char* status;  // of sub/bad.exe; nullptr for no line
    bool cleaned;
  };
  const Case cases[] = {
      {"no action named", {}, "", "infected", false},
      {"--scan-only", {"--scan-only"}, "", "infected", false},
      {"-c", {"-c"}, "", "disinfected", true},
      {"--clean", {"--clean"}, "", "disinfected", true},
      {"ask, disinfect", {"-a"}, "d\n", "disinfected", true},
      {"ask, a word it does not know, then Disinfect",
       {"--ask"},
       "maybe\nDisinfect\n",
       "disinfected",
       true},
      {"ask, skip", {"-a"}, "s\n", "infected", false},
      {"ask, end of input", {"-a"}, "", "infected", false},
      {"ask, quit", {"-a"}, "q\n", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(bad, tree.before.at("sub/bad.exe"));
    std::vector<std::string> args = c.options;
    args.push_back(tree.root.string());
    const CleanerRun run = RunCleaner(scratch.path(), args, c.input);

    // Found infected, whatever became of it.
    EXPECT_EQ(run.status, 1) << run.err;
    const std::vector<std::string> expected =
        c.status ? std::vector<std::string>{bad + ": " + c.status} : std::vector<std::string>{};
    EXPECT_EQ(run.lines, expected);
    EXPECT_EQ(CleanedAsExpected(tree.Now("sub/bad.exe"), tree.bad), c.cleaned);
    if (!c.cleaned) {
      EXPECT_TRUE(tree.Unchanged("sub/bad.exe"));
    }
    for (const char* other : {"clean.exe", "readme.txt", "near.exe", "sub/prog.bin"}) {
      EXPECT_TRUE(tree.Unchanged(other)) << other;
    }
    EXPECT_EQ(run.report.find("clean: 2\n"), 0u) << run.report;
    EXPECT_NE(run.report.find(c.cleaned ? "disinfected: 1\n" : "disinfected: 0\n"),
              std::string::npos);
    EXPECT_EQ(run.report.find('\r'), std::string::npos);
  }
}

TEST_F(Cli, PathsAndArgumentsDecideTheExitStatus) {
  fs::create_directory(scratch.path() / "empty");
  ASSERT_EQ(std::system(("mkfifo " + Quoted((scratch.path() / "pipe").string())).c_str()), 0);
  const std::string root = tree.root.string();
  const std::string bad = tree.Path("sub/bad.exe");
  const std::string missing = (scratch.path() / "missing").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::vector<std::string> lines;
    const char* err;     // part of standard error, or nullptr for none
    bool usage = false;  // a fault of the command line: one line and where to look
  };
  const Case cases[] = {
      {"a PATH that is a file", {bad}, 1, {bad + ": infected"}, nullptr},
      {"a root with a final /", {root + "/"}, 1, {bad + ": infected"}, nullptr},
      {"a relative root", {"root/."}, 1, {bad + ": infected"}, nullptr},
      {"--all-files",
       {"--all-files", root},
       1,
       {bad + ": infected", tree.Path("sub/prog.bin") + ": infected"},
       nullptr},
      {"--show-all",
       {"--show-all", root},
       1,
       {bad + ": infected", tree.Path("clean.exe") + ": ok", tree.Path("near.exe") + ": ok"},
       nullptr},
      {"a clean folder", {(scratch.path() / "empty").string()}, 0, {}, nullptr},
      {"a missing PATH", {missing}, 2, {}, "missing: no such file or folder"},
      {"a missing PATH beside an infected one",
       {missing, root},
       1,
       {bad + ": infected"},
       "missing: no such file or folder"},
      {"a pipe", {"pipe"}, 2, {}, "pipe: not a file or folder"},
      {"an unknown option", {"--bogus", root}, 2, {}, "unknown option '--bogus'", true},
      {"two actions",
       {"-s", "-c", root},
       2,
       {},
       "choose one of --scan-only, --ask and --clean",
       true},
      {"--json without a value", {root, "--json"}, 2, {}, "option '--json' needs a value", true},
      {"no PATH", {"-c"}, 2, {}, "no PATH given", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CleanerRun run = RunCleaner(scratch.path(), c.args);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.lines, Sorted(c.lines));
    if (c.err) {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, "");
    }
    if (c.usage) {
      // The fault and where to look, not the whole usage text.
      EXPECT_EQ(run.err, std::string("krizclean: ") + c.err + "\nTry 'krizclean --help'\n");
    }
    // Argument errors stop before any scan, and so before any report.
    EXPECT_EQ(run.report.empty(), c.usage);
    for (const auto& [name, bytes] : tree.before) EXPECT_TRUE(tree.Unchanged(name)) << name;
  }
}

TEST_F(Cli, VersionNamesTheLibrariesItIsBuiltWith) {
  for (const char* option : {"--version", "-V"}) {
    SCOPED_TRACE(option);
    const CleanerRun run = RunCleaner(scratch.path(), {option});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(run.out.starts_with("krizclean " KRIZCLEAN_VERSION "\n")) << run.out;
    for (const char* library :
         {"\nlibarchive: libarchive 3.", "\nThe Sleuth Kit: 4.", "\nliburing: 2.",
          "\nnlohmann_json: 3.", "\nvirtual machine disks: "}) {
      EXPECT_NE(run.out.find(library), std::string::npos) << library << " in " << run.out;
    }
  }
}

TEST_F(Cli, CtrlCAtThePromptSkipsTheFileAndStops) {
  // Two infected files in one folder; Ctrl-C comes while the first is asked
  // about, and a late answer after it. The file asked about is skipped,
  // the other one never reached, and the report printed.
  const CleanerRun run = RunAsking(scratch.path(), {"--ask", "--all-files", tree.root.string()},
                                   "await 1; kill -INT $K; echo d >&3");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
  ASSERT_EQ(run.lines.size(), 1u) << run.out;
  const bool badFirst = run.lines[0] == tree.Path("sub/bad.exe") + ": infected";
  const bool progFirst = run.lines[0] == tree.Path("sub/prog.bin") + ": infected";
  EXPECT_TRUE(badFirst || progFirst) << run.lines[0];
  EXPECT_NE(run.report.find("left infected by user: 1\n"), std::string::npos) << run.report;
  for (const auto& [name, bytes] : tree.before) EXPECT_TRUE(tree.Unchanged(name)) << name;
}

// Each line of `text` parsed as JSON; a line that is no JSON fails.
std::vector<nlohmann::json> Records(const std::string& text) {
  std::vector<nlohmann::json> records;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    records.push_back(nlohmann::json::parse(line));
    EXPECT_EQ(records.back()["schema"], 1) << line;
  }
  return records;
}

TEST_F(Cli, JsonLinesAreWrittenAsEachObjectIsDecided) {
  // Two infected files; while the second is asked about, the first one's
  // record is in the file already, and no summary yet.
  const std::string lines = (scratch.path() / "lines.jsonl").string();
  const std::string early = (scratch.path() / "early.jsonl").string();
  const CleanerRun run = RunAsking(
      scratch.path(), {"--ask", "--all-files", "--json-lines", lines, tree.root.string()},
      "await 1; echo s >&3; await 2; cp " + Quoted(lines) + " " + Quoted(early) + "; echo s >&3");
  EXPECT_EQ(run.status, 1) << run.err;
  const std::vector<nlohmann::json> seen = Records(Slurp(early));
  ASSERT_EQ(seen.size(), 1u) << Slurp(early);
  EXPECT_EQ(seen[0]["type"], "object");
  EXPECT_EQ(seen[0]["status"], "infected");
  const std::string first = seen[0]["path"];
  EXPECT_TRUE(first == tree.Path("sub/bad.exe") || first == tree.Path("sub/prog.bin")) << first;

  // At the end: both, then the counts, and the status lines as without it.
  const std::vector<nlohmann::json> all = Records(Slurp(lines));
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0], seen[0]);
  EXPECT_EQ(all[1]["type"], "object");
  EXPECT_EQ(all[2]["type"], "summary");
  EXPECT_EQ(all[2]["counts"]["left_infected"], 2);
  EXPECT_EQ(all[2]["exit_status"], 1);
  EXPECT_EQ(run.lines.size(), 2u) << run.out;
}

TEST_F(Cli, JsonLinesAndJsonSayWhyAndWhereInAbsolutePaths) {
  // A file that cannot be opened, a pipe, and a PATH that is missing, given
  // relative: every record names it by its whole path and says why.
  fs::create_directory(tree.root / "locked");
  WriteBytes((tree.root / "locked/x.exe").string(), tree.before.at("clean.exe"));
  ASSERT_EQ(std::system(("mkfifo " + Quoted((tree.root / "fifo.exe").string())).c_str()), 0);
  fs::permissions(tree.root / "locked/x.exe", fs::perms(0));
  // As an ordinary user, who cannot read what root could.
  const std::string launcher =
      ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  const std::string program = (scratch.path() / "krizclean").string();
  fs::copy_file(KRIZCLEAN_PATH, program);
  fs::permissions(scratch.path(), fs::perms(0755));
  fs::permissions(program, fs::perms(0755));
  const CleanerRun lines = RunCleaner(scratch.path(), {"--json-lines", "-", "root", "missing"}, "",
                                      "true", program, launcher);
  std::map<std::string, nlohmann::json> byPath;
  std::vector<nlohmann::json> records = Records(lines.out);
  ASSERT_FALSE(records.empty()) << lines.out << lines.err;
  for (const nlohmann::json& record : records) {
    if (record.contains("path")) byPath[record["path"]] = record;
  }
  const std::string missing = (scratch.path() / "missing").string();
  ASSERT_TRUE(byPath.count(missing)) << lines.out;
  EXPECT_EQ(byPath[missing]["type"], "error");
  EXPECT_EQ(byPath[missing]["error"], "no such file or folder");
  for (const std::string& path : {tree.Path("locked/x.exe"), tree.Path("fifo.exe")}) {
    ASSERT_TRUE(byPath.count(path)) << path << " in " << lines.out;
    EXPECT_EQ(byPath[path]["status"], "cannot open");
    EXPECT_FALSE(byPath[path].value("reason", "").empty()) << byPath[path];
  }
  EXPECT_EQ(byPath[tree.Path("fifo.exe")]["reason"], "not a regular file");
  EXPECT_EQ(records.back()["type"], "summary");
  EXPECT_EQ(records.back()["exit_status"], 1);

  // The document says the same, with its schema.
  const CleanerRun json =
      RunCleaner(scratch.path(), {"--json", "-", "root", "missing"}, "", "true", program, launcher);
  const nlohmann::json document = nlohmann::json::parse(json.out);
  EXPECT_EQ(document["schema"], 1);
  EXPECT_EQ(document["counts"]["access_denied"], 1);
  EXPECT_EQ(document["counts"]["not_regular_files"], 1);
  EXPECT_EQ(document["errors"][0]["path"], missing);
  for (const nlohmann::json& object : document["objects"]) {
    if (object["status"] == "cannot open") {
      EXPECT_FALSE(object.value("reason", "").empty()) << object;
    }
  }
}

TEST_F(Cli, WhatWasNotScannedIsCountedUnderItsCause) {
  // A damaged ZIP, a pipe among programs, and a tree deeper than the file
  // handles the process may hold.
  std::string zip = "PK\x03\x04";
  zip += std::string(200, '\x7f');
  WriteBytes((scratch.path() / "broken.zip").string(),
             std::vector<uint8_t>(zip.begin(), zip.end()));
  fs::create_directory(scratch.path() / "pipes");
  ASSERT_EQ(std::system(("mkfifo " + Quoted((scratch.path() / "pipes/fifo.exe").string())).c_str()),
            0);
  fs::path deep = scratch.path() / "deep";
  for (int level = 0; level < 30; ++level) deep /= "d";
  fs::create_directories(deep);
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string before;
    const char* line;  // a line of the report
  };
  const Case cases[] = {
      {"scan only: no one was asked", {"root"}, "true", "\ninfected, not cleaned (scan only): 1\n"},
      {"asked, and skipped", {"-a", "root"}, "true", "\nleft infected by user: 1\n"},
      {"a damaged archive", {"broken.zip"}, "true", "\ndamaged images and archives: 1\n"},
      {"a pipe", {"--all-files", "pipes"}, "true", "\nnot regular files: 1\n"},
      {"no file handles left", {"deep"}, "ulimit -n 16", "\nout of file handles: 1\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CleanerRun run = RunCleaner(scratch.path(), c.args, "s\n", c.before);
    EXPECT_NE(run.report.find(c.line), std::string::npos) << run.report << run.err;
    EXPECT_NE(run.report.find("\naccess denied: 0\n"), std::string::npos) << run.report;
    EXPECT_EQ(run.report.find("left infected by user") != std::string::npos,
              c.args[0] == std::string("-a"))
        << run.report;
  }
}

TEST_F(Cli, ListsStandardInputLogsAndNoSummary) {
  const std::string bad = tree.Path("sub/bad.exe");
  const std::string near = tree.Path("near.exe");
  { std::ofstream(scratch.path() / "list.txt") << "root/sub/bad.exe\r\n\nroot/near.exe\n"; }
  {
    std::ofstream list(scratch.path() / "list0", std::ios::binary);
    list << "root/sub/bad.exe" << '\0' << "root/near.exe" << '\0';
  }
  std::string infected(tree.bad.bytes.begin(), tree.bad.bytes.end());
  const std::string log = (scratch.path() / "run.log").string();
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::vector<std::string> lines;
    const char* err;  // part of standard error, or nullptr for none
    bool report = true;
  };
  const Case cases[] = {
      {"a list",
       {"--show-all", "-f", "list.txt"},
       "",
       1,
       {bad + ": infected", near + ": ok"},
       nullptr},
      {"a list on standard input, NUL-separated",
       {"--show-all", "--null", "--file-list", "-"},
       Slurp(scratch.path() / "list0"),
       1,
       {bad + ": infected", near + ": ok"},
       nullptr},
      {"a list and a PATH",
       {"-f", "list.txt", "root"},
       "",
       1,
       {bad + ": infected", bad + ": infected"},
       nullptr},
      {"a missing list", {"-f", "nolist"}, "", 2, {}, "nolist: cannot be opened", false},
      {"standard input", {"-"}, infected, 1, {"(standard input): infected"}, nullptr},
      {"standard input, clean", {"--show-all", "-"}, "MZ", 0, {"(standard input): ok"}, nullptr},
      {"standard input, cleaned",
       {"--clean", "-"},
       infected,
       2,
       {},
       "'-' (standard input) is only scanned: it has no file to clean",
       false},
      {"standard input twice", {"-f", "-", "-"}, "", 2, {}, "can be read only once", false},
      {"--null without a list",
       {"--null", "root"},
       "",
       2,
       {},
       "--null goes with --file-list only",
       false},
      {"no summary", {"--no-summary", "root"}, "", 1, {bad + ": infected"}, nullptr, false},
      {"another scanner's option",
       {"-r", "root"},
       "",
       2,
       {},
       "unknown option '-r'; folders are always walked whole",
       false},
      {"another scanner's long option",
       {"--move=/tmp/q", "root"},
       "",
       2,
       {},
       "unknown option '--move=/tmp/q'; use --clean --backup DIR",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CleanerRun run = RunCleaner(scratch.path(), c.args, c.input);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.lines, Sorted(c.lines)) << run.out;
    if (c.err) {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    } else {
      EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(run.report.empty(), !c.report) << run.out;
    for (const auto& [name, bytes] : tree.before) EXPECT_TRUE(tree.Unchanged(name)) << name;
  }

  // --log appends what was printed, run after run, to a file of its owner's.
  for (int round = 0; round < 2; ++round) {
    const CleanerRun run = RunCleaner(scratch.path(), {"--log", "run.log", "root", "missing"});
    EXPECT_EQ(run.status, 1) << run.err;
  }
  const std::string logged = Slurp(log);
  const std::string once = bad + ": infected\n";
  EXPECT_NE(logged.find(once), logged.rfind(once)) << logged;
  EXPECT_NE(logged.find("krizclean: missing: no such file or folder\n"), std::string::npos);
  EXPECT_NE(logged.find("\nNot scanned: 0 files, 0 folders\n"), std::string::npos) << logged;
  EXPECT_EQ(fs::status(log).permissions() & fs::perms(077), fs::perms::none);
  // A log another user may write is refused before anything is scanned.
  fs::permissions(log, fs::perms(0666));
  const CleanerRun refused = RunCleaner(scratch.path(), {"--log", "run.log", "root"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("another user can write to it"), std::string::npos) << refused.err;
  EXPECT_EQ(Slurp(log), logged);
}

TEST_F(Cli, JsonOnStandardOutputHoldsOnlyTheJson) {
  const CleanerRun run =
      RunCleaner(scratch.path(), {"--json", "-", "--show-all", tree.root.string()});
  EXPECT_EQ(run.status, 1);
  const nlohmann::json json = nlohmann::json::parse(run.out);  // throws on anything beside it
  EXPECT_EQ(json["virus"], "Win32.Kriz.4050");
  EXPECT_EQ(json["action"], "scan-only");
  std::set<std::tuple<std::string, std::string, int>> objects;
  for (const auto& object : json["objects"]) {
    objects.insert({object["path"].get<std::string>(), object["status"].get<std::string>(),
                    object["code"].get<int>()});
  }
  const std::set<std::tuple<std::string, std::string, int>> expected = {
      {tree.Path("clean.exe"), "ok", 0},
      {tree.Path("near.exe"), "ok", 0},
      {tree.Path("sub/bad.exe"), "infected", 1},
  };
  EXPECT_EQ(objects, expected);
  EXPECT_EQ(json["objects"].size(), 3u);
  const nlohmann::json counts = {
      {"clean", 2},
      {"left_infected", 1},
      {"disinfected", 0},
      {"disinfect_at_reboot", 0},
      {"deleted", 0},
      {"delete_at_reboot", 0},
      {"could_not_disinfect", 0},
      {"access_denied", 0},
      {"damaged_containers", 0},
      {"not_regular_files", 0},
      {"out_of_file_handles", 0},
      {"not_opened_otherwise", 0},
  };
  EXPECT_EQ(json["counts"], counts);
  // The report as the plain run prints it, which ends it with a line feed.
  std::string report = json["report"];
  if (!report.ends_with('\n')) report += '\n';
  const CleanerRun plain = RunCleaner(scratch.path(), {"--show-all", tree.root.string()});
  EXPECT_EQ(report, plain.report);
}

TEST_F(Cli, JsonFileComesBesideTheStatusLines) {
  const fs::path file = scratch.path() / "results.json";
  const CleanerRun run =
      RunCleaner(scratch.path(), {"-c", "--json", file.string(), tree.root.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.lines, std::vector<std::string>{tree.Path("sub/bad.exe") + ": disinfected"});
  const nlohmann::json json = nlohmann::json::parse(Slurp(file));
  EXPECT_EQ(json["action"], "clean");
  ASSERT_EQ(json["objects"].size(), 1u);
  EXPECT_EQ(json["objects"][0]["status"], "disinfected");
  EXPECT_EQ(json["objects"][0]["code"], 2);
  EXPECT_EQ(json["counts"]["disinfected"], 1);

  // A JSON file that cannot be written stops the run before it changes a file.
  WriteBytes(tree.Path("sub/bad.exe"), tree.before.at("sub/bad.exe"));
  const CleanerRun refused =
      RunCleaner(scratch.path(), {"-c", "--json", "no/such/folder.json", tree.root.string()});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("cannot write the JSON file"), std::string::npos);
  EXPECT_TRUE(tree.Unchanged("sub/bad.exe"));
}

std::string FromBase64(const std::string& text) {
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = bits << 6 | static_cast<uint32_t>(digits.find(c));
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return bytes;
}

TEST_F(Cli, NamesThatAreNotUtf8KeepTheirExactBytesInTheJson) {
  const std::vector<uint8_t> infected = tree.before.at("sub/bad.exe");
  const std::vector<uint8_t> clean = tree.before.at("clean.exe");
  fs::create_directory(scratch.path() / "names");
  const std::string folder = (scratch.path() / "names").string() + "/";
  // Three names that differ only in a byte that is not UTF-8, and one that is.
  const std::map<std::string, std::string> expected = {
      {folder + "x\xFD.exe", "infected"},
      {folder + "x\xFE.exe", "ok"},
      {folder + "x\xC3.exe", "infected"},
      {folder + "caf\xC3\xA9.exe", "infected"},
  };
  for (const auto& [path, status] : expected) WriteBytes(path, status == "ok" ? clean : infected);

  const CleanerRun run = RunCleaner(scratch.path(), {"--show-all", "--json", "-", folder});
  EXPECT_EQ(run.status, 1) << run.err;
  const nlohmann::json json = nlohmann::json::parse(run.out);
  std::map<std::string, std::string> found;
  for (const auto& object : json["objects"]) {
    const std::string text = object["path"];
    if (object.contains("path_base64")) {
      // The text still reads, with U+FFFD where the bytes were.
      EXPECT_EQ(text, folder + "x\xEF\xBF\xBD.exe");
      found[FromBase64(object["path_base64"])] = object["status"];
    } else {
      found[text] = object["status"];
    }
  }
  EXPECT_EQ(found, expected);

  // The lines show the byte that is not UTF-8 escaped, as a terminal
  // cannot misread it; the JSON above keeps it exactly.
  const CleanerRun plain = RunCleaner(scratch.path(), {folder + "x\xFD.exe"});
  EXPECT_EQ(plain.lines, std::vector<std::string>{folder + "x\\xfd.exe: infected"});
}

TEST_F(Cli, EveryFolderIsWalkedWhateverItsNameOrTheLengthOfItsPath) {
  // On Linux ~/.wine/drive_c is where old Windows programs live; 259
  // characters are no limit of the system.
  const std::string name100(100, 'n');
  const std::vector<std::string> placed = {
      "home/.wine/drive_c/windows/game.exe",
      "home/long/" + name100 + "/" + name100 + "/" + name100 + "/game.exe",
  };
  for (const std::string& name : placed) {
    fs::create_directories((tree.root / name).parent_path());
    WriteBytes(tree.Path(name), tree.before.at("sub/bad.exe"));
  }
  const CleanerRun run = RunCleaner(scratch.path(), {"--clean", tree.Path("home")});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.lines, Sorted({tree.Path(placed[0]) + ": disinfected",
                               tree.Path(placed[1]) + ": disinfected"}));
  for (const std::string& name : placed) {
    EXPECT_TRUE(CleanedAsExpected(tree.Now(name), tree.bad)) << name;
  }
  EXPECT_NE(run.report.find("\nNot scanned: 0 files, 0 folders\n"), std::string::npos);
}

TEST_F(Cli, ATreeFortyFoldersDeepIsScannedAndCleaned) {
  // 40 folders of 100-character names: over 4,000 characters of path, more
  // than one path may hold. The tree is made, read and removed a folder at
  // a time.
  const std::string name(100, 'd');
  const fs::path start = fs::current_path();
  fs::create_directory(scratch.path() / "deep");
  fs::current_path(scratch.path() / "deep");
  std::string shown = (scratch.path() / "deep").string();
  for (int level = 0; level < 40; ++level) {
    fs::create_directory(name);
    fs::current_path(name);
    shown += "/" + name;
  }
  // With the file's name, longer than Linux lets a path be.
  const std::string file = "a-program-whose-name-is-long-enough.exe";
  WriteBytes(file, tree.before.at("sub/bad.exe"));
  fs::current_path(start);
  shown += "/" + file;
  ASSERT_GT(shown.size(), 4096u);

  const CleanerRun run = RunCleaner(scratch.path(), {"--clean", "deep"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.lines, std::vector<std::string>{shown + ": disinfected"});

  fs::current_path(scratch.path() / "deep");
  for (int level = 0; level < 40; ++level) fs::current_path(name);
  const std::vector<uint8_t> cleaned = ReadBytes(file);
  fs::current_path(start);
  EXPECT_TRUE(CleanedAsExpected(cleaned, tree.bad));
  EXPECT_EQ(std::system(("rm -rf " + Quoted((scratch.path() / "deep").string())).c_str()), 0);
}

TEST_F(Cli, UnreadableFilesAndFoldersAreReportedCountedAndEndInTwo) {
  // Run as an ordinary user: root may read anything. The program is copied
  // where that user may run it.
  const bool root = ::geteuid() == 0;
  const std::string launcher = root ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
  const std::string program = (scratch.path() / "krizclean").string();
  fs::copy_file(KRIZCLEAN_PATH, program);
  fs::permissions(scratch.path(), fs::perms(0755));
  fs::permissions(program, fs::perms(0755));

  const fs::path locked = scratch.path() / "locked";
  const std::vector<uint8_t> infected = tree.before.at("sub/bad.exe");
  fs::create_directories(locked / "noread");
  fs::create_directories(locked / "nosearch");
  WriteBytes((locked / "noread/bad.exe").string(), infected);
  WriteBytes((locked / "nosearch/bad.exe").string(), infected);
  WriteBytes((locked / "denied.exe").string(), infected);
  WriteBytes((locked / "clean.exe").string(), tree.before.at("clean.exe"));
  fs::permissions(locked / "noread", fs::perms(0300));    // no listing
  fs::permissions(locked / "nosearch", fs::perms(0600));  // no entering
  fs::permissions(locked / "denied.exe", fs::perms(0));

  struct Case {
    const char* path;
    std::set<std::pair<std::string, std::string>> objects;  // path and kind
    const char* notScanned;
  };
  const std::string l = locked.string();
  const Case cases[] = {
      {"locked",
       {{l + "/noread", "folder"}, {l + "/nosearch", "folder"}, {l + "/denied.exe", "file"}},
       "Not scanned: 1 file, 2 folders"},
      {"locked/noread", {{l + "/noread", "folder"}}, "Not scanned: 0 files, 1 folder"},
      {"locked/nosearch", {{l + "/nosearch", "folder"}}, "Not scanned: 0 files, 1 folder"},
      {"locked/denied.exe", {{l + "/denied.exe", "file"}}, "Not scanned: 1 file, 0 folders"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const CleanerRun run =
        RunCleaner(scratch.path(), {"--json", "-", c.path}, "", "true", program, launcher);
    EXPECT_EQ(run.status, 2) << run.err;
    const nlohmann::json json = nlohmann::json::parse(run.out);
    std::set<std::pair<std::string, std::string>> objects;
    for (const auto& object : json["objects"]) {
      EXPECT_EQ(object["status"], "cannot open");
      objects.insert({object["path"].get<std::string>(), object["kind"].get<std::string>()});
    }
    EXPECT_EQ(objects, c.objects);
    EXPECT_EQ(json["counts"]["access_denied"], c.objects.size());
    EXPECT_NE(json["report"].get<std::string>().find(c.notScanned), std::string::npos)
        << json["report"];
  }
  for (const char* name : {"noread", "nosearch", "denied.exe"}) {
    fs::permissions(locked / name, fs::perms(0755));
  }
  EXPECT_EQ(ReadBytes((locked / "denied.exe").string()), infected);
}

TEST_F(Cli, AFolderMovedOrRemovedDuringTheScanIsFollowedOrReported) {
  // While the first of six files is asked about, its folder's parent is
  // moved: the walk goes on in the folder it holds, and names the files as
  // it found them.
  const std::vector<uint8_t> infected = tree.before.at("sub/bad.exe");
  const fs::path moving = scratch.path() / "moving";
  fs::create_directories(moving / "top/deep");
  std::vector<std::string> expected;
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
    const std::string path = (moving / "top/deep" / (std::string(name) + ".exe")).string();
    WriteBytes(path, infected);
    expected.push_back(path + ": infected");
  }
  const CleanerRun moved =
      RunAsking(scratch.path(), {"--ask", "moving"}, "await 1 && mv moving/top moving/moved");
  EXPECT_EQ(moved.status, 1) << moved.err;
  EXPECT_EQ(moved.lines, Sorted(expected));

  // While one folder's file is asked about, the other folder is removed:
  // it is reported, not passed over. One job: the walk then waits for the
  // answer, where several jobs' walk would have listed the folder already.
  const fs::path two = scratch.path() / "two";
  fs::create_directories(two / "a");
  fs::create_directories(two / "b");
  WriteBytes((two / "a/q.exe").string(), infected);
  WriteBytes((two / "b/r.exe").string(), infected);
  const CleanerRun removed = RunAsking(
      scratch.path(), {"--ask", "-j", "1", "two"},
      "await 1 && if grep -q '/a/q.exe is infected' \"$ERR\"; then rm -r two/b; else rm -r two/a; "
      "fi");
  EXPECT_EQ(removed.status, 1) << removed.err;
  const std::string t = two.string();
  const std::vector<std::string> inA = {t + "/a/q.exe: infected", t + "/b: cannot open"};
  const std::vector<std::string> inB = {t + "/a: cannot open", t + "/b/r.exe: infected"};
  EXPECT_TRUE(removed.lines == inA || removed.lines == inB) << removed.out;
  EXPECT_NE(removed.report.find("Not scanned: 0 files, 1 folder\n"), std::string::npos);
}

TEST_F(Cli, ARelativePathFromAWorkingFolderRemovedUnderIt) {
  // The starting folder has no path any more; a PATH relative to it still
  // reaches the tree, and is shown as given.
  const CleanerRun run =
      RunCleaner(scratch.path(), {"../root"}, "", "mkdir gone && cd gone && rmdir ../gone");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.lines, std::vector<std::string>{"../root/sub/bad.exe: infected"});
}

TEST_F(Cli, ControlCharactersInNamesAreEscapedOneFileALine) {
  const std::vector<std::pair<std::string, std::string>> names = {
      {"new\nline.exe", "new\\nline.exe"},
      {"carriage\rreturn.exe", "carriage\\rreturn.exe"},
      {"tab\tbed.exe", "tab\\tbed.exe"},
      {"esc\x1b[2Jape.exe", "esc\\x1b[2Jape.exe"},
      {"c1\xC2\x9b"
       "31m.exe",
       "c1\\xc2\\x9b31m.exe"},
      {"back\\slash.exe", "back\\\\slash.exe"},
      // Not UTF-8: a lone 0x9B is an escape introducer to some terminals.
      {"lone\x9b"
       "2J.exe",
       "lone\\x9b2J.exe"},
      {"latin\xE9.exe", "latin\\xe9.exe"},
      {"\xE6\x97\xA5\xE6\x9C\xAC.exe", "\xE6\x97\xA5\xE6\x9C\xAC.exe"},  // UTF-8 as it is
  };
  fs::create_directory(scratch.path() / "odd");
  std::vector<std::string> expected;
  for (const auto& [name, shown] : names) {
    WriteBytes((scratch.path() / "odd" / name).string(), tree.before.at("sub/bad.exe"));
    expected.push_back((scratch.path() / "odd").string() + "/" + shown + ": infected");
  }
  const CleanerRun run = RunCleaner(scratch.path(), {"odd"});
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(run.lines, Sorted(expected));

  // The messages on standard error name files by the same rule: a damaged
  // archive and an image whose name would clear the screen and set the
  // window's title.
  fs::create_directory(scratch.path() / "said");
  const std::string title = "\x1b]0;owned\x07\x1b[2J";
  WriteBytes((scratch.path() / "said" / (title + ".zip")).string(),
             {'P', 'K', 3, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  WriteBytes((scratch.path() / "said" / (title + "\x9b.img")).string(),
             std::vector<uint8_t>(4096, 0xF6));
  const std::string locked = "said/" + title + "\x9b.exe";
  WriteBytes((scratch.path() / locked).string(), tree.before.at("sub/bad.exe"));
  // flock(1) holds a lock on the program while krizclean tries to clean it.
  const CleanerRun said = RunCleaner(scratch.path(), {"--inside", "--clean", "said"}, "", "true",
                                     KRIZCLEAN_PATH, "flock " + Quoted(locked));
  EXPECT_NE(said.err.find("locked"), std::string::npos) << said.err;
  for (char c : said.err) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE((byte >= 0x20 && byte != 0x7F && byte != 0x9B) || c == '\n') << said.err;
  }
}

TEST_F(Cli, TheJsonFileIsWrittenWholeAtTheEndAndNothingElseIsReplaced) {
  // The results of an earlier run stay whole until the new ones take their
  // place: a run interrupted at its question would find them as they were.
  const fs::path file = scratch.path() / "results.json";
  const std::string earlier = "{\"earlier\": true}\n";
  { std::ofstream(file, std::ios::binary) << earlier; }
  fs::permissions(file, fs::perms(0640));
  const CleanerRun run =
      RunAsking(scratch.path(), {"--ask", "--json", "results.json", tree.root.string()},
                "await 1 && cp results.json during.json");
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_EQ(Slurp(scratch.path() / "during.json"), earlier);
  const nlohmann::json json = nlohmann::json::parse(Slurp(file));
  EXPECT_EQ(json["objects"].size(), 1u);
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0640));
  // Nothing is left beside it.
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(scratch.path())) {
    names.insert(entry.path().filename().string());
  }
  EXPECT_EQ(names, (std::set<std::string>{"root", "results.json", "during.json"}));

  // `krizclean --json *.exe`: the first program is not taken for the JSON
  // file, and nothing is scanned.
  const CleanerRun refused =
      RunCleaner(tree.root, {"--json", "clean.exe", "near.exe", "sub/bad.exe"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("clean.exe: holds something other than JSON; not replaced"),
            std::string::npos)
      << refused.err;
  EXPECT_TRUE(refused.report.empty());
  for (const auto& [name, bytes] : tree.before) EXPECT_TRUE(tree.Unchanged(name)) << name;
}

TEST_F(Cli, TheFirstProgressLineWaitsUntilItsRateMeansSomething) {
  // On a terminal (script's), a scan that ends within a second shows no
  // rate at all, only how many files it handled in how long.
  const test_support::TempDir io;
  const std::string command = "cd " + Quoted(tree.root.string()) + " && " +
                              CommandLine(KRIZCLEAN_PATH, {"--all-files", "."});
  const auto start = std::chrono::steady_clock::now();
  std::system(("script -qec " + Quoted(command) + " /dev/null >" + Quoted(io.File("tty"))).c_str());
  const auto took = std::chrono::steady_clock::now() - start;
  const std::string screen = Slurp(io.File("tty"));
  EXPECT_NE(screen.find("krizclean: 5 files handled in"), std::string::npos) << screen;
  if (took < std::chrono::milliseconds(900)) {
    EXPECT_EQ(screen.find("/s, in"), std::string::npos) << screen;
  }
}

}  // namespace

// ---- Several jobs ----------------------------------------------------------

// A tree of many files in nested folders for the jobs to share: infected
// programs (some with a checksum, some renamed), clean ones, near misses and
// files that are no program. Its relative names and bytes.
std::map<std::string, std::vector<uint8_t>> ManyFiles(const Tree& tree) {
  std::map<std::string, std::vector<uint8_t>> files;
  const std::vector<uint8_t> library =
      test_support::InfectOrFail(test_support::KernelLibrary()).bytes;
  EXPECT_GT(library.size(), 8192u);
  for (int folder = 0; folder < 12; ++folder) {
    const std::string dir = "f" + std::to_string(folder) + (folder % 3 == 0 ? "/deeper/" : "/");
    for (int i = 0; i < 30; ++i) {
      const std::string name = dir + "p" + std::to_string(i);
      switch ((folder * 30 + i) % 6) {
        case 0:
          files[name + ".exe"] = tree.before.at("sub/bad.exe");
          break;
        case 1:
          files[name + ".bin"] = tree.before.at("sub/prog.bin");
          break;
        case 2:
          files[name + ".exe"] = tree.before.at("near.exe");
          break;
        case 3:
          files[name + ".txt"] = tree.before.at("readme.txt");
          // An infected library larger than what is read of a file's start
          // at first: its test reads on in the file.
          if (i % 4 == 3) files[dir + "k" + std::to_string(i) + "/Kernel32.dll"] = library;
          break;
        default:
          files[name + ".exe"] = tree.before.at("clean.exe");
          break;
      }
    }
  }
  return files;
}

void WriteFiles(const fs::path& root, const std::map<std::string, std::vector<uint8_t>>& files) {
  fs::remove_all(root);
  for (const auto& [name, bytes] : files) {
    fs::create_directories((root / name).parent_path());
    WriteBytes((root / name).string(), bytes);
  }
}

TEST_F(Cli, AnyNumberOfJobsGivesTheOutputOfOne) {
  // Byte for byte: the status lines in the walk's order, the report, the
  // JSON, standard error and the exit status; cleaning leaves the same
  // bytes. The tree is made anew at the same place before each run.
  const fs::path many = scratch.path() / "many";
  const auto files = ManyFiles(tree);
  const std::vector<std::vector<std::string>> modes = {
      {"--scan-only", "--all-files", "--show-all"},
      {"--scan-only", "--json", "-"},
      {"--clean", "--all-files"},
      {"--clean", "--all-files", "--show-all", "--json", "-"},
  };
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode[0] + " " + mode.back());
    std::optional<CleanerRun> first;
    std::map<std::string, std::vector<uint8_t>> firstBytes;
    for (const char* jobs : {"1", "2", "8"}) {
      SCOPED_TRACE(jobs);
      WriteFiles(many, files);
      std::vector<std::string> args = mode;
      args.insert(args.end(), {"-j", jobs, many.string()});
      const CleanerRun run = RunCleaner(scratch.path(), args);
      EXPECT_EQ(run.status, 1) << run.err;
      std::map<std::string, std::vector<uint8_t>> bytes;
      for (const auto& [name, before] : files) bytes[name] = ReadBytes((many / name).string());
      if (!first) {
        first = run;
        firstBytes = bytes;
        continue;
      }
      EXPECT_EQ(run.out, first->out);
      EXPECT_EQ(run.err, first->err);
      EXPECT_EQ(run.status, first->status);
      EXPECT_TRUE(bytes == firstBytes);
    }
    // The one-job run itself cleaned, or left, what its mode says.
    const std::string cleanedTo = mode[0] == "--clean" ? "disinfected" : "infected";
    const std::string line = (many / "f0/deeper/p0.exe").string() + ": " + cleanedTo;
    const std::string entry = "\"status\": \"" + cleanedTo + "\"";
    EXPECT_NE(first->out.find(mode.back() == "-" ? entry : line), std::string::npos) << first->out;
  }
}

TEST_F(Cli, SeveralJobsAskOneQuestionAtATimeInTheWalksOrder) {
  // The same answers give the same questions, in the same order, and the
  // same results, whatever the number of jobs.
  const fs::path many = scratch.path() / "many";
  const auto files = ManyFiles(tree);
  std::string answers;
  for (int i = 0; i < 200; ++i) answers += i % 3 == 0 ? "s\n" : "d\n";
  std::optional<CleanerRun> first;
  for (const char* jobs : {"1", "8"}) {
    SCOPED_TRACE(jobs);
    WriteFiles(many, files);
    const CleanerRun run =
        RunCleaner(scratch.path(), {"--ask", "-j", jobs, many.string()}, answers);
    EXPECT_EQ(run.status, 1);
    if (!first) {
      first = run;
      continue;
    }
    EXPECT_EQ(run.err, first->err);
    EXPECT_EQ(run.out, first->out);
  }
  EXPECT_NE(first->err.find("is infected"), std::string::npos) << first->err;
  EXPECT_NE(first->out.find(": disinfected\n"), std::string::npos);
}

TEST_F(Cli, ControlCStopsEveryJobAfterTheFileInHand) {
  // Stopped while four jobs clean: every file is its infected original or
  // exactly clean, every file cleaned is reported so and counted, and none
  // that was left is.
  const fs::path many = scratch.path() / "many";
  std::map<std::string, std::vector<uint8_t>> files;
  for (int i = 0; i < 600; ++i) {
    files["d" + std::to_string(i % 6) + "/x" + std::to_string(i) + ".exe"] = tree.bad.bytes;
  }
  for (const char* wait : {"0.02", "0.1"}) {
    SCOPED_TRACE(wait);
    WriteFiles(many, files);
    const CleanerRun run = RunAsking(scratch.path(), {"--clean", "-q", "-j", "4", many.string()},
                                     std::string("sleep ") + wait + "; kill -INT $K");
    const std::set<std::string> lines(run.lines.begin(), run.lines.end());
    int cleaned = 0;
    for (const auto& [name, before] : files) {
      const std::vector<uint8_t> now = ReadBytes((many / name).string());
      const bool isClean = CleanedAsExpected(now, tree.bad);
      EXPECT_TRUE(isClean || now == before) << name;
      EXPECT_EQ(lines.count((many / name).string() + ": disinfected"), isClean ? 1u : 0u) << name;
      cleaned += isClean ? 1 : 0;
    }
    // Infected files found (all of them cleaned here), or a stop that came
    // before the first: then nothing was found, and not everything scanned.
    EXPECT_EQ(run.status, cleaned > 0 ? 1 : 2) << run.err;
    EXPECT_NE(run.report.find("disinfected: " + std::to_string(cleaned) + "\n"), std::string::npos)
        << run.report;
  }
}

// --exclude and --exclude-dir, matched against a name and against the path
// as shown, leave out the same files and folders whatever the number of
// jobs: no status line, nothing changed, counted apart from what was not
// scanned.
TEST_F(Cli, ExcludedFilesAndFoldersAreLeftOutAlikeByEveryWalk) {
  auto files = tree.before;
  files["old/bad.exe"] = tree.bad.bytes;
  files["old/deeper/bad.exe"] = tree.bad.bytes;
  const std::string bad = tree.Path("sub/bad.exe") + ": infected";
  const std::string old = tree.Path("old/bad.exe") + ": infected";
  const std::string older = tree.Path("old/deeper/bad.exe") + ": infected";
  struct Case {
    const char* name;
    std::vector<std::string> args;  // then the tree's root, unless `path`
    std::vector<std::string> lines;
    const char* excluded;  // the report's line, or nullptr for none
    const char* path = nullptr;
  };
  const Case cases[] = {
      {"nothing excluded", {}, {bad, old, older}, nullptr},
      {"a file's name", {"--exclude", "bad.exe"}, {}, "Excluded: 3 files, 0 folders"},
      {"a file's path",
       {"--exclude", tree.Path("sub/bad.exe")},
       {old, older},
       "Excluded: 1 file, 0 folders"},
      {"a folder's name", {"--exclude-dir", "old"}, {bad}, "Excluded: 0 files, 1 folder"},
      {"a folder's path, '*' across folders",
       {"--exclude-dir", "*/old/*"},
       {bad, old},
       "Excluded: 0 files, 1 folder"},
      {"given again",
       {"--exclude-dir", "sub", "--exclude-dir=deep*", "--exclude", "nothing"},
       {old},
       "Excluded: 0 files, 2 folders"},
      {"a PATH named is scanned, whatever matches it",
       {"--exclude-dir", "sub", "--exclude", "*.exe"},
       {bad},
       "Excluded: 0 files, 0 folders",
       "sub/bad.exe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<CleanerRun> first;
    for (const char* jobs : {"1", "2"}) {
      SCOPED_TRACE(jobs);
      WriteFiles(tree.root, files);
      std::vector<std::string> args = {"--clean", "-j", jobs};
      args.insert(args.end(), c.args.begin(), c.args.end());
      args.push_back(c.path != nullptr ? tree.Path(c.path) : tree.root.string());
      const CleanerRun run = RunCleaner(scratch.path(), args);
      std::vector<std::string> lines;
      for (std::string line : c.lines) {
        lines.push_back(line.replace(line.size() - 8, 8, "disinfected"));
      }
      EXPECT_EQ(run.lines, Sorted(lines));
      EXPECT_EQ(run.status, lines.empty() ? 0 : 1) << run.err;
      EXPECT_EQ(run.report.find("Excluded: ") != std::string::npos, c.excluded != nullptr);
      if (c.excluded != nullptr) {
        EXPECT_NE(run.report.find(std::string(c.excluded) + "\nNot scanned: 0 files, 0 folders\n"),
                  std::string::npos)
            << run.report;
      }
      // What was excluded was not touched.
      for (const auto& [name, bytes] : files) {
        const bool listed =
            std::count(lines.begin(), lines.end(), tree.Path(name) + ": disinfected") != 0;
        if (!listed) {
          EXPECT_EQ(ReadBytes(tree.Path(name)), bytes) << name;
        }
      }
      if (first) {
        EXPECT_EQ(run.out, first->out);
        EXPECT_EQ(run.err, first->err);
      } else {
        first = run;
      }
    }
  }
  // The counts are in the JSON too, and a pattern is needed.
  WriteFiles(tree.root, files);
  const CleanerRun json = RunCleaner(
      scratch.path(), {"--json", "-", "--exclude-dir", "old", "--exclude", "*/sub/*", tree.root});
  EXPECT_EQ(json.status, 0) << json.err;
  const nlohmann::json document = nlohmann::json::parse(json.out);
  EXPECT_EQ(document["excluded"], nlohmann::json({{"files", 1}, {"folders", 1}}));
  EXPECT_EQ(document["not_scanned"], nlohmann::json({{"files", 0}, {"folders", 0}}));
  EXPECT_TRUE(document["objects"].empty());
  const CleanerRun empty = RunCleaner(scratch.path(), {"--exclude", "", tree.root});
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.err, "krizclean: --exclude needs a pattern\nTry 'krizclean --help'\n");
}

// The run's own backup folder, inside the tree it cleans with every file
// looked at: never walked, so its backups are never cleaned by the run that
// made them or by the next, by any number of jobs, and by whatever name the
// folder is given.
TEST_F(Cli, TheBackupFolderIsNeverScannedAndItsBackupsNeverCleaned) {
  const fs::path folder = tree.root / "zbk";
  fs::create_directory_symlink("root/zbk", scratch.path() / "link");
  const std::vector<uint8_t> program = tree.before.at("sub/prog.bin");
  for (const std::string& backup : {folder.string(), (scratch.path() / "link").string()}) {
    for (const char* jobs : {"1", "2"}) {
      SCOPED_TRACE(backup + " -j " + jobs);
      WriteFiles(tree.root, tree.before);
      fs::create_directory(folder);  // where the link leads
      const std::vector<std::string> args = {"--clean", "--all-files",     "-j", jobs, "--backup",
                                             backup,    tree.root.string()};
      const CleanerRun cleaned = RunCleaner(scratch.path(), args);
      EXPECT_EQ(cleaned.status, 1) << cleaned.err;
      EXPECT_EQ(cleaned.lines, Sorted({tree.Path("sub/bad.exe") + ": disinfected",
                                       tree.Path("sub/prog.bin") + ": disinfected"}));
      // Two infected files, two cleaned: none of their backups besides.
      EXPECT_NE(cleaned.report.find("disinfected: 2\n"), std::string::npos) << cleaned.report;
      EXPECT_NE(cleaned.report.find("Excluded: 0 files, 1 folder\n"), std::string::npos);
      std::set<std::vector<uint8_t>> backups;
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".kzb") backups.insert(ReadBytes(entry.path().string()));
      }
      EXPECT_EQ(backups, (std::set<std::vector<uint8_t>>{tree.bad.bytes, program}));

      // The next run finds nothing left, and leaves the backups as they are.
      const CleanerRun again = RunCleaner(scratch.path(), args);
      EXPECT_EQ(again.status, 0) << again.err;
      EXPECT_TRUE(again.lines.empty()) << again.out;
      for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".kzb") {
          EXPECT_EQ(backups.count(ReadBytes(entry.path().string())), 1u) << entry.path();
        }
      }
    }
  }
  // Named as a PATH, the folder is said to be left out; one of its backups
  // is scanned, and never cleaned.
  const CleanerRun named =
      RunCleaner(scratch.path(), {"--clean", "--backup", folder.string(), folder.string()});
  EXPECT_EQ(named.status, 0) << named.err;
  EXPECT_TRUE(named.lines.empty());
  EXPECT_EQ(named.err,
            "krizclean: " + folder.string() + ": the backup folder of this run is not scanned\n");
  EXPECT_NE(named.report.find("Excluded: 0 files, 1 folder\n"), std::string::npos);
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() != ".kzb") continue;
    const std::vector<uint8_t> before = ReadBytes(entry.path().string());
    const CleanerRun kept = RunCleaner(
        scratch.path(), {"--clean", "--all-files", "--backup", "link", entry.path().string()});
    EXPECT_EQ(kept.status, 1) << kept.err;
    EXPECT_EQ(kept.lines, std::vector<std::string>{entry.path().string() + ": infected"});
    EXPECT_NE(kept.err.find("a backup of this run: scanned, never cleaned"), std::string::npos);
    EXPECT_EQ(ReadBytes(entry.path().string()), before);
  }
}

// A restore's status lines (the report's lines name no file).
std::vector<std::string> Files(const CleanerRun& run) {
  std::vector<std::string> files;
  for (const std::string& line : run.lines) {
    if (line.starts_with("/")) files.push_back(line);
  }
  return files;
}

// --restore puts back what --backup kept, each original only over what
// cleaning made of it (unless --force), says how each one stands, and
// records in the manifest what it put back.
TEST_F(Cli, RestorePutsBackTheKeptOriginalsOverTheirCleanedFormsOnly) {
  const std::string bk = (scratch.path() / "bk").string();
  const std::string bad = tree.Path("sub/bad.exe"), prog = tree.Path("sub/prog.bin");
  const std::vector<uint8_t> progBytes = tree.before.at("sub/prog.bin");
  const CleanerRun cleaned = RunCleaner(
      scratch.path(), {"--clean", "--all-files", "-q", "--backup", "bk", tree.root.string()});
  ASSERT_EQ(cleaned.status, 1) << cleaned.err;
  const std::string manifest = Slurp(fs::path(bk) / "manifest.txt");

  // Under a PATH only: the other file stays clean.
  CleanerRun one = RunCleaner(scratch.path(), {"--restore", "bk", "root/sub/bad.exe"});
  EXPECT_EQ(one.status, 0) << one.err;
  EXPECT_EQ(Files(one), std::vector<std::string>{bad + ": restored"});
  EXPECT_EQ(tree.Now("sub/bad.exe"), tree.bad.bytes);
  EXPECT_NE(tree.Now("sub/prog.bin"), progBytes);
  for (const auto& entry : fs::directory_iterator(tree.root / "sub")) {
    EXPECT_NE(entry.path().extension(), ".kzj") << entry.path();
  }
  const std::string after = Slurp(fs::path(bk) / "manifest.txt");
  ASSERT_EQ(after.compare(0, manifest.size(), manifest), 0);
  const std::string record = after.substr(manifest.size());
  EXPECT_TRUE(record.starts_with("restored\t") && record.ends_with("\t" + bad + "\n")) << record;

  // A file edited since it was cleaned is kept, unless forced; what is back
  // already is not written again.
  std::vector<uint8_t> edited = tree.Now("sub/prog.bin");
  edited.push_back('!');
  WriteBytes(prog, edited);
  CleanerRun kept = RunCleaner(scratch.path(), {"--restore", bk});
  EXPECT_EQ(kept.status, 2) << kept.err;
  EXPECT_EQ(Files(kept), Sorted({bad + ": already restored", prog + ": changed since, kept"}));
  EXPECT_EQ(tree.Now("sub/prog.bin"), edited);
  // The same as JSON and as JSON Lines, with a PATH under which nothing is
  // kept.
  const std::string nothing = (scratch.path() / "elsewhere").string();
  const CleanerRun json =
      RunCleaner(scratch.path(), {"--restore", bk, "--json", "-", tree.root.string(), nothing});
  EXPECT_EQ(json.status, 2) << json.err;
  const nlohmann::json document = nlohmann::json::parse(json.out);
  EXPECT_EQ(document["schema"], 1);
  EXPECT_EQ(document["action"], "restore");
  std::set<std::pair<std::string, int>> statuses;
  for (const nlohmann::json& object : document["objects"]) {
    statuses.insert({object["path"].get<std::string>(), object["code"].get<int>()});
  }
  EXPECT_EQ(statuses, (std::set<std::pair<std::string, int>>{{bad, 1}, {prog, 2}}));
  EXPECT_EQ(document["errors"][0]["path"], nothing);
  EXPECT_EQ(document["counts"]["changed since, kept"], 1);
  EXPECT_EQ(document["exit_status"], 2);
  const CleanerRun streamed = RunCleaner(scratch.path(), {"--restore", bk, "--json-lines", "-"});
  const std::vector<nlohmann::json> records = Records(streamed.out);
  ASSERT_EQ(records.size(), 3u) << streamed.out;
  EXPECT_EQ(records[0]["type"], "restore");
  EXPECT_EQ(records[2]["type"], "summary");
  EXPECT_EQ(records[2]["counts"]["already restored"], 1);
  CleanerRun forced = RunCleaner(scratch.path(), {"--restore", bk, "--force", prog});
  EXPECT_EQ(forced.status, 0) << forced.err;
  EXPECT_EQ(Files(forced), std::vector<std::string>{prog + ": restored"});
  EXPECT_EQ(tree.Now("sub/prog.bin"), progBytes);

  // Backups gone or damaged are said so, and nothing is written.
  const CleanerRun again = RunCleaner(
      scratch.path(), {"--clean", "--all-files", "-q", "--backup", bk, tree.root.string()});
  ASSERT_EQ(again.status, 1) << again.err;
  const std::vector<uint8_t> badCleaned = tree.Now("sub/bad.exe");
  const std::vector<uint8_t> progCleaned = tree.Now("sub/prog.bin");
  for (const auto& entry : fs::directory_iterator(bk)) {
    if (entry.path().extension() == ".kzb") fs::remove(entry.path());
  }
  CleanerRun missing = RunCleaner(scratch.path(), {"--restore", bk, bad});
  EXPECT_EQ(missing.status, 2) << missing.err;
  EXPECT_EQ(Files(missing), std::vector<std::string>{bad + ": backup missing"});
  const std::string lines = Slurp(fs::path(bk) / "manifest.txt");
  const size_t progLine = lines.rfind("prog.bin.");
  ASSERT_NE(progLine, std::string::npos);
  const std::string progBackup = lines.substr(progLine, lines.find('\t', progLine) - progLine);
  WriteBytes(bk + "/" + progBackup, tree.bad.bytes);  // another file's bytes
  CleanerRun damaged = RunCleaner(scratch.path(), {"--restore", bk, prog});
  EXPECT_EQ(damaged.status, 2) << damaged.err;
  EXPECT_EQ(Files(damaged), std::vector<std::string>{prog + ": backup damaged"});
  EXPECT_EQ(tree.Now("sub/bad.exe"), badCleaned);
  EXPECT_EQ(tree.Now("sub/prog.bin"), progCleaned);

  // Said before anything is done.
  const struct {
    std::vector<std::string> args;
    std::string err;
  } refused[] = {
      {{"--restore", "nowhere"},
       "nowhere: cannot restore from this folder: there is no such folder"},
      {{"--restore", bk, "--clean"},
       "--restore goes with --force, --quiet, --json, --json-lines and PATHs only"},
      {{"--force", bk}, "--force goes with --restore only"},
      {{"--restore", bk, "root/clean.exe"},
       tree.Path("clean.exe") + ": no original under it is kept in this backup folder"},
  };
  for (const auto& r : refused) {
    const CleanerRun run = RunCleaner(scratch.path(), r.args);
    EXPECT_EQ(run.status, 2) << r.err;
    EXPECT_NE(run.err.find("krizclean: " + r.err + "\n"), std::string::npos) << run.err;
    EXPECT_TRUE(Files(run).empty()) << r.err;
  }
}

// -x: a file system mounted inside the tree (a tmpfs, in a mount namespace
// of the run's own, so that nothing outlives the run) is not entered, by
// either walk; as a PATH of its own it is scanned.
TEST(CliMount, OneFileSystemDoesNotEnterAFolderOnAnotherDevice) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a file system needs root";
  if (std::system("unshare --mount --propagation private true 2>/dev/null") != 0) {
    GTEST_SKIP() << "no mount namespace can be made here (unshare --mount failed)";
  }
  const test_support::TempDir scratch;
  const Tree tree = MakeTree(scratch.path() / "root");
  const fs::path mount = tree.root / "mnt";
  fs::create_directory(mount);
  const std::string specimen = (scratch.path() / "specimen").string();
  WriteBytes(specimen, tree.bad.bytes);
  const std::string launcher =
      "unshare --mount --propagation private -- sh -c 'mount -t tmpfs tmpfs \"$1\" && mkdir "
      "\"$1\"/deeper && cp \"$2\" \"$1\"/deeper/in.exe && shift 2 && exec \"$@\"' sh " +
      Quoted(mount.string()) + " " + Quoted(specimen);
  const std::string bad = tree.Path("sub/bad.exe") + ": infected";
  const std::string inside = tree.Path("mnt/deeper/in.exe") + ": infected";
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> lines;
    const char* excluded;
  };
  const Case cases[] = {
      {{tree.root.string()}, {bad, inside}, nullptr},
      {{"-x", tree.root.string()}, {bad}, "Excluded: 0 files, 1 folder\n"},
      {{"--one-file-system", mount.string()}, {inside}, "Excluded: 0 files, 0 folders\n"},
  };
  for (const Case& c : cases) {
    std::optional<CleanerRun> first;
    for (const char* jobs : {"1", "2"}) {
      SCOPED_TRACE(c.args.front() + " -j " + jobs);
      std::vector<std::string> args = {"-j", jobs};
      args.insert(args.end(), c.args.begin(), c.args.end());
      const CleanerRun run = RunCleaner(scratch.path(), args, "", "true", KRIZCLEAN_PATH, launcher);
      EXPECT_EQ(run.status, 1) << run.err;
      EXPECT_EQ(run.lines, Sorted(c.lines));
      if (c.excluded != nullptr) {
        EXPECT_NE(run.report.find(c.excluded), std::string::npos) << run.report;
      }
      if (first) {
        EXPECT_EQ(run.out, first->out);
      } else {
        first = run;
      }
    }
  }
  // Nothing stays mounted.
  EXPECT_TRUE(fs::is_empty(mount));
}
