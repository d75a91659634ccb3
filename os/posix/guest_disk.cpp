#include "os/guest_disk.h"

#include <fcntl.h>
#include <libnbd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" char** environ;

namespace os {
namespace {

constexpr const char* kSocket = "disk.sock";
constexpr const char* kErrors = "errors";
// One NBD request carries no more than this (QEMU's server takes 32 MiB).
constexpr uint32_t kMaxRequest = 16u << 20;
// How long the server may take to end after we left.
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
  // What was read, a block at a time: a walk reads many small pieces, and
  // each request is a round trip to the server. Only we write the disk
  // (QEMU's lock holds others off), and each write goes through here too.
  struct Block {
    uint64_t index = 0;
    uint64_t used = 0;  // when last read, for eviction
    std::vector<char> bytes;
  };
  std::vector<Block> cache;
  uint64_t clock = 0;

  nbd_handle* nbd = nullptr;
  pid_t server = -1;
  int errors = -1;  // the server's standard error: a file that has no name

  ~State() {
    if (nbd != nullptr) {
      nbd_shutdown(nbd, 0);
      nbd_close(nbd);
    }
    if (server > 0) {
      // Without its client the server ends by itself (it serves one); one
      // that hangs is killed.
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
    if (errors >= 0) ::close(errors);
  }

  std::string Errors() const {
    std::array<char, 4096> text{};
    ssize_t got = errors < 0 ? -1 : ::pread(errors, text.data(), text.size() - 1, 0);
    return got > 0 ? OneLine(std::string(text.data(), static_cast<size_t>(got))) : std::string();
  }
};

namespace {

// Descriptors of our own, closed when this goes.
struct Descriptors {
  std::vector<int> fds;
  int Keep(int fd) {
    if (fd >= 0) fds.push_back(fd);
    return fd;
  }
  ~Descriptors() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
};

// The server's listening socket and our connection to it, made in the
// private folder and already gone from it: the socket is bound there (mode
// 0700, ours alone), we connect, and the name and the folder are removed
// before the server starts. Nothing is left on the disk however we end.
bool Rendezvous(Descriptors& own, int& listener, int& client, int& errors) {
  const std::string folder = MakePrivateFolder();
  if (folder.empty()) return false;
  const std::string path = folder + "/" + kSocket;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  bool made = path.size() < sizeof address.sun_path;
  if (made) std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  listener = made ? own.Keep(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) : -1;
  client = listener >= 0 ? own.Keep(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) : -1;
  made = client >= 0 &&
         ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
         ::listen(listener, 1) == 0 &&
         ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::unlink(path.c_str());
  const std::string errorsPath = folder + "/" + kErrors;
  errors =
      made ? ::open(errorsPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
           : -1;
  ::unlink(errorsPath.c_str());
  ::rmdir(folder.c_str());
  return made && errors >= 0;
}

// A descriptor number written out, without the C library (after fork).
void PutNumber(char* out, long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 23);
  while (n > 0) *out++ = digits[--n];
  *out = '\0';
}

}  // namespace

GuestDisk::GuestDisk(std::unique_ptr<State> state, uint64_t size, bool writable)
    : state_(std::move(state)), size_(size), writable_(writable) {}

GuestDisk::~GuestDisk() = default;

int64_t GuestDisk::ServerId() const { return state_ ? state_->server : -1; }

std::unique_ptr<GuestDisk> GuestDisk::Open(const GuestDiskSpec& spec, Failure& failure,
                                           std::string& error) {
  failure = Failure::NoServer;
  error.clear();
  if (spec.layers.empty()) {
    error = "no image";
    return nullptr;
  }
  auto state = std::make_unique<State>();
  Descriptors own;
  int listener = -1;
  int client = -1;
  const int null = own.Keep(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (null < 0 || !Rendezvous(own, listener, client, state->errors)) {
    error = "no private socket for its server can be made";
    return nullptr;
  }

  // Every layer's driver named, and its file given by the path the caller
  // chose (its descriptor moved above the ones the server is started with),
  // the one below the last layer none: QEMU probes nothing and follows no
  // name that an image holds.
  std::vector<int> inherited;
  std::string options = "null";
  // Read-only beside a writer: QEMU's locks are not asked for (a scan only).
  const char* locking = !spec.writable && spec.shareWithWriter ? "off" : "on";
  for (auto layer = spec.layers.rbegin(); layer != spec.layers.rend(); ++layer) {
    std::string path = layer->path;
    if (int fd = DescriptorIn(path); fd >= 0) {
      const int moved = own.Keep(::fcntl(fd, F_DUPFD_CLOEXEC, 10));
      if (moved < 0) {
        error = "its file cannot be handed to its server";
        return nullptr;
      }
      const size_t end = path.find('/', sizeof "/proc/self/fd/" - 1);
      path = "/proc/self/fd/" + std::to_string(moved) +
             (end == std::string::npos ? std::string() : path.substr(end));
      inherited.push_back(moved);
    }
    options = "{\"driver\":" + JsonString(layer->format) +
              ",\"file\":{\"driver\":\"file\",\"locking\":\"" + locking +
              "\",\"filename\":" + JsonString(path) + "},\"backing\":" + options + "}";
  }
  options = "json:" + options;
  const std::string server = spec.server.empty() ? "qemu-nbd" : spec.server;
  std::vector<std::string> arguments = {server, "--shared=1", "--cache=writeback"};
  if (!spec.writable) arguments.push_back("--read-only");
  arguments.push_back(options);
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  // Started by socket activation: its listening socket is descriptor 3.
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LISTEN_", 7) != 0) environment.emplace_back(*entry);
  }
  environment.emplace_back("LISTEN_FDS=1");
  std::array<char, 48> listenPid{};
  std::memcpy(listenPid.data(), "LISTEN_PID=", 11);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(listenPid.data());
  envp.push_back(nullptr);
  const int errors = state->errors;

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
    ::dup2(listener, 3);
    for (int fd : inherited) ::fcntl(fd, F_SETFD, 0);
    PutNumber(listenPid.data() + 11, static_cast<long>(::getpid()));
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (child < 0) {
    error = "its server cannot be started";
    return nullptr;
  }
  state->server = child;
  // The listening socket is the server's alone: a server that ended leaves
  // our connection closed, not waiting.
  for (int& fd : own.fds) {
    if (fd == listener) {
      ::close(fd);
      fd = -1;
    }
  }

  // The server answers once it has opened the image; when QEMU refused, it
  // has ended, with a message.
  state->nbd = nbd_create();
  if (state->nbd != nullptr) {
    // A format with sectors of its own asks for aligned requests; QEMU
    // serves any, reading and writing the sectors around a short one.
    nbd_set_strict_mode(state->nbd, nbd_get_strict_mode(state->nbd) & ~LIBNBD_STRICT_ALIGN);
  }
  const int connection = state->nbd != nullptr ? ::dup(client) : -1;
  if (connection < 0 || nbd_connect_socket(state->nbd, connection) == -1) {
    const std::string said = nbd_get_error() != nullptr ? nbd_get_error() : "";
    int status = 0;
    const auto until = std::chrono::steady_clock::now() + kEndTimeout;
    while (::waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    state->server = -1;
    error = state->Errors();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && error.empty()) {
      error = "qemu-nbd cannot be run (is qemu-utils installed?)";
    } else if (error.find(" lock") != std::string::npos) {
      failure = Failure::InUse;
    } else {
      failure = Failure::Refused;
      if (error.empty()) error = "its server does not answer: " + said;
    }
    return nullptr;
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

namespace {

constexpr uint64_t kBlock = 256u << 10;
constexpr size_t kCachedBlocks = 64;  // 16 MiB

}  // namespace

std::optional<uint32_t> GuestDisk::ReadAt(uint64_t offset, void* buffer, uint32_t length) {
  if (offset >= size_ || length == 0) return 0;
  const uint32_t wanted = static_cast<uint32_t>(std::min<uint64_t>(length, size_ - offset));
  auto* bytes = static_cast<char*>(buffer);
  if (wanted > kBlock) {
    // Large reads go straight to the server.
    for (uint32_t done = 0; done < wanted;) {
      const uint32_t piece = std::min(wanted - done, kMaxRequest);
      if (nbd_pread(state_->nbd, bytes + done, piece, offset + done, 0) == -1) return std::nullopt;
      done += piece;
    }
    return wanted;
  }
  for (uint32_t done = 0; done < wanted;) {
    const uint64_t at = offset + done;
    const uint64_t index = at / kBlock;
    State::Block* block = nullptr;
    for (State::Block& cached : state_->cache) {
      if (cached.index == index) block = &cached;
    }
    if (block == nullptr) {
      if (state_->cache.size() < kCachedBlocks) {
        block = &state_->cache.emplace_back();
      } else {
        block = &*std::min_element(
            state_->cache.begin(), state_->cache.end(),
            [](const State::Block& a, const State::Block& b) { return a.used < b.used; });
      }
      const uint64_t start = index * kBlock;
      block->bytes.resize(static_cast<size_t>(std::min<uint64_t>(kBlock, size_ - start)));
      block->index = index;
      if (nbd_pread(state_->nbd, block->bytes.data(), block->bytes.size(), start, 0) == -1) {
        block->index = UINT64_MAX;
        return std::nullopt;
      }
    }
    block->used = ++state_->clock;
    const uint64_t within = at - index * kBlock;
    const uint32_t piece =
        static_cast<uint32_t>(std::min<uint64_t>(wanted - done, block->bytes.size() - within));
    std::memcpy(bytes + done, block->bytes.data() + within, piece);
    done += piece;
  }
  return wanted;
}

std::optional<uint32_t> GuestDisk::WriteAt(uint64_t offset, const void* buffer, uint32_t length) {
  if (!writable_ || offset > size_ || length > size_ - offset) return std::nullopt;
  const auto* bytes = static_cast<const char*>(buffer);
  for (uint32_t done = 0; done < length;) {
    const uint32_t piece = std::min(length - done, kMaxRequest);
    // Cached blocks forget what the write touches first: after a write
    // that failed half-way they are read again from the server.
    for (State::Block& cached : state_->cache) {
      const uint64_t start = cached.index * kBlock;
      if (cached.index != UINT64_MAX && start < offset + done + piece &&
          offset + done < start + cached.bytes.size()) {
        cached.index = UINT64_MAX;
      }
    }
    if (nbd_pwrite(state_->nbd, bytes + done, piece, offset + done, 0) == -1) return std::nullopt;
    done += piece;
  }
  return length;
}

bool GuestDisk::Flush() { return writable_ && nbd_flush(state_->nbd, 0) != -1; }

}  // namespace os
