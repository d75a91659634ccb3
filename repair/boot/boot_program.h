// The boot-time rename program PUI.COM: a 16-bit DOS program that carries out
// WININI32.INI at the next start of Windows 9x. Assembled from pui.asm when
// the project is built.
#pragma once

#include <cstdint>
#include <span>

namespace repair {

// The program's whole file, as it is written to disk.
std::span<const uint8_t> BootRenameProgramImage();

}  // namespace repair
