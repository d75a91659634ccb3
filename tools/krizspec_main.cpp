// krizspec: writes clean test images and inert infected-looking specimens.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/file_bytes.h"
#include "tools/pe_format.h"
#include "tools/specimen_image.h"
#include "tools/specimen_infect.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage:\n"
    "  krizspec image OUT [--dll] [--exports MODULE NAME...] [--checksum HEX]\n"
    "      Writes a small PE32 program (or library, with --dll) with one code\n"
    "      section of filler bytes and one data section; --exports adds an\n"
    "      export directory naming MODULE with one function per NAME.\n"
    "  krizspec infect IN OUT [--key N] [--pos N] [--near-miss KIND]\n"
    "      Writes an inert copy of IN laid out like an infected file: body key N\n"
    "      (0..255, default 0x5A), marker N bytes into the body (default 0).\n"
    "      KIND: signature-off-by-one, signature-case, missing-terminator,\n"
    "            marker-only, body-cut-short, entry-in-no-section\n"
    "  krizspec -h | --help\n"
    "Numbers are decimal, or hexadecimal with a 0x prefix.\n";

constexpr uint32_t kCodeSize = 0x400;
constexpr uint32_t kDataSize = 0x200;
constexpr uint8_t kCodeFiller = 0xCC;

int Usage(std::string_view problem) {
  std::fprintf(stderr, "krizspec: %.*s\n%s", static_cast<int>(problem.size()), problem.data(),
               kUsage);
  return kExitUsage;
}

int Failure(const std::string& what) {
  std::fprintf(stderr, "krizspec: %s\n", what.c_str());
  return kExitFailure;
}

std::optional<uint32_t> ParseNumber(std::string_view text, int base) {
  if (base == 0) {
    base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      text.remove_prefix(2);
      base = 16;
    }
  }
  uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, fault] = std::from_chars(text.data(), end, value, base);
  if (text.empty() || fault != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::optional<specimen::NearMiss> ParseNearMiss(std::string_view kind) {
  using specimen::NearMiss;
  if (kind == "signature-off-by-one") return NearMiss::SignatureOffByOne;
  if (kind == "signature-case") return NearMiss::SignatureCase;
  if (kind == "missing-terminator") return NearMiss::MissingTerminator;
  if (kind == "marker-only") return NearMiss::MarkerOnly;
  if (kind == "body-cut-short") return NearMiss::BodyCutShort;
  if (kind == "entry-in-no-section") return NearMiss::EntryInNoSection;
  return std::nullopt;
}

int RunImage(const std::vector<std::string_view>& args) {
  if (args.empty()) return Usage("image needs OUT");
  specimen::ImageSpec spec;
  for (size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--dll") {
      spec.dll = true;
    } else if (args[i] == "--checksum") {
      if (++i == args.size()) return Usage("--checksum needs a value");
      std::string_view hex = args[i];
      if (hex.size() > 2 && hex[0] == '0' && (hex[1] == 'x' || hex[1] == 'X')) hex.remove_prefix(2);
      const std::optional<uint32_t> value = ParseNumber(hex, 16);
      if (!value) return Usage("--checksum needs a hexadecimal 32-bit value");
      spec.checkSum = *value;
    } else if (args[i] == "--exports") {
      if (++i == args.size()) return Usage("--exports needs MODULE and at least one NAME");
      specimen::ExportSpec exports{std::string(args[i]), {}};
      while (i + 1 < args.size() && args[i + 1].substr(0, 2) != "--") {
        exports.names.emplace_back(args[++i]);
      }
      if (exports.names.empty()) return Usage("--exports needs at least one NAME");
      spec.exports = std::move(exports);
    } else {
      return Usage("unknown option " + std::string(args[i]));
    }
  }

  // Room for the exported functions in the code section, 16 bytes each.
  const size_t exportCount = spec.exports ? spec.exports->names.size() : 0;
  const uint32_t codeSize = std::max<uint32_t>(
      kCodeSize, static_cast<uint32_t>((16 * exportCount + kDataSize - 1) / kDataSize * kDataSize));
  namespace pe = specimen::pe;
  spec.sections.push_back({".text", codeSize,
                           pe::kSectionCode | pe::kSectionExecute | pe::kSectionRead,
                           std::vector<uint8_t>(codeSize, kCodeFiller)});
  spec.sections.push_back({".data", kDataSize,
                           pe::kSectionInitializedData | pe::kSectionRead | pe::kSectionWrite,
                           std::vector<uint8_t>(kDataSize, 0)});

  std::string error;
  const std::optional<std::vector<uint8_t>> image = specimen::BuildImage(spec, &error);
  if (!image) return Failure("cannot build image: " + error);
  const std::string out(args[0]);
  if (!specimen::WriteFileBytes(out, *image)) return Failure("cannot write " + out);
  return kExitOk;
}

int RunInfect(const std::vector<std::string_view>& args) {
  if (args.size() < 2) return Usage("infect needs IN and OUT");
  specimen::InfectSpec spec;
  for (size_t i = 2; i < args.size(); ++i) {
    const std::string_view option = args[i];
    if (++i == args.size()) return Usage(std::string(option) + " needs a value");
    const std::string_view value = args[i];
    if (option == "--key") {
      const std::optional<uint32_t> key = ParseNumber(value, 0);
      if (!key || *key > 0xFF) return Usage("--key needs a number from 0 to 255");
      spec.key = static_cast<uint8_t>(*key);
    } else if (option == "--pos") {
      const std::optional<uint32_t> pos = ParseNumber(value, 0);
      if (!pos || *pos > specimen::kMaxMarkerPos) {
        return Usage("--pos needs a number from 0 to " + std::to_string(specimen::kMaxMarkerPos));
      }
      spec.markerPos = *pos;
    } else if (option == "--near-miss") {
      const std::optional<specimen::NearMiss> kind = ParseNearMiss(value);
      if (!kind) return Usage("unknown near-miss kind " + std::string(value));
      spec.nearMiss = *kind;
    } else {
      return Usage("unknown option " + std::string(option));
    }
  }

  const std::string in(args[0]);
  const std::string out(args[1]);
  const std::optional<std::vector<uint8_t>> clean = specimen::ReadFileBytes(in);
  if (!clean) return Failure("cannot read " + in);
  std::string error;
  const std::optional<specimen::Infection> infection = specimen::Infect(*clean, spec, &error);
  if (!infection) return Failure(in + ": " + error);
  if (!specimen::WriteFileBytes(out, infection->bytes)) return Failure("cannot write " + out);

  size_t hooked = 0;
  for (const auto& slot : infection->hookedSlots) {
    if (slot) ++hooked;
  }
  std::printf("%s: body at 0x%X (RVA 0x%X), marker at 0x%X, key 0x%02X, %zu export slots hooked\n",
              out.c_str(), infection->bodyOffset, infection->bodyRva, infection->markerOffset,
              infection->key, hooked);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (std::string_view arg : args) {
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
  }
  if (args.empty()) return Usage("no command given");
  const std::string_view command = args.front();
  args.erase(args.begin());
  if (command == "image") return RunImage(args);
  if (command == "infect") return RunInfect(args);
  return Usage("unknown command " + std::string(command));
}
