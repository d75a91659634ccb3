#include "os/directory.h"

#include <windows.h>

#include "os/file_ops.h"

namespace os {

struct DirectoryListing::State {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data{};
  bool pending = false;  // `data` holds an entry not yet returned
  bool failed = false;
};

namespace {

// Lists by `pattern`. A search that finds nothing at all (a drive root has
// no "." or "..") is an empty listing, not a failure.
std::unique_ptr<DirectoryListing::State> OpenSearch(const std::string& pattern) {
  auto state = std::make_unique<DirectoryListing::State>();
  state->find = FindFirstFileA(pattern.c_str(), &state->data);
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
  if (!state_->pending && !FindNextFileA(state_->find, &state_->data)) {
    state_->failed = GetLastError() != ERROR_NO_MORE_FILES;
    return false;
  }
  state_->pending = false;
  const WIN32_FIND_DATAA& data = state_->data;
  entry.longName = data.cFileName;
  entry.shortName = data.cAlternateFileName;
  entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isFile = !entry.isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  return true;
}

bool DirectoryListing::Failed() const { return state_ != nullptr && state_->failed; }

bool ChangeDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

std::string WorkingDirectory() {
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
  // Its full path is what the system makes of it as the current directory
  // (GetFullPathNameA is not among the calls that the Windows program may
  // import).
  Folder folder;
  const std::string previous = WorkingDirectory();
  if (previous.empty() || !SetCurrentDirectoryA(path.c_str())) return folder;
  const std::string full = WorkingDirectory();
  SetCurrentDirectoryA(previous.c_str());
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
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (path.size() >= MAX_PATH || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
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
  char shortPath[MAX_PATH] = {};
  DWORD length = GetShortPathNameA(path.c_str(), shortPath, MAX_PATH);
  if (length != 0 && length < MAX_PATH) path.assign(shortPath, length);
  // "C:\" keeps its separator; "C:\GAMES\" is "C:\GAMES".
  if (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
  if (!path.empty()) CharUpperBuffA(path.data(), static_cast<DWORD>(path.size()));
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
  return state_ != nullptr && !name.empty() && OnChange(faults) == WriteFaults::Verdict::Go &&
         DeleteFileA(PathOf(name).c_str()) != 0;
}

bool Folder::RemoveHeld(const std::string& name, File& held, WriteFaults* faults) const {
  held.Close();
  return Remove(name, faults);
}

bool Folder::Rename(const std::string& from, const std::string& to, WriteFaults* faults) const {
  if (state_ == nullptr || OnChange(faults) != WriteFaults::Verdict::Go) return false;
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
  const DWORD bits = GetFileAttributesA(PathOf(name).c_str());
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
  const DWORD bits = GetFileAttributesA(state_->path.c_str());
  if (bits == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  FileIdentity identity;
  identity.mode = bits;
  return identity;
}

bool Folder::WritableByOthers() const { return false; }

bool Folder::MakeChild(const std::string& name) const {
  return state_ != nullptr && CreateDirectoryA(PathOf(name).c_str(), nullptr) != 0;
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
  return state_ != nullptr && SetCurrentDirectoryA(state_->path.c_str()) != 0;
}

DirectoryListing Folder::List() const {
  DirectoryListing listing;
  if (state_ != nullptr) listing.state_ = OpenSearch(Joined(state_->path, "*.*"));
  return listing;
}

}  // namespace os
