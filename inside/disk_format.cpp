#include "inside/disk_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <sstream>

#include "inside/fat_volume.h"

namespace inside {
namespace {

// A descriptor longer than this is no VMDK's.
constexpr uint64_t kMaxDescriptor = 64u << 10;

uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
uint64_t Be64(const uint8_t* p) { return uint64_t{Be32(p)} << 32 | Be32(p + 4); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint64_t Le64(const uint8_t* p) { return uint64_t{Le32(p + 4)} << 32 | Le32(p); }

DiskFormat Virtual(const char* driver, std::string name) {
  DiskFormat format;
  format.kind = DiskFormat::Kind::Virtual;
  format.driver = driver;
  format.name = std::move(name);
  return format;
}

DiskFormat Refused(std::string name, std::string why) {
  DiskFormat format;
  format.kind = DiskFormat::Kind::Refused;
  format.name = std::move(name);
  format.refusal = std::move(why);
  return format;
}

DiskFormat Qcow2(os::ByteSource& image, const uint8_t* head, uint64_t size) {
  const uint32_t version = Be32(head + 4);
  if (version != 2 && version != 3) {
    return Refused("qcow", "a qcow image of version " + std::to_string(version) +
                               " (only qcow2, versions 2 and 3, is opened)");
  }
  DiskFormat format = Virtual("qcow2", "qcow2");
  if (Be32(head + 32) != 0) return Refused("qcow2", "an encrypted qcow2 image");
  if (version == 3) {
    const uint64_t incompatible = Be64(head + 72);
    if ((incompatible & 4) != 0) {
      return Refused("qcow2", "a qcow2 image that keeps its data in another file");
    }
    if ((incompatible & 2) != 0) format.readOnly = "QEMU has marked the qcow2 image damaged";
  }
  const uint64_t at = Be64(head + 8);
  const uint32_t length = Be32(head + 16);
  if (at != 0 && length != 0) {
    if (length > 1023 || at > size || length > size - at) {
      return Refused("qcow2", "its backing file's name lies outside it");
    }
    std::string name(length, '\0');
    if (!ReadFully(image, at, name.data(), length)) {
      return Refused("qcow2", "its backing file's name cannot be read");
    }
    format.backing = name;
  }
  return format;
}

// A VMDK descriptor's text: what it says of itself, and its extents (only a
// descriptor file names them; an embedded one describes its own file).
DiskFormat Vmdk(const std::string& text, bool embedded, const std::string& header) {
  DiskFormat format = Virtual("vmdk", "VMDK");
  std::istringstream lines(text);
  std::string line;
  std::string createType;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto value = [&line](const char* key) -> std::optional<std::string> {
      const size_t n = std::strlen(key);
      if (line.compare(0, n, key) != 0) return std::nullopt;
      std::string v = line.substr(n);
      while (!v.empty() && (v.front() == ' ' || v.front() == '=')) v.erase(0, 1);
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      return v;
    };
    if (auto v = value("createType")) createType = *v;
    if (auto v = value("parentCID"); v && *v != "ffffffff") {
      return Refused("VMDK", "a differencing VMDK: its parent disk is not followed");
    }
    if (embedded) continue;
    // RW 2048 FLAT "disk-flat.vmdk" 0
    std::istringstream words(line);
    std::string access, sectors, type;
    words >> access >> sectors >> type;
    if (access != "RW" && access != "RDONLY" && access != "NOACCESS") continue;
    if (type == "ZERO") continue;
    const size_t open = line.find('"');
    const size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos) return Refused("VMDK", "an extent line it holds is damaged");
    const std::string name = line.substr(open + 1, close - open - 1);
    if (!IsPlainNameBeside(name)) {
      return Refused("VMDK", "it names an extent that is not a file beside it: " + name);
    }
    format.extents.push_back(name);
  }
  if (!embedded && format.extents.empty()) return Refused("VMDK", "its descriptor names no extent");
  if (!createType.empty()) format.name = "VMDK (" + createType + ")";
  if (createType == "streamOptimized" || header == "streamOptimized") {
    format.name = "VMDK (streamOptimized)";
    format.readOnly = "a streamOptimized VMDK is read-only to QEMU";
  }
  return format;
}

}  // namespace

bool IsPlainNameBeside(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

DiskFormat FormatOf(os::ByteSource& image) {
  std::optional<uint64_t> size = image.Size();
  std::array<uint8_t, 512> head{};
  if (!size || *size == 0) return DiskFormat{};
  // A VMDK descriptor may be shorter than a sector; every other mark needs
  // one whole.
  if (!ReadFully(image, 0, head.data(), std::min<uint64_t>(*size, head.size()))) {
    return DiskFormat{};
  }
  static constexpr char kDescriptor[] = "# Disk DescriptorFile";
  if (std::memcmp(head.data(), kDescriptor, sizeof kDescriptor - 1) == 0) {
    if (*size > kMaxDescriptor) return Refused("VMDK", "its descriptor is too long");
    std::string text(static_cast<size_t>(*size), '\0');
    if (!ReadFully(image, 0, text.data(), text.size())) return DiskFormat{};
    return Vmdk(text, false, "");
  }
  if (*size < head.size()) return DiskFormat{};
  if (std::memcmp(head.data(), "QFI\xfb", 4) == 0) return Qcow2(image, head.data(), *size);
  if (std::memcmp(head.data(), "vhdxfile", 8) == 0) return Virtual("vhdx", "VHDX");
  if (Le32(head.data() + 0x40) == 0xbeda107f) {
    const uint32_t type = Le32(head.data() + 0x4c);
    if (type == 1) return Virtual("vdi", "VDI (dynamic)");
    if (type == 2) return Virtual("vdi", "VDI (fixed)");
    return Refused("VDI", "a VDI of a kind QEMU does not open (undo or differencing)");
  }
  std::array<uint8_t, 512> tail{};
  if (!ReadFully(image, *size - tail.size(), tail.data(), tail.size())) return DiskFormat{};
  const uint8_t* footer = std::memcmp(tail.data(), "conectix", 8) == 0   ? tail.data()
                          : std::memcmp(head.data(), "conectix", 8) == 0 ? head.data()
                                                                         : nullptr;
  if (footer != nullptr) {
    switch (Be32(footer + 60)) {
      case 2:
        return Virtual("vpc", "VHD (fixed)");
      case 3:
        return Virtual("vpc", "VHD (dynamic)");
      case 4:
        return Refused("VHD", "a differencing VHD: its parent disk is not followed");
      default:
        return Refused("VHD", "a VHD of an unknown kind");
    }
  }
  if (std::memcmp(head.data(), "KDMV", 4) == 0) {
    const uint32_t flags = Le32(head.data() + 8);
    const uint64_t at = Le64(head.data() + 28);
    const uint64_t sectors = Le64(head.data() + 36);
    const uint16_t compression = static_cast<uint16_t>(head[77] | head[78] << 8);
    std::string text;
    if (at != 0 && sectors != 0 && sectors <= kMaxDescriptor / 512 && at <= *size / 512 &&
        sectors * 512 <= *size - at * 512) {
      text.resize(static_cast<size_t>(sectors * 512));
      if (!ReadFully(image, at * 512, text.data(), text.size())) text.clear();
      text.resize(std::strlen(text.c_str()));
    }
    const bool stream = (flags & (1u << 16)) != 0 || compression != 0;
    return Vmdk(text, true, stream ? "streamOptimized" : "");
  }
  if (std::memcmp(head.data(), "COWD", 4) == 0) {
    return Refused("VMDK", "a VMDK of the old (version 1) kind");
  }
  return DiskFormat{};
}

}  // namespace inside
