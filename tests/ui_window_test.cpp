// krizclean.exe in a real window: started, clicked and typed at from this
// process as a user would, with drive D: as a folder of specimens. Each case
// reads back what the window shows and checks the files on D: afterwards.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/ui_driver.h"

namespace {

using test_support::ReadBytes;
using ui_test::Cleaner;
using ui_test::ControlText;
using ui_test::IsChecked;
using ui_test::Press;
using ui_test::TextOf;
using ui_test::WaitUntil;
using Bytes = std::vector<uint8_t>;
using Rows = std::vector<std::vector<std::string>>;

constexpr char kTitle[] = "Varnex Win32.Kriz.4050 cleaner";
constexpr char kStillInfected[] = "There are still infected objects in the scanned paths\r\n";
constexpr char kStopped[] = "Scan stopped; what was not reached was not scanned\r\n";

// The controls a user sees, by their ids in the window's templates.
enum Control {
  kExit = 1031,
  kStartScan = 1000,
  kScanOnly = 1002,
  kAskUser = 1003,
  kClean = 1004,
  kPathsList = 1009,
  kFilesList = 1010,
  kListedPaths = 1011,
  kAllPaths = 1012,
  kStopScan = 1013,
  kAddPath = 1014,
  kAllFiles = 1015,
  kSelectedTypes = 1016,
  kRemovePath = 1017,
  kScanLabel = 1023,
  kObjectLabel = 1024,
  kPathsFrame = 1027,
  kShowAll = 1028,
  kActionFrame = 1029,
  kTypesFrame = 1030,
  // The prompt.
  kDisinfect = 1018,
  kSkip = 1019,
  kQuit = 1021,
  kObjectLine = 1022,
  kInfectedWith = 1025,
  kFileWord = 1026,
};

// A specimen written to D: with the bytes a cleaning must leave behind.
struct Specimen {
  std::string path;
  Bytes bytes;
  Bytes cleaned;
};

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override { EmptyDriveD(); }

  static void EmptyDriveD() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("D:\\", error)) {
      std::filesystem::remove_all(entry.path(), error);
    }
  }

  // Writes `bytes` to D:\`name`, making its folders.
  static std::string Put(const std::string& name, const Bytes& bytes) {
    std::string path = "D:\\" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    test_support::WriteBytes(path, bytes);
    return path;
  }

  static Specimen Infected(const std::string& name, const Bytes& clean) {
    specimen::Infection infection = test_support::InfectOrFail(clean);
    Bytes cleaned = test_support::ExpectedRepairedBytes(infection);
    return Specimen{Put(name, infection.bytes), infection.bytes, cleaned};
  }
  static Specimen InfectedProgram(const std::string& name, uint32_t checkSum = 0) {
    return Infected(name, test_support::SmallProgram(checkSum));
  }
  // A file that stays as it is, whatever the scan does.
  static Specimen Unchanged(const std::string& name, const Bytes& bytes) {
    return Specimen{Put(name, bytes), bytes, bytes};
  }

  static void ExpectCleaned(const Specimen& file) {
    EXPECT_TRUE(ReadBytes(file.path) == file.cleaned) << file.path << " is not cleaned";
  }
  static void ExpectUntouched(const Specimen& file) {
    EXPECT_TRUE(ReadBytes(file.path) == file.bytes) << file.path << " has changed";
  }
};

// The report for the counts that the statuses of `rows` give; it lists one
// row per object when "Show all files" is on. The counts are the files'; the
// memory and the registry are listed apart ("ok" when they have no row).
std::string ReportFor(const Rows& rows, bool stopped = false) {
  std::map<std::string, int> count;
  std::string system[2] = {"ok", "ok"};
  for (const auto& row : rows) {
    if (row.at(0) == "memory") {
      system[0] = row.at(1);
    } else if (row.at(0) == "registry") {
      system[1] = row.at(1);
    } else {
      ++count[row.at(1)];
    }
  }
  int leftInfected = count["infected"];
  int notDisinfected = count["cannot disinfect"] + count["cannot delete"];
  int atReboot = count["disinfect at reboot"] + count["delete at reboot"];
  int changed = count["disinfected"] + count["deleted"];
  for (const std::string& status : system) {
    if (status == "infected" || status == "cannot disinfect") ++notDisinfected;
    if (status == "disinfect at reboot") ++atReboot;
  }
  std::string report = "clean: " + std::to_string(count["ok"]) +
                       "\r\nleft infected by user: " + std::to_string(count["infected"]) +
                       "\r\ndisinfected: " + std::to_string(count["disinfected"]) +
                       "\r\ndisinfect at reboot: " + std::to_string(count["disinfect at reboot"]) +
                       "\r\ndeleted: " + std::to_string(count["deleted"]) +
                       "\r\ndelete at reboot: " + std::to_string(count["delete at reboot"]) +
                       "\r\ncould not disinfect: " +
                       std::to_string(count["cannot disinfect"] + count["cannot delete"]) +
                       "\r\naccess denied: " + std::to_string(count["cannot open"]) + "\r\n\r\n" +
                       "memory: " + system[0] + "\r\nregistry: " + system[1] + "\r\n\r\n";
  if (stopped) report += kStopped;
  if (leftInfected + notDisinfected != 0) report += kStillInfected;
  if (leftInfected + notDisinfected + atReboot + changed == 0) report += "No viruses found";
  if (atReboot != 0) report += "You need to restart your computer to complete the disinfection";
  return report;
}

// The rows whose object lies on drive D:.
Rows RowsOnD(const Rows& rows) {
  Rows onD;
  for (const auto& row : rows) {
    if (row.at(0).rfind("D:\\", 0) == 0) onD.push_back(row);
  }
  return onD;
}

// Waits for the report box at the end of a scan; checks its caption and
// gives its text.
std::string TakeReport(Cleaner& cleaner) {
  HWND box = cleaner.WaitForMessageBox();
  if (box == nullptr) {
    ADD_FAILURE() << "no report";
    return {};
  }
  EXPECT_EQ(TextOf(box), kTitle);
  EXPECT_TRUE(ui_test::CaptionFits(box)) << "the report's caption is cut";
  return ui_test::MessageBoxText(box);
}

void CloseReport(Cleaner& cleaner) {
  HWND box = cleaner.OpenMessageBox();
  ASSERT_NE(box, nullptr);
  Press(box, IDOK);
  ASSERT_TRUE(WaitUntil([box] { return !IsWindow(box); }));
}

void Choose(HWND window, int id) {
  Press(window, id);
  ASSERT_TRUE(WaitUntil([&] { return IsChecked(window, id); })) << "control " << id;
}

// True when `window` is still open after its thread had time for every
// message posted to it.
bool StaysOpen(HWND window) {
  Sleep(300);
  return IsWindow(window) && IsWindowVisible(window);
}

// Waits until the keyboard's focus is in `window` (on it or on one of its
// controls), so that keys posted to the focus reach it.
bool FocusIn(HWND window) {
  return WaitUntil([window] {
    HWND focus = ui_test::FocusOf(window);
    return focus == window || (focus != nullptr && GetParent(focus) == window);
  });
}

void ExitAndExpectEnd(Cleaner& cleaner, HWND main) {
  Press(main, kExit);
  DWORD code = 1;
  ASSERT_TRUE(cleaner.WaitForExit(code)) << "the window did not close on Exit";
  EXPECT_EQ(code, 0u);
}

TEST_F(WindowTest, OpensWithTheDefaultsAndNeitherEnterNorEscapeClosesIt) {
  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(TextOf(main), kTitle);

  // Each button and option has its Alt+letter (after the "&").
  const std::pair<int, const char*> texts[] = {
      {kStartScan, "START &SCAN"},
      {kStopScan, "S&top scan"},
      {kExit, "E&xit"},
      {kAddPath, "&Add path"},
      {kRemovePath, "&Remove path"},
      {kPathsFrame, "Paths to scan"},
      {kListedPaths, "Scan only &listed paths"},
      {kAllPaths, "Scan all &paths"},
      {kActionFrame, "Action"},
      {kScanOnly, "Scan &only"},
      {kAskUser, "Ask &user"},
      {kClean, "&Clean"},
      {kTypesFrame, "File type selection"},
      {kAllFiles, "Scan all &files"},
      {kSelectedTypes, "Scan only *.&exe, Kernel32.dll and Krized.tt6 files"},
      {kShowAll, "S&how all files"},
      {kScanLabel, ""},
      {kObjectLabel, ""},
  };
  for (const auto& [id, text] : texts) EXPECT_EQ(ControlText(main, id), text) << "control " << id;

  const std::pair<int, bool> marks[] = {
      {kAllPaths, true}, {kListedPaths, false},  {kClean, true},     {kScanOnly, false},
      {kAskUser, false}, {kSelectedTypes, true}, {kAllFiles, false}, {kShowAll, false},
  };
  for (const auto& [id, checked] : marks)
    EXPECT_EQ(IsChecked(main, id), checked) << "control " << id;

  HWND paths = GetDlgItem(main, kPathsList);
  HWND files = GetDlgItem(main, kFilesList);
  EXPECT_EQ(cleaner.ColumnTitles(paths, 2), std::vector<std::string>{"Paths to scan"});
  EXPECT_EQ(cleaner.ColumnTitles(files, 3), (std::vector<std::string>{"Scanned files", "status"}));
  EXPECT_EQ(cleaner.RowCount(paths), 0);
  EXPECT_EQ(cleaner.RowCount(files), 0);
  // The columns fit their lists: no horizontal scroll bar under them.
  EXPECT_EQ(GetWindowLongA(paths, GWL_STYLE) & WS_HSCROLL, 0);
  EXPECT_EQ(GetWindowLongA(files, GWL_STYLE) & WS_HSCROLL, 0);
  ui_test::SaveScreenshot(main, "main-window-before-scan");

  // Enter (no button is a default one) and Escape leave the window open:
  // a dialog that is a program's main window ends by Exit and the close box.
  for (WORD key : {WORD{VK_RETURN}, WORD{VK_ESCAPE}}) {
    ui_test::PostKey(main, key);
    EXPECT_TRUE(StaysOpen(main)) << "key " << key;
    EXPECT_EQ(cleaner.OpenMessageBox(), nullptr);
  }
  PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  DWORD code = 1;
  ASSERT_TRUE(cleaner.WaitForExit(code));
  EXPECT_EQ(code, 0u);
}

// Tab visits the controls in the layout's order, top to bottom and left to
// right (the paths' left column before the list beside it), and comes round;
// a group of options is one stop.
TEST_F(WindowTest, TabFollowsTheLayout) {
  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  // Each stop by the first control of its group.
  auto stop = [&](HWND focus) {
    int id = GetDlgCtrlID(focus);
    switch (id) {
      case kAllPaths:
        return static_cast<int>(kListedPaths);
      case kAskUser:
      case kClean:
        return static_cast<int>(kScanOnly);
      case kSelectedTypes:
        return static_cast<int>(kAllFiles);
      default:
        return id;
    }
  };
  const std::vector<int> order = {kListedPaths, kAddPath,   kRemovePath, kPathsList,
                                  kScanOnly,    kStartScan, kStopScan,   kAllFiles,
                                  kFilesList,   kShowAll,   kExit};
  ASSERT_TRUE(WaitUntil([&] { return ui_test::FocusOf(main) != nullptr; }));
  std::vector<int> visited = {stop(ui_test::FocusOf(main))};
  for (size_t press = 0; press < order.size(); ++press) {
    HWND before = ui_test::FocusOf(main);
    ui_test::PostKey(main, VK_TAB);
    ASSERT_TRUE(WaitUntil([&] { return ui_test::FocusOf(main) != before; })) << press;
    visited.push_back(stop(ui_test::FocusOf(main)));
  }
  auto first = std::find(order.begin(), order.end(), visited[0]);
  ASSERT_NE(first, order.end()) << "the focus starts on control " << visited[0];
  std::vector<int> expected(first, order.end());
  expected.insert(expected.end(), order.begin(), first + 1);
  EXPECT_EQ(visited, expected);
  // Tab only moves the focus: the options stay as they were.
  EXPECT_TRUE(IsChecked(main, kAllPaths));
  EXPECT_TRUE(IsChecked(main, kClean));
  EXPECT_TRUE(IsChecked(main, kSelectedTypes));
  ExitAndExpectEnd(cleaner, main);
}

// Alt with the letter marked in a button's or an option's text presses the
// button or checks the option; no two controls share a letter.
TEST_F(WindowTest, AltLettersReachEveryButtonAndOption) {
  Cleaner cleaner("", "D:\\one");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  std::string letters;
  for (int id : {kListedPaths, kAllPaths, kAddPath, kRemovePath, kScanOnly, kAskUser, kClean,
                 kStartScan, kStopScan, kAllFiles, kSelectedTypes, kShowAll, kExit}) {
    std::string text = ControlText(main, id);
    size_t mark = text.find('&');
    ASSERT_TRUE(mark != std::string::npos && mark + 1 < text.size()) << text;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(text[mark + 1])));
    EXPECT_EQ(letters.find(letter), std::string::npos) << text << " repeats " << letter;
    letters += letter;
  }

  const std::pair<char, int> options[] = {
      {'U', kAskUser},       {'O', kScanOnly}, {'C', kClean},       {'F', kAllFiles},
      {'E', kSelectedTypes}, {'P', kAllPaths}, {'L', kListedPaths},
  };
  for (const auto& [letter, id] : options) {
    ui_test::PostAltKey(main, letter);
    EXPECT_TRUE(WaitUntil([&] { return IsChecked(main, id); }, 5000)) << "Alt+" << letter;
  }
  ui_test::PostAltKey(main, 'H');
  EXPECT_TRUE(WaitUntil([&] { return IsChecked(main, kShowAll); }, 5000)) << "Alt+H";

  HWND paths = GetDlgItem(main, kPathsList);
  ui_test::PostAltKey(main, 'A');
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(paths) == 1; }, 5000)) << "Alt+A";
  cleaner.SelectRow(paths, 0);
  ui_test::PostAltKey(main, 'R');
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(paths) == 0; }, 5000)) << "Alt+R";

  // The list is empty again and the paths' radios went back to every drive:
  // listed mode with no path scans nothing, at once.
  ui_test::PostAltKey(main, 'L');
  ASSERT_TRUE(WaitUntil([&] { return IsChecked(main, kListedPaths); }, 5000));
  ui_test::PostAltKey(main, 'S');
  TakeReport(cleaner);
  CloseReport(cleaner);
  ASSERT_TRUE(FocusIn(main));
  ui_test::PostAltKey(main, 'X');
  DWORD code = 1;
  ASSERT_TRUE(cleaner.WaitForExit(code)) << "Alt+X";
  EXPECT_EQ(code, 0u);
}

TEST_F(WindowTest, AutoStartAndCloseCleanEveryDriveAndEndWithoutReport) {
  std::vector<Specimen> infected = {
      InfectedProgram("SETUP.EXE", 0x1234),
      InfectedProgram("games\\old\\play.exe"),
      Infected("windows\\system\\KERNEL32.DLL", test_support::KernelLibrary()),
      Infected("windows\\Krized.tt6", test_support::KernelLibrary()),
  };
  specimen::InfectSpec nearMiss;
  nearMiss.nearMiss = specimen::NearMiss::SignatureOffByOne;
  std::vector<Specimen> left = {
      Unchanged("clean.exe", test_support::SmallProgram()),
      Unchanged("near.exe",
                test_support::InfectOrFail(test_support::SmallProgram(), nearMiss).bytes),
      // Not a selected type: never opened.
      Unchanged("games\\notes.dat", test_support::InfectOrFail(test_support::SmallProgram()).bytes),
  };

  Cleaner cleaner("/AutoStart /Close");
  DWORD code = 1;
  ASSERT_TRUE(cleaner.WaitForExitWithoutBox(code)) << "the program did not end by itself";
  EXPECT_EQ(code, 0u);
  for (const Specimen& file : infected) ExpectCleaned(file);
  for (const Specimen& file : left) ExpectUntouched(file);
}

// With /Backup:DIR each infected original is kept in DIR, with its manifest
// line, before it is cleaned: the switch in any letter case, and a relative
// DIR taken from the folder the program started in (the walk moves the
// current folder).
TEST_F(WindowTest, BackupKeepsEachOriginalBeforeItIsCleaned) {
  struct Case {
    const char* switchText;
    const char* startIn;
    const char* folder;
  };
  const Case cases[] = {
      {"/Backup:D:\\kept", "", "D:\\kept"},
      {"/backup:D:\\bk2", "", "D:\\bk2"},
      {"/Backup:relbk", "D:\\start", "D:\\start\\relbk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switchText);
    EmptyDriveD();
    std::filesystem::create_directories("D:\\start");
    std::vector<Specimen> infected = {
        InfectedProgram("SETUP.EXE", 0x1234),
        Infected("windows\\system\\KERNEL32.DLL", test_support::KernelLibrary()),
    };
    Cleaner cleaner(std::string("/AutoStart /Close ") + c.switchText, "", c.startIn);
    DWORD code = 1;
    ASSERT_TRUE(cleaner.WaitForExitWithoutBox(code)) << "the program did not end by itself";
    EXPECT_EQ(code, 0u);
    for (const Specimen& file : infected) ExpectCleaned(file);
    std::vector<Bytes> kept;
    std::string manifest;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(c.folder, error)) {
      Bytes bytes = ReadBytes(entry.path().string());
      if (entry.path().filename() == "manifest.txt") {
        manifest.assign(bytes.begin(), bytes.end());
      } else {
        EXPECT_EQ(entry.path().extension(), ".kzb");
        kept.push_back(bytes);
      }
    }
    EXPECT_EQ(kept.size(), infected.size());
    for (const Specimen& file : infected) {
      EXPECT_NE(std::find(kept.begin(), kept.end(), file.bytes), kept.end()) << file.path;
      EXPECT_NE(manifest.find("\t" + file.path + "\r\n"), std::string::npos) << manifest;
    }
  }
}

// A command line the program cannot take whole starts nothing: a mistyped
// switch is named in a box, and the program ends with 2 when it is closed.
TEST_F(WindowTest, AnUnknownSwitchIsToldAndNothingIsScanned) {
  Specimen file = InfectedProgram("SETUP.EXE");
  Cleaner cleaner("/AutoStart /Backup:D:\\kept /Clsoe");
  HWND box = cleaner.WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(TextOf(box), kTitle);
  EXPECT_EQ(ui_test::MessageBoxText(box).rfind("Unknown switch: /Clsoe\r\n", 0), 0u)
      << ui_test::MessageBoxText(box);
  Press(box, IDOK);
  DWORD code = 0;
  ASSERT_TRUE(cleaner.WaitForExit(code));
  EXPECT_EQ(code, 2u);
  ExpectUntouched(file);
}

// An infected program cannot be started: the program takes an infected
// specimen on D: for its own file, and its restart request is granted
// without being made (Wine would end the session).
TEST_F(WindowTest, AMemoryRepairCleansTheCleanerEndsTheWindowAndKeepsWarning) {
  Specimen own = InfectedProgram("cleaner\\krizclean.exe");
  SetEnvironmentVariableA("KRIZCLEAN_TEST_OWN_FILE", own.path.c_str());
  SetEnvironmentVariableA("KRIZCLEAN_TEST_NO_RESTART", "1");
  Cleaner cleaner("/AutoStart");
  SetEnvironmentVariableA("KRIZCLEAN_TEST_OWN_FILE", nullptr);
  SetEnvironmentVariableA("KRIZCLEAN_TEST_NO_RESTART", nullptr);

  HWND question = cleaner.WaitForMessageBox();
  ASSERT_NE(question, nullptr);
  EXPECT_EQ(TextOf(question), kTitle);
  EXPECT_TRUE(
      ui_test::MessageBoxText(question).starts_with("The memory is infected. If you continue"))
      << ui_test::MessageBoxText(question);
  Press(question, IDYES);

  // The main window ends at the quit request; the warning then comes back
  // after every OK, for as long as the program lives.
  for (int shown = 0; shown < 3; ++shown) {
    HWND warning = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
      warning = cleaner.OpenMessageBox();
      return warning != nullptr &&
             ui_test::MessageBoxText(warning) == "Memory is infected.\r\nRestart your computer.";
    })) << "warning "
        << shown;
    EXPECT_EQ(TextOf(warning), kTitle);
    EXPECT_TRUE(ui_test::CaptionFits(warning));
    Press(warning, IDOK);
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(warning); }));
  }
  ExpectCleaned(own);
}

TEST_F(WindowTest, AskUserTakesDisinfectSkipAndQuitFromThePrompt) {
  std::map<std::string, Specimen> files;
  for (const char* name : {"ask\\one.exe", "ask\\two.exe", "ask\\three.exe"}) {
    Specimen file = InfectedProgram(name);
    files[file.path] = file;
  }

  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  Choose(main, kAskUser);
  EXPECT_FALSE(IsChecked(main, kClean));
  Press(main, kStartScan);

  // The files come in the order the folder lists them: the first asked is
  // disinfected (its button), the second skipped (Escape), and the third
  // ends the scan (Alt+Q).
  enum Answer { kByDisinfect, kByEscape, kByAltQ };
  std::vector<std::string> asked;
  for (Answer answer : {kByDisinfect, kByEscape, kByAltQ}) {
    HWND prompt = cleaner.WaitForPrompt();
    ASSERT_NE(prompt, nullptr) << "no prompt " << asked.size() + 1;
    std::string object = ControlText(prompt, kObjectLine);
    ASSERT_EQ(files.count(object), 1u) << "the prompt names '" << object << "'";
    asked.push_back(object);
    EXPECT_EQ(TextOf(prompt), kTitle);
    EXPECT_EQ(ControlText(prompt, kFileWord), "The file");
    EXPECT_EQ(ControlText(prompt, kInfectedWith), "is infected with Win32.Kriz.4050");

    if (asked.size() == 1) {
      EXPECT_EQ(ControlText(prompt, kDisinfect), "&Disinfect");
      EXPECT_EQ(ControlText(prompt, kSkip), "&Skip");
      EXPECT_EQ(ControlText(prompt, kQuit), "&Quit");
      // The buttons run Disinfect, Skip, Quit from left to right.
      RECT left, middle, right;
      GetWindowRect(GetDlgItem(prompt, kDisinfect), &left);
      GetWindowRect(GetDlgItem(prompt, kSkip), &middle);
      GetWindowRect(GetDlgItem(prompt, kQuit), &right);
      EXPECT_LT(left.right, middle.left);
      EXPECT_LT(middle.right, right.left);
      // Centred on the desktop, not on the main window.
      RECT desktop, box;
      GetClientRect(GetDesktopWindow(), &desktop);
      GetWindowRect(prompt, &box);
      EXPECT_NEAR(box.left + box.right, desktop.left + desktop.right, 1);
      EXPECT_NEAR(box.top + box.bottom, desktop.top + desktop.bottom, 1);
      // The window goes on showing the scan behind the prompt.
      EXPECT_TRUE(WaitUntil([&] { return ControlText(main, kObjectLabel) == object; }));
      EXPECT_EQ(ControlText(main, kScanLabel), "Scanning:");
      ui_test::SaveScreenshot(prompt, "infection-prompt");

      // Enter does not answer: the Disinfect that follows is the answer.
      ASSERT_TRUE(FocusIn(prompt));
      ui_test::PostKey(prompt, VK_RETURN);
      EXPECT_TRUE(StaysOpen(prompt));
    }
    ASSERT_TRUE(FocusIn(prompt));
    switch (answer) {
      case kByDisinfect:
        Press(prompt, kDisinfect);
        break;
      case kByEscape:
        ui_test::PostKey(prompt, VK_ESCAPE);
        break;
      case kByAltQ:
        ui_test::PostAltKey(prompt, 'Q');
        break;
    }
    ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));
  }

  std::string report = TakeReport(cleaner);
  // The clean count holds the clean programs of drive C:. Quit stopped the
  // scan, and the report says so.
  ASSERT_EQ(report.rfind("clean: ", 0), 0u) << report;
  EXPECT_EQ(report.substr(report.find("\r\n")),
            "\r\nleft infected by user: 1\r\ndisinfected: 1\r\ndisinfect at reboot: 0\r\n"
            "deleted: 0\r\ndelete at reboot: 0\r\ncould not disinfect: 0\r\naccess denied: 0\r\n"
            "\r\nmemory: ok\r\nregistry: ok\r\n\r\n" +
                std::string(kStopped) + kStillInfected);
  // Quit records nothing for the third file.
  EXPECT_EQ(RowsOnD(cleaner.ListRows(GetDlgItem(main, kFilesList), 2)),
            (Rows{{asked[0], "disinfected"}, {asked[1], "infected"}}));
  CloseReport(cleaner);

  ExpectCleaned(files[asked[0]]);
  ExpectUntouched(files[asked[1]]);
  ExpectUntouched(files[asked[2]]);
  EXPECT_EQ(ControlText(main, kScanLabel), "");
  EXPECT_EQ(ControlText(main, kObjectLabel), "");
  ExitAndExpectEnd(cleaner, main);
}

TEST_F(WindowTest, ScanOnlyWithShowAllListsEveryObjectAndChangesNothing) {
  std::vector<Specimen> files = {
      InfectedProgram("a.exe"),
      InfectedProgram("deep\\er\\b.exe", 0x4321),
      Unchanged("clean.exe", test_support::SmallProgram()),
  };

  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  Choose(main, kScanOnly);
  Choose(main, kShowAll);
  Press(main, kStartScan);
  std::string report = TakeReport(cleaner);

  Rows rows = cleaner.ListRows(GetDlgItem(main, kFilesList), 2);
  ASSERT_GE(rows.size(), 2u);
  EXPECT_EQ(rows[0], (std::vector<std::string>{"memory", "ok"}));
  EXPECT_EQ(rows[1], (std::vector<std::string>{"registry", "ok"}));
  Rows onD = RowsOnD(rows);
  std::sort(onD.begin(), onD.end());
  EXPECT_EQ(onD, (Rows{{"D:\\a.exe", "infected"},
                       {"D:\\clean.exe", "ok"},
                       {"D:\\deep\\er\\b.exe", "infected"}}));
  // Every object has its row, so the rows give the report's counts.
  EXPECT_EQ(report, ReportFor(rows));
  CloseReport(cleaner);
  ui_test::SaveScreenshot(main, "main-window-after-scan");

  for (const Specimen& file : files) ExpectUntouched(file);
  ExitAndExpectEnd(cleaner, main);
}

TEST_F(WindowTest, ListedPathsWalkTheNewestFolderFirstAndNothingElse) {
  Specimen one = InfectedProgram("one\\x.exe");
  Specimen oneClean = Unchanged("one\\ok.exe", test_support::SmallProgram());
  Specimen two = InfectedProgram("two\\y.exe");
  Specimen three = InfectedProgram("three\\z.exe");

  // The second answer repeats the first: a folder is listed once.
  Cleaner cleaner("", "D:\\one;D:\\one;D:\\two");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  HWND paths = GetDlgItem(main, kPathsList);
  for (int click = 0; click < 3; ++click) Press(main, kAddPath);
  ASSERT_TRUE(WaitUntil([&] {
    Rows rows = cleaner.ListRows(paths, 1);
    return !rows.empty() && rows[0][0] == "D:\\two";
  }));
  EXPECT_EQ(cleaner.ListRows(paths, 1), (Rows{{"D:\\two"}, {"D:\\one"}}));
  EXPECT_TRUE(IsChecked(main, kListedPaths));
  EXPECT_FALSE(IsChecked(main, kAllPaths));

  Choose(main, kShowAll);
  Press(main, kStartScan);
  std::string report = TakeReport(cleaner);
  Rows rows = cleaner.ListRows(GetDlgItem(main, kFilesList), 2);
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0][0], "memory");
  EXPECT_EQ(rows[1][0], "registry");
  EXPECT_EQ(rows[2], (std::vector<std::string>{two.path, "disinfected"}));
  Rows fromOne(rows.begin() + 3, rows.end());
  std::sort(fromOne.begin(), fromOne.end());
  EXPECT_EQ(fromOne, (Rows{{oneClean.path, "ok"}, {one.path, "disinfected"}}));
  EXPECT_EQ(report, ReportFor(rows));
  CloseReport(cleaner);

  ExpectCleaned(one);
  ExpectCleaned(two);
  ExpectUntouched(oneClean);
  ExpectUntouched(three);
  ExitAndExpectEnd(cleaner, main);
}

// The window of `cleaner` with one listed path, the first answer of its
// folder browser, and "Ask user"; nullptr when it cannot be set up.
HWND ListOneFolderAndAsk(Cleaner& cleaner) {
  HWND main = cleaner.MainWindow();
  if (main == nullptr) return nullptr;
  HWND paths = GetDlgItem(main, kPathsList);
  Press(main, kAddPath);
  if (!WaitUntil([&] { return cleaner.RowCount(paths) == 1; })) return nullptr;
  Press(main, kAskUser);
  if (!WaitUntil([&] { return IsChecked(main, kAskUser); })) return nullptr;
  return main;
}

// `box`, a box of the scan's own, is the program's one box open, belongs to
// the main window and keeps it disabled: a click on START SCAN leaves it so.
void ExpectStartClickIgnored(Cleaner& cleaner, HWND main, HWND box) {
  EXPECT_EQ(GetWindow(box, GW_OWNER), main);
  EXPECT_FALSE(IsWindowEnabled(main));
  ui_test::Click(main, kStartScan);
  EXPECT_TRUE(StaysOpen(box));
  EXPECT_EQ(cleaner.OpenBoxes(), std::vector<HWND>{box});
}

// The memory warning and the prompt for the memory belong to the main window,
// which takes no click meanwhile: START SCAN starts no second scan. One scan,
// one prompt per file, one report, and rows and counts agree.
TEST_F(WindowTest, StartScanStartsNothingWhileTheMemoryBoxesAreUp) {
  Specimen own = InfectedProgram("own\\krizclean.exe");
  std::map<std::string, Specimen> files;
  for (const char* name : {"scan\\one.exe", "scan\\two.exe"}) {
    Specimen file = InfectedProgram(name);
    files[file.path] = file;
  }
  SetEnvironmentVariableA("KRIZCLEAN_TEST_OWN_FILE", own.path.c_str());
  SetEnvironmentVariableA("KRIZCLEAN_TEST_NO_RESTART", "1");
  Cleaner cleaner("", "D:\\scan");
  SetEnvironmentVariableA("KRIZCLEAN_TEST_OWN_FILE", nullptr);
  SetEnvironmentVariableA("KRIZCLEAN_TEST_NO_RESTART", nullptr);
  HWND main = ListOneFolderAndAsk(cleaner);
  ASSERT_NE(main, nullptr);
  // A click of the mouse reaches the window while no box is up.
  ui_test::Click(main, kShowAll);
  ASSERT_TRUE(WaitUntil([&] { return IsChecked(main, kShowAll); }));
  Press(main, kStartScan);

  HWND warning = cleaner.WaitForMessageBox();
  ASSERT_NE(warning, nullptr);
  ASSERT_EQ(TextOf(warning), kTitle);
  {
    SCOPED_TRACE("memory warning");
    ExpectStartClickIgnored(cleaner, main, warning);
  }
  Press(warning, IDNO);

  HWND prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);
  ASSERT_EQ(ControlText(prompt, kObjectLine), "The memory");
  {
    SCOPED_TRACE("prompt for the memory");
    ExpectStartClickIgnored(cleaner, main, prompt);
  }
  Press(prompt, kSkip);
  ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));

  // The files' prompts come from the walk, one for each file.
  std::vector<std::string> asked;
  for (size_t file = 0; file < files.size(); ++file) {
    prompt = cleaner.WaitForPrompt();
    ASSERT_NE(prompt, nullptr);
    asked.push_back(ControlText(prompt, kObjectLine));
    Press(prompt, kDisinfect);
    ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));
  }
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::string>{"D:\\scan\\one.exe", "D:\\scan\\two.exe"}));

  std::string report = TakeReport(cleaner);
  Rows rows = cleaner.ListRows(GetDlgItem(main, kFilesList), 2);
  CloseReport(cleaner);
  EXPECT_TRUE(StaysOpen(main));
  EXPECT_TRUE(cleaner.OpenBoxes().empty()) << "a second report or prompt";

  Rows sorted = rows;
  std::sort(sorted.begin() + std::min<ptrdiff_t>(2, std::ssize(sorted)), sorted.end());
  EXPECT_EQ(sorted, (Rows{{"memory", "infected"},
                          {"registry", "ok"},
                          {"D:\\scan\\one.exe", "disinfected"},
                          {"D:\\scan\\two.exe", "disinfected"}}));
  EXPECT_EQ(report, ReportFor(rows));
  for (const auto& [path, file] : files) ExpectCleaned(file);
  ExpectUntouched(own);
  ExitAndExpectEnd(cleaner, main);
}

// The report belongs to the main window too: a click on START SCAN starts no
// scan inside it, and a START SCAN command that reaches the window all the
// same (as a program could send it) is refused with "Scan is on".
TEST_F(WindowTest, StartScanStartsNothingWhileTheReportIsUp) {
  Cleaner cleaner("/ListedPaths /AutoStart");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  std::string report = TakeReport(cleaner);
  HWND box = cleaner.OpenMessageBox();
  ASSERT_NE(box, nullptr);
  HWND list = GetDlgItem(main, kFilesList);
  Rows rows = cleaner.ListRows(list, 2);
  ExpectStartClickIgnored(cleaner, main, box);

  Press(main, kStartScan);
  Sleep(300);
  for (HWND other : cleaner.OpenBoxes()) {
    if (other == box) continue;
    EXPECT_EQ(ui_test::MessageBoxText(other), "Scan is on");
    EXPECT_EQ(GetWindow(other, GW_OWNER), main);
    Press(other, IDOK);
    ASSERT_TRUE(WaitUntil([other] { return !IsWindow(other); }));
  }
  EXPECT_EQ(cleaner.OpenBoxes(), std::vector<HWND>{box});
  EXPECT_EQ(cleaner.ListRows(list, 2), rows);
  EXPECT_EQ(ui_test::MessageBoxText(box), report);
  CloseReport(cleaner);
  EXPECT_TRUE(StaysOpen(main));
  EXPECT_TRUE(cleaner.OpenBoxes().empty()) << "a second report";
  ExitAndExpectEnd(cleaner, main);
}

// Clicks a label of `window`, as often as it takes (under Wine a click that
// follows another window's activation closely is now and then lost), until
// the window is active; false when it never became active.
bool ActivateByClick(HWND window, int label) {
  for (int click = 0; click < 5; ++click) {
    ui_test::Click(window, label);
    if (WaitUntil([&] { return ui_test::ActiveOf(window) == window; }, 2000)) return true;
  }
  return false;
}

// A window of the driver's own made the active one, as when the user turns to
// another program; it goes with the object.
class AnotherProgram {
 public:
  AnotherProgram()
      : window_(CreateWindowExA(0, "STATIC", "another program", WS_POPUP | WS_VISIBLE | WS_BORDER,
                                0, 0, 160, 60, nullptr, nullptr, GetModuleHandleA(nullptr),
                                nullptr)) {
    SetForegroundWindow(window_);
  }
  ~AnotherProgram() { DestroyWindow(window_); }
  AnotherProgram(const AnotherProgram&) = delete;
  AnotherProgram& operator=(const AnotherProgram&) = delete;

 private:
  HWND window_;
};

// No key answers the prompt until the user picks a button on purpose: when it
// opens and whenever it is made active again, no button has the focus.
TEST_F(WindowTest, ThePromptGivesNoButtonTheFocusSoKeysAnswerNothing) {
  Specimen file = InfectedProgram("scan\\one.exe");
  Cleaner cleaner("", "D:\\scan");
  HWND main = ListOneFolderAndAsk(cleaner);
  ASSERT_NE(main, nullptr);
  Press(main, kStartScan);
  HWND prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);
  auto focusedButton = [&]() -> int {
    HWND focus = ui_test::FocusOf(prompt);
    for (int id : {kDisinfect, kSkip, kQuit}) {
      if (focus == GetDlgItem(prompt, id)) return id;
    }
    return 0;
  };

  // Keys are posted to the window with the focus: the prompt takes it from
  // START SCAN as it becomes active.
  ASSERT_TRUE(WaitUntil(
      [&] { return ui_test::ActiveOf(prompt) == prompt && ui_test::FocusOf(prompt) == prompt; }));
  EXPECT_EQ(focusedButton(), 0) << "a button has the focus as the prompt opens";
  for (int key : {VK_SPACE, VK_RETURN}) ui_test::PostKey(prompt, static_cast<WORD>(key));
  EXPECT_TRUE(StaysOpen(prompt));

  // Tab gives a button the focus on purpose; once another window was active,
  // the prompt does not give it back.
  ui_test::PostKey(prompt, VK_TAB);
  ASSERT_TRUE(WaitUntil([&] { return focusedButton() != 0; }));
  {
    AnotherProgram other;
    ASSERT_TRUE(WaitUntil([&] { return ui_test::ActiveOf(prompt) != prompt; }, 5000));
  }
  ASSERT_TRUE(ActivateByClick(prompt, kInfectedWith));
  Sleep(100);
  EXPECT_EQ(focusedButton(), 0) << "a button has the focus as the prompt is active again";
  for (int key : {VK_SPACE, VK_RETURN}) ui_test::PostKey(prompt, static_cast<WORD>(key));
  EXPECT_TRUE(StaysOpen(prompt));
  ExpectUntouched(file);

  // Tab, then Space: the first button, Disinfect, answers.
  ui_test::PostKey(prompt, VK_TAB);
  ASSERT_TRUE(WaitUntil([&] { return focusedButton() == kDisinfect; }));
  ui_test::PostKey(prompt, VK_SPACE);
  ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));
  TakeReport(cleaner);
  CloseReport(cleaner);
  ExpectCleaned(file);
  ExitAndExpectEnd(cleaner, main);
}

// The prompt of the walk's thread belongs to the main window, on its thread:
// it is in front of it (also when the window was the last one clicked), and
// the window takes no click while it is up. A file that then cannot be
// cleaned is a row with its reason, not a box.
TEST_F(WindowTest, TheWalksPromptBelongsToTheMainWindowAndAFailureIsARowNotABox) {
  Specimen file = InfectedProgram("scan\\one.exe");
  Cleaner cleaner("/Backup:D:\\bk", "D:\\scan");
  HWND main = ListOneFolderAndAsk(cleaner);
  ASSERT_NE(main, nullptr);
  // The backup folder turns into a file: the cleaning the prompt asks for
  // cannot keep the original, so it is not made, and a message says so.
  std::filesystem::remove_all("D:\\bk");
  test_support::WriteBytes("D:\\bk", Bytes{1});
  ASSERT_TRUE(ActivateByClick(main, kScanLabel));
  Press(main, kStartScan);

  HWND prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);
  EXPECT_TRUE(WaitUntil([&] { return ui_test::ActiveOf(main) == prompt; }))
      << "the prompt is not the window in front";
  {
    SCOPED_TRACE("prompt for a file");
    ExpectStartClickIgnored(cleaner, main, prompt);
  }
  Press(prompt, kDisinfect);
  ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));

  // Why the file was not cleaned is no box that waits for a click: it is
  // said in its row's tip, and the report follows at once.
  HWND report = cleaner.WaitForMessageBox();
  ASSERT_NE(report, nullptr);
  EXPECT_NE(ui_test::MessageBoxText(report).find("could not disinfect: 1"), std::string::npos)
      << ui_test::MessageBoxText(report);
  HWND list = GetDlgItem(main, kFilesList);
  EXPECT_EQ(RowsOnD(cleaner.ListRows(list, 2)), (Rows{{file.path, "cannot disinfect"}}));
  CloseReport(cleaner);
  Rows rows = cleaner.ListRows(list, 2);
  for (size_t at = 0; at < rows.size(); ++at) {
    if (rows[at][0] != file.path) continue;
    RECT row = cleaner.RowRect(list, static_cast<int>(at));
    ui_test::MovePointer(POINT{row.left + 20, (row.top + row.bottom) / 2});
    EXPECT_TRUE(WaitUntil(
        [&] { return cleaner.ShownTip().starts_with(file.path + "\r\nnot cleaned: "); }, 10000))
        << "tip: " << cleaner.ShownTip();
  }
  ExpectUntouched(file);
  ExitAndExpectEnd(cleaner, main);
}

// A path of about 240 characters in folders whose names have spaces (as long
// as a status line holds whole): the prompt, the "Scanning:" label and the
// files list shorten it in the middle, on one line, so that the drive and the
// file's name stay in sight.
TEST_F(WindowTest, ALongPathKeepsItsDriveAndFileNameInSight) {
  const std::string name = "the-file-asked-about.exe";
  std::string folders = "scan\\";
  for (int n = 1; folders.size() + name.size() < 210; ++n) {
    folders += "A folder with a long name " + std::to_string(n) + "\\";
  }
  Specimen file = InfectedProgram(folders + name);
  ASSERT_GE(file.path.size(), 213u);
  ASSERT_LT(file.path.size(), 248u);

  Cleaner cleaner("", "D:\\scan");
  HWND main = ListOneFolderAndAsk(cleaner);
  ASSERT_NE(main, nullptr);
  Press(main, kStartScan);
  HWND prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);

  auto expectShortened = [&](const std::string& shown, const char* where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(shown.rfind("D:\\", 0), 0u) << shown;
    EXPECT_TRUE(shown.ends_with("\\" + name)) << shown;
    EXPECT_NE(shown.find("..."), std::string::npos) << shown;
    EXPECT_LT(shown.size(), file.path.size()) << shown;
  };
  expectShortened(ControlText(prompt, kObjectLine), "prompt");
  ASSERT_TRUE(WaitUntil([&] { return ControlText(main, kObjectLabel).ends_with(name); }));
  expectShortened(ControlText(main, kObjectLabel), "Scanning: label");
  ui_test::SaveScreenshot(prompt, "infection-prompt-long-path");
  // The prompt opens on the desktop's centre, over the label: below the
  // window for the window's picture.
  RECT window;
  GetWindowRect(main, &window);
  SetWindowPos(prompt, nullptr, window.left, window.bottom + 4, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ui_test::SaveScreenshot(main, "main-window-long-path");

  // The prompt's close box answers Skip.
  PostMessageA(prompt, WM_SYSCOMMAND, SC_CLOSE, 0);
  TakeReport(cleaner);
  HWND list = GetDlgItem(main, kFilesList);
  Rows rows = cleaner.ListRows(list, 2);
  ASSERT_EQ(rows.size(), 1u);  // the memory and the registry are clean: no rows
  EXPECT_EQ(rows[0][1], "infected");
  CloseReport(cleaner);

  // The files list shortens the path in the middle too, and shows it whole as
  // a tip while the pointer rests on its row.
  expectShortened(rows[0][0], "files list");
  RECT row = cleaner.RowRect(list, 0);
  ui_test::MovePointer(POINT{row.left + 40, (row.top + row.bottom) / 2});
  // The tip wraps the path after its separators, within the screen.
  auto unwrapped = [](std::string text) {
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 2);
    return text;
  };
  EXPECT_TRUE(WaitUntil([&] { return unwrapped(cleaner.ShownTip()) == file.path; }, 10000))
      << "tip: " << cleaner.ShownTip() << " (of " << cleaner.Tips().size() << " tips)";
  const std::string tip = cleaner.ShownTip();
  EXPECT_NE(tip.find("\\\r\n"), std::string::npos) << tip;
  for (HWND shown : cleaner.Tips()) {
    if (!IsWindowVisible(shown)) continue;
    RECT area{};
    GetWindowRect(shown, &area);
    EXPECT_LE(area.right, GetSystemMetrics(SM_CXSCREEN)) << "the tip runs off the screen";
  }
  ui_test::SaveScreenshot(main, "files-list-long-path");
  ExitAndExpectEnd(cleaner, main);
}

// The system's folder browser opened by Add path after a Clean scan that
// cleaned files, with "My Computer" opened in it: the program lives on, and
// the browser closes as it opened. (The 32-bit program run through qemu-i386
// ends here, after any scan: a fault that qemu reports as uncaught and that
// Wine's own exception handling never sees.)
TEST_F(WindowTest, TheFolderBrowserOpensMyComputerAfterACleanScan) {
  std::vector<Specimen> files = {InfectedProgram("scan\\one.exe", 0x1234),
                                 InfectedProgram("scan\\deep\\two.exe")};
  Cleaner cleaner("", "D:\\scan");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  Press(main, kAddPath);
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(GetDlgItem(main, kPathsList)) == 1; }));
  Press(main, kStartScan);
  TakeReport(cleaner);
  CloseReport(cleaner);
  for (const Specimen& file : files) ExpectCleaned(file);

  // The second Add path has no scripted answer: the real browser opens.
  Press(main, kAddPath);
  HWND browser = nullptr;
  HWND tree = nullptr;
  ASSERT_TRUE(WaitUntil([&] {
    for (HWND box : cleaner.OpenBoxes()) {
      if (HWND list = FindWindowExA(box, nullptr, "SysTreeView32", nullptr)) {
        browser = box;
        tree = list;
      }
    }
    return browser != nullptr;
  }));
  EXPECT_EQ(GetWindow(browser, GW_OWNER), main);
  // Every folder on the desktop is opened, "My Computer" among them: the
  // browser lists what each holds.
  HTREEITEM desktop = TreeView_GetRoot(tree);
  ASSERT_NE(desktop, nullptr);
  int listed = 0;
  for (HTREEITEM item = TreeView_GetChild(tree, desktop); item != nullptr;
       item = TreeView_GetNextSibling(tree, item)) {
    TreeView_SelectItem(tree, item);
    TreeView_Expand(tree, item, TVE_EXPAND);
    ASSERT_TRUE(IsWindow(browser)) << "the browser is gone";
    if (TreeView_GetChild(tree, item) != nullptr) ++listed;
  }
  EXPECT_GT(listed, 0);
  ui_test::SaveScreenshot(browser, "folder-browser-after-clean");
  Press(browser, IDCANCEL);
  ASSERT_TRUE(WaitUntil([browser] { return !IsWindow(browser); }));
  EXPECT_EQ(cleaner.RowCount(GetDlgItem(main, kPathsList)), 1);
  ExitAndExpectEnd(cleaner, main);
}

// Scans that last: every file of a tree on D: large enough that Stop scan and
// Exit come before its end, each clean one listed.
class LongScanTest : public WindowTest {
 protected:
  static constexpr int kFolders = 100;
  static constexpr int kFilesPerFolder = 100;

  static void SetUpTestSuite() {
    EmptyDriveD();
    Bytes small(16, 0x20);
    for (int folder = 0; folder < kFolders; ++folder) {
      for (int file = 0; file < kFilesPerFolder; ++file) {
        Put("many\\" + std::to_string(folder) + "\\" + std::to_string(file) + ".txt", small);
      }
    }
  }
  void SetUp() override {}  // the tree stays for every case

  // Starts a scan of all files with "Show all files" and waits until its
  // rows come in.
  static void StartLongScan(Cleaner& cleaner, HWND main) {
    Choose(main, kAllFiles);
    Choose(main, kShowAll);
    Press(main, kStartScan);
    HWND files = GetDlgItem(main, kFilesList);
    ASSERT_TRUE(WaitUntil([&] {
      return ControlText(main, kScanLabel) == "Scanning:" && cleaner.RowCount(files) > 2;
    }));
  }

  // The report of a scan ended early: its counts are the rows listed, it
  // says that the scan was stopped, and the tree on D: was not walked to its
  // end.
  static void ExpectStoppedReport(Cleaner& cleaner, HWND main) {
    std::string report = TakeReport(cleaner);
    Rows rows = cleaner.ListRows(GetDlgItem(main, kFilesList), 2);
    EXPECT_EQ(report, ReportFor(rows, true));
    EXPECT_LT(RowsOnD(rows).size(), size_t{kFolders * kFilesPerFolder});
    ui_test::SaveScreenshot(cleaner.OpenMessageBox(), "report-stopped-scan");
  }
};

// A second START SCAN says "Scan is on" and changes nothing of the scan; a
// box left unanswered ends with the scan, before its report.
TEST_F(LongScanTest, StartDuringAScanSaysScanIsOnAndTheBoxEndsWithTheScan) {
  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  ASSERT_NO_FATAL_FAILURE(StartLongScan(cleaner, main));

  HWND files = GetDlgItem(main, kFilesList);
  Press(main, kStartScan);
  HWND box = cleaner.WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(TextOf(box), kTitle);
  EXPECT_TRUE(ui_test::CaptionFits(box));
  EXPECT_EQ(ui_test::MessageBoxText(box), "Scan is on");
  EXPECT_EQ(GetWindow(box, GW_OWNER), main);
  int rowsBefore = cleaner.RowCount(files);
  Press(box, IDOK);
  ASSERT_TRUE(WaitUntil([box] { return !IsWindow(box); }));
  // The scan goes on into the same list.
  EXPECT_TRUE(WaitUntil([&] { return cleaner.RowCount(files) > rowsBefore + 10; }));

  // Once more, and the box stays up while the scan ends (Stop scan, pressed
  // as a program would: the window takes no click meanwhile).
  Press(main, kStartScan);
  box = cleaner.WaitForMessageBox();
  ASSERT_NE(box, nullptr);
  ASSERT_EQ(ui_test::MessageBoxText(box), "Scan is on");
  Press(main, kStopScan);
  ASSERT_TRUE(WaitUntil([&] {
    HWND open = cleaner.OpenMessageBox();
    return open != nullptr && open != box;
  })) << "no report";
  EXPECT_FALSE(IsWindow(box) && IsWindowVisible(box)) << "the Scan is on box outlives the scan";
  ExpectStoppedReport(cleaner, main);
  CloseReport(cleaner);
  EXPECT_TRUE(cleaner.OpenBoxes().empty());
  ExitAndExpectEnd(cleaner, main);
}

TEST_F(LongScanTest, ExitDuringAScanStopsItAndTheWindowStays) {
  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  ASSERT_NO_FATAL_FAILURE(StartLongScan(cleaner, main));

  Press(main, kExit);
  ExpectStoppedReport(cleaner, main);
  CloseReport(cleaner);
  EXPECT_TRUE(StaysOpen(main));
  EXPECT_EQ(ControlText(main, kScanLabel), "");
  ExitAndExpectEnd(cleaner, main);
}

// The close box during a scan stops it, and the window closes by itself once
// the report is dismissed: one click, not two.
TEST_F(LongScanTest, TheCloseBoxDuringAScanStopsItAndClosesAfterTheReport) {
  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  ASSERT_NO_FATAL_FAILURE(StartLongScan(cleaner, main));

  PostMessageA(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  ExpectStoppedReport(cleaner, main);
  CloseReport(cleaner);
  DWORD code = 1;
  ASSERT_TRUE(cleaner.WaitForExit(code)) << "the window stayed after the report";
  EXPECT_EQ(code, 0u);
}

// A scan walks the listed paths as they stood at START SCAN: a path added
// while it runs is not walked, and a path removed is walked all the same;
// no path is walked twice. (Clean files are not listed here: the counts tell
// what was walked, and the long walk leaves time for the changes.)
TEST_F(LongScanTest, PathsAddedOrRemovedDuringAScanChangeNothingOfIt) {
  Specimen small = InfectedProgram("small\\x.exe");
  Specimen added = InfectedProgram("added\\y.exe");
  Cleaner cleaner("", "D:\\small;D:\\many;D:\\added");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  HWND paths = GetDlgItem(main, kPathsList);
  Press(main, kAddPath);
  Press(main, kAddPath);
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(paths) == 2; }));
  ASSERT_EQ(cleaner.ListRows(paths, 1), (Rows{{"D:\\many"}, {"D:\\small"}}));
  Choose(main, kAllFiles);
  Press(main, kStartScan);
  ASSERT_TRUE(WaitUntil([&] { return ControlText(main, kScanLabel) == "Scanning:"; }));

  // While D:\many is walked: D:\added goes to the top, D:\small goes.
  Press(main, kAddPath);
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(paths) == 3; }));
  cleaner.SelectRow(paths, 2);
  Press(main, kRemovePath);
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(paths) == 2; }));
  EXPECT_EQ(cleaner.ListRows(paths, 1), (Rows{{"D:\\added"}, {"D:\\many"}}));
  EXPECT_EQ(ControlText(main, kScanLabel), "Scanning:") << "the scan ended too soon to tell";
  // The path added is not walked by this scan, and its row says so.
  HWND files = GetDlgItem(main, kFilesList);
  EXPECT_TRUE(WaitUntil([&] {
    for (const auto& row : cleaner.ListRows(files, 2)) {
      if (row == std::vector<std::string>{added.path.substr(0, 8), "next scan"}) return true;
    }
    return false;
  })) << "no row says that D:\\added waits for the next scan";

  std::string report = TakeReport(cleaner);
  EXPECT_EQ(report.substr(0, report.find("\r\ndisinfect at reboot")),
            "clean: " + std::to_string(kFolders * kFilesPerFolder) +
                "\r\nleft infected by user: 0\r\ndisinfected: 1");
  EXPECT_EQ(RowsOnD(cleaner.ListRows(GetDlgItem(main, kFilesList), 2)),
            (Rows{{"D:\\added", "next scan"}, {small.path, "disinfected"}}));
  CloseReport(cleaner);
  ExpectCleaned(small);
  ExpectUntouched(added);
  ExitAndExpectEnd(cleaner, main);
  // The program stood in its last root to the end: the folders go after it.
  std::filesystem::remove_all("D:\\small");
  std::filesystem::remove_all("D:\\added");
}

// --- Names NT holds beyond the ANSI code page and MAX_PATH.

// `path` (UTF-8, below D:) for the wide calls, in its "\\?\" form: no length
// limit applies to it.
std::wstring WideOnD(const std::string& path) {
  int length =
      MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return L"\\\\?\\D:\\" + wide;
}

// Writes `bytes` to D:\`name` (UTF-8, of any length), making its folders.
void PutWide(const std::string& name, const Bytes& bytes) {
  for (size_t at = name.find('\\'); at != std::string::npos; at = name.find('\\', at + 1)) {
    CreateDirectoryW(WideOnD(name.substr(0, at)).c_str(), nullptr);
  }
  HANDLE file = CreateFileW(WideOnD(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  ASSERT_EQ(written, bytes.size()) << name;
}

Bytes ReadWide(const std::string& name) {
  Bytes bytes;
  HANDLE file = CreateFileW(WideOnD(name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return bytes;
  uint8_t buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  CloseHandle(file);
  return bytes;
}

// A folder path below D: whose file `name` makes a path of `length`
// characters (counted as Windows counts them, in UTF-16 units).
std::string FoldersFor(const std::string& top, const std::string& name, size_t length) {
  std::string folders = top + "\\";
  size_t total = 3 + folders.size() + name.size();  // "D:\"
  for (int n = 0; total < length; ++n) {
    const size_t room = length - total;  // never 1: a folder takes two at least
    std::string part = "long-folder-" + std::to_string(n);
    if (room < part.size() + 3) part = std::string(room - 1, 'x');
    folders += part + "\\";
    total += part.size() + 1;
  }
  return folders;
}

// Infected programs named in Cyrillic, Japanese and Greek (outside any one
// ANSI code page), one in the code page, and two under paths past MAX_PATH
// (262 and 300 characters) are all cleaned by an unattended run, which
// ends by itself: a file that cannot be cleaned (a folder stands where its
// journal would be made) is a row and a count, never a box to click.
TEST_F(WindowTest, AnUnattendedRunCleansEveryNameNtHoldsAndWaitsForNoClick) {
  const Bytes clean = test_support::SmallProgram();
  specimen::Infection infection = test_support::InfectOrFail(clean);
  const Bytes cleaned = test_support::ExpectedRepairedBytes(infection);
  std::vector<std::string> names = {
      "names\\\xD0\xB7\xD0\xB0\xD1\x80\xD0\xB0\xD0\xB6\xD1\x91\xD0\xBD"
      "0.exe",  // заражён0
      "names\\\xE6\x97\xA5\xE6\x9C\xAC"
      "0.exe",  // 日本0
      "names\\\xCF\x80\xCF\x81\xCF\x8C\xCE\xB3\xCF\x81\xCE\xB1\xCE\xBC\xCE\xBC\xCE\xB1.exe",
      "names\\caf\xC3\xA9"
      "0.exe",  // café0
  };
  names.push_back(FoldersFor("long262", "deep.exe", 262) + "deep.exe");
  names.push_back(FoldersFor("long300", "deeper.exe", 300) + "deeper.exe");
  ASSERT_EQ(3 + names[4].size(), 262u);
  ASSERT_EQ(3 + names[5].size(), 300u);
  for (const std::string& name : names) PutWide(name, infection.bytes);
  // Where stuck.exe's journal would be made, a folder stands.
  Specimen stuck = InfectedProgram("stuck\\stuck.exe");
  std::filesystem::create_directories("D:\\stuck\\stuck.exe.kzj");

  Cleaner cleaner("/AutoStart /Close");
  DWORD code = 1;
  ASSERT_TRUE(cleaner.WaitForExitWithoutBox(code, 120000)) << "the program did not end by itself";
  EXPECT_EQ(code, 0u);
  for (const std::string& name : names) {
    EXPECT_TRUE(ReadWide(name) == cleaned) << "D:\\" << name << " is not cleaned";
  }
  ExpectUntouched(stuck);
}

// A listed path that does not exist has its row and is counted; a file
// removed while its prompt is open is counted as gone, not as a failure.
// One key acts once: an Escape at a prompt answers Skip and closes nothing
// else, and Escape never closes the main window.
TEST_F(WindowTest, AMissingPathIsARowAFileGoneAtItsPromptIsGoneAndOneKeyActsOnce) {
  Specimen first = InfectedProgram("scan\\a.exe");
  Specimen second = InfectedProgram("scan\\b.exe");
  Cleaner cleaner("", "D:\\missing;D:\\scan");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  HWND paths = GetDlgItem(main, kPathsList);
  Press(main, kAddPath);
  Press(main, kAddPath);
  ASSERT_TRUE(WaitUntil([&] { return cleaner.RowCount(paths) == 2; }));
  Choose(main, kAskUser);
  Press(main, kStartScan);

  // The first file asked about goes before the answer Disinfect.
  HWND prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);
  const std::string gone = ControlText(prompt, kObjectLine);
  ASSERT_TRUE(gone == first.path || gone == second.path) << gone;
  const std::string skipped = gone == first.path ? second.path : first.path;
  ASSERT_TRUE(std::filesystem::remove(gone));
  Press(prompt, kDisinfect);
  ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));

  // One Escape typed at the second prompt, through the system's input:
  // Skip, and nothing more.
  prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(ControlText(prompt, kObjectLine), skipped);
  ASSERT_TRUE(FocusIn(prompt));
  ASSERT_TRUE(WaitUntil([&] { return GetForegroundWindow() == prompt; }))
      << "the prompt is not in front";
  ui_test::TypeKey(VK_ESCAPE);
  ASSERT_TRUE(WaitUntil([prompt] { return !IsWindow(prompt); }));

  HWND report = cleaner.WaitForMessageBox();
  ASSERT_NE(report, nullptr);
  EXPECT_TRUE(StaysOpen(report)) << "the Escape that answered the prompt closed the report";
  const std::string text = ui_test::MessageBoxText(report);
  EXPECT_NE(text.find("left infected by user: 1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("could not disinfect: 0\r\naccess denied: 1\r\n"
                      "gone before it was cleaned: 1\r\n\r\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(text.ends_with(kStillInfected)) << text;  // the skipped file

  Rows rows = cleaner.ListRows(GetDlgItem(main, kFilesList), 2);
  std::sort(rows.begin(), rows.end());
  EXPECT_EQ(rows, (Rows{{"D:\\missing", "cannot open"}, {gone, "gone"}, {skipped, "infected"}}));

  // Escape at the report closes the report alone; at the main window, nothing.
  ASSERT_TRUE(FocusIn(report));
  ui_test::PostKey(report, VK_ESCAPE);
  ASSERT_TRUE(WaitUntil([report] { return !IsWindow(report); }));
  EXPECT_TRUE(StaysOpen(main)) << "one Escape closed the report and the window";
  ui_test::PostKey(main, VK_ESCAPE);
  EXPECT_TRUE(StaysOpen(main));

  // Why the missing path was not scanned shows in its row's tip.
  HWND list = GetDlgItem(main, kFilesList);
  Rows shown = cleaner.ListRows(list, 2);
  int missingRow = -1;
  for (size_t row = 0; row < shown.size(); ++row) {
    if (shown[row][0] == "D:\\missing") missingRow = static_cast<int>(row);
  }
  ASSERT_GE(missingRow, 0);
  RECT row = cleaner.RowRect(list, missingRow);
  ui_test::MovePointer(POINT{row.left + 20, (row.top + row.bottom) / 2});
  EXPECT_TRUE(
      WaitUntil([&] { return cleaner.ShownTip() == "D:\\missing\r\nit does not exist"; }, 10000))
      << "tip: " << cleaner.ShownTip();
  ExpectUntouched(second.path == skipped ? second : first);

  // Reached with no row chosen, the list shows where the focus is: on its
  // first row, which is not selected by it.
  PostMessageA(main, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(list), TRUE);
  EXPECT_TRUE(WaitUntil([&] {
    return SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                        MAKELPARAM(LVNI_FOCUSED, 0)) == 0;
  })) << "no row shows the focus";
  EXPECT_EQ(SendMessageA(list, LVM_GETSELECTEDCOUNT, 0, 0), 0);
  ExitAndExpectEnd(cleaner, main);
}

// The window at 144 DPI (its dialog units half as large again) on the
// 1024x768 screen of the tests: it fits the work area, Exit and "Show all
// files" in sight.
TEST_F(WindowTest, At144DpiTheWindowFitsTheScreen) {
  struct Dpi {
    explicit Dpi(DWORD dpi) { Set(&dpi); }
    ~Dpi() { Set(nullptr); }
    static void Set(const DWORD* dpi) {
      for (auto [root, path] : {std::pair{HKEY_CURRENT_USER, "Control Panel\\Desktop"},
                                std::pair{HKEY_CURRENT_CONFIG, "Software\\Fonts"}}) {
        HKEY key = nullptr;
        if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS) {
          continue;
        }
        if (dpi != nullptr) {
          RegSetValueExA(key, "LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(dpi),
                         sizeof *dpi);
        } else {
          RegDeleteValueA(key, "LogPixels");
        }
        RegCloseKey(key);
      }
    }
  } dpi(144);

  Cleaner cleaner("");
  HWND main = cleaner.MainWindow();
  ASSERT_NE(main, nullptr);
  RECT work{};
  ASSERT_TRUE(SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0));
  RECT window{};
  GetWindowRect(main, &window);
  ui_test::SaveScreenshot(main, "main-window-144-dpi");
  // The larger dialog units took: at 96 DPI the window is some 520 high.
  EXPECT_GT(window.bottom - window.top, 640) << "the DPI was not taken";
  EXPECT_GE(window.left, work.left);
  EXPECT_GE(window.top, work.top);
  EXPECT_LE(window.right, work.right);
  EXPECT_LE(window.bottom, work.bottom);
  for (int id : {kExit, kShowAll, kFilesList}) {
    RECT control{};
    GetWindowRect(GetDlgItem(main, id), &control);
    EXPECT_LE(control.bottom, window.bottom) << "control " << id;
    EXPECT_LE(control.bottom, work.bottom) << "control " << id;
  }
  ExitAndExpectEnd(cleaner, main);
}

// A file whose name alone is wider than the prompt: the prompt, the
// "Scanning:" label and the list show the drive and the end of the name,
// never "..." alone.
TEST_F(WindowTest, ALongNameAtThePromptKeepsItsDriveAndItsEnd) {
  std::string name;
  for (int n = 0; name.size() < 162; ++n) name += "part" + std::to_string(n) + "-";
  name = name.substr(0, 162) + ".exe";
  ASSERT_EQ(name.size(), 166u);
  Specimen file = InfectedProgram("scan\\" + name);

  Cleaner cleaner("", "D:\\scan");
  HWND main = ListOneFolderAndAsk(cleaner);
  ASSERT_NE(main, nullptr);
  Press(main, kStartScan);
  HWND prompt = cleaner.WaitForPrompt();
  ASSERT_NE(prompt, nullptr);
  auto expectEnd = [&](const std::string& shown, const char* where) {
    SCOPED_TRACE(where);
    EXPECT_EQ(shown.rfind("D:\\", 0), 0u) << shown;
    EXPECT_NE(shown.find("..."), std::string::npos) << shown;
    // The name's end, its extension with it, in sight: at least 20 characters.
    ASSERT_GT(shown.size(), 26u) << shown;
    EXPECT_TRUE(name.ends_with(shown.substr(shown.size() - 20))) << shown;
  };
  expectEnd(ControlText(prompt, kObjectLine), "prompt");
  ASSERT_TRUE(WaitUntil([&] { return ControlText(main, kObjectLabel).ends_with(".exe"); }));
  expectEnd(ControlText(main, kObjectLabel), "Scanning: label");
  ui_test::SaveScreenshot(prompt, "infection-prompt-long-name");
  Press(prompt, kSkip);
  TakeReport(cleaner);
  Rows rows = cleaner.ListRows(GetDlgItem(main, kFilesList), 2);
  ASSERT_EQ(rows.size(), 1u);
  expectEnd(rows[0][0], "files list");
  CloseReport(cleaner);
  ExitAndExpectEnd(cleaner, main);
}

}  // namespace
