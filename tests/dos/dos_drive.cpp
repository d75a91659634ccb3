#include "tests/dos/dos_drive.h"

#include <algorithm>
#include <string_view>
#include <system_error>

namespace dos_test {
namespace {

namespace fs = std::filesystem;

// DOS's longest path, without its terminating zero, and longest name.
constexpr size_t kMaxPath = 259;
constexpr size_t kMaxComponent = 255;

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return AsciiUpper(x) == AsciiUpper(y);
         });
}

// Characters that no long file name may hold; wildcards among them, since
// none of the services here takes any.
bool IsValidComponent(std::string_view part) {
  if (part.empty() || part.size() > kMaxComponent) return false;
  for (char c : part) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || std::string_view("\"*?<>|:/").find(c) != std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The entry of `directory` whose name matches `part`, in the entry's own
// spelling.
std::optional<std::string> FindEntry(const fs::path& directory, std::string_view part) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(directory, error)) {
    std::string name = entry.path().filename().string();
    if (SameName(name, part)) return name;
  }
  return std::nullopt;
}

bool IsReadOnly(const fs::path& path) {
  std::error_code error;
  fs::perms perms = fs::status(path, error).permissions();
  return !error && (perms & fs::perms::owner_write) == fs::perms::none;
}

bool StartsWith(const std::vector<std::string>& path, const std::vector<std::string>& prefix) {
  return path.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), path.begin());
}

}  // namespace

DosDrive::DosDrive(fs::path root, const std::string& currentDirectory) : root_(std::move(root)) {
  uint16_t error = 0;
  std::optional<Location> start = Resolve("C:" + currentDirectory, &error);
  if (start && start->isDirectory) current_ = start->components;
}

std::optional<DosDrive::Location> DosDrive::Resolve(const std::string& name,
                                                    uint16_t* error) const {
  *error = kPathNotFound;
  if (name.empty() || name.size() > kMaxPath) return std::nullopt;
  std::string_view rest = name;
  if (rest.size() >= 2 && rest[1] == ':') {
    if (AsciiUpper(rest[0]) != 'C') return std::nullopt;  // the only drive
    rest.remove_prefix(2);
  }
  std::vector<std::string> parts;
  if (!rest.empty() && rest[0] == '\\') {
    rest.remove_prefix(1);
  } else {
    parts = current_;  // relative, or "C:" alone: the current directory
  }
  if (!rest.empty()) {
    for (;;) {
      size_t end = rest.find('\\');
      std::string_view part = rest.substr(0, end);
      if (part == ".") {
      } else if (part == "..") {
        if (parts.empty()) return std::nullopt;
        parts.pop_back();
      } else if (!IsValidComponent(part)) {
        return std::nullopt;
      } else {
        parts.emplace_back(part);
      }
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
  }

  Location location;
  location.host = root_;
  location.exists = true;
  location.isDirectory = true;
  for (size_t i = 0; i < parts.size(); ++i) {
    bool last = i + 1 == parts.size();
    std::optional<std::string> entry = FindEntry(location.host, parts[i]);
    if (!entry) {
      if (!last) return std::nullopt;  // a directory on the way is missing
      location.components.push_back(parts[i]);
      location.host /= parts[i];
      location.exists = false;
      location.isDirectory = false;
      break;
    }
    location.components.push_back(*entry);
    location.host /= *entry;
    std::error_code ignored;
    location.isDirectory = fs::is_directory(location.host, ignored);
    if (!last && !location.isDirectory) return std::nullopt;
  }
  *error = 0;
  return location;
}

bool DosDrive::IsOpen(const std::vector<std::string>& components) const {
  return std::any_of(open_.begin(), open_.end(),
                     [&](const auto& file) { return file.second.components == components; });
}

bool DosDrive::HoldsCurrentDirectoryOrOpenFile(const std::vector<std::string>& directory) const {
  if (StartsWith(current_, directory)) return true;
  return std::any_of(open_.begin(), open_.end(), [&](const auto& file) {
    return StartsWith(file.second.components, directory);
  });
}

DosResult DosDrive::ChangeDirectory(const std::string& name) {
  uint16_t error = 0;
  std::optional<Location> location = Resolve(name, &error);
  if (!location) return {error};
  if (!location->exists || !location->isDirectory) return {kPathNotFound};
  current_ = location->components;
  return {};
}

DosResult DosDrive::Delete(const std::string& name) {
  uint16_t error = 0;
  std::optional<Location> location = Resolve(name, &error);
  if (!location) return {error};
  if (!location->exists) return {kFileNotFound};
  if (location->isDirectory || IsOpen(location->components) || IsReadOnly(location->host)) {
    return {kAccessDenied};
  }
  std::error_code failed;
  if (!fs::remove(location->host, failed)) return {kAccessDenied};
  return {};
}

DosResult DosDrive::OpenForReading(const std::string& name, uint16_t* handle) {
  uint16_t error = 0;
  std::optional<Location> location = Resolve(name, &error);
  if (!location) return {error};
  if (!location->exists) return {kFileNotFound};
  if (location->isDirectory) return {kAccessDenied};
  auto stream = std::make_unique<std::ifstream>(location->host, std::ios::binary);
  if (!*stream) return {kAccessDenied};
  *handle = nextHandle_++;
  open_[*handle] = OpenFile{location->components, std::move(stream), 0};
  return {};
}

DosResult DosDrive::Read(uint16_t handle, uint32_t count, std::vector<uint8_t>* bytes) {
  auto file = open_.find(handle);
  if (file == open_.end()) return {kInvalidHandle};
  std::ifstream& stream = *file->second.stream;
  stream.clear();
  stream.seekg(file->second.position);
  bytes->assign(count, 0);
  stream.read(reinterpret_cast<char*>(bytes->data()), count);
  auto got = static_cast<uint32_t>(stream.gcount());
  bytes->resize(got);
  file->second.position += got;
  return {};
}

DosResult DosDrive::MoveFromCurrent(uint16_t handle, int32_t offset, uint32_t* position,
                                    bool* beforeStart) {
  *beforeStart = false;
  auto file = open_.find(handle);
  if (file == open_.end()) return {kInvalidHandle};
  int64_t moved = int64_t{file->second.position} + offset;
  if (moved < 0) {
    *beforeStart = true;
    return {kAccessDenied};
  }
  file->second.position = static_cast<uint32_t>(moved);
  *position = file->second.position;
  return {};
}

DosResult DosDrive::Close(uint16_t handle) {
  return open_.erase(handle) == 1 ? DosResult{} : DosResult{kInvalidHandle};
}

DosResult DosDrive::Rename(const std::string& from, const std::string& to) {
  uint16_t error = 0;
  std::optional<Location> source = Resolve(from, &error);
  if (!source) return {error};
  if (!source->exists) return {kFileNotFound};
  std::optional<Location> target = Resolve(to, &error);
  if (!target) return {error};
  if (target->exists) return {renameOntoExisting_};
  if (source->components.empty() || IsOpen(source->components)) return {kAccessDenied};
  if (source->isDirectory && (HoldsCurrentDirectoryOrOpenFile(source->components) ||
                              StartsWith(target->components, source->components))) {
    return {kAccessDenied};
  }
  std::error_code failed;
  fs::rename(source->host, target->host, failed);
  if (failed) return {kAccessDenied};
  return {};
}

DosResult DosDrive::ClearAttributes(const std::string& name) {
  uint16_t error = 0;
  std::optional<Location> location = Resolve(name, &error);
  if (!location) return {error};
  if (!location->exists) return {kFileNotFound};
  if (!location->isDirectory) {
    std::error_code failed;
    fs::permissions(location->host, fs::perms::owner_write, fs::perm_options::add, failed);
    if (failed) return {kAccessDenied};
  }
  return {};
}

std::string DosDrive::CurrentDirectory() const {
  std::string path;
  for (const std::string& part : current_) path += "\\" + part;
  return path.empty() ? "\\" : path;
}

}  // namespace dos_test
