#include "os/guest_disk.h"

#include <fcntl.h>
#include <libnbd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace os {
namespace {

constexpr const char* kSocket = "disk.sock";
constexpr const char* kErrors = "errors";
// One NBD request carries no more than this (QEMU's server takes 32 MiB).
constexpr uint32_t kMaxRequest = 16u << 20;
// How long the server may take to open the image, and to end after we left.
constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kEndTimeout = std::chrono::seconds(20);

// A JSON string, for QEMU's json: pseudo-protocol.
std::string JsonString(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The descriptor a /proc/self/fd/N path names (the rest after it, if any, is
// a name inside that folder); -1 when it names none.
int DescriptorIn(const std::string& path) {
  static constexpr char kPrefix[] = "/proc/self/fd/";
  if (path.compare(0, sizeof kPrefix - 1, kPrefix) != 0) return -1;
  int fd = 0;
  size_t i = sizeof kPrefix - 1;
  if (i >= path.size() || path[i] < '0' || path[i] > '9') return -1;
  for (; i < path.size() && path[i] >= '0' && path[i] <= '9'; ++i) {
    fd = fd * 10 + (path[i] - '0');
    if (fd > 1 << 20) return -1;
  }
  return fd;
}

// The private folder: made by mkdtemp (mode 0700, a name nobody else had).
std::string MakePrivateFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string folder = base != nullptr && base[0] == '/' && std::strlen(base) < 60 ? base : "/tmp";
  folder += "/krizclean-disk-XXXXXX";
  std::vector<char> name(folder.begin(), folder.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) return std::string();
  return std::string(name.data());
}

// QEMU's message, on one line, without its program name.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  for (const char* prefix : {"qemu-nbd: ", "Failed to blk_new_open "}) {
    for (size_t at; (at = text.find(prefix)) != std::string::npos;) text.erase(at, strlen(prefix));
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

struct GuestDisk::State {
  nbd_handle* nbd = nullptr;
  pid_t server = -1;
  int folder = -1;  // the private folder, until the server answers
  std::string folderPath;
  int errors = -1;  // the server's standard error, a file no longer named there

  // Once connected, the private folder goes: the server serves one client
  // only, and nothing is left behind on the disk however we end.
  void RemoveFolder() {
    if (folder < 0) return;
    ::unlinkat(folder, kSocket, 0);
    ::unlinkat(folder, kErrors, 0);
    ::close(folder);
    folder = -1;
    ::rmdir(folderPath.c_str());
  }

  ~State() {
    if (nbd != nullptr) {
      nbd_shutdown(nbd, 0);
      nbd_close(nbd);
    }
    if (server > 0) {
      // Without a client left the server ends by itself (it serves one);
      // one that hangs is killed.
      const auto until = std::chrono::steady_clock::now() + kEndTimeout;
      int status = 0;
      while (::waitpid(server, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
          ::kill(server, SIGKILL);
          ::waitpid(server, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    RemoveFolder();
    if (errors >= 0) ::close(errors);
  }

  std::string Errors() const {
    std::array<char, 4096> text{};
    ssize_t got = errors < 0 ? -1 : ::pread(errors, text.data(), text.size() - 1, 0);
    return got > 0 ? OneLine(std::string(text.data(), static_cast<size_t>(got))) : std::string();
  }
};

GuestDisk::GuestDisk(std::unique_ptr<State> state, uint64_t size, bool writable)
    : state_(std::move(state)), size_(size), writable_(writable) {}

GuestDisk::~GuestDisk() = default;

int64_t GuestDisk::ServerId() const { return state_ ? state_->server : -1; }

std::unique_ptr<GuestDisk> GuestDisk::Open(const GuestDiskSpec& spec, Failure& failure,
                                           std::string& error) {
  failure = Failure::Refused;
  error.clear();
  if (spec.layers.empty()) {
    error = "no image";
    return nullptr;
  }
  auto state = std::make_unique<State>();
  state->folderPath = MakePrivateFolder();
  if (state->folderPath.empty()) {
    failure = Failure::NoServer;
    error = "no private folder for its server can be made";
    return nullptr;
  }
  state->folder =
      ::open(state->folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
  const std::string socket = state->folderPath + "/" + kSocket;
  const int errors = state->folder < 0
                         ? -1
                         : ::openat(state->folder, kErrors,
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (errors < 0 || null < 0) {
    if (errors >= 0) ::close(errors);
    if (null >= 0) ::close(null);
    failure = Failure::NoServer;
    error = "no private folder for its server can be made";
    return nullptr;
  }

  // Every layer's driver named, and its file given by the path the caller
  // chose, the one below the last layer none: QEMU probes nothing and
  // follows no name that an image holds.
  std::vector<int> inherited;
  std::string options = "null";
  // Read-only beside a writer: QEMU's locks are not asked for (a scan only).
  const char* locking = !spec.writable && spec.shareWithWriter ? "off" : "on";
  for (auto layer = spec.layers.rbegin(); layer != spec.layers.rend(); ++layer) {
    options = "{\"driver\":" + JsonString(layer->format) +
              ",\"file\":{\"driver\":\"file\",\"locking\":\"" + locking +
              "\",\"filename\":" + JsonString(layer->path) + "},\"backing\":" + options + "}";
    if (int fd = DescriptorIn(layer->path); fd >= 0) inherited.push_back(fd);
  }
  options = "json:" + options;
  const std::string server = spec.server.empty() ? "qemu-nbd" : spec.server;
  std::vector<std::string> arguments = {server, "--socket=" + socket, "--shared=1",
                                        "--cache=writeback"};
  if (!spec.writable) arguments.insert(arguments.begin() + 1, "--read-only");
  arguments.push_back(options);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child == 0) {
    // Only what is safe between fork and exec. The server dies with us, and
    // keeps out of our terminal's process group (a Ctrl+C is ours to handle).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::setpgid(0, 0);
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(errors, 2);
    for (int fd : inherited) ::fcntl(fd, F_SETFD, 0);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  state->errors = errors;
  ::close(null);
  if (child < 0) {
    failure = Failure::NoServer;
    error = "its server cannot be started";
    return nullptr;
  }
  state->server = child;

  // Ready once it answers on its socket (which it may make before it has
  // opened the image); gone, with a message, when QEMU refused.
  const auto until = std::chrono::steady_clock::now() + kStartTimeout;
  for (;;) {
    struct stat info {};
    if (::fstatat(state->folder, kSocket, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISSOCK(info.st_mode)) {
      state->nbd = nbd_create();
      // A format with sectors of its own asks for aligned requests; QEMU
      // serves any, reading and writing the sectors around a short one.
      if (state->nbd != nullptr) {
        nbd_set_strict_mode(state->nbd, nbd_get_strict_mode(state->nbd) & ~LIBNBD_STRICT_ALIGN);
      }
      if (state->nbd != nullptr && nbd_connect_unix(state->nbd, socket.c_str()) != -1) {
        state->RemoveFolder();
        break;
      }
      if (state->nbd != nullptr) nbd_close(state->nbd);
      state->nbd = nullptr;
    }
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child) {
      state->server = -1;
      error = state->Errors();
      if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && error.empty()) {
        failure = Failure::NoServer;
        error = "qemu-nbd cannot be run (is qemu-utils installed?)";
      } else if (error.find(" lock") != std::string::npos) {
        failure = Failure::InUse;
      } else if (error.empty()) {
        error = "its server ended at once";
      }
      return nullptr;
    }
    if (std::chrono::steady_clock::now() > until) {
      ::kill(child, SIGKILL);
      failure = Failure::Unreachable;
      error = "its server did not answer in time";
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  const int64_t size = nbd_get_size(state->nbd);
  if (size < 0) {
    failure = Failure::Unreachable;
    error = "its server does not say its size";
    ::kill(child, SIGKILL);
    return nullptr;
  }
  if (spec.writable && (nbd_is_read_only(state->nbd) != 0 || nbd_can_flush(state->nbd) != 1)) {
    failure = Failure::Refused;
    error = "its server serves it read-only";
    ::kill(child, SIGKILL);
    return nullptr;
  }
  failure = Failure::None;
  return std::unique_ptr<GuestDisk>(
      new GuestDisk(std::move(state), static_cast<uint64_t>(size), spec.writable));
}

std::optional<uint32_t> GuestDisk::ReadAt(uint64_t offset, void* buffer, uint32_t length) {
  if (offset >= size_ || length == 0) return 0;
  const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(length, size_ - offset));
  auto* bytes = static_cast<char*>(buffer);
  for (uint32_t done = 0; done < wanted;) {
    const uint32_t piece = std::min(wanted - done, kMaxRequest);
    if (nbd_pread(state_->nbd, bytes + done, piece, offset + done, 0) == -1) return std::nullopt;
    done += piece;
  }
  return wanted;
}

std::optional<uint32_t> GuestDisk::WriteAt(uint64_t offset, const void* buffer, uint32_t length) {
  if (!writable_ || offset > size_ || length > size_ - offset) return std::nullopt;
  const auto* bytes = static_cast<const char*>(buffer);
  for (uint32_t done = 0; done < length;) {
    const uint32_t piece = std::min(length - done, kMaxRequest);
    if (nbd_pwrite(state_->nbd, bytes + done, piece, offset + done, 0) == -1) return std::nullopt;
    done += piece;
  }
  return length;
}

bool GuestDisk::Flush() { return writable_ && nbd_flush(state_->nbd, 0) != -1; }

}  // namespace os
