// krizclean run as a process over trees of specimens: its status lines, its
// JSON, its exit status, and what it changes on disk and what it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
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

// Runs krizclean in `cwd` with `input` on its standard input. The shell does
// the redirections and writes the exit status down.
CleanerRun RunCleaner(const fs::path& cwd, const std::vector<std::string>& args,
                      const std::string& input = "") {
  const test_support::TempDir io;
  { std::ofstream(io.path() / "in", std::ios::binary) << input; }
  std::string command = "cd " + Quoted(cwd.string()) + " && " + Quoted(KRIZCLEAN_PATH);
  for (const std::string& arg : args) command += " " + Quoted(arg);
  command += " <" + Quoted(io.File("in")) + " >" + Quoted(io.File("out")) + " 2>" +
             Quoted(io.File("err")) + "; echo $? >" + Quoted(io.File("rc"));
  std::system(command.c_str());

  CleanerRun run;
  run.status = std::stoi(Slurp(io.File("rc")));
  run.out = Slurp(io.File("out"));
  run.err = Slurp(io.File("err"));

  // Status lines come first (every path here is absolute, so none of them
  // starts like the report), then the report from its first counter line.
  size_t report = run.out.starts_with("clean: ") ? 0 : run.out.find("\nclean: ");
  if (report != std::string::npos && report != 0) ++report;
  const std::string lines = run.out.substr(0, std::min(report, run.out.size()));
  if (report != std::string::npos) run.report = run.out.substr(report);
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) run.lines.push_back(line);
  std::sort(run.lines.begin(), run.lines.end());
  return run;
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
    bool usage = false;  // the usage text follows on standard error
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
      {"two actions", {"-s", "-c", root}, 2, {}, "choose one of", true},
      {"--json without a value", {root, "--json"}, 2, {}, "needs a value", true},
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
    EXPECT_EQ(run.err.find("usage: krizclean") != std::string::npos, c.usage);
    // Argument errors stop before any scan, and so before any report.
    EXPECT_EQ(run.report.empty(), c.usage);
    for (const auto& [name, bytes] : tree.before) EXPECT_TRUE(tree.Unchanged(name)) << name;
  }
}

TEST_F(Cli, InterruptFinishesTheFileInWorkThenStops) {
  // Two infected files in one folder; the question about the first is
  // interrupted, then answered. That file is cleaned whole, the other one is
  // never reached.
  const test_support::TempDir io;
  const std::string script =
      "cd " + Quoted(io.path().string()) + " && mkfifo answers && { " + Quoted(KRIZCLEAN_PATH) +
      " --ask --all-files " + Quoted(tree.root.string()) +
      " <answers >out 2>err & pid=$!; exec 3>answers; n=0; "
      "until grep -q 'is infected' err; do n=$((n+1)); [ $n -lt 1000 ] || break; sleep 0.01; done; "
      "kill -INT $pid; echo d >&3; exec 3>&-; wait $pid; echo $? >rc; }";
  ASSERT_EQ(std::system(("timeout 30 sh -c " + Quoted(script)).c_str()), 0);
  EXPECT_EQ(std::stoi(Slurp(io.File("rc"))), 1);
  const std::string err = Slurp(io.File("err"));
  EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
  const std::string out = Slurp(io.File("out"));
  const bool badFirst = out.starts_with(tree.Path("sub/bad.exe") + ": disinfected\n");
  const bool progFirst = out.starts_with(tree.Path("sub/prog.bin") + ": disinfected\n");
  ASSERT_TRUE(badFirst || progFirst) << out;
  EXPECT_NE(out.find("disinfected: 1\n"), std::string::npos) << out;
  EXPECT_TRUE(tree.Unchanged(badFirst ? "sub/prog.bin" : "sub/bad.exe"));
  if (badFirst) {
    EXPECT_TRUE(CleanedAsExpected(tree.Now("sub/bad.exe"), tree.bad));
  }
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

TEST_F(Cli, NamesThatAreNotUtf8AreReplacedInTheJsonAndKeptInTheLines) {
  const std::string name = "caf\xE9.exe";  // Latin-1, as an old disk may hold it
  WriteBytes(tree.Path(name), tree.before.at("sub/bad.exe"));
  const CleanerRun json = RunCleaner(scratch.path(), {"--json", "-", tree.Path(name)});
  EXPECT_EQ(json.status, 1) << json.err;
  const nlohmann::json parsed = nlohmann::json::parse(json.out);
  ASSERT_EQ(parsed["objects"].size(), 1u);
  EXPECT_EQ(parsed["objects"][0]["path"], tree.Path("caf\xEF\xBF\xBD.exe"));

  const CleanerRun plain = RunCleaner(scratch.path(), {tree.Path(name)});
  EXPECT_EQ(plain.lines, std::vector<std::string>{tree.Path(name) + ": infected"});
}

}  // namespace
