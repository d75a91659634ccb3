# Writes the bytes of an assembled program as a C++ source that defines
# repair::BootRenameProgramImage().
#   cmake -DINPUT=PUI.COM -DOUTPUT=boot_program_image.cpp -P embed_image.cmake
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
if(digits EQUAL 0)
  message(FATAL_ERROR "embed_image: ${INPUT} is empty")
endif()
# Sixteen bytes a line.
set(bytes "")
set(offset 0)
while(offset LESS digits)
  string(SUBSTRING "${hex}" ${offset} 32 chunk)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " chunk "${chunk}")
  string(STRIP "${chunk}" chunk)
  string(APPEND bytes "    ${chunk}\n")
  math(EXPR offset "${offset} + 32")
endwhile()
file(WRITE "${OUTPUT}.tmp" "// Generated from PUI.COM by embed_image.cmake: do not edit.
#include \"repair/boot/boot_program.h\"

namespace repair {
namespace {

constexpr uint8_t kImage[] = {
${bytes}};

}  // namespace

std::span<const uint8_t> BootRenameProgramImage() { return kImage; }

}  // namespace repair
")
# Only a changed image rebuilds what depends on it.
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
