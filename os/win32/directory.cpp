#include "os/directory.h"

#include <windows.h>

#include "os/file_ops.h"
#include "os/win32/wide.h"

namespace os {

struct DirectoryListing::State {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data{};      // 9x
  WIN32_FIND_DATAW wideData{};  // NT
  bool pending = false;         // `data` holds an entry not yet returned
  bool failed = false;
};

namespace {

// Lists by `pattern`. A search that finds nothing at all (a drive root has
// no "." or "..") is an empty listing, not a failure.
std::unique_ptr<DirectoryListing::State> OpenSearch(const std::string& pattern) {
  auto state = std::make_unique<DirectoryListing::State>();
  const win32::WideCalls* wide = win32::Wide();
  state->find = wide != nullptr
                    ? wide->findFirstFile(win32::WidePath(pattern).c_str(), &state->wideData)
                    : FindFirstFileA(pattern.c_str(), &state->data);
  if (state->find != INVALID_HANDLE_VALUE) {
    state->pending = true;
  } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_NO_MORE_FILES) {
    return nullptr;
  }
  return state;
}

std::string Joined(const std::string& folder, const std::string& name) {
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) return folder + name;
  return folder + "\\" + name;
}

}  // namespace

DirectoryListing DirectoryListing::OpenCurrent() {
  DirectoryListing listing;
  listing.state_ = OpenSearch("*.*");
  return listing;
}

DirectoryListing::~DirectoryListing() {
  if (state_ != nullptr && state_->find != INVALID_HANDLE_VALUE) FindClose(state_->find);
}

DirectoryListing::DirectoryListing(DirectoryListing&& other) noexcept = default;

DirectoryListing& DirectoryListing::operator=(DirectoryListing&& other) noexcept {
  if (this != &other) {
    if (state_ != nullptr && state_->find != INVALID_HANDLE_VALUE) FindClose(state_->find);
    state_ = std::move(other.state_);
  }
  return *this;
}

bool DirectoryListing::Next(DirectoryEntry& entry) {
  if (state_ == nullptr || state_->find == INVALID_HANDLE_VALUE || state_->failed) return false;
  const win32::WideCalls* wide = win32::Wide();
  if (!state_->pending && !(wide != nullptr ? wide->findNextFile(state_->find, &state_->wideData)
                                            : FindNextFileA(state_->find, &state_->data))) {
    state_->failed = GetLastError() != ERROR_NO_MORE_FILES;
    return false;
  }
  state_->pending = false;
  DWORD attributes = 0;
  if (wide != nullptr) {
    const WIN32_FIND_DATAW& data = state_->wideData;
    entry.longName = win32::Narrow(data.cFileName);
    entry.shortName = win32::Narrow(data.cAlternateFileName);
    attributes = data.dwFileAttributes;
  } else {
    const WIN32_FIND_DATAA& data = state_->data;
    entry.longName = data.cFileName;
    entry.shortName = data.cAlternateFileName;
    attributes = data.dwFileAttributes;
  }
  entry.isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isFile = !entry.isDirectory && (attributes & FILE_ATTRIBUTE_DEVICE) == 0;
  return true;
}

bool DirectoryListing::Failed() const { return state_ != nullptr && state_->failed; }

namespace {

// The system keeps a current directory of at most MAX_PATH - 2 characters,
// whichever call sets it.
bool SetCurrent(const std::string& path) {
  if (const win32::WideCalls* wide = win32::Wide()) {
    return wide->setCurrentDirectory(win32::Widen(path).c_str()) != 0;
  }
  return SetCurrentDirectoryA(path.c_str()) != 0;
}

DWORD AttributesOf(const std::string& path) {
  const win32::WideCalls* wide = win32::Wide();
  return wide != nullptr ? wide->getFileAttributes(win32::WidePath(path).c_str())
                         : GetFileAttributesA(path.c_str());
}

// The full path of `path` as the system reads it against the current
// directory (NT only: GetFullPathNameA is not among the calls that the
// Windows program may import, and 9x enters the folder to learn it).
std::string FullPathNt(const win32::WideCalls& wide, const std::string& path) {
  std::wstring relative = win32::Widen(path);
  DWORD needed = wide.getFullPathName(relative.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return std::string();
  std::wstring full(needed, L'\0');
  DWORD length = wide.getFullPathName(relative.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return std::string();
  full.resize(length);
  // "\\?\C:\x" stands for "C:\x".
  if (full.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    full = L"\\\\" + full.substr(8);
  } else if (full.rfind(L"\\\\?\\", 0) == 0) {
    full = full.substr(4);
  }
  return win32::Narrow(full);
}

}  // namespace

bool ChangeDirectory(const std::string& path) { return SetCurrent(path); }

std::string WorkingDirectory() {
  if (const win32::WideCalls* wide = win32::Wide()) {
    wchar_t buffer[MAX_PATH];
    DWORD length = wide->getCurrentDirectory(MAX_PATH, buffer);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return win32::Narrow(std::wstring_view(buffer, length));
  }
  char buffer[MAX_PATH];
  DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

// Win32 has no handle that the ANSI calls open names relative to: a folder
// is its full path, within MAX_PATH.
struct Folder::State {
  std::string path;
};

Folder::Folder() = default;
Folder::~Folder() = default;
Folder::Folder(Folder&& other) noexcept = default;
Folder& Folder::operator=(Folder&& other) noexcept = default;

Folder Folder::Open(const std::string& path) {
  Folder folder;
  std::string full;
  if (const win32::WideCalls* wide = win32::Wide()) {
    full = FullPathNt(*wide, path);
    const DWORD attributes = full.empty() ? INVALID_FILE_ATTRIBUTES : AttributesOf(full);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return folder;
    }
  } else {
    // Its full path is what the system makes of it as the current directory
    // (GetFullPathNameA is not among the calls that the Windows program may
    // import).
    const std::string previous = WorkingDirectory();
    if (previous.empty() || !SetCurrent(path)) return folder;
    full = WorkingDirectory();
    SetCurrent(previous);
  }
  if (full.empty()) return folder;
  folder.state_ = std::make_unique<State>();
  folder.state_->path = full;
  return folder;
}

Folder Folder::Current() {
  Folder folder;
  std::string path = WorkingDirectory();
  if (path.empty()) return folder;
  folder.state_ = std::make_unique<State>();
  folder.state_->path = path;
  return folder;
}

Folder Folder::OpenChild(const std::string& name) const {
  Folder child;
  if (state_ == nullptr) return child;
  std::string path = Joined(state_->path, name);
  // A junction or other reparse point is not followed, as a link is not.
  DWORD attributes = AttributesOf(path);
  if ((win32::Wide() == nullptr && path.size() >= MAX_PATH) ||
      attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return child;
  }
  child.state_ = std::make_unique<State>();
  child.state_->path = path;
  return child;
}

std::string Folder::PathOf(const std::string& name) const {
  if (state_ == nullptr) return std::string();
  const std::string& path = state_->path;
  return !path.empty() && path.back() == '\\' ? path + name : path + "\\" + name;
}

std::optional<FolderKey> Folder::Key() const {
  if (state_ == nullptr) return std::nullopt;
  // The short form names a folder one way, however it was entered (by its
  // long name, or by its short one where the long path does not fit); where
  // the system has none (a path too long, a volume without 8.3 names) the
  // full path stands for it.
  std::string path = state_->path;
  if (const win32::WideCalls* wide = win32::Wide()) {
    std::wstring name = win32::WidePath(path);
    std::wstring shortName(name.size() + 1, L'\0');
    DWORD length = wide->getShortPathName(name.c_str(), shortName.data(),
                                          static_cast<DWORD>(shortName.size()));
    if (length != 0 && length < shortName.size()) name.assign(shortName.data(), length);
    if (name.rfind(L"\\\\?\\", 0) == 0) name = name.substr(4);
    if (name.size() > 3 && (name.back() == L'\\' || name.back() == L'/')) name.pop_back();
    static const auto upper = reinterpret_cast<DWORD(WINAPI*)(LPWSTR, DWORD)>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("user32.dll"), "CharUpperBuffW")));
    if (upper != nullptr && !name.empty()) upper(name.data(), static_cast<DWORD>(name.size()));
    path = win32::Narrow(name);
  } else {
    char shortPath[MAX_PATH] = {};
    DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
    if (length != 0 && length < MAX_PATH) path.assign(shortPath, length);
    // "C:\" keeps its separator; "C:\GAMES\" is "C:\GAMES".
    if (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    if (!path.empty()) CharUpperBuffA(path.data(), static_cast<DWORD>(path.size()));
  }
  FolderKey identity;
  identity.path = std::move(path);
  return identity;
}

intptr_t Folder::NativeHandle() const { return -1; }

Folder Folder::Adopt(intptr_t /*handle*/) { return Folder(); }

File Folder::OpenToRead(const std::string& name) const {
  if (state_ == nullptr) return File();
  return File::Open(PathOf(name), Access::Read, Share::ReadWrite, Disposition::OpenExisting);
}

File Folder::OpenFile(const std::string& name, Access access, Share share,
                      WriteFaults* faults) const {
  if (state_ == nullptr || name.empty()) return File();
  return File::Open(PathOf(name), access, share, Disposition::OpenExisting, faults);
}

File Folder::MakeNewFile(const std::string& name, uint32_t /*mode*/, WriteFaults* faults) const {
  if (state_ == nullptr || name.empty()) return File();
  return File::Open(PathOf(name), Access::ReadWrite, Share::None, Disposition::CreateNew, faults);
}

bool Folder::AppendToOwn(const std::string& name, const std::string& bytes,
                         WriteFaults* faults) const {
  return state_ != nullptr && !name.empty() && AppendToFile(PathOf(name), bytes, faults);
}

bool Folder::Remove(const std::string& name, WriteFaults* faults) const {
  return state_ != nullptr && !name.empty() && RemoveFile(PathOf(name), faults);
}

bool Folder::RemoveHeld(const std::string& name, File& held, WriteFaults* faults) const {
  held.Close();
  return Remove(name, faults);
}

bool Folder::Rename(const std::string& from, const std::string& to, WriteFaults* faults) const {
  if (state_ == nullptr || OnChange(faults) != WriteFaults::Verdict::Go) return false;
  if (const win32::WideCalls* wide = win32::Wide()) {
    return wide->moveFileEx(win32::WidePath(PathOf(from)).c_str(),
                            win32::WidePath(PathOf(to)).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  }
  return MoveFileExA(PathOf(from).c_str(), PathOf(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool Folder::Flush(WriteFaults* faults) const {
  return state_ != nullptr && OnChange(faults) == WriteFaults::Verdict::Go;
}

EntryInfo Folder::Look(const std::string& name) const {
  EntryInfo info;
  if (state_ == nullptr || name.empty()) {
    info.kind = EntryInfo::Kind::Unknown;
    return info;
  }
  const DWORD bits = AttributesOf(PathOf(name));
  if (bits == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    info.kind = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                    ? EntryInfo::Kind::Missing
                    : EntryInfo::Kind::Unknown;
    return info;
  }
  info.identity.mode = bits;
  if ((bits & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    info.kind = EntryInfo::Kind::Link;
  } else if ((bits & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    info.kind = EntryInfo::Kind::Folder;
  } else {
    info.kind = EntryInfo::Kind::File;
    File file = OpenFile(name, Access::Read, Share::ReadWrite);
    if (std::optional<FileIdentity> identity = file.Identity()) info.identity = *identity;
  }
  return info;
}

std::optional<FileIdentity> Folder::Identity() const {
  if (state_ == nullptr) return std::nullopt;
  const DWORD bits = AttributesOf(state_->path);
  if (bits == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  FileIdentity identity;
  identity.mode = bits;
  return identity;
}

bool Folder::WritableByOthers() const { return false; }

bool Folder::MakeChild(const std::string& name) const {
  if (state_ == nullptr) return false;
  if (const win32::WideCalls* wide = win32::Wide()) {
    return wide->createDirectory(win32::WidePath(PathOf(name)).c_str(), nullptr) != 0;
  }
  return CreateDirectoryA(PathOf(name).c_str(), nullptr) != 0;
}

bool Folder::SetMode(uint32_t /*mode*/) const { return state_ != nullptr; }

Folder Folder::OpenParent(const std::string& path, bool /*resolveLink*/, std::string& name) {
  name.clear();
  const size_t at = path.find_last_of("\\/");
  std::string folder = at == std::string::npos ? "." : path.substr(0, at + 1);
  // "C:\" keeps its separator; "C:\DIR\" loses it.
  if (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
  std::string last = at == std::string::npos ? path : path.substr(at + 1);
  if (last.empty() || last == "." || last == "..") return Folder();
  Folder opened = Open(folder);
  if (opened.IsOpen()) name = std::move(last);
  return opened;
}

bool Folder::MakeCurrent() const {
  if (state_ == nullptr) return false;
  if (SetCurrent(state_->path)) return true;
  // NT keeps no current directory past MAX_PATH; a folder that long is
  // reached by its full path alone (PathOf), and stays where it is.
  return win32::Wide() != nullptr && state_->path.size() >= MAX_PATH - 2 &&
         AttributesOf(state_->path) != INVALID_FILE_ATTRIBUTES;
}

DirectoryListing Folder::List() const {
  DirectoryListing listing;
  if (state_ != nullptr) listing.state_ = OpenSearch(Joined(state_->path, "*.*"));
  return listing;
}

}  // namespace os
