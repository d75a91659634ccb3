#include "os/directory.h"

#include <windows.h>

namespace os {

struct DirectoryListing::State {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAA data{};
  bool pending = false;  // `data` holds an entry not yet returned
};

DirectoryListing DirectoryListing::OpenCurrent() {
  DirectoryListing listing;
  auto state = std::make_unique<State>();
  state->find = FindFirstFileA("*.*", &state->data);
  if (state->find == INVALID_HANDLE_VALUE) return listing;
  state->pending = true;
  listing.state_ = std::move(state);
  return listing;
}

DirectoryListing::~DirectoryListing() {
  if (state_ != nullptr) FindClose(state_->find);
}

DirectoryListing::DirectoryListing(DirectoryListing&& other) noexcept = default;

DirectoryListing& DirectoryListing::operator=(DirectoryListing&& other) noexcept {
  if (this != &other) {
    if (state_ != nullptr) FindClose(state_->find);
    state_ = std::move(other.state_);
  }
  return *this;
}

bool DirectoryListing::Next(DirectoryEntry& entry) {
  if (state_ == nullptr) return false;
  if (!state_->pending && !FindNextFileA(state_->find, &state_->data)) return false;
  state_->pending = false;
  const WIN32_FIND_DATAA& data = state_->data;
  entry.longName = data.cFileName;
  entry.shortName = data.cAlternateFileName;
  entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.isFile = !entry.isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
  return true;
}

bool ChangeDirectory(const std::string& path) { return SetCurrentDirectoryA(path.c_str()) != 0; }

std::string WorkingDirectory() {
  char buffer[MAX_PATH];
  DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
  if (length == 0 || length >= MAX_PATH) return std::string();
  return std::string(buffer, length);
}

}  // namespace os
