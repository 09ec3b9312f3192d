// dravik-raw-client: a misbehaving peer of the sleep service for robustness tests. It
// speaks the transport's frames directly on raw Unix-domain connections, without any of
// the client's checks, and can hold connections idle, stop mid-frame, send a frame a byte
// at a time, or send calls without ever reading their replies.
//
// Reads one command per line on standard input and answers each with one line, at once
// (slow work runs on its own thread):
//   open N          → opens N more connections; "open <how many connected>"
//   closed          → "closed <one 0|1 per connection, 1 when the service closed it>"
//   partial I B     → writes the first B bytes of a status call on connection I; "ok"
//   trickle I MS    → writes a status call on connection I one byte every MS ms; "ok"
//   reply I MS      → waits up to MS ms for a whole reply frame on connection I;
//                     "reply <call id>", "none" or "closed"
//   flood I N       → writes N status calls on connection I, never reading; "ok"
//   flooded         → "flooded <calls written whole> <connections the service cut off>"
//   storm N         → N threads each connect, wait (up to 5 s) for the service to close,
//                     again and again; "ok"
//   calm            → stops the storm; "storm <connections made> <connections left open>"
//   close-all       → closes every connection; "ok"
//   quit (or end of input) → exits 0

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Platform/LocalService/Frame.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace {

using dravik::platform::Operation;

std::string socketPath() {
  return dravik::platform::serviceSocketPath(quellan::CompatibilityService::name());
}

int connectToService() {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = socketPath();
  if (path.size() >= sizeof address.sun_path) {
    ::close(fd);
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::vector<std::uint8_t> statusCall(std::uint64_t callId) {
  return dravik::platform::encodeRequest({callId, Operation::status, 0});
}

bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// The service closed (or reset) the connection. A hang-up is reported even while replies
// are still waiting unread.
bool hungUp(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) != 0;
}

struct Connection {
  int fd = -1;
  std::vector<std::uint8_t> received;  // bytes read by `reply`, not yet a whole frame
};

class RawClient {
 public:
  ~RawClient() { closeAll(); }

  std::string handle(const std::string& line) {
    std::istringstream in(line);
    std::string command;
    in >> command;
    std::size_t index = 0, count = 0;
    if (command == "open" && in >> count) return open(count);
    if (command == "closed") return closed();
    if (command == "storm" && in >> count) return storm(count);
    if (command == "calm") return calm();
    if (command == "flooded") {
      return "flooded " + std::to_string(floodWritten_.load()) + " " +
             std::to_string(floodCutOff_.load());
    }
    if (command == "close-all") {
      closeAll();
      return "ok";
    }
    if (!(in >> index >> count) || index >= connections_.size()) return "error bad command";
    int fd = connections_[index].fd;
    if (command == "partial") {
      auto frame = statusCall(1);
      if (count > frame.size()) return "error bad command";
      return sendAll(fd, frame.data(), count) ? "ok" : "fail";
    }
    if (command == "trickle") {
      workers_.emplace_back([this, fd, milliseconds = count] {
        auto frame = statusCall(1);
        for (std::uint8_t byte : frame) {
          if (stopping_ || !sendAll(fd, &byte, 1)) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        }
      });
      return "ok";
    }
    if (command == "reply") return reply(connections_[index], count);
    if (command == "flood") {
      workers_.emplace_back([this, fd, calls = count] { flood(fd, calls); });
      return "ok";
    }
    return "error unknown command";
  }

 private:
  std::string open(std::size_t count) {
    std::size_t connected = 0;
    for (std::size_t i = 0; i < count; ++i) {
      int fd = connectToService();
      if (fd < 0) continue;
      connections_.push_back({fd, {}});
      ++connected;
    }
    return "open " + std::to_string(connected);
  }

  std::string closed() {
    std::string flags;
    for (const Connection& c : connections_) flags += hungUp(c.fd) ? '1' : '0';
    return "closed " + flags;
  }

  std::string reply(Connection& c, std::size_t milliseconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (true) {
      if (c.received.size() >= dravik::platform::kFrameHeader) {
        std::span<const std::uint8_t, dravik::platform::kFrameHeader> header(
            c.received.data(), dravik::platform::kFrameHeader);
        auto length = dravik::platform::frameBodyLength(header);
        if (!length) return "error bad reply";
        std::size_t whole = dravik::platform::kFrameHeader + *length;
        if (c.received.size() >= whole) {
          auto decoded = dravik::platform::decodeReply(std::span(c.received).first(whole));
          c.received.erase(c.received.begin(), c.received.begin() + std::ptrdiff_t(whole));
          if (!decoded) return "error bad reply";
          return "reply " + std::to_string(decoded->callId);
        }
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return "none";
      pollfd p{c.fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buffer[512];
      ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
      if (n <= 0) return "closed";
      c.received.insert(c.received.end(), buffer, buffer + n);
    }
  }

  // Calls go out in batches so that the socket's buffer space (charged per write, not per
  // byte) holds many of them.
  void flood(int fd, std::size_t calls) {
    constexpr std::size_t kBatch = 64;
    std::uint64_t next = 1;
    while (next <= calls && !stopping_) {
      std::vector<std::uint8_t> batch;
      std::size_t inBatch = 0;
      for (; inBatch < kBatch && next + inBatch <= calls; ++inBatch) {
        auto frame = statusCall(next + inBatch);
        batch.insert(batch.end(), frame.begin(), frame.end());
      }
      if (!sendAll(fd, batch.data(), batch.size())) {
        ++floodCutOff_;
        return;
      }
      next += inBatch;
      floodWritten_ += inBatch;
    }
  }

  std::string storm(std::size_t threads) {
    if (!storm_.empty()) return "error storm already running";
    for (std::size_t i = 0; i < threads; ++i)
      storm_.emplace_back([this] {
        while (!stopping_ && !calm_) {
          int fd = connectToService();
          if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
          }
          ++stormMade_;
          pollfd p{fd, POLLRDHUP, 0};
          if (::poll(&p, 1, 5000) != 1) ++stormLeftOpen_;
          ::close(fd);
        }
      });
    return "ok";
  }

  std::string calm() {
    calm_ = true;
    joinStorm();
    calm_ = false;
    return "storm " + std::to_string(stormMade_.load()) + " " +
           std::to_string(stormLeftOpen_.load());
  }

  void joinStorm() {
    for (std::thread& thread : storm_) thread.join();
    storm_.clear();
  }

  void joinWorkers() {
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
  }

  // Shutting the sockets down first wakes any worker blocked in a send.
  void closeAll() {
    stopping_ = true;
    joinStorm();
    for (const Connection& c : connections_) ::shutdown(c.fd, SHUT_RDWR);
    joinWorkers();
    for (const Connection& c : connections_) ::close(c.fd);
    connections_.clear();
    stopping_ = false;
  }

  std::vector<Connection> connections_;
  std::vector<std::thread> workers_;
  std::vector<std::thread> storm_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> calm_{false};
  std::atomic<std::size_t> floodWritten_{0};
  std::atomic<std::size_t> floodCutOff_{0};
  std::atomic<std::size_t> stormMade_{0};
  std::atomic<std::size_t> stormLeftOpen_{0};
};

}  // namespace

int main() {
  RawClient client;
  std::string line;
  while (std::getline(std::cin, line) && line != "quit") {
    std::cout << client.handle(line) << std::endl;
  }
  return 0;
}
