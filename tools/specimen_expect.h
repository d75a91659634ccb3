// What cleaning a specimen must leave behind, worked out from the specimen
// alone: the tests and the sweep compare the cleaner's result with it.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/specimen_infect.h"

namespace specimen {

// The bytes before the body, with the entry point, the last section's
// SizeOfRawData (body start minus PointerToRawData) and every hooked export
// slot set back. The checksum field stays as the specimen holds it.
std::vector<uint8_t> ExpectedCleanBytes(const Infection& infection);

}  // namespace specimen
