// Fuzzes the receiving side: the real reader worker of a TQuodem takes an arbitrary byte
// stream (frames, noise, hostile headers and names) from one end of a socket pair, as it
// would from a connected call, and saves files into a private folder.
//
// Each input is written to the peer end, which then closes; once the port has read every
// byte and the worker has delivered what it will, the call is cut. Checked every time:
//   - nothing crashes, hangs (10 s guards) or allocates beyond libFuzzer's limits;
//   - the messages and files delivered, in order, with one OnFileError for every file frame
//     not saved, and the files left in the save folder are exactly those of the small
//     reference parse below (no temporary file is left behind);
//   - nothing appears in the parent folder outside the save folder.
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "quodem/component/quodem.h"
#include "quodem/platform/posix/descriptor_port.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kGuard = 10s;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "receiver_fuzz: %s\n", what.c_str());
  std::abort();
}

// What a receiver must make of a stream: one entry per delivered frame, in order, and one
// per file frame that is not saved.
enum class Outcome { kMessage, kFile, kFileError };
struct Delivery {
  Outcome outcome = Outcome::kMessage;
  std::string bytes;  // message bytes, the saved name of a file, or why a file was not saved
  bool operator==(const Delivery&) const = default;
};

struct Expected {
  std::vector<Delivery> deliveries;
  std::map<std::string, std::string> files;  // name -> content, the last frame of a name wins
};

// The name a received file is saved under, "" to drop the frame: the part after the last
// '/' or '\', without a leading drive prefix (an ASCII letter and ':'); empty, "." and ".."
// are refused, and so is the name pattern of the receiver's temporary files.
std::string SavedName(std::string name) {
  auto separator = name.find_last_of("/\\");
  if (separator != std::string::npos) name.erase(0, separator + 1);
  if (name.size() >= 2 &&
      ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) &&
      name[1] == ':') {
    name.erase(0, 2);
  }
  if (name.empty() || name == "." || name == "..") return "";
  const bool temporary = name.size() == 19 && name.compare(0, 8, ".quodem-") == 0 &&
                         name.compare(14, 5, ".part") == 0 &&
                         std::all_of(name.begin() + 8, name.begin() + 14, [](char c) {
                           return std::isalnum(static_cast<unsigned char>(c)) != 0;
                         });
  return temporary ? "" : name;
}

// The reference parse: bytes before a marker are dropped; the 8 bytes after it are the
// header, unchecked; Kind 0 carries Length message bytes, any other Kind Length bytes of name
// and Size bytes of content. A name Length above 255, or an unusable name, makes the frame
// read and dropped. A frame the stream ends in the middle of is dropped. A file frame that
// is not saved gives one OnFileError: the name's fault, else the end of the stream. A stray
// 0x05 or a large Size swallows whatever follows: that is the format, not a fault.
Expected ReferenceParse(const std::uint8_t* data, std::size_t size) {
  Expected out;
  std::size_t pos = 0;
  auto have = [&](std::uint64_t n) { return size - pos >= n; };
  for (;;) {
    while (pos < size && data[pos] != 0x05) ++pos;
    if (pos == size) break;
    ++pos;
    if (!have(8)) break;
    const std::uint8_t* h = data + pos;
    const std::uint8_t kind = h[0];
    const std::uint16_t length = static_cast<std::uint16_t>(h[2] | (h[3] << 8));
    const std::uint32_t content = static_cast<std::uint32_t>(h[4]) | (std::uint32_t{h[5]} << 8) |
                                  (std::uint32_t{h[6]} << 16) | (std::uint32_t{h[7]} << 24);
    pos += 8;
    if (kind == 0) {
      if (!have(length)) break;
      out.deliveries.push_back(
          {Outcome::kMessage, std::string(reinterpret_cast<const char*>(data + pos), length)});
      pos += length;
      continue;
    }
    const std::string ended = "the call ended before the last byte";
    if (!have(length)) {
      out.deliveries.push_back({Outcome::kFileError, ended});
      break;
    }
    std::string name;
    std::string refused;
    if (length > 255) {
      refused = "name longer than 255 bytes";
    } else {
      const char* raw = reinterpret_cast<const char*>(data + pos);
      name = SavedName(std::string(raw, strnlen(raw, length)));
      if (name.empty()) refused = "unusable name";
    }
    pos += length;
    if (!have(content)) {
      out.deliveries.push_back({Outcome::kFileError, refused.empty() ? ended : refused});
      break;
    }
    if (refused.empty()) {
      out.deliveries.push_back({Outcome::kFile, name});
      out.files[name] = std::string(reinterpret_cast<const char*>(data + pos), content);
    } else {
      out.deliveries.push_back({Outcome::kFileError, refused});
    }
    pos += content;
  }
  return out;
}

class HangupSignal : public quodem::posix::PortObserver {
 public:
  void OnPeerHangup() override {
    std::lock_guard<std::mutex> guard(lock_);
    hung_up_ = true;
    changed_.notify_all();
  }
  bool WaitFor(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, limit, [this] { return hung_up_; });
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool hung_up_ = false;
};

// A TQuodem whose reader worker is started on a port given by the test, as line-state
// handling does for the port of a connected call.
class Receiver : public quodem::TQuodem {
 public:
  void Attach(quodem::HANDLE port) {
    std::lock_guard<std::mutex> guard(FCutLock);
    FCommHandle.store(port);
    StartReadWorker();
  }
  bool WaitUntilNoReader(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(FReaderLock);
    return FReadersDone.wait_for(guard, limit, [this] { return FLiveReaders == 0; });
  }
};

struct World {
  std::string parent;  // checked for strays
  std::string save;    // parent/save
  std::unique_ptr<Receiver> modem;
  std::mutex lock;
  std::condition_variable changed;
  std::vector<Delivery> got;
};

World* world = nullptr;

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Fail(std::string("write to the port's peer: ") + std::strerror(errno));
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char parent[] = "/tmp/quodem-fuzz-receiver-XXXXXX";
  char exchange[] = "/tmp/quodem-fuzz-exchange-XXXXXX";
  if (mkdtemp(parent) == nullptr || mkdtemp(exchange) == nullptr) Fail("mkdtemp");
  setenv("QUODEM_EXCHANGE_DIR", exchange, 1);
  setenv("QUODEM_CONFIG", (std::string(exchange) + "/no-such.conf").c_str(), 1);
  world = new World;
  world->parent = parent;
  world->save = world->parent + "/save";
  world->modem = std::make_unique<Receiver>();
  world->modem->SetOnMsgReceive([](quodem::TQuodem*, const char* buffer, quodem::DWORD size) {
    if (buffer[size] != 0) Fail("message buffer without its terminating zero");
    std::lock_guard<std::mutex> guard(world->lock);
    world->got.push_back({Outcome::kMessage, std::string(buffer, size)});
    world->changed.notify_all();
  });
  world->modem->SetOnFileReceive([](quodem::TQuodem*, const std::string& path) {
    fs::path p(path);
    if (p.parent_path() != fs::path(world->save)) Fail("file saved outside the folder: " + path);
    std::lock_guard<std::mutex> guard(world->lock);
    world->got.push_back({Outcome::kFile, p.filename().string()});
    world->changed.notify_all();
  });
  world->modem->SetOnFileError([](quodem::TQuodem*, const std::string&, const std::string& reason) {
    std::lock_guard<std::mutex> guard(world->lock);
    world->got.push_back({Outcome::kFileError, reason});
    world->changed.notify_all();
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Expected expected = ReferenceParse(data, size);
  fs::remove_all(world->save);
  fs::create_directory(world->save);
  world->modem->SetSaveFileDir(world->save);
  {
    std::lock_guard<std::mutex> guard(world->lock);
    world->got.clear();
  }

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) Fail("socketpair");
  auto hangup = std::make_shared<HangupSignal>();
  quodem::HANDLE port = quodem::posix::CreatePortFromDescriptor(fds[0], hangup);
  if (port == 0) Fail("CreatePortFromDescriptor");
  world->modem->Attach(port);
  WriteAll(fds[1], data, size);
  ::close(fds[1]);

  // Everything read, and every frame the reference delivers delivered (or the guard).
  if (!hangup->WaitFor(kGuard)) Fail("the reader did not read the whole stream");
  {
    std::unique_lock<std::mutex> guard(world->lock);
    world->changed.wait_for(guard, kGuard,
                            [&] { return world->got.size() >= expected.deliveries.size(); });
  }
  world->modem->Cut();
  if (!world->modem->WaitUntilNoReader(kGuard)) Fail("the reader did not end after Cut");

  std::vector<Delivery> got;
  {
    std::lock_guard<std::mutex> guard(world->lock);
    got = world->got;
  }
  if (got != expected.deliveries) {
    Fail("delivered " + std::to_string(got.size()) + " frames, the reference " +
         std::to_string(expected.deliveries.size()) + " (or they differ)");
  }
  if (Entries(world->parent) != std::set<std::string>{"save"}) {
    Fail("something was created next to the save folder");
  }
  std::set<std::string> names;
  for (const auto& [name, content] : expected.files) {
    names.insert(name);
    if (ReadWhole(world->save + "/" + name) != content) Fail("saved content differs: " + name);
  }
  if (Entries(world->save) != names) Fail("the save folder holds other files than delivered");
  return 0;
}
