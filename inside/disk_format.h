// The format of a disk image file, decided from the file's own marks and
// never probed by QEMU: an untrusted raw disk whose guest wrote a qcow2
// header must not make QEMU open a host file as its backing file. What each
// format may name beside itself (a qcow2 backing file, a VMDK's extents) is
// read here too, so that it is followed only when it is a plain name of a
// file beside the image.
#pragma once

#include <string>
#include <vector>

#include "os/byte_source.h"

namespace inside {

struct DiskFormat {
  enum class Kind {
    Raw,      // no marks of any format: the bytes are the disk
    Virtual,  // a virtual machine's disk, read through QEMU as `driver`
    Refused,  // a virtual disk that is not opened, for `refusal`
  };
  Kind kind = Kind::Raw;
  std::string driver;    // QEMU's driver: qcow2, vpc, vhdx, vdi, vmdk
  std::string name;      // for a user: "qcow2", "VHD (dynamic)", ...
  std::string refusal;   // Refused: why, in words for a user
  std::string readOnly;  // why its files are only scanned (QEMU only reads it)
  // qcow2: the backing file's name as the image holds it; empty when none.
  std::string backing;
  // VMDK descriptor: the extent files it names; QEMU opens them beside it.
  std::vector<std::string> extents;
};

// The format of `image` by its marks: qcow2 ("QFI\xfb"), VHDX
// ("vhdxfile"), VDI (its signature at 0x40), VHD ("conectix" in its footer
// or at its start), VMDK ("KDMV" or a text descriptor); Raw otherwise.
DiskFormat FormatOf(os::ByteSource& image);

// Whether `name`, read from an image, names a file beside it: not empty,
// no folder part ('/' or '\'), not "." or "..", no control character.
bool IsPlainNameBeside(const std::string& name);

}  // namespace inside
