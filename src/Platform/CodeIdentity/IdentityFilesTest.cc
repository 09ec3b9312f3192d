#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <thread>

#include "Platform/CodeIdentity/IdentityFiles.h"
#include "Platform/CodeIdentity/TestIdentity.h"

namespace dravik::platform {
namespace {

class IdentityFilesTest : public ::testing::Test {
 protected:
  TestIdentities ids;
};

TEST_F(IdentityFilesTest, DevelopmentIdentityIsMadeOnceUnderConcurrentRequests) {
  const std::string dir = ids.dir() + "/dev";
  std::vector<std::string> certDirs(6);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < certDirs.size(); ++i)
    threads.emplace_back([&, i] { certDirs[i] = ensureDevelopmentIdentity(dir, "Q7TX2KM9RZ"); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(certDirs.begin(), certDirs.end()).size(), 1u);
  EXPECT_EQ(certDirs[0], dir + "/team-Q7TX2KM9RZ");

  const PublicKey anchor = readAnchorPublicKeyFile(dir + "/anchor/anchor.pub");
  const Certificate certificate = readCertificateFile(certDirs[0] + "/certificate.json");
  EXPECT_EQ(certificate.anchorKey, anchor);
  // Nothing half-made is left beside them.
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename();
    EXPECT_TRUE(name == "anchor" || name == "team-Q7TX2KM9RZ") << name;
  }
  struct stat st;
  ASSERT_EQ(::stat((dir + "/anchor/anchor.key").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(IdentityFilesTest, ClearErrorsForBadInput) {
  auto message = [](const std::function<void()>& call) {
    try {
      call();
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] { createAnchorDirectory(ids.anchorDir()); }),
            ids.anchorDir() + " already holds an anchor");
  EXPECT_EQ(message([&] { signProgramFile(ids.certificate({}), "dravik", ids.dir()); }),
            ids.dir() + " is not a regular file");
  EXPECT_EQ(message([&] { readAnchorPublicKeyFile(ids.anchorDir() + "/anchor.key"); }),
            ids.anchorDir() + "/anchor.key is not an anchor public key");
  EXPECT_EQ(message([&] { ensureDevelopmentIdentity(ids.dir() + "/dev", "a b"); }),
            "invalid team \"a b\"");
  EXPECT_EQ(message([&] { installAnchorPublicKey(ids.anchorDir(), ""); }), "no machine root given");
}

}  // namespace
}  // namespace dravik::platform
