#include "Platform/LocalService/LocalServiceConnector.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Platform/LocalService/Frame.h"
#include "Platform/LocalService/PeerCredentials.h"
#include "Platform/UniqueFd.h"

namespace dravik::platform {
namespace {

using quellan::QuellanSleepServiceProtocol;

// Requests waiting to be written are few and small for a well-behaved caller; past this a
// service that has stopped reading makes further calls fail instead of piling up here.
constexpr std::size_t kMaxUnsentBytes = 64 * 1024;

struct PendingCall {
  Operation operation = Operation::status;
  QuellanSleepServiceProtocol::StatusReply statusReply;
  QuellanSleepServiceProtocol::CommandReply commandReply;
  std::function<void()> onError;
};

// The connection's state, shared by the public connection object, its proxies and its
// thread. The thread holds it until its very last step.
class ClientCore : public std::enable_shared_from_this<ClientCore> {
 public:
  ClientCore(CodeSigning& codeSigning, LocalServiceConnector::Options options, std::string path)
      : codeSigning_(codeSigning),
        options_(options),
        path_(std::move(path)),
        wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

  ~ClientCore() {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // the thread is on its way out and touches nothing more
    } else {
      thread_.join();
    }
  }

  void setRequirement(const std::string& requirement) {
    std::lock_guard lock(mutex_);
    requirement_ = requirement;
  }
  void setInvalidationHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    if (state_ != State::ended) invalidationHandler_ = std::move(handler);
  }
  void setInterruptionHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    if (state_ != State::ended) interruptionHandler_ = std::move(handler);
  }

  void resume() {
    std::lock_guard lock(mutex_);
    if (state_ != State::idle || invalidated_) return;
    state_ = State::starting;
    thread_ = std::thread([self = shared_from_this()]() mutable {
      self->run();
      self.reset();
    });
  }

  void invalidate() {
    std::unique_lock lock(mutex_);
    if (state_ == State::ended || invalidated_) return;
    invalidated_ = true;
    if (state_ == State::idle) {
      lock.unlock();
      fail();
      return;
    }
    wake();
  }

  void send(Request request, PendingCall call) {
    std::unique_lock lock(mutex_);
    if (state_ == State::ended || outbuf_.size() > kMaxUnsentBytes) {
      lock.unlock();
      if (call.onError) call.onError();
      return;
    }
    request.callId = nextCallId_++;
    auto frame = encodeRequest(request);
    pending_.emplace(request.callId, std::move(call));
    outbuf_.insert(outbuf_.end(), frame.begin(), frame.end());
    if (state_ == State::ready) flushLocked();
    if (!outbuf_.empty() || broken_) wake();
  }

 private:
  enum class State { idle, starting, ready, ended };

  void wake() {
    std::uint64_t one = 1;
    if (wake_.valid()) [[maybe_unused]]
      auto n = ::write(wake_.get(), &one, sizeof one);
  }

  void run() {
    if (!connectAndVerify()) return fail();
    {
      std::lock_guard lock(mutex_);
      if (invalidated_) {
        // fall through to fail() below
      } else {
        state_ = State::ready;
        flushLocked();
      }
    }
    readLoop();
    fail();
  }

  bool connectAndVerify() {
    if (!wake_.valid()) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return false;
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (errno != EINPROGRESS || !waitConnected(fd.get())) return false;
    }
    auto peer = readPeerCredentials(fd.get());
    if (!peer) return false;
    if (options_.requireRootPeer && peer->uid != 0) return false;
    std::optional<std::string> requirementText;
    {
      std::lock_guard lock(mutex_);
      requirementText = requirement_;
    }
    if (requirementText) {
      if (!peer->pidfd.valid()) return false;
      std::shared_ptr<Code> code;
      if (codeSigning_.copyGuestWithPidfd(peer->pidfd.get(), &code) != 0 || !code) return false;
      std::shared_ptr<const Requirement> requirement;
      if (codeSigning_.createRequirement(*requirementText, &requirement) != 0 || !requirement) {
        return false;
      }
      if (codeSigning_.checkValidity(*code, 0, requirement.get()) != 0) return false;
    }
    std::lock_guard lock(mutex_);
    fd_ = std::move(fd);
    return true;
  }

  bool waitConnected(int fd) {
    for (;;) {
      pollfd fds[2] = {{fd, POLLOUT, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (fds[1].revents != 0) {
        std::lock_guard lock(mutex_);
        if (invalidated_) return false;
        drainWake();
        continue;
      }
      int error = 0;
      socklen_t length = sizeof error;
      return ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
    }
  }

  void drainWake() {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(wake_.get(), &value, sizeof value);
  }

  // Returns when the connection must end.
  void readLoop() {
    std::vector<std::uint8_t> inbuf;
    std::uint8_t chunk[4096];
    for (;;) {
      short events = POLLIN;
      {
        std::lock_guard lock(mutex_);
        if (invalidated_ || broken_) return;
        if (!outbuf_.empty()) events |= POLLOUT;
      }
      pollfd fds[2] = {{fd_.get(), events, 0}, {wake_.get(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) drainWake();
      if (fds[0].revents & POLLOUT) {
        std::lock_guard lock(mutex_);
        flushLocked();
      }
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return;
        if (n < 0) {
          if (errno == EAGAIN || errno == EINTR) continue;
          return;
        }
        inbuf.insert(inbuf.end(), chunk, chunk + n);
        if (!deliver(inbuf)) return;
      }
    }
  }

  // Hands every whole reply in `inbuf` to its call. False on a malformed or unexpected reply.
  bool deliver(std::vector<std::uint8_t>& inbuf) {
    while (inbuf.size() >= kFrameHeader) {
      auto length = frameBodyLength(std::span(inbuf).first<kFrameHeader>());
      if (!length) return false;
      if (inbuf.size() < kFrameHeader + *length) return true;
      auto reply = decodeReply(std::span(inbuf).first(kFrameHeader + *length));
      inbuf.erase(inbuf.begin(), inbuf.begin() + std::ptrdiff_t(kFrameHeader + *length));
      if (!reply) return false;
      PendingCall call;
      {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(reply->callId);
        if (it == pending_.end() || it->second.operation != reply->operation) return false;
        call = std::move(it->second);
        pending_.erase(it);
      }
      if (const auto* status = std::get_if<StatusReplyBody>(&reply->body)) {
        if (call.statusReply)
          call.statusReply(status->version, status->active, status->recoveryPending);
      } else {
        auto& command = std::get<CommandReplyBody>(reply->body);
        if (call.commandReply) call.commandReply(command.ok, std::move(command.message));
      }
    }
    return true;
  }

  void flushLocked() {
    while (!outbuf_.empty() && !broken_) {
      ssize_t n = ::send(fd_.get(), outbuf_.data(), outbuf_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        outbuf_.erase(outbuf_.begin(), outbuf_.begin() + n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return;
      } else {
        broken_ = true;
      }
    }
  }

  void fail() {
    std::map<std::uint64_t, PendingCall> pending;
    std::function<void()> handler;
    {
      std::lock_guard lock(mutex_);
      if (state_ == State::ended) return;
      state_ = State::ended;
      pending.swap(pending_);
      handler = std::move(invalidationHandler_);
      invalidationHandler_ = nullptr;
      interruptionHandler_ = nullptr;
      outbuf_.clear();
      fd_.reset();
    }
    for (auto& [id, call] : pending) {
      if (call.onError) call.onError();
    }
    if (handler) handler();
  }

  CodeSigning& codeSigning_;
  const LocalServiceConnector::Options options_;
  const std::string path_;
  UniqueFd wake_;
  std::thread thread_;

  std::mutex mutex_;
  State state_ = State::idle;
  bool invalidated_ = false;
  bool broken_ = false;
  UniqueFd fd_;
  std::optional<std::string> requirement_;
  std::vector<std::uint8_t> outbuf_;
  std::uint64_t nextCallId_ = 1;
  std::map<std::uint64_t, PendingCall> pending_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;
};

class Proxy : public QuellanSleepServiceProtocol {
 public:
  Proxy(std::shared_ptr<ClientCore> core, std::function<void()> onError)
      : core_(std::move(core)), onError_(std::move(onError)) {}

  void status(StatusReply reply) override {
    core_->send(Request{0, Operation::status, 0},
                PendingCall{Operation::status, std::move(reply), nullptr, onError_});
  }
  void beginSession(std::int64_t minutes, CommandReply reply) override {
    command(Operation::beginSession, minutes, std::move(reply));
  }
  void renewSession(CommandReply reply) override {
    command(Operation::renewSession, 0, std::move(reply));
  }
  void endSession(CommandReply reply) override {
    command(Operation::endSession, 0, std::move(reply));
  }
  void prepareForRemoval(CommandReply reply) override {
    command(Operation::prepareForRemoval, 0, std::move(reply));
  }

 private:
  void command(Operation operation, std::int64_t minutes, CommandReply reply) {
    core_->send(Request{0, operation, minutes},
                PendingCall{operation, nullptr, std::move(reply), onError_});
  }

  std::shared_ptr<ClientCore> core_;
  std::function<void()> onError_;
};

class LocalServiceConnection : public ServiceConnection {
 public:
  explicit LocalServiceConnection(std::shared_ptr<ClientCore> core) : core_(std::move(core)) {}
  // Proxies may outlive this object; their calls then fail through their error handlers.
  ~LocalServiceConnection() override { core_->invalidate(); }

  void setCodeSigningRequirement(const std::string& requirement) override {
    core_->setRequirement(requirement);
  }
  void resume() override { core_->resume(); }
  std::shared_ptr<QuellanSleepServiceProtocol> remoteObjectProxy(
      std::function<void()> errorHandler) override {
    return std::make_shared<Proxy>(core_, std::move(errorHandler));
  }
  void setInvalidationHandler(std::function<void()> handler) override {
    core_->setInvalidationHandler(std::move(handler));
  }
  void setInterruptionHandler(std::function<void()> handler) override {
    core_->setInterruptionHandler(std::move(handler));
  }
  void invalidate() override { core_->invalidate(); }

 private:
  std::shared_ptr<ClientCore> core_;
};

}  // namespace

LocalServiceConnector::LocalServiceConnector(CodeSigning& codeSigning)
    : LocalServiceConnector(codeSigning, Options{}) {}

LocalServiceConnector::LocalServiceConnector(CodeSigning& codeSigning, Options options)
    : codeSigning_(codeSigning), options_(options) {}

std::shared_ptr<ServiceConnection> LocalServiceConnector::connect(const std::string& serviceName) {
  return std::make_shared<LocalServiceConnection>(
      std::make_shared<ClientCore>(codeSigning_, options_, serviceSocketPath(serviceName)));
}

}  // namespace dravik::platform
