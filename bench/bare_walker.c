/* The baseline for krizclean's walk: the least work a scan of every file
 * can do, written plainly in C. For every regular file below the roots it
 * opens the file, reads the DOS header and, for a PE image, the NT headers
 * and section table and 256 bytes at the entry point, and closes it. Every
 * folder but "." and ".." is walked, as krizclean walks them. Prints how many
 * files and images it read.
 *
 *   bare_walker DIR...
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kDosHeader = 64, kNtHeaders = 248, kSectionHeader = 40, kMaxSections = 96, kWindow = 256 };

static unsigned long g_files;
static unsigned long g_images;

static uint32_t Le16(const unsigned char* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }

static uint32_t Le32(const unsigned char* p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* The file offset of `rva` through the section table, or UINT32_MAX. */
static uint32_t FileOffset(const unsigned char* table, uint32_t count, uint32_t rva) {
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* s = table + i * kSectionHeader;
    uint32_t size = Le32(s + 8) > Le32(s + 16) ? Le32(s + 8) : Le32(s + 16);
    uint32_t va = Le32(s + 12);
    if (rva >= va && rva - va < size) return rva - va + Le32(s + 20);
  }
  return UINT32_MAX;
}

static void ReadFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return;
  ++g_files;
  unsigned char dos[kDosHeader];
  if (pread(fd, dos, sizeof dos, 0) == (ssize_t)sizeof dos && dos[0] == 'M' && dos[1] == 'Z') {
    static unsigned char headers[kNtHeaders + kMaxSections * kSectionHeader];
    ssize_t got = pread(fd, headers, sizeof headers, (off_t)Le32(dos + 60));
    if (got >= kNtHeaders && memcmp(headers, "PE\0\0", 4) == 0) {
      uint32_t count = Le16(headers + 6);
      uint32_t table = 24 + Le16(headers + 20);
      if (count > ((uint32_t)got - table) / kSectionHeader)
        count = ((uint32_t)got - table) / kSectionHeader;
      uint32_t offset = FileOffset(headers + table, count, Le32(headers + 40));
      if (offset != UINT32_MAX) {
        unsigned char window[kWindow];
        if (pread(fd, window, sizeof window, (off_t)offset) > 0) ++g_images;
      }
    }
  }
  close(fd);
}

static void Walk(char* path, size_t length) {
  DIR* dir = opendir(path);
  if (dir == NULL) return;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    size_t name = strlen(entry->d_name);
    if (length + 1 + name >= PATH_MAX) continue;
    path[length] = '/';
    memcpy(path + length + 1, entry->d_name, name + 1);
    unsigned char type = entry->d_type;
    if (type == DT_UNKNOWN) {
      struct stat info;
      if (lstat(path, &info) != 0) continue;
      type = S_ISDIR(info.st_mode) ? DT_DIR : S_ISREG(info.st_mode) ? DT_REG : DT_UNKNOWN;
    }
    if (type == DT_DIR && strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      Walk(path, length + 1 + name);
    } else if (type == DT_REG) {
      ReadFile(path);
    }
    path[length] = '\0';
  }
  closedir(dir);
}

int main(int argc, char** argv) {
  static char path[PATH_MAX];
  for (int i = 1; i < argc; ++i) {
    size_t length = strlen(argv[i]);
    if (length >= PATH_MAX) continue;
    memcpy(path, argv[i], length + 1);
    while (length > 1 && path[length - 1] == '/') path[--length] = '\0';
    Walk(path, length);
  }
  printf("%lu files, %lu PE images\n", g_files, g_images);
  return 0;
}
