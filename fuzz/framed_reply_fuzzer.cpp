// The reply path of the framed exchange, fed arbitrary bytes by a loopback peer.
//
// Input: byte 0 shapes the peer (bits 0-3: bytes per piece, 0 for all at once; bit 4: a pause
// after each of the first pieces; bit 5: close with a reset); the rest is what the peer answers,
// then it closes. The client sends an 8-byte request and asks for a reply. Checked against the
// reply's own framing: with fewer than 4 bytes, false; a length of 0, true with neither reference
// written; a length below 4 or above the limit, false with WSAEMSGSIZE; fewer bytes than announced,
// false; otherwise true with a block of exactly that many bytes, equal to the start of the answer.
// Every call releases every socket and event, and the process's descriptors stay as they were.
//
// Waits that could only run out (the peer has closed and nothing is left to read) end at once
// through the socket layer's test-only fault plan, so that short answers cost no 2000 ms wait.
#include <dirent.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "net/framed_request.h"
#include "net/time_limits.h"
#include "platform/posix/diagnostics.h"
#include "platform/posix/fault_injection.h"
#include "platform/winsock.h"
#include "reply_peer.h"

namespace ostrel::fuzz {
namespace {

namespace faults = wsa::posix::faults;

[[noreturn]] void Finding(const std::string& what) {
  std::fprintf(stderr, "FINDING: %s\n", what.c_str());
  std::abort();
}

// The process's open descriptors, each as "number -> what it refers to".
std::vector<std::string> OpenDescriptors() {
  std::vector<std::string> open;
  if (DIR* directory = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(directory);
    while (const dirent* entry = ::readdir(directory)) {
      if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) continue;
      char target[256] = {};
      const std::string path = std::string("/proc/self/fd/") + entry->d_name;
      const ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
      open.push_back(std::string(entry->d_name) + " -> " + (n > 0 ? target : "?"));
    }
    ::closedir(directory);
  }
  std::sort(open.begin(), open.end());
  return open;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += "\n  " + line;
  return out;
}

struct Harness {
  Harness() {
    // libFuzzer symbolizes a newly covered function when it reports it, and the sanitizer
    // runtime keeps its symbolizer's pipes open from then on. Symbolizing once here opens them
    // before the first count of descriptors is taken.
    char where[256];
    __sanitizer_symbolize_pc(__builtin_return_address(0), "%p %F %L", where, sizeof where);
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) Finding("WSAStartup failed");
    faults::Arm({faults::Fault{faults::Call::kWSAWaitForMultipleEvents,
                               faults::Effect::kTimeOutIfIdle,
                               0,
                               0,
                               {},
                               0,
                               faults::kEvery}});
  }
  ReplyPeer peer;
  std::size_t runs = 0;
  std::vector<std::string> descriptors;
};

Harness& TheHarness() {
  static Harness* harness = new Harness;  // lives until the process ends
  return *harness;
}

uint32_t LittleEndian32(const std::vector<unsigned char>& bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace
}  // namespace ostrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace ostrel;
  using fuzz::Finding;
  if (size == 0) {
    return 0;
  }
  fuzz::Harness& harness = fuzz::TheHarness();
  const std::size_t events_before = wsa::posix::OpenEventCount();
  const std::size_t sockets_before = wsa::posix::OpenSocketCount();

  fuzz::ReplyPlan plan;
  static const unsigned char kRequest[] = {8, 0, 0, 0, 'p', 'i', 'n', 'g'};
  plan.request_size = sizeof kRequest;
  plan.piece = data[0] & 0x0F;
  plan.pause_between_pieces = (data[0] & 0x10) != 0;
  plan.reset = (data[0] & 0x20) != 0;
  plan.reply.assign(data + 1, data + size);
  const std::vector<unsigned char> answer = plan.reply;
  harness.peer.Expect(std::move(plan));

  unsigned char* const kUntouched = reinterpret_cast<unsigned char*>(&harness);
  unsigned char* block = kUntouched;
  int32_t length = -7;
  const bool ok = net::SendFramedRequest("127.0.0.1", harness.peer.port(), kRequest,
                                         sizeof kRequest, &block, &length);
  const int outcome = ok ? 0 : WSAGetLastError();
  if (!harness.peer.WaitDone(std::chrono::seconds(10))) {
    Finding("the peer did not finish its connection");
  }

  // What the answer's own framing says should happen.
  bool expect_ok = false;
  bool expect_block = false;
  int expect_outcome = -1;  // -1: any failure code
  uint32_t announced = 0;
  if (answer.size() >= 4) {
    announced = fuzz::LittleEndian32(answer);
    if (announced == 0) {
      expect_ok = true;
    } else if (announced < 4 || announced > net::kMaxReplyLength) {
      expect_outcome = WSAEMSGSIZE;
    } else if (answer.size() >= announced) {
      expect_ok = true;
      expect_block = true;
    }
  }
  if (ok != expect_ok) {
    Finding(std::string("result ") + (ok ? "true" : "false") + ", expected the other; outcome " +
            std::to_string(outcome) + ", answer of " + std::to_string(answer.size()) +
            " bytes announcing " + std::to_string(announced));
  }
  if (ok && outcome != 0) {
    Finding("success with outcome " + std::to_string(outcome));
  }
  if (!ok && (outcome == 0 || (expect_outcome != -1 && outcome != expect_outcome))) {
    Finding("failure with outcome " + std::to_string(outcome));
  }
  if (expect_block) {
    if (block == kUntouched || length != static_cast<int32_t>(announced) ||
        std::vector<unsigned char>(block, block + announced) !=
            std::vector<unsigned char>(answer.begin(), answer.begin() + announced)) {
      Finding("the reply block does not hold the announced reply");
    }
    net::ReleaseReplyBlock(block);
  } else if (block != kUntouched || length != -7) {
    Finding("a reply reference was written without a whole reply");
  }

  if (wsa::posix::OpenEventCount() != events_before ||
      wsa::posix::OpenSocketCount() != sockets_before) {
    Finding("the exchange left events or sockets behind");
  }
  // Descriptors: counted now and then (reading the directory costs more than the check).
  if (harness.runs++ % 64 == 0) {
    std::vector<std::string> descriptors = fuzz::OpenDescriptors();
    if (!harness.descriptors.empty() && descriptors != harness.descriptors) {
      Finding("open descriptors went from" + fuzz::Joined(harness.descriptors) + "\nto" +
              fuzz::Joined(descriptors));
    }
    harness.descriptors = std::move(descriptors);
  }
  return 0;
}
