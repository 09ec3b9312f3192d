// The transport over a real socket: an in-process service behind a ServiceListener, and
// either the LocalServiceConnector or a raw socket playing a misbehaving client.

#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "Platform/LocalService/FakeCodeSigning.h"
#include "Platform/LocalService/Frame.h"
#include "Platform/LocalService/LocalServiceConnector.h"
#include "Platform/LocalService/ServiceListener.h"
#include "Platform/UniqueFd.h"

namespace dravik::platform {
namespace {

using namespace std::chrono_literals;
using quellan::QuellanSleepServiceProtocol;

constexpr auto kBound = 10s;  // generous bound for anything that should happen promptly
const std::string kService = "test.dravik.sleep-service";

template <class Predicate>
bool eventually(Predicate predicate) {
  auto deadline = std::chrono::steady_clock::now() + kBound;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// Answers at once with canned replies, or holds every reply for the test to send.
class TestService : public QuellanSleepServiceProtocol {
 public:
  std::atomic<bool> holdReplies{false};
  std::atomic<int> calls{0};
  std::atomic<std::int64_t> lastMinutes{0};
  std::atomic<std::thread::id> callThread;

  void status(StatusReply reply) override {
    record();
    if (holdReplies) return hold([reply] { reply(1, true, false); });
    reply(1, true, false);
  }
  void beginSession(std::int64_t minutes, CommandReply reply) override {
    lastMinutes = minutes;
    command(std::move(reply), false, "当前不能开始保持唤醒");
  }
  void renewSession(CommandReply reply) override { command(std::move(reply), true, std::nullopt); }
  void endSession(CommandReply reply) override { command(std::move(reply), false, ""); }
  void prepareForRemoval(CommandReply reply) override {
    command(std::move(reply), true, std::nullopt);
  }

  std::size_t held() {
    std::lock_guard lock(mutex_);
    return held_.size();
  }
  // Sends (or, with `send` false, drops unsent) every held reply.
  void release(bool send = true) {
    std::vector<std::function<void()>> replies;
    {
      std::lock_guard lock(mutex_);
      replies.swap(held_);
    }
    if (send) {
      for (auto& r : replies) r();
    }
  }

 private:
  void record() {
    ++calls;
    callThread = std::this_thread::get_id();
  }
  void command(CommandReply reply, bool ok, std::optional<std::string> message) {
    record();
    if (holdReplies) return hold([reply, ok, message] { reply(ok, message); });
    reply(ok, message);
  }
  void hold(std::function<void()> send) {
    std::lock_guard lock(mutex_);
    held_.push_back(std::move(send));
  }

  std::mutex mutex_;
  std::vector<std::function<void()>> held_;
};

class TestDelegate : public ServiceListenerDelegate {
 public:
  explicit TestDelegate(std::shared_ptr<TestService> service) : service_(std::move(service)) {}

  std::atomic<bool> accept{true};
  std::atomic<bool> pin{false};
  std::atomic<int> accepted{0};
  std::atomic<int> invalidations{0};
  std::atomic<uid_t> uid{9999};
  std::atomic<pid_t> pid{0};
  std::atomic<bool> hadPidfd{false};
  std::atomic<std::thread::id> thread;

  bool shouldAcceptNewConnection(IncomingConnection& connection) override {
    uid = connection.effectiveUserIdentifier();
    pid = connection.processIdentifier();
    hadPidfd = connection.pidfd() >= 0;
    thread = std::this_thread::get_id();
    if (!accept) return false;
    if (pin) connection.setCodeSigningRequirement("identifier \"pinned\"");
    connection.setExportedObject(service_);
    connection.setInvalidationHandler([this] { ++invalidations; });
    connection.setInterruptionHandler([this] { ++invalidations; });
    connection.resume();
    ++accepted;
    return true;
  }

 private:
  std::shared_ptr<TestService> service_;
};

// A client that speaks raw bytes.
class RawClient {
 public:
  explicit RawClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    connected_ = ::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  bool connected() const { return connected_; }
  int fd() const { return fd_.get(); }

  void send(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  }
  // Reads one reply frame; nullopt when the peer closed or nothing came in time.
  std::optional<Reply> readReply() {
    std::vector<std::uint8_t> bytes;
    while (true) {
      if (bytes.size() >= kFrameHeader) {
        auto length = frameBodyLength(std::span(bytes).first<kFrameHeader>());
        if (length && bytes.size() >= kFrameHeader + *length) return decodeReply(bytes);
      }
      std::uint8_t c;
      if (!readable() || ::recv(fd_.get(), &c, 1, 0) != 1) return std::nullopt;
      bytes.push_back(c);
    }
  }
  // True once the peer has closed the connection (data before the end is discarded).
  bool closedByPeer() {
    std::uint8_t buffer[4096];
    while (readable()) {
      ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
    return false;
  }

 private:
  bool readable() {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, int(std::chrono::milliseconds(kBound).count())) == 1;
  }

  UniqueFd fd_;
  bool connected_ = false;
};

std::vector<std::uint8_t> statusRequest(std::uint64_t id) {
  return encodeRequest({id, Operation::status, 0});
}

class LocalServiceTest : public ::testing::Test {
 protected:
  LocalServiceTest() {
    char pattern[] = "/tmp/dravik-transport-XXXXXX";
    root_ = ::mkdtemp(pattern);
    ::setenv("DRAVIK_MACHINE", root_.c_str(), 1);
  }
  ~LocalServiceTest() override {
    listener_.reset();
    ::unsetenv("DRAVIK_MACHINE");
    std::filesystem::remove_all(root_);
  }

  // The directory check stays strict when the tests run as root, as in CI.
  ServiceListener::Options listenerOptions() {
    ServiceListener::Options options;
    options.requireRootOwnedDirectory = ::geteuid() == 0;
    return options;
  }
  LocalServiceConnector::Options connectorOptions() {
    LocalServiceConnector::Options options;
    options.requireRootPeer = ::geteuid() == 0;
    return options;
  }

  ServiceListener& listen(ServiceListener::Options options) {
    listener_ = std::make_unique<ServiceListener>(kService, delegate_, serverSigning_, options);
    listener_->resume();
    return *listener_;
  }
  ServiceListener& listen() { return listen(listenerOptions()); }

  std::string root_;
  std::shared_ptr<TestService> service_ = std::make_shared<TestService>();
  TestDelegate delegate_{service_};
  FakeCodeSigning serverSigning_;
  FakeCodeSigning clientSigning_;
  std::unique_ptr<ServiceListener> listener_;
};

// Collects one call's outcome through a proxy.
struct Outcome {
  std::promise<std::string> promise;
  std::future<std::string> future = promise.get_future();
  std::atomic<int> deliveries{0};

  std::function<void()> onError() {
    return [this] { deliver("error"); };
  }
  QuellanSleepServiceProtocol::StatusReply statusReply() {
    return [this](std::int64_t v, bool a, bool r) {
      deliver("status " + std::to_string(v) + " " + std::to_string(a) + " " + std::to_string(r));
    };
  }
  QuellanSleepServiceProtocol::CommandReply commandReply() {
    return [this](bool ok, std::optional<std::string> message) {
      deliver(std::string(ok ? "ok" : "refused") + (message ? " [" + *message + "]" : " none"));
    };
  }
  std::string get() {
    if (future.wait_for(kBound) != std::future_status::ready) return "nothing";
    return future.get();
  }

 private:
  void deliver(std::string text) {
    if (++deliveries == 1) promise.set_value(std::move(text));
  }
};

TEST_F(LocalServiceTest, AllFiveOperationsRoundTrip) {
  listen();
  LocalServiceConnector connector(clientSigning_, connectorOptions());
  auto connection = connector.connect(kService);
  connection->setCodeSigningRequirement("the daemon's requirement");
  connection->resume();

  Outcome status, begin, renew, end, remove;
  connection->remoteObjectProxy(status.onError())->status(status.statusReply());
  connection->remoteObjectProxy(begin.onError())->beginSession(-480, begin.commandReply());
  connection->remoteObjectProxy(renew.onError())->renewSession(renew.commandReply());
  connection->remoteObjectProxy(end.onError())->endSession(end.commandReply());
  connection->remoteObjectProxy(remove.onError())->prepareForRemoval(remove.commandReply());

  EXPECT_EQ(status.get(), "status 1 1 0");
  EXPECT_EQ(begin.get(), "refused [当前不能开始保持唤醒]");
  EXPECT_EQ(renew.get(), "ok none");
  EXPECT_EQ(end.get(), "refused []");
  EXPECT_EQ(remove.get(), "ok none");
  EXPECT_EQ(service_->lastMinutes, -480);

  // The server learnt who connected, on its own thread.
  EXPECT_EQ(delegate_.uid, ::geteuid());
  EXPECT_EQ(delegate_.pid, ::getpid());
  EXPECT_TRUE(delegate_.hadPidfd);
  EXPECT_NE(delegate_.thread.load(), std::this_thread::get_id());
  EXPECT_EQ(service_->callThread.load(), delegate_.thread.load());
  // The client checked the daemon's code before sending.
  EXPECT_EQ(clientSigning_.requirementsChecked(),
            std::vector<std::string>{"the daemon's requirement"});
}

TEST_F(LocalServiceTest, ClientSendsNothingToAPeerFailingItsRequirement) {
  listen();
  clientSigning_.holds = false;
  LocalServiceConnector connector(clientSigning_, connectorOptions());
  auto connection = connector.connect(kService);
  std::atomic<int> invalidated{0};
  connection->setInvalidationHandler([&] { ++invalidated; });
  connection->setCodeSigningRequirement("the daemon's requirement");
  connection->resume();
  Outcome first, second;
  auto proxy = connection->remoteObjectProxy(first.onError());
  proxy->status(first.statusReply());
  EXPECT_EQ(first.get(), "error");
  // Once ended, later calls fail at once.
  connection->remoteObjectProxy(second.onError())->renewSession(second.commandReply());
  EXPECT_EQ(second.get(), "error");
  EXPECT_EQ(service_->calls, 0);
  EXPECT_TRUE(eventually([&] { return invalidated == 1; }));
}

TEST_F(LocalServiceTest, NoServiceFailsTheCall) {
  LocalServiceConnector connector(clientSigning_, connectorOptions());
  auto connection = connector.connect(kService);
  connection->resume();
  Outcome outcome;
  connection->remoteObjectProxy(outcome.onError())->status(outcome.statusReply());
  EXPECT_EQ(outcome.get(), "error");
}

TEST_F(LocalServiceTest, LostConnectionFailsEveryOutstandingCallOnceAndTellsTheServer) {
  listen();
  service_->holdReplies = true;
  LocalServiceConnector connector(clientSigning_, connectorOptions());
  auto connection = connector.connect(kService);
  std::atomic<int> clientInvalidated{0};
  connection->setInvalidationHandler([&] { ++clientInvalidated; });
  connection->resume();
  Outcome a, b;
  connection->remoteObjectProxy(a.onError())->status(a.statusReply());
  connection->remoteObjectProxy(b.onError())->endSession(b.commandReply());
  ASSERT_TRUE(eventually([&] { return service_->held() == 2; }));

  listener_.reset();  // the service goes away
  EXPECT_EQ(a.get(), "error");
  EXPECT_EQ(b.get(), "error");
  EXPECT_TRUE(eventually([&] { return clientInvalidated == 1; }));
  EXPECT_EQ(delegate_.invalidations, 1);
  // Replies sent after the service's transport is gone go nowhere.
  service_->release();
  EXPECT_EQ(a.deliveries, 1);
  EXPECT_EQ(b.deliveries, 1);
}

TEST_F(LocalServiceTest, ClientInvalidateEndsCallsAndTheServerIsToldOnce) {
  listen();
  service_->holdReplies = true;
  LocalServiceConnector connector(clientSigning_, connectorOptions());
  auto connection = connector.connect(kService);
  connection->resume();
  Outcome a;
  connection->remoteObjectProxy(a.onError())->status(a.statusReply());
  ASSERT_TRUE(eventually([&] { return service_->held() == 1; }));
  connection->invalidate();
  EXPECT_EQ(a.get(), "error");
  EXPECT_TRUE(eventually([&] { return delegate_.invalidations == 1; }));
  service_->release();
  connection.reset();
  EXPECT_EQ(delegate_.invalidations, 1);
}

TEST_F(LocalServiceTest, DroppedReplyFreesItsSlot) {
  auto options = listenerOptions();
  options.maxOutstandingCalls = 1;
  auto& listener = listen(options);
  service_->holdReplies = true;
  RawClient client(listener.socketPath());
  ASSERT_TRUE(client.connected());

  client.send(statusRequest(1));
  ASSERT_TRUE(eventually([&] { return service_->held() == 1; }));
  // Drop the first call's reply unsent: the one slot must come free for the next call.
  service_->holdReplies = true;
  service_->release(/*send=*/false);
  client.send(statusRequest(2));
  ASSERT_TRUE(eventually([&] { return service_->held() == 1; }));
  EXPECT_EQ(service_->calls, 2);
  service_->release();
  auto reply = client.readReply();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->callId, 2u);
}

// An exported object that calls each reply twice.
class TwiceService : public TestService {
 public:
  void status(StatusReply reply) override {
    reply(1, false, false);
    reply(2, true, true);
  }
};

TEST_F(LocalServiceTest, SecondReplyIsIgnored) {
  auto twice = std::make_shared<TwiceService>();
  TestDelegate delegate(twice);
  listener_ =
      std::make_unique<ServiceListener>(kService, delegate, serverSigning_, listenerOptions());
  listener_->resume();
  RawClient client(listener_->socketPath());
  client.send(statusRequest(1));
  client.send(statusRequest(2));
  auto first = client.readReply();
  auto second = client.readReply();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->callId, 1u);
  EXPECT_EQ(std::get<StatusReplyBody>(first->body).version, 1);
  EXPECT_EQ(second->callId, 2u);
  EXPECT_EQ(std::get<StatusReplyBody>(second->body).version, 1);
  listener_.reset();
}

TEST_F(LocalServiceTest, MalformedFramesCloseTheConnection) {
  auto& listener = listen();
  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  auto bad = statusRequest(1);
  bad[4] = 0x09;
  auto trailing = statusRequest(1);
  trailing.push_back(0);
  trailing[3] += 1;
  const Case cases[] = {
      {"zero length", {0, 0, 0, 0}},
      {"huge length", {0x7f, 0, 0, 0, 1}},
      {"unknown operation", bad},
      {"trailing byte", trailing},
      {"a reply sent to the server",
       encodeReply({1, Operation::status, StatusReplyBody{1, false, false}})},
  };
  int expectedInvalidations = 0;
  for (const auto& c : cases) {
    RawClient client(listener.socketPath());
    ASSERT_TRUE(client.connected()) << c.what;
    client.send(c.bytes);
    EXPECT_TRUE(client.closedByPeer()) << c.what;
    ++expectedInvalidations;
    EXPECT_TRUE(eventually([&] { return delegate_.invalidations == expectedInvalidations; }))
        << c.what;
  }
  EXPECT_EQ(service_->calls, 0);
}

TEST_F(LocalServiceTest, RefusedConnectionIsClosedWithoutHandlers) {
  delegate_.accept = false;
  auto& listener = listen();
  RawClient client(listener.socketPath());
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_TRUE(eventually([&] { return listener.connectionCount() == 0; }));
  EXPECT_EQ(delegate_.invalidations, 0);
}

TEST_F(LocalServiceTest, PeerStallingMidFrameIsCutOffWhileAnIdlePeerIsNot) {
  auto options = listenerOptions();
  options.stallSeconds = 0.2;
  auto& listener = listen(options);
  RawClient idle(listener.socketPath());
  RawClient staller(listener.socketPath());
  auto frame = statusRequest(1);
  staller.send({frame.begin(), frame.begin() + 6});
  EXPECT_TRUE(staller.closedByPeer());

  // The idle peer, connected before the staller, still gets answers.
  idle.send(statusRequest(7));
  auto reply = idle.readReply();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->callId, 7u);
}

TEST_F(LocalServiceTest, ConnectionsPerUserAreCapped) {
  auto options = listenerOptions();
  options.maxConnectionsPerUser = 3;
  auto& listener = listen(options);
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < 3; ++i) clients.push_back(std::make_unique<RawClient>(listener.socketPath()));
  ASSERT_TRUE(eventually([&] { return delegate_.accepted == 3; }));

  // The flood: every further connection from the same uid is closed unjudged.
  for (int i = 0; i < 20; ++i) {
    RawClient extra(listener.socketPath());
    EXPECT_TRUE(extra.closedByPeer());
  }
  EXPECT_EQ(delegate_.accepted, 3);
  EXPECT_EQ(listener.connectionCount(), 3u);

  // A connection inside the cap is still served.
  clients[1]->send(statusRequest(5));
  auto reply = clients[1]->readReply();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->callId, 5u);

  // A freed place can be taken again.
  clients.pop_back();
  ASSERT_TRUE(eventually([&] { return listener.connectionCount() == 2; }));
  RawClient again(listener.socketPath());
  EXPECT_TRUE(eventually([&] { return delegate_.accepted == 4; }));
}

TEST_F(LocalServiceTest, PinnedClientWhoseCodeStopsHoldingIsCutOff) {
  delegate_.pin = true;
  listen();
  LocalServiceConnector connector(clientSigning_, connectorOptions());
  auto connection = connector.connect(kService);
  connection->resume();
  Outcome first, second;
  connection->remoteObjectProxy(first.onError())->status(first.statusReply());
  EXPECT_EQ(first.get(), "status 1 1 0");
  EXPECT_EQ(serverSigning_.requirementsChecked(),
            std::vector<std::string>{"identifier \"pinned\""});

  serverSigning_.holds = false;
  connection->remoteObjectProxy(second.onError())->renewSession(second.commandReply());
  EXPECT_EQ(second.get(), "error");
  EXPECT_EQ(service_->calls, 1);
  EXPECT_TRUE(eventually([&] { return delegate_.invalidations == 1; }));
}

TEST_F(LocalServiceTest, PinnedClientWhoseCodeCannotBeFoundIsCutOffAtItsFirstMessage) {
  delegate_.pin = true;
  serverSigning_.guestLookupFails = true;
  auto& listener = listen();
  RawClient client(listener.socketPath());
  client.send(statusRequest(1));
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_EQ(service_->calls, 0);
}

TEST_F(LocalServiceTest, CallFloodWithoutReadingStaysBounded) {
  auto options = listenerOptions();
  options.maxOutstandingCalls = 4;
  auto& listener = listen(options);
  service_->holdReplies = true;
  RawClient client(listener.socketPath());
  ASSERT_TRUE(client.connected());

  // Write as many calls as the socket takes without ever reading a reply.
  std::size_t sent = 0;
  for (std::uint64_t id = 1; id <= 20000; ++id) {
    auto frame = statusRequest(id);
    if (::send(client.fd(), frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
        ssize_t(frame.size())) {
      break;
    }
    ++sent;
  }
  EXPECT_GT(sent, 100u);
  ASSERT_TRUE(eventually([&] { return service_->held() == 4; }));
  EXPECT_EQ(service_->calls, 4);

  // As replies drain, the next calls are read; never more than the cap at once.
  service_->release();
  ASSERT_TRUE(eventually([&] { return service_->held() == 4; }));
  EXPECT_EQ(service_->calls, 8);
  EXPECT_EQ(listener.connectionCount(), 1u);
}

TEST_F(LocalServiceTest, SocketIsOpenToUsersAndReplacesAStaleOne) {
  auto path = serviceSocketPath(kService);
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  ::chmod(std::filesystem::path(path).parent_path().c_str(), 0755);
  {
    // A socket file left behind by a killed daemon.
    UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  auto& listener = listen();
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0666u);
  RawClient client(listener.socketPath());
  client.send(statusRequest(3));
  EXPECT_TRUE(client.readReply().has_value());
  listener_.reset();
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(LocalServiceTest, UnsafePlacesAreRefused) {
  auto path = serviceSocketPath(kService);
  auto directory = std::filesystem::path(path).parent_path();
  std::filesystem::create_directories(directory);

  ::chmod(directory.c_str(), 0777);
  ServiceListener writableByOthers(kService, delegate_, serverSigning_, listenerOptions());
  EXPECT_THROW(writableByOthers.resume(), std::system_error);

  ::chmod(directory.c_str(), 0755);
  { std::ofstream(path) << "not a socket"; }
  ServiceListener notASocket(kService, delegate_, serverSigning_, listenerOptions());
  EXPECT_THROW(notASocket.resume(), std::system_error);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
}

}  // namespace
}  // namespace dravik::platform
