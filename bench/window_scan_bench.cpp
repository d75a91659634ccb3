// How much listing every object slows the window's scan: krizclean.exe driven
// as a user would, over a tree of FILES files on drive D:, with "Scan all
// files" and "Scan only", once without and once with "Show all files" in each
// round. Each scan is timed from START SCAN to the report box; the report's
// counts and the rows are checked, so that a fast scan that lost rows does not
// count. Then how soon "Stop scan" and "Exit" end a listing scan, from the
// press to the report. Run by bench/window_scan.sh.
//
//   window_scan_bench.exe [FILES [ROUNDS]]     (5000 files, 3 rounds)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/file_bytes.h"
#include "tests/support/specimens.h"
#include "tests/ui_driver.h"

namespace {

using ui_test::Cleaner;
using ui_test::Press;
using Clock = std::chrono::steady_clock;

constexpr char kTree[] = "D:\\tree";
constexpr int kFilesPerFolder = 100;
constexpr DWORD kScanTimeoutMs = 30 * 60 * 1000;

enum Control {
  kExit = 2,
  kStartScan = 1000,
  kScanOnly = 1002,
  kFilesList = 1010,
  kStopScan = 1013,
  kAddPath = 1014,
  kAllFiles = 1015,
  kShowAll = 1028,
};

// FILES files in folders of 100: one in ten a small program, the others
// short text files.
void WriteTree(int files) {
  std::filesystem::remove_all(kTree);
  std::vector<uint8_t> program = test_support::SmallProgram();
  std::vector<uint8_t> text(64, 'x');
  for (int file = 0; file < files; ++file) {
    std::string folder = std::string(kTree) + "\\" + std::to_string(file / kFilesPerFolder);
    if (file % kFilesPerFolder == 0) std::filesystem::create_directories(folder);
    bool isProgram = file % 10 == 0;
    test_support::WriteBytes(folder + "\\" + std::to_string(file) + (isProgram ? ".exe" : ".txt"),
                             isProgram ? program : text);
  }
}

bool Check(HWND window, int id) {
  Press(window, id);
  return ui_test::WaitUntil([&] { return ui_test::IsChecked(window, id); });
}

// A cleaner with the tree as its one listed path, "Scan only", "Scan all
// files", and "Show all files" when `showAll`; nullptr when it did not open.
HWND Prepare(Cleaner& cleaner, bool showAll) {
  HWND main = cleaner.MainWindow();
  if (main == nullptr) return nullptr;
  HWND paths = GetDlgItem(main, 1009);
  Press(main, kAddPath);
  if (!ui_test::WaitUntil([&] { return cleaner.RowCount(paths) == 1; })) return nullptr;
  if (!Check(main, kScanOnly) || !Check(main, kAllFiles)) return nullptr;
  if (showAll && !Check(main, kShowAll)) return nullptr;
  return main;
}

HWND WaitForReport(Cleaner& cleaner, DWORD timeoutMs) {
  HWND box = nullptr;
  ui_test::WaitUntil(
      [&] {
        box = cleaner.OpenMessageBox();
        return box != nullptr;
      },
      timeoutMs);
  return box;
}

void CloseAndExit(Cleaner& cleaner, HWND main, HWND report) {
  Press(report, IDOK);
  ui_test::WaitUntil([report] { return !IsWindow(report); });
  Press(main, kExit);
  DWORD code = 0;
  cleaner.WaitForExit(code);
}

double Seconds(Clock::duration elapsed) { return std::chrono::duration<double>(elapsed).count(); }

// One whole scan: seconds from START SCAN to the report, or a negative
// number when it failed (and why, on standard error).
double TimeScan(int files, bool showAll) {
  Cleaner cleaner("", kTree);
  HWND main = Prepare(cleaner, showAll);
  if (main == nullptr) {
    std::fprintf(stderr, "the window could not be set up\n");
    return -1;
  }
  Clock::time_point start = Clock::now();
  Press(main, kStartScan);
  HWND report = WaitForReport(cleaner, kScanTimeoutMs);
  double seconds = Seconds(Clock::now() - start);
  if (report == nullptr) {
    std::fprintf(stderr, "no report\n");
    return -1;
  }
  // Every file is clean (the memory and the registry, listed apart, too).
  std::string text = ui_test::MessageBoxText(report);
  std::string expected = "clean: " + std::to_string(files) + "\r\n";
  int rows = cleaner.RowCount(GetDlgItem(main, kFilesList));
  bool rowsAgree = showAll ? rows == files + 2 : rows == 0;
  CloseAndExit(cleaner, main, report);
  if (text.rfind(expected, 0) != 0 || !rowsAgree) {
    std::fprintf(stderr, "wrong result: %d rows, report \"%s\"\n", rows, text.c_str());
    return -1;
  }
  return seconds;
}

// Seconds from pressing `button` during a listing scan to the report.
double TimeStop(int button) {
  Cleaner cleaner("", kTree);
  HWND main = Prepare(cleaner, true);
  if (main == nullptr) return -1;
  HWND list = GetDlgItem(main, kFilesList);
  Press(main, kStartScan);
  if (!ui_test::WaitUntil([&] { return cleaner.RowCount(list) > 200; }, kScanTimeoutMs)) return -1;
  Clock::time_point start = Clock::now();
  Press(main, button);
  HWND report = WaitForReport(cleaner, kScanTimeoutMs);
  double seconds = Seconds(Clock::now() - start);
  if (report == nullptr) return -1;
  CloseAndExit(cleaner, main, report);
  return seconds;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? std::atoi(argv[1]) : 5000;
  int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  if (files < 1 || rounds < 1) {
    std::fprintf(stderr, "usage: window_scan_bench.exe [FILES [ROUNDS]]\n");
    return 2;
  }
  WriteTree(files);

  // The two kinds of scan take turns, so that a slow spell of the machine
  // falls on both.
  std::vector<double> plain, listing;
  for (int round = 0; round < rounds; ++round) {
    for (bool showAll : {false, true}) {
      double seconds = TimeScan(files, showAll);
      if (seconds < 0) return 1;
      (showAll ? listing : plain).push_back(seconds);
      std::printf("round %d, %-22s %8.2f s\n", round + 1,
                  showAll ? "with Show all files:" : "without:", seconds);
      std::fflush(stdout);
    }
  }
  double stop = TimeStop(kStopScan);
  double exit = TimeStop(kExit);

  std::printf("\n%d files, median of %d rounds\n", files, rounds);
  std::printf("  without Show all files   %8.2f s\n", Median(plain));
  std::printf("  with Show all files      %8.2f s\n", Median(listing));
  std::printf("  ratio (with / without)   %8.2f\n", Median(listing) / Median(plain));
  std::printf("  Stop scan to report      %8.2f s\n", stop);
  std::printf("  Exit to report           %8.2f s\n", exit);
  return stop < 0 || exit < 0 ? 1 : 0;
}
