// A virtual machine's disk (qcow2, VHD, VHDX, VDI, VMDK) looked into as the
// disk its guest sees, through QEMU's block layer (os/guest_disk.h): the
// partitions and file systems on it are read as on a raw image, and files on
// FAT are cleaned by the same reader and writer, by guest offsets. The
// format is the one its marks show (disk_format.h), given to QEMU, never
// probed; a backing file is followed only when it is a plain name beside the
// image, owned as the image is; a VMDK's extents likewise. A journal of
// kind Guest left beside the image by a killed run is carried out through
// the same path before the disk is read, by a run that may clean.
#pragma once

#include <string>

#include "inside/disk_format.h"
#include "inside/disk_image.h"
#include "os/file.h"

namespace inside {

// Looks into the virtual disk `image`, of `format`, that lies where `home`
// says.
LookResult ScanVirtualDisk(os::File& image, const DiskFormat& format, const ImageHome& home,
                           const std::string& shown, const Seams& seams);

}  // namespace inside
