#include "tests/dos/dos_machine.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "tests/dos/dos_drive.h"

namespace dos_test {
namespace {

// Where the program's memory lies, as linear addresses. The environment block
// ends at a page end, so that any read past it meets unmapped memory: nothing
// is mapped for 64 KiB after it, as far as any offset from its segment
// reaches. The program's segment is a whole 64 KiB of its own.
constexpr uint64_t kEnvironmentPagesEnd = 0x10000;
constexpr uint64_t kLargestEnvironment = 0xF000;
constexpr uint16_t kProgramSegment = 0x2000;
constexpr uint64_t kProgramBase = uint64_t{kProgramSegment} << 4;
constexpr uint64_t kSegmentSize = 0x10000;
constexpr uint64_t kPage = 0x1000;
constexpr uint16_t kImageOffset = 0x100;
constexpr uint16_t kEnvironmentField = 0x2C;
constexpr size_t kLongestName = 1024;  // a name DOS is asked for ends within this

constexpr uint32_t kCarryFlag = 1;

uint64_t RoundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

class Machine {
 public:
  Machine(std::span<const uint8_t> image, const DosSetup& setup)
      : image_(image), setup_(setup), drive_(setup.driveC, setup.currentDirectory) {
    drive_.SetRenameOntoExistingError(setup.renameOntoExistingError);
  }
  ~Machine() {
    if (uc_ != nullptr) uc_close(uc_);
  }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  DosRun Run();

 private:
  bool Load();
  void Fault(const std::string& what);
  bool Check(uc_err err, const char* what);

  uint16_t Reg(int id);
  void SetReg(int id, uint16_t value);
  void Answer(DosCall& call, const DosResult& result, uint16_t axOnSuccess);

  // Whether [linear, linear + size) lies in memory the program may use.
  bool InProgramMemory(uint64_t linear, uint64_t size) const;
  std::optional<std::string> NameAt(uint16_t segment, uint16_t offset);

  void Service();

  static void OnInterrupt(uc_engine* uc, uint32_t number, void* self);
  static void OnCode(uc_engine* uc, uint64_t address, uint32_t size, void* self);
  static void OnImageWrite(uc_engine* uc, uc_mem_type type, uint64_t address, int size,
                           int64_t value, void* self);

  std::span<const uint8_t> image_;
  const DosSetup& setup_;
  DosDrive drive_;
  uc_engine* uc_ = nullptr;
  uint64_t environmentBase_ = 0;
  uint64_t environmentSize_ = 0;
  DosRun run_;
};

void Machine::Fault(const std::string& what) {
  if (run_.fault.empty()) run_.fault = what;
  uc_emu_stop(uc_);
}

bool Machine::Check(uc_err err, const char* what) {
  if (err == UC_ERR_OK) return true;
  if (run_.fault.empty()) run_.fault = std::string(what) + ": " + uc_strerror(err);
  return false;
}

uint16_t Machine::Reg(int id) {
  uint64_t value = 0;  // wide enough for any register Unicorn writes back
  uc_reg_read(uc_, id, &value);
  return static_cast<uint16_t>(value);
}

void Machine::SetReg(int id, uint16_t value) {
  uint64_t wide = value;
  uc_reg_write(uc_, id, &wide);
}

bool Machine::InProgramMemory(uint64_t linear, uint64_t size) const {
  auto within = [&](uint64_t base, uint64_t length) {
    return linear >= base && size <= length && linear - base <= length - size;
  };
  return within(kProgramBase, kSegmentSize) || within(environmentBase_, environmentSize_);
}

bool Machine::Load() {
  if (image_.size() > kSegmentSize - kImageOffset - 2) {
    run_.fault = "image does not fit a COM program's segment";
    return false;
  }
  // DOS gives the environment a block of whole paragraphs.
  environmentSize_ = RoundUp(std::max<size_t>(setup_.environment.size(), 1), 16);
  if (environmentSize_ > kLargestEnvironment) {
    run_.fault = "environment too large";
    return false;
  }
  environmentBase_ = kEnvironmentPagesEnd - environmentSize_;
  uint64_t environmentPages = RoundUp(environmentSize_, kPage);
  if (!Check(uc_open(UC_ARCH_X86, UC_MODE_16, &uc_), "uc_open") ||
      !Check(
          uc_mem_map(uc_, kEnvironmentPagesEnd - environmentPages, environmentPages, UC_PROT_ALL),
          "map environment") ||
      !Check(uc_mem_map(uc_, kProgramBase, kSegmentSize, UC_PROT_ALL), "map program")) {
    return false;
  }
  if (!setup_.environment.empty() &&
      !Check(
          uc_mem_write(uc_, environmentBase_, setup_.environment.data(), setup_.environment.size()),
          "write environment")) {
    return false;
  }

  // The program segment prefix: INT 20h at its start, the first paragraph
  // after the segment as the top of memory, the environment's segment, and an
  // empty command tail.
  uint8_t psp[0x100] = {0xCD, 0x20};
  uint16_t top = static_cast<uint16_t>(kProgramSegment + 0x1000);
  psp[2] = static_cast<uint8_t>(top);
  psp[3] = static_cast<uint8_t>(top >> 8);
  auto environmentSegment = static_cast<uint16_t>(environmentBase_ >> 4);
  psp[kEnvironmentField] = static_cast<uint8_t>(environmentSegment);
  psp[kEnvironmentField + 1] = static_cast<uint8_t>(environmentSegment >> 8);
  psp[0x80] = 0;
  psp[0x81] = 0x0D;
  if (!Check(uc_mem_write(uc_, kProgramBase, psp, sizeof psp), "write PSP") ||
      !Check(uc_mem_write(uc_, kProgramBase + kImageOffset, image_.data(), image_.size()),
             "write image")) {
    return false;
  }
  // The word 0 that DOS leaves on a COM program's stack.
  for (int id : {UC_X86_REG_CS, UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_SS}) {
    SetReg(id, kProgramSegment);
  }
  SetReg(UC_X86_REG_SP, 0xFFFE);

  uc_hook hook;
  uint64_t imageStart = kProgramBase + kImageOffset;
  uint64_t imageLast = imageStart + image_.size() - 1;
  return Check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(OnInterrupt), this, 1,
                           0),
               "hook interrupts") &&
         Check(uc_hook_add(uc_, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(OnCode), this, 1, 0),
               "hook code") &&
         Check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_WRITE, reinterpret_cast<void*>(OnImageWrite),
                           this, imageStart, imageLast),
               "hook image writes");
}

DosRun Machine::Run() {
  if (Load()) {
    uc_err err = uc_emu_start(uc_, kProgramBase + kImageOffset, 0, 0, 0);
    if (err != UC_ERR_OK && run_.fault.empty()) {
      uint64_t ip = 0;
      uc_reg_read(uc_, UC_X86_REG_IP, &ip);
      char where[64];
      std::snprintf(where, sizeof where, " at IP %04llXh", static_cast<unsigned long long>(ip));
      run_.fault = std::string(uc_strerror(err)) + where;
    }
    if (!run_.ended && run_.fault.empty()) run_.fault = "stopped without INT 21h 4Ch";
  }
  return std::move(run_);
}

void Machine::OnCode(uc_engine*, uint64_t address, uint32_t size, void* self) {
  auto* machine = static_cast<Machine*>(self);
  uint64_t imageStart = kProgramBase + kImageOffset;
  if (address < imageStart || address + size > imageStart + machine->image_.size()) {
    machine->Fault("ran code outside the image");
  } else if (++machine->run_.instructions > machine->setup_.instructionLimit) {
    machine->Fault("ran more than " + std::to_string(machine->setup_.instructionLimit) +
                   " instructions");
  }
}

void Machine::OnImageWrite(uc_engine*, uc_mem_type, uint64_t, int, int64_t, void* self) {
  static_cast<Machine*>(self)->Fault("wrote into its own image");
}

void Machine::OnInterrupt(uc_engine*, uint32_t number, void* self) {
  auto* machine = static_cast<Machine*>(self);
  if (number != 0x21) {
    machine->Fault("INT " + std::to_string(number));
    return;
  }
  machine->Service();
}

std::optional<std::string> Machine::NameAt(uint16_t segment, uint16_t offset) {
  std::string name;
  for (size_t i = 0; i < kLongestName; ++i) {
    // Offsets wrap within the segment, as the CPU's would.
    uint64_t linear = (uint64_t{segment} << 4) + static_cast<uint16_t>(offset + i);
    if (!InProgramMemory(linear, 1)) {
      Fault("a name outside the program's memory");
      return std::nullopt;
    }
    char c = 0;
    uc_mem_read(uc_, linear, &c, 1);
    if (c == 0) return name;
    name += c;
  }
  Fault("a name without its zero byte");
  return std::nullopt;
}

void Machine::Answer(DosCall& call, const DosResult& result, uint16_t axOnSuccess) {
  uint64_t flags = 0;
  uc_reg_read(uc_, UC_X86_REG_EFLAGS, &flags);
  if (result.ok()) {
    flags &= ~uint64_t{kCarryFlag};
    SetReg(UC_X86_REG_AX, axOnSuccess);
  } else {
    flags |= kCarryFlag;
    call.error = *result.error;
    SetReg(UC_X86_REG_AX, *result.error);
  }
  uc_reg_write(uc_, UC_X86_REG_EFLAGS, &flags);
  run_.calls.push_back(call);
}

void Machine::Service() {
  DosCall call;
  call.ax = Reg(UC_X86_REG_AX);
  uint16_t ds = Reg(UC_X86_REG_DS);
  uint16_t dx = Reg(UC_X86_REG_DX);
  uint16_t bx = Reg(UC_X86_REG_BX);
  uint16_t cx = Reg(UC_X86_REG_CX);
  uint16_t ax = call.ax;
  auto ah = static_cast<uint8_t>(ax >> 8);

  // The services that take a name in DS:DX.
  auto named = [&]() {
    std::optional<std::string> name = NameAt(ds, dx);
    if (name) call.name = *name;
    return name.has_value();
  };

  if (ah == 0x4C) {
    run_.ended = true;
    run_.exitCode = static_cast<uint8_t>(ax);
    run_.calls.push_back(call);
    uc_emu_stop(uc_);
  } else if (ah == 0x3B) {
    if (named()) Answer(call, drive_.ChangeDirectory(call.name), ax);
  } else if (ah == 0x41) {
    if (named()) Answer(call, drive_.Delete(call.name), ax);
  } else if (ax == 0x3D00) {
    uint16_t handle = 0;
    if (named()) {
      DosResult result = drive_.OpenForReading(call.name, &handle);
      Answer(call, result, handle);
    }
  } else if (ah == 0x3F) {
    uint64_t buffer = (uint64_t{ds} << 4) + dx;
    if (!InProgramMemory(buffer, cx) || (buffer < kProgramBase + kImageOffset + image_.size() &&
                                         buffer + cx > kProgramBase + kImageOffset)) {
      Fault("a read into memory that is not the program's data");
      return;
    }
    std::vector<uint8_t> bytes;
    DosResult result = drive_.Read(bx, cx, &bytes);
    if (!bytes.empty()) uc_mem_write(uc_, buffer, bytes.data(), bytes.size());
    Answer(call, result, static_cast<uint16_t>(bytes.size()));
  } else if (ax == 0x4201) {
    auto offset = static_cast<int32_t>((uint32_t{cx} << 16) | dx);
    uint32_t position = 0;
    bool beforeStart = false;
    DosResult result = drive_.MoveFromCurrent(bx, offset, &position, &beforeStart);
    if (beforeStart) {
      Fault("moved before the start of a file");
      return;
    }
    if (result.ok()) SetReg(UC_X86_REG_DX, static_cast<uint16_t>(position >> 16));
    Answer(call, result, static_cast<uint16_t>(position));
  } else if (ah == 0x3E) {
    Answer(call, drive_.Close(bx), ax);
  } else if (ax == 0x7156) {
    std::optional<std::string> newName = NameAt(Reg(UC_X86_REG_ES), Reg(UC_X86_REG_DI));
    if (!newName || !named()) return;
    call.newName = *newName;
    Answer(call, drive_.Rename(call.name, call.newName), ax);
  } else if (ax == 0x7143) {
    if (static_cast<uint8_t>(bx) != 1 || cx != 0) {
      Fault("INT 21h 7143h other than setting the attributes to 0");
      return;
    }
    if (named()) Answer(call, drive_.ClearAttributes(call.name), ax);
  } else if (ax == 0x7141) {
    if (Reg(UC_X86_REG_SI) != 0 || cx != 0) {
      Fault("INT 21h 7141h with wildcards or attribute masks");
      return;
    }
    if (named()) Answer(call, drive_.Delete(call.name), ax);
  } else {
    char text[48];
    std::snprintf(text, sizeof text, "INT 21h service %04Xh", ax);
    Fault(text);
  }
}

}  // namespace

std::vector<uint8_t> EnvironmentBlock(const std::vector<std::string>& variables,
                                      const std::string& programPath) {
  std::vector<uint8_t> block;
  for (const std::string& variable : variables) {
    block.insert(block.end(), variable.begin(), variable.end());
    block.push_back(0);
  }
  block.push_back(0);
  block.push_back(1);  // the count word: one string follows
  block.push_back(0);
  block.insert(block.end(), programPath.begin(), programPath.end());
  block.push_back(0);
  return block;
}

DosRun RunComProgram(std::span<const uint8_t> image, const DosSetup& setup) {
  Machine machine(image, setup);
  return machine.Run();
}

}  // namespace dos_test
