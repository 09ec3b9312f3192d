// lease-demo: walks one closed-lid session through the sleep lease and prints each step.
// The sleep setting is an in-memory stand-in; the journal is the real root journal in a
// temporary directory when run as root, and an in-memory one otherwise.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "QuellanServiceCore/Fakes/FakeJournalStore.h"
#include "QuellanServiceCore/Fakes/FakeSleepSetting.h"
#include "QuellanServiceCore/SleepLease.h"
#include "QuellanSleepService/RootJournal.h"

namespace {

using quellan::FakeJournalStore;
using quellan::FakeSleepSetting;
using quellan::RootJournal;
using quellan::SleepJournalStore;
using quellan::SleepLease;
using quellan::Uuid;

class Demo {
 public:
  explicit Demo(const std::string& directory) : directory_(directory) {
    if (::geteuid() == 0) {
      journal_ = std::make_unique<RootJournal>(directory_);
      std::cout << "Journal: the real root journal in " << directory_ << "\n";
    } else {
      journal_ = std::make_unique<FakeJournalStore>();
      std::cout << "Journal: in memory (run as root to use the real root journal)\n";
    }
    lease_ = std::make_unique<SleepLease>(setting_, *journal_);
  }

  void run() {
    const Uuid client = Uuid::random();
    step("Before any session");
    lease_->recover();
    step("Daemon start: recover() found nothing to restore");

    lease_->begin(client, 30, 0, false);
    step("t=0s  client begins a 30-minute session with the lid open");

    tick(1, false);
    tick(2, true);
    tick(3, true);
    lease_->renew(client, 5);
    step("t=5s  client renews; the lease now runs to t=35s");
    tick(6, true);
    tick(7, false, "the lid reopened after closing: sleep restored, journal deleted");

    std::cout << "\nA restoration that cannot be confirmed is retried on every tick:\n";
    lease_->begin(client, 0, 10, false);
    step("t=10s client begins a session without a time limit");
    setting_.ignoreWrites();
    try {
      lease_->end(client);
    } catch (const std::exception& error) {
      std::cout << "  restoration failed: " << error.what() << "\n";
    }
    step("t=11s client ends it, but the setting does not take the write");
    setting_.ignoreWrites(false);
    tick(12, std::nullopt, "the retry is confirmed: sleep restored, journal deleted");
  }

 private:
  void tick(double now, std::optional<bool> lidClosed, const std::string& note = "") {
    try {
      lease_->tick(now, lidClosed, true);
    } catch (const std::exception& error) {
      std::cout << "  tick failed: " << error.what() << "\n";
    }
    const std::string lid = !lidClosed ? "unreadable" : (*lidClosed ? "closed" : "open");
    step("t=" + std::to_string(static_cast<int>(now)) + "s  tick, lid " + lid +
         (note.empty() ? "" : " (" + note + ")"));
  }

  void step(const std::string& what) {
    std::cout << what << "\n"
              << "  sleep: " << (setting_.value() ? "DISABLED (stays awake)" : "enabled")
              << " | session: " << (lease_->active() ? "running" : "none")
              << " | recovery pending: " << (lease_->recoveryPending() ? "yes" : "no")
              << " | journal: " << journalState() << "\n";
  }

  std::string journalState() const {
    if (auto* fake = dynamic_cast<FakeJournalStore*>(journal_.get())) {
      if (!fake->record()) return "none";
      return std::string("schema ") + std::to_string(fake->record()->schema) +
             ", originalDisabled " + (fake->record()->originalDisabled ? "true" : "false");
    }
    std::ifstream in(directory_ + "/recovery.json", std::ios::binary);
    if (!in) return "none";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string directory_;
  FakeSleepSetting setting_;
  std::unique_ptr<SleepJournalStore> journal_;
  std::unique_ptr<SleepLease> lease_;
};

}  // namespace

int main() {
  char pattern[] = "/tmp/lease-demo-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) {
    std::perror("lease-demo: mkdtemp");
    return 1;
  }
  const std::string root = pattern;
  int status = 0;
  try {
    Demo(root + "/dravik.compatibility").run();
  } catch (const std::exception& error) {
    std::cerr << "lease-demo: " << error.what() << "\n";
    status = 1;
  }
  std::filesystem::remove_all(root);
  return status;
}
