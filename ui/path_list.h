// A list view whose first column holds paths. A path too wide for its column
// is shown shortened in its middle (as the prompt shows it), so that rows
// deep in one folder still differ by their names, and the whole path shows
// as a tip while the pointer rests on its row. The list keeps the whole paths
// itself: what the rows show is only their picture.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace ui {

class PathList {
 public:
  PathList() = default;
  ~PathList();
  PathList(const PathList&) = delete;
  PathList& operator=(const PathList&) = delete;

  // Takes the list view `list` of `dialog`, adds its columns (`titles` from
  // left to right, each column after the first `widths` pixels wide, the
  // first filling what is left of the list without a horizontal scroll bar)
  // and its tip.
  void Attach(HWND dialog, HWND list, const std::vector<const char*>& titles,
              const std::vector<int>& widths);

  int Count() const { return static_cast<int>(paths_.size()); }
  const std::vector<std::string>& Paths() const { return paths_; }

  // Adds a row at `row` (0 for the top, Count() for the end) with `path` and,
  // in the second column, `status`; `reason`, why the row stands as it
  // does, shows in its tip below the whole path.
  void Insert(int row, const std::string& path, const std::string& status = {},
              const std::string& reason = {});
  void Remove(int row);
  void Clear();
  // The lowest selected row, or -1.
  int FirstSelected() const;

  // Handles the notifications of the tip and of the columns' headers;
  // false for any other.
  bool OnNotify(const NMHDR& header);

 private:
  static LRESULT CALLBACK ListProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam);
  // `path` as it fits the first column.
  std::string Fit(const std::string& path) const;
  // Shows each row again for the first column's width now.
  void Refit();
  // Notes the room for text in the first column.
  void TakeColumnWidth();
  int RowAt(POINT screen) const;
  const std::string& At(int row) const { return paths_[static_cast<size_t>(row)]; }

  HWND list_ = nullptr;
  HWND tip_ = nullptr;
  HDC measure_ = nullptr;  // a memory context in the list's font
  HGDIOBJ measureFont_ = nullptr;
  int widestCharacter_ = 0;     // the font's widest character, in pixels
  int textWidth_ = 0;           // the room for a path in the first column
  WNDPROC listProc_ = nullptr;  // the list's own procedure
  std::vector<std::string> paths_;
  std::vector<std::string> reasons_;  // one a row, most of them empty
  std::string tipText_;
  std::wstring wideTipText_;
  int tipRow_ = -1;  // the row the tip shows, or -1
};

}  // namespace ui
