#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "QuellanCompatibility/ComponentModel.h"
#include "QuellanCompatibility/fakes/ManualQueues.h"
#include "QuellanCompatibility/fakes/ServiceConnectorFake.h"
#include "QuellanCompatibility/fakes/ServiceManagementFake.h"
#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace quellan {
namespace {

using dravik::platform::ServiceStatus;
using fakes::ServiceConnectorFake;
using Field = ComponentModel::Field;

constexpr const char* kReady = "兼容组件已就绪";
constexpr const char* kRestoring = "兼容组件正在恢复睡眠，请保持开盖";
constexpr const char* kUnreachable = "请先安装并授权Quellan兼容组件";
constexpr const char* kTimedOut = "兼容组件响应超时，请保持开盖并检查组件";
constexpr const char* kDragFirst = "请先把兼容组件拖到应用程序文件夹";
constexpr const char* kAllowInSettings = "请在系统设置中允许Quellan兼容组件";
constexpr const char* kRemoved = "睡眠已恢复，可以移除兼容组件";

class ComponentModelTest : public ::testing::Test {
 protected:
  ComponentModelTest() { makeModel(); }

  void makeModel() {
    model = std::make_unique<ComponentModel>(mainQueue, globalQueue, connector, services, bundle);
    model->observe([this](Field field) { changes.push_back(describe(field)); });
  }

  std::string describe(Field field) const {
    switch (field) {
      case Field::busy:
        return std::string("busy=") + (model->busy() ? "true" : "false");
      case Field::ready:
        return std::string("ready=") + (model->ready() ? "true" : "false");
      case Field::state:
        return "state=" + std::to_string(static_cast<int>(model->state()));
      case Field::message:
        return "message=" + model->message();
      case Field::language:
        return "language=" + std::to_string(static_cast<int>(model->language()));
    }
    return "?";
  }

  void setDaemon(ServiceStatus status) { services.setStatus(plist, status); }

  // Brings the model to "ready" with an enabled daemon, and forgets the changes so far.
  void becomeReady() {
    setDaemon(ServiceStatus::enabled);
    model->refresh();
    connector.answerStatus({1, false, false});
    mainQueue.runAll();
    ASSERT_TRUE(model->ready());
    changes.clear();
  }

 public:  // reachable from the failure table's lambdas
  fakes::ManualMainQueue mainQueue;
  fakes::ManualGlobalQueue globalQueue;
  ServiceConnectorFake connector;
  fakes::ServiceManagementFake services;
  fakes::BundleLocationFake bundle{"/Applications/Quellan Compatibility.app"};
  std::unique_ptr<ComponentModel> model;
  std::vector<std::string> changes;
  const std::string plist = CompatibilityService::plist();
};

TEST_F(ComponentModelTest, StartsWithEveryFieldAtItsInitialValue) {
  EXPECT_FALSE(model->busy());
  EXPECT_FALSE(model->ready());
  EXPECT_EQ(model->state(), ServiceStatus::notRegistered);
  EXPECT_EQ(model->message(), "");
  EXPECT_EQ(model->language(), AppLanguage::system);
  EXPECT_FALSE(model->installed());
  EXPECT_TRUE(connector.connections.empty()) << "nothing is opened before the first call";
}

TEST_F(ComponentModelTest, InstalledMeansEnabledOrAwaitingApproval) {
  const struct {
    ServiceStatus status;
    bool installed;
  } cases[] = {{ServiceStatus::notRegistered, false},
               {ServiceStatus::enabled, true},
               {ServiceStatus::requiresApproval, true},
               {ServiceStatus::notFound, false}};
  for (const auto& c : cases) {
    setDaemon(c.status);
    model->refresh();
    EXPECT_EQ(model->state(), c.status);
    EXPECT_EQ(model->installed(), c.installed) << static_cast<int>(c.status);
  }
}

TEST_F(ComponentModelTest, RefreshOfADaemonNotEnabledAsksNothingAndKeepsTheMessage) {
  bundle.path = "/Users/me/Downloads/Quellan Compatibility.app";
  model->install();  // leaves a message behind
  for (auto status :
       {ServiceStatus::notRegistered, ServiceStatus::requiresApproval, ServiceStatus::notFound}) {
    setDaemon(status);
    model->refresh();
    mainQueue.runAll();
    EXPECT_EQ(model->state(), status);
    EXPECT_FALSE(model->ready());
    EXPECT_EQ(model->message(), kDragFirst);
  }
  EXPECT_TRUE(connector.operations.empty());
}

TEST_F(ComponentModelTest, RefreshAsksTheDaemonByItsPublishedNames) {
  setDaemon(ServiceStatus::enabled);
  model->refresh();
  for (const auto& name : services.plistNamesAsked) EXPECT_EQ(name, plist);
  ASSERT_EQ(connector.connections.size(), 1u);
  EXPECT_EQ(connector.serviceNames[0], CompatibilityService::name());
  EXPECT_EQ(connector.connections[0]->requirement, CompatibilityService::daemonRequirement());
  EXPECT_EQ(connector.operations, std::vector<std::string>{"status"});
}

TEST_F(ComponentModelTest, RefreshTakesReadinessFromTheStatusReply) {
  const struct {
    ServiceConnectorFake::StatusAnswer answer;
    bool ready;
    const char* message;
  } cases[] = {
      {{1, false, false}, true, kReady},
      {{1, true, false}, true, kReady},  // an active lease alone changes nothing
      {{1, false, true}, false, kRestoring},
      {{1, true, true}, false, kRestoring},
      {{2, false, false}, false, "请更新Quellan兼容组件"},
      {{0, false, false}, false, "请更新Quellan兼容组件"},
  };
  setDaemon(ServiceStatus::enabled);
  for (const auto& c : cases) {
    model->refresh();
    EXPECT_FALSE(model->ready()) << "cleared before the daemon answers";
    changes.clear();
    connector.answerStatus(c.answer);
    EXPECT_TRUE(changes.empty()) << "results arrive through the main queue";
    mainQueue.runAll();
    EXPECT_EQ(model->ready(), c.ready) << c.message;
    EXPECT_EQ(model->message(), c.message);
  }
}

TEST_F(ComponentModelTest, ReadinessIsSetBeforeTheMessage) {
  setDaemon(ServiceStatus::enabled);
  model->refresh();
  EXPECT_EQ(changes, (std::vector<std::string>{"state=1", "ready=false"}));
  changes.clear();
  connector.answerStatus({1, false, true});
  mainQueue.runAll();
  EXPECT_EQ(changes,
            (std::vector<std::string>{"ready=false", std::string("message=") + kRestoring}));
}

TEST_F(ComponentModelTest, RefreshClearsReadinessEvenWhenTheDaemonIsGone) {
  becomeReady();
  setDaemon(ServiceStatus::notFound);
  model->refresh();
  EXPECT_FALSE(model->ready());
  EXPECT_EQ(model->state(), ServiceStatus::notFound);
  EXPECT_EQ(model->message(), kReady) << "refresh writes the message only for an enabled daemon";
}

TEST_F(ComponentModelTest, SilentDaemonTimesOutAfterSixSeconds) {
  setDaemon(ServiceStatus::enabled);
  model->refresh();
  globalQueue.advance(5.9);
  mainQueue.runAll();
  EXPECT_EQ(model->message(), "");
  globalQueue.advance(0.1);
  mainQueue.runAll();
  EXPECT_FALSE(model->ready());
  EXPECT_EQ(model->message(), kTimedOut);

  // The reply that finally comes is dropped.
  if (connector.outstanding() > 0) connector.answerStatus({1, false, false});
  mainQueue.runAll();
  EXPECT_FALSE(model->ready());
  EXPECT_EQ(model->message(), kTimedOut);
}

TEST_F(ComponentModelTest, UnreachableDaemonFailsTheStatusCall) {
  const struct {
    const char* name;
    bool reachable;
    bool speaksProtocol;
  } cases[] = {{"no daemon listening", false, true}, {"not the service's protocol", true, false}};
  setDaemon(ServiceStatus::enabled);
  for (const auto& c : cases) {
    connector.reachable = c.reachable;
    connector.speaksProtocol = c.speaksProtocol;
    makeModel();
    model->refresh();
    mainQueue.runAll();
    EXPECT_FALSE(model->ready()) << c.name;
    EXPECT_EQ(model->message(), kUnreachable) << c.name;
  }
}

TEST(ApplicationsFolderCheck, OnlyTheFolderItselfCounts) {
  const struct {
    const char* bundle;
    bool inside;
  } cases[] = {
      {"/Applications/Quellan Compatibility.app", true},
      {"/Applications/Quellan Compatibility.app/", true},
      {"/Users/me/Downloads/Quellan Compatibility.app", false},
      {"/Applications/Utilities/Quellan Compatibility.app", false},
      {"/Volumes/Disk/Applications/Quellan Compatibility.app", false},
      {"/applications/Quellan Compatibility.app", false},
      {"/Applications", false},
      {"/Quellan Compatibility.app", false},
      {"Applications/Quellan Compatibility.app", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(isDirectlyInApplications(c.bundle), c.inside) << c.bundle;
}

TEST_F(ComponentModelTest, InstallOutsideApplicationsRegistersNothing) {
  becomeReady();
  for (const char* path : {"/Users/me/Downloads/Quellan Compatibility.app",
                           "/Applications/Utilities/Quellan Compatibility.app"}) {
    bundle.path = path;
    changes.clear();
    model->install();
    EXPECT_EQ(changes, std::vector<std::string>{std::string("message=") + kDragFirst}) << path;
  }
  EXPECT_EQ(services.registerCalls, 0);
  EXPECT_EQ(model->state(), ServiceStatus::enabled);
  EXPECT_TRUE(model->ready());
}

TEST_F(ComponentModelTest, InstallAwaitingApprovalAsksTheUserToAllowIt) {
  model->install();
  EXPECT_EQ(services.registerCalls, 1);
  EXPECT_EQ(services.statusOf(plist), ServiceStatus::requiresApproval);
  EXPECT_EQ(model->message(), kAllowInSettings);
  EXPECT_EQ(model->state(), ServiceStatus::requiresApproval) << "install ends with a refresh";
  EXPECT_TRUE(connector.operations.empty());
}

TEST_F(ComponentModelTest, InstallEnabledAtOnceGoesOnToConnect) {
  services.approvalRequired = false;
  model->install();
  EXPECT_EQ(model->state(), ServiceStatus::enabled);
  EXPECT_EQ(model->message(), kAllowInSettings);
  connector.answerStatus({1, false, false});
  mainQueue.runAll();
  EXPECT_TRUE(model->ready());
  EXPECT_EQ(model->message(), kReady);
}

TEST_F(ComponentModelTest, FailedRegistrationShowsThePlatformsDescription) {
  services.registerError = "The operation couldn’t be completed. (error 1)";
  model->install();
  EXPECT_EQ(model->message(), "The operation couldn’t be completed. (error 1)");
  EXPECT_EQ(model->state(), ServiceStatus::notRegistered);
}

TEST_F(ComponentModelTest, FailedRegistrationWhileAwaitingApprovalKeepsTheMessage) {
  model->install();  // now awaiting approval, with its message
  services.registerError = "Operation not permitted";
  model->install();
  EXPECT_EQ(services.registerCalls, 2);
  EXPECT_EQ(model->message(), kAllowInSettings);
  EXPECT_EQ(model->state(), ServiceStatus::requiresApproval);
}

TEST_F(ComponentModelTest, RemoveRestoresSleepThenUnregistersThenRefreshes) {
  becomeReady();
  model->remove();
  EXPECT_TRUE(model->busy());
  EXPECT_EQ(connector.oldest().operation, "prepareForRemoval");
  EXPECT_EQ(services.unregisterCalls, 0) << "not before the daemon has restored sleep";

  connector.answerCommand({true, "ignored"});
  mainQueue.runAll();
  EXPECT_EQ(services.unregisterCalls, 1);
  EXPECT_TRUE(model->busy()) << "still busy while unregistering";

  changes.clear();
  services.completeUnregistration();
  EXPECT_TRUE(changes.empty()) << "the platform's answer is moved to the main queue";
  mainQueue.runAll();
  EXPECT_EQ(changes, (std::vector<std::string>{std::string("message=") + kRemoved, "busy=false",
                                               "state=0", "ready=false"}));
  EXPECT_EQ(services.statusOf(plist), ServiceStatus::notRegistered);
}

TEST_F(ComponentModelTest, RemoveWhoseDaemonStaysEnabledReadsItsStatusAgain) {
  becomeReady();
  model->remove();
  connector.answerCommand({true, std::nullopt});
  mainQueue.runAll();
  services.completeUnregistration();
  setDaemon(ServiceStatus::enabled);  // the platform still reports it
  mainQueue.runAll();
  EXPECT_EQ(model->message(), kRemoved);
  ASSERT_EQ(connector.outstanding(), 1u);
  connector.answerStatus({1, false, false});
  mainQueue.runAll();
  EXPECT_EQ(model->message(), kReady);
}

TEST_F(ComponentModelTest, FailedRestoreLeavesTheDaemonRegistered) {
  struct Case {
    const char* name;
    std::function<void(ComponentModelTest&)> fail;
    std::string message;
  };
  const Case cases[] = {
      {"daemon refuses with its message",
       [](ComponentModelTest& t) {
         t.connector.answerCommand({false, "兼容组件恢复记录版本不匹配，请联系支持"});
       },
       "兼容组件恢复记录版本不匹配，请联系支持"},
      {"daemon refuses with an empty message",
       [](ComponentModelTest& t) {
         t.connector.answerCommand({false, ""});
       },
       ""},
      {"daemon refuses without a message",
       [](ComponentModelTest& t) {
         t.connector.answerCommand({false, std::nullopt});
       },
       "兼容组件暂时不可用，请重新打开组件检查"},
      {"connection breaks", [](ComponentModelTest& t) { t.connector.failOldest(); }, kUnreachable},
      {"daemon never answers", [](ComponentModelTest& t) { t.globalQueue.advance(6); }, kTimedOut},
  };
  for (const auto& c : cases) {
    becomeReady();
    const int statusCalls = services.statusCalls;
    model->remove();
    c.fail(*this);
    mainQueue.runAll();
    globalQueue.advance(6);  // spent time limits
    mainQueue.runAll();
    EXPECT_EQ(changes,
              (std::vector<std::string>{"busy=true", "message=" + c.message, "busy=false"}))
        << c.name;
    EXPECT_EQ(services.unregisterCalls, 0) << c.name;
    EXPECT_EQ(services.statusCalls, statusCalls) << c.name << ": no refresh after a failure";
    EXPECT_EQ(services.statusOf(plist), ServiceStatus::enabled) << c.name;
    while (connector.outstanding() > 0) connector.failOldest();
    mainQueue.runAll();
  }
}

TEST_F(ComponentModelTest, FailedUnregistrationShowsThePlatformsDescription) {
  becomeReady();
  services.unregisterError = "Unregistration failed: the job is busy";
  model->remove();
  connector.answerCommand({true, std::nullopt});
  mainQueue.runAll();
  services.completeUnregistration();
  mainQueue.runAll();
  EXPECT_EQ(changes,
            (std::vector<std::string>{"busy=true", "message=Unregistration failed: the job is busy",
                                      "busy=false", "state=1", "ready=false"}));
  EXPECT_EQ(connector.oldest().operation, "status") << "refresh asks the daemon again";
}

TEST_F(ComponentModelTest, SwitchingTheLanguageChangesNothingElse) {
  becomeReady();
  for (auto language :
       {AppLanguage::english, AppLanguage::simplifiedChinese, AppLanguage::system}) {
    model->setLanguage(language);
    EXPECT_EQ(model->language(), language);
  }
  EXPECT_EQ(changes, (std::vector<std::string>{"language=2", "language=1", "language=0"}));
  EXPECT_TRUE(model->ready());
  EXPECT_EQ(model->state(), ServiceStatus::enabled);
  EXPECT_EQ(model->message(), kReady);
  EXPECT_FALSE(model->busy());
}

TEST_F(ComponentModelTest, ObserversCanLeave) {
  std::vector<Field> seen;
  auto id = model->observe([&seen](Field field) { seen.push_back(field); });
  model->setLanguage(AppLanguage::english);
  model->unobserve(id);
  model->setLanguage(AppLanguage::simplifiedChinese);
  EXPECT_EQ(seen, std::vector<Field>{Field::language});
}

// A model destroyed before its result: the call ends inside the client and touches nothing.
TEST_F(ComponentModelTest, ModelDestroyedBeforeTheStatusResult) {
  setDaemon(ServiceStatus::enabled);
  model->refresh();
  changes.clear();
  model.reset();
  mainQueue.runAll();
  globalQueue.advance(6);
  mainQueue.runAll();
  EXPECT_TRUE(changes.empty());
  EXPECT_TRUE(connector.connections[0]->invalidated);
}

TEST_F(ComponentModelTest, ModelDestroyedBeforeThePrepareForRemovalResult) {
  becomeReady();
  model->remove();
  changes.clear();
  model.reset();
  mainQueue.runAll();
  globalQueue.advance(6);
  mainQueue.runAll();
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(services.unregisterCalls, 0);
}

TEST_F(ComponentModelTest, ModelDestroyedBetweenRestoreAndUnregistering) {
  becomeReady();
  model->remove();
  connector.answerCommand({true, std::nullopt});
  ASSERT_TRUE(mainQueue.runOne());  // delivers the result, which queues the unregistering
  changes.clear();
  model.reset();
  mainQueue.runAll();
  EXPECT_EQ(services.unregisterCalls, 0);
  EXPECT_TRUE(changes.empty());
}

TEST_F(ComponentModelTest, ModelDestroyedWhileUnregistering) {
  becomeReady();
  model->remove();
  connector.answerCommand({true, std::nullopt});
  mainQueue.runAll();
  changes.clear();
  model.reset();
  services.completeUnregistration();
  mainQueue.runAll();
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(services.statusOf(plist), ServiceStatus::notRegistered);
}

}  // namespace
}  // namespace quellan
