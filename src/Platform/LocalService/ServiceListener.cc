#include "Platform/LocalService/ServiceListener.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <asio.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "Platform/LocalService/Frame.h"
#include "Platform/LocalService/PeerCredentials.h"
#include "Platform/UniqueFd.h"

namespace dravik::platform {
namespace {

using Socket = asio::local::stream_protocol::socket;
using Clock = std::chrono::steady_clock;

// Owns the io_context. Replies hold it weakly so that one arriving after the listener is
// gone posts nothing.
struct Runtime {
  asio::io_context io;
};

std::system_error posixError(const std::string& what, int error = errno) {
  return std::system_error(error, std::generic_category(), what);
}

}  // namespace

class Session;

class ServiceListener::Impl {
 public:
  Impl(std::string path, ServiceListenerDelegate& delegate, CodeSigning& codeSigning,
       Options options)
      : path(std::move(path)),
        delegate(delegate),
        codeSigning(codeSigning),
        options(options),
        retryTimer(runtime->io) {}

  void resume();
  void shutdown();
  void accept();
  void onAccepted(Socket socket);
  void removed(const std::shared_ptr<Session>& session, uid_t uid);

  const std::string path;
  ServiceListenerDelegate& delegate;
  CodeSigning& codeSigning;
  const Options options;
  std::shared_ptr<Runtime> runtime = std::make_shared<Runtime>();
  std::optional<asio::local::stream_protocol::acceptor> acceptor;
  asio::steady_timer retryTimer;
  std::thread thread;
  bool bound = false;
  // Service thread only.
  std::set<std::shared_ptr<Session>> sessions;
  std::map<uid_t, std::size_t> perUser;
  std::atomic<std::size_t> count{0};
};

// One accepted socket. Lives on the service thread; handlers keep it alive.
class Session : public IncomingConnection, public std::enable_shared_from_this<Session> {
 public:
  Session(ServiceListener::Impl& owner, Socket socket, PeerCredentials peer)
      : owner_(owner),
        socket_(std::move(socket)),
        peer_(std::move(peer)),
        frameTimer_(owner.runtime->io),
        writeTimer_(owner.runtime->io) {}

  uid_t effectiveUserIdentifier() const override { return peer_.uid; }
  pid_t processIdentifier() const override { return peer_.pid; }
  int pidfd() const override { return peer_.pidfd.get(); }

  void setCodeSigningRequirement(const std::string& text) override {
    pinned_ = true;
    requirement_.reset();
    code_.reset();
    std::shared_ptr<const Requirement> requirement;
    std::shared_ptr<Code> code;
    if (owner_.codeSigning.createRequirement(text, &requirement) != 0 || !requirement) return;
    if (!peer_.pidfd.valid()) return;
    if (owner_.codeSigning.copyGuestWithPidfd(peer_.pidfd.get(), &code) != 0 || !code) return;
    requirement_ = std::move(requirement);
    code_ = std::move(code);
  }
  void setExportedObject(std::shared_ptr<quellan::QuellanSleepServiceProtocol> object) override {
    exported_ = std::move(object);
  }
  void setInvalidationHandler(std::function<void()> handler) override {
    invalidationHandler_ = std::move(handler);
  }
  void setInterruptionHandler(std::function<void()> handler) override {
    interruptionHandler_ = std::move(handler);
  }
  void resume() override {
    asio::post(owner_.runtime->io, [self = shared_from_this()] {
      self->resumed_ = true;
      self->startIfReady();
    });
  }

  void markAccepted() {
    accepted_ = true;
    startIfReady();
  }

  // Ends the connection once; an accepted one tells its owner through the handler.
  void close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ignored;
    socket_.shutdown(Socket::shutdown_both, ignored);
    socket_.close(ignored);
    frameTimer_.cancel();
    writeTimer_.cancel();
    writeQueue_.clear();
    inbuf_.clear();
    auto self = shared_from_this();
    owner_.removed(self, peer_.uid);
    auto handler = std::move(invalidationHandler_);
    invalidationHandler_ = nullptr;
    interruptionHandler_ = nullptr;
    exported_.reset();
    if (accepted_ && handler) {
      try {
        handler();
      } catch (...) {
      }
    }
  }

  // A call's reply was written, or dropped unsent: its slot is free again.
  void callFinished() {
    if (outstanding_ > 0) --outstanding_;
    if (!closed_ && started_) processInput();
  }

  void enqueueWrite(std::vector<std::uint8_t> frame) {
    if (closed_) return;
    writeQueue_.push_back(std::move(frame));
    if (!writing_) writeNext();
  }

 private:
  void startIfReady() {
    if (closed_ || started_ || !accepted_ || !resumed_) return;
    started_ = true;
    readMore();
  }

  void readMore() {
    if (closed_ || reading_ || outstanding_ >= owner_.options.maxOutstandingCalls) return;
    reading_ = true;
    socket_.async_read_some(asio::buffer(readBuffer_),
                            [self = shared_from_this()](asio::error_code ec, std::size_t n) {
                              self->reading_ = false;
                              if (self->closed_) return;
                              if (ec) return self->close();
                              self->inbuf_.insert(self->inbuf_.end(), self->readBuffer_.begin(),
                                                  self->readBuffer_.begin() + n);
                              self->processInput();
                            });
  }

  // Serves every whole frame buffered, as far as the outstanding-call cap allows.
  void processInput() {
    bool consumed = false;
    bool partial = false;
    while (!closed_) {
      if (outstanding_ >= owner_.options.maxOutstandingCalls) break;
      if (inbuf_.size() < kFrameHeader) {
        partial = !inbuf_.empty();
        break;
      }
      auto length = frameBodyLength(std::span(inbuf_).first<kFrameHeader>());
      if (!length) return close();
      if (inbuf_.size() < kFrameHeader + *length) {
        partial = true;
        break;
      }
      auto request = decodeRequest(std::span(inbuf_).first(kFrameHeader + *length));
      inbuf_.erase(inbuf_.begin(), inbuf_.begin() + std::ptrdiff_t(kFrameHeader + *length));
      consumed = true;
      if (!request || !stillHolds()) return close();
      dispatch(*request);
    }
    if (closed_) return;
    // A frame must arrive whole within the stall limit of its first byte; a peer held back
    // by our own cap is not stalling.
    bool paused = outstanding_ >= owner_.options.maxOutstandingCalls;
    if (consumed || !partial || paused) cancelTimer(frameTimer_, frameGeneration_, frameArmed_);
    if (partial && !paused && !frameArmed_) armTimer(frameTimer_, frameGeneration_, frameArmed_);
    readMore();
  }

  bool stillHolds() {
    if (!pinned_) return true;
    if (!requirement_ || !code_) return false;
    return owner_.codeSigning.checkValidity(*code_, 0, requirement_.get()) == 0;
  }

  void dispatch(const Request& request);

  void writeNext() {
    if (closed_ || writeQueue_.empty()) return;
    writing_ = true;
    armTimer(writeTimer_, writeGeneration_, writeArmed_);
    asio::async_write(socket_, asio::buffer(writeQueue_.front()),
                      [self = shared_from_this()](asio::error_code ec, std::size_t) {
                        self->writing_ = false;
                        self->cancelTimer(self->writeTimer_, self->writeGeneration_,
                                          self->writeArmed_);
                        if (self->closed_) return;
                        if (ec) return self->close();
                        self->writeQueue_.pop_front();
                        self->writeNext();
                        self->callFinished();
                      });
  }

  void armTimer(asio::steady_timer& timer, std::uint64_t& generation, bool& armed) {
    armed = true;
    auto mine = ++generation;
    timer.expires_after(std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(owner_.options.stallSeconds)));
    timer.async_wait([self = shared_from_this(), &generation, mine](asio::error_code ec) {
      if (ec || self->closed_ || generation != mine) return;
      self->close();
    });
  }
  void cancelTimer(asio::steady_timer& timer, std::uint64_t& generation, bool& armed) {
    if (!armed) return;
    armed = false;
    ++generation;
    timer.cancel();
  }

  ServiceListener::Impl& owner_;
  Socket socket_;
  PeerCredentials peer_;
  bool pinned_ = false;
  std::shared_ptr<const Requirement> requirement_;
  std::shared_ptr<Code> code_;
  std::shared_ptr<quellan::QuellanSleepServiceProtocol> exported_;
  std::function<void()> invalidationHandler_;
  std::function<void()> interruptionHandler_;

  bool accepted_ = false;
  bool resumed_ = false;
  bool started_ = false;
  bool closed_ = false;
  bool reading_ = false;
  bool writing_ = false;
  std::size_t outstanding_ = 0;
  std::array<std::uint8_t, 4096> readBuffer_{};
  std::vector<std::uint8_t> inbuf_;
  std::deque<std::vector<std::uint8_t>> writeQueue_;
  asio::steady_timer frameTimer_;
  asio::steady_timer writeTimer_;
  std::uint64_t frameGeneration_ = 0;
  std::uint64_t writeGeneration_ = 0;
  bool frameArmed_ = false;
  bool writeArmed_ = false;
};

namespace {

// One call's reply, shared by every copy of the reply function handed to the exported
// object. The first send wins; dropping it unsent frees the call's slot.
class ReplySlot {
 public:
  ReplySlot(std::weak_ptr<Runtime> runtime, std::weak_ptr<Session> session)
      : runtime_(std::move(runtime)), session_(std::move(session)) {}
  ReplySlot(const ReplySlot&) = delete;
  ReplySlot& operator=(const ReplySlot&) = delete;
  ~ReplySlot() {
    if (!done_.exchange(true)) post([](Session& s) { s.callFinished(); });
  }

  void send(const Reply& reply) {
    if (done_.exchange(true)) return;
    std::vector<std::uint8_t> frame;
    try {
      frame = encodeReply(reply);
    } catch (const std::invalid_argument&) {
      // The daemon produced something the wire cannot carry; the client then sees the
      // connection fail rather than a made-up answer.
      return post([](Session& s) { s.close(); });
    }
    post([frame = std::move(frame)](Session& s) mutable { s.enqueueWrite(std::move(frame)); });
  }

 private:
  template <class F>
  void post(F work) {
    auto runtime = runtime_.lock();
    if (!runtime) return;
    asio::post(runtime->io, [session = session_, work = std::move(work)]() mutable {
      if (auto s = session.lock()) work(*s);
    });
  }

  std::weak_ptr<Runtime> runtime_;
  std::weak_ptr<Session> session_;
  std::atomic<bool> done_{false};
};

}  // namespace

void Session::dispatch(const Request& request) {
  if (!exported_) return close();
  ++outstanding_;
  auto slot = std::make_shared<ReplySlot>(owner_.runtime, weak_from_this());
  auto callId = request.callId;
  auto operation = request.operation;
  auto commandReply = [slot, callId, operation](bool ok, std::optional<std::string> message) {
    slot->send(Reply{callId, operation, CommandReplyBody{ok, std::move(message)}});
  };
  // Keep the object alive through the call even if the call closes this connection.
  auto object = exported_;
  try {
    switch (operation) {
      case Operation::status:
        object->status([slot, callId](std::int64_t version, bool active, bool recoveryPending) {
          slot->send(
              Reply{callId, Operation::status, StatusReplyBody{version, active, recoveryPending}});
        });
        break;
      case Operation::beginSession:
        object->beginSession(request.minutes, commandReply);
        break;
      case Operation::renewSession:
        object->renewSession(commandReply);
        break;
      case Operation::endSession:
        object->endSession(commandReply);
        break;
      case Operation::prepareForRemoval:
        object->prepareForRemoval(commandReply);
        break;
    }
  } catch (...) {
    close();
  }
}

void ServiceListener::Impl::resume() {
  namespace fs = std::filesystem;
  fs::path socketFile(path);
  fs::path directory = socketFile.parent_path();
  std::error_code ec;
  if (!fs::exists(directory, ec)) {
    fs::create_directories(directory, ec);
    if (ec) throw std::system_error(ec, "cannot create " + directory.string());
    if (::chmod(directory.c_str(), 0755) != 0) throw posixError("chmod " + directory.string());
  }
  struct stat st {};
  if (::lstat(directory.c_str(), &st) != 0) throw posixError("lstat " + directory.string());
  if (!S_ISDIR(st.st_mode) || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      (options.requireRootOwnedDirectory && st.st_uid != 0)) {
    throw posixError("unsafe socket directory " + directory.string(), EPERM);
  }
  if (::lstat(socketFile.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw posixError("not a socket: " + socketFile.string(), EEXIST);
    if (::unlink(socketFile.c_str()) != 0) throw posixError("unlink " + socketFile.string());
  }

  acceptor.emplace(runtime->io);
  asio::local::stream_protocol::endpoint endpoint(path);
  acceptor->open(endpoint.protocol());
  acceptor->bind(endpoint);
  bound = true;
  // Users connect; the directory (root's, not writable by others) keeps the file safe.
  if (::chmod(socketFile.c_str(), 0666) != 0) throw posixError("chmod " + socketFile.string());
  acceptor->listen(asio::socket_base::max_listen_connections);
  accept();
  thread = std::thread([runtime = runtime] {
    auto guard = asio::make_work_guard(runtime->io);
    runtime->io.run();
  });
}

void ServiceListener::Impl::shutdown() {
  if (thread.joinable()) {
    asio::post(runtime->io, [this] {
      asio::error_code ignored;
      acceptor->close(ignored);
      retryTimer.cancel();
      auto all = sessions;
      for (const auto& session : all) session->close();
      runtime->io.stop();
    });
    thread.join();
  }
  sessions.clear();
  if (acceptor) {
    asio::error_code ignored;
    acceptor->close(ignored);
  }
  if (bound) ::unlink(path.c_str());
}

void ServiceListener::Impl::accept() {
  acceptor->async_accept([this](asio::error_code ec, Socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor->is_open()) return;
    if (ec) {
      // Out of descriptors, most likely: wait a little instead of spinning.
      retryTimer.expires_after(std::chrono::milliseconds(100));
      retryTimer.async_wait([this](asio::error_code wait) {
        if (!wait) accept();
      });
      return;
    }
    onAccepted(std::move(socket));
    accept();
  });
}

void ServiceListener::Impl::onAccepted(Socket socket) {
  auto peer = readPeerCredentials(socket.native_handle());
  if (!peer) return;  // closed by the socket's destructor
  std::size_t& live = perUser[peer->uid];
  if (live >= options.maxConnectionsPerUser) return;
  ++live;
  ++count;
  auto session = std::make_shared<Session>(*this, std::move(socket), std::move(*peer));
  sessions.insert(session);
  bool accepted = false;
  try {
    accepted = delegate.shouldAcceptNewConnection(*session);
  } catch (...) {
    accepted = false;
  }
  if (accepted) {
    session->markAccepted();
  } else {
    session->close();
  }
}

void ServiceListener::Impl::removed(const std::shared_ptr<Session>& session, uid_t uid) {
  if (sessions.erase(session) == 0) return;
  auto it = perUser.find(uid);
  if (it != perUser.end() && --it->second == 0) perUser.erase(it);
  --count;
}

ServiceListener::ServiceListener(const std::string& serviceName, ServiceListenerDelegate& delegate,
                                 CodeSigning& codeSigning)
    : ServiceListener(serviceName, delegate, codeSigning, Options{}) {}

ServiceListener::ServiceListener(const std::string& serviceName, ServiceListenerDelegate& delegate,
                                 CodeSigning& codeSigning, Options options)
    : impl_(
          std::make_unique<Impl>(serviceSocketPath(serviceName), delegate, codeSigning, options)) {}

ServiceListener::~ServiceListener() { impl_->shutdown(); }

void ServiceListener::resume() { impl_->resume(); }

const std::string& ServiceListener::socketPath() const { return impl_->path; }

std::size_t ServiceListener::connectionCount() const { return impl_->count.load(); }

}  // namespace dravik::platform
