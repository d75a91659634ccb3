// Small clean images that the engine tests start from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/specimen_expect.h"
#include "tools/specimen_image.h"
#include "tools/specimen_infect.h"

namespace test_support {

// A program with a code and a data section and no exports.
std::vector<uint8_t> SmallProgram(uint32_t checkSum = 0);

// A library exporting the 16 hooked names among others, under `moduleName`.
std::vector<uint8_t> KernelLibrary(const std::string& moduleName = "KERNEL32.dll",
                                   uint32_t checkSum = 0);

// The same image laid out as a 64-bit (PE32+) one: the optional header's magic
// 0x20B and the section table 16 bytes further on, in the headers' slack.
// Nothing else moves, so entry point and section data stay where they were.
std::vector<uint8_t> AsPe32Plus(std::vector<uint8_t> image);

// Infects `clean`; fails the test when the builder refuses.
specimen::Infection InfectOrFail(const std::vector<uint8_t>& clean,
                                 const specimen::InfectSpec& spec = {});

using specimen::ExpectedCleanBytes;

// ExpectedCleanBytes with the checksum field as the repair leaves it: the
// true sum where the header held one, 0 where it held none.
std::vector<uint8_t> ExpectedRepairedBytes(const specimen::Infection& infection);

}  // namespace test_support
