// Writes the tree that bench/walk_speed.sh scans: FILES files spread evenly
// over 20 folders of 15 subfolders each. Every tenth file is a small PE32
// program made with the specimen builder (one in fifty of those a near miss,
// which the infection test must read further into); the rest are other files
// of 64 bytes to 4 KiB, some of them DOS-style "MZ" files without PE headers.
// The same arguments always give the same tree.
//
//   make_walk_tree OUT [FILES]      (FILES defaults to 20000)
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tools/file_bytes.h"
#include "tools/pe_format.h"
#include "tools/specimen_image.h"
#include "tools/specimen_infect.h"

namespace {

namespace fs = std::filesystem;
namespace pe = specimen::pe;

constexpr int kTopFolders = 20;
constexpr int kSubfolders = 15;
constexpr const char* kOtherEndings[] = {".txt", ".dat", ".dll", ".ini", ".bmp",
                                         ".hlp", ".doc", ".wav", ".com"};

std::optional<std::vector<uint8_t>> Program(std::mt19937& random) {
  const uint32_t codeSize = 0x200u * (1 + static_cast<uint32_t>(random() % 8));
  specimen::ImageSpec spec;
  spec.sections.push_back({".text", codeSize, pe::kSectionCode | pe::kSectionRead,
                           std::vector<uint8_t>(codeSize, 0xCC)});
  spec.sections.push_back({".data", 0x200, pe::kSectionInitializedData | pe::kSectionRead,
                           std::vector<uint8_t>(0x200, 0)});
  return specimen::BuildImage(spec, nullptr);
}

std::vector<uint8_t> OtherFile(std::mt19937& random, bool dosStyle) {
  std::vector<uint8_t> bytes(64 + random() % 4033);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  if (dosStyle) {
    bytes[0] = 'M';
    bytes[1] = 'Z';
  }
  return bytes;
}

bool Write(const fs::path& path, const std::vector<uint8_t>& bytes) {
  return specimen::WriteFileBytes(path.string(), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fputs("usage: make_walk_tree OUT [FILES]\n", stderr);
    return 2;
  }
  const fs::path out = argv[1];
  const int files = argc == 3 ? std::stoi(argv[2]) : 20000;
  constexpr int kFolders = kTopFolders * kSubfolders;

  std::mt19937 random(4050);
  int programs = 0;
  for (int i = 0; i < files; ++i) {
    const int folder = static_cast<int>(static_cast<int64_t>(i) * kFolders / files);
    char relative[64];
    std::snprintf(relative, sizeof relative, "d%02d/s%02d", folder / kSubfolders,
                  folder % kSubfolders);
    const fs::path dir = out / relative;
    fs::create_directories(dir);

    char name[32];
    std::vector<uint8_t> bytes;
    if (i % 10 == 0) {
      std::optional<std::vector<uint8_t>> program = Program(random);
      if (!program) return 1;
      if (programs++ % 50 == 0) {
        specimen::InfectSpec nearMiss;
        nearMiss.nearMiss = specimen::NearMiss::SignatureOffByOne;
        std::optional<specimen::Infection> made = specimen::Infect(*program, nearMiss, nullptr);
        if (!made) return 1;
        program = std::move(made->bytes);
      }
      bytes = std::move(*program);
      std::snprintf(name, sizeof name, "prog%05d.exe", i);
    } else {
      bytes = OtherFile(random, i % 10 == 5);
      std::snprintf(name, sizeof name, "file%05d%s", i, kOtherEndings[i % 9]);
    }
    if (!Write(dir / name, bytes)) {
      std::fprintf(stderr, "make_walk_tree: cannot write %s\n", (dir / name).c_str());
      return 1;
    }
  }
  std::printf("%d files (%d programs) in %d folders under %s\n", files, programs, kFolders,
              out.c_str());
  return 0;
}
