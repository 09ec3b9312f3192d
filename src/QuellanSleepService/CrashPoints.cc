#include "QuellanSleepService/CrashPoints.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace quellan {

void FileCrashPoints::reached(std::string_view name) {
  int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return;
  char buffer[64];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return;
  std::string_view armed(buffer, static_cast<std::size_t>(n));
  while (!armed.empty() && (armed.back() == '\n' || armed.back() == ' ')) armed.remove_suffix(1);
  if (armed == name) ::raise(SIGKILL);
}

void CrashPointSleepSetting::write(bool disabled) {
  points_.reached(disabled ? "before-disable" : "before-restore");
  inner_.write(disabled);
  points_.reached(disabled ? "after-disable" : "after-restore");
}

void CrashPointJournalStore::save(const SleepJournal& journal) {
  inner_.save(journal);
  points_.reached("after-journal-save");
}

void CrashPointJournalStore::clear() {
  points_.reached("before-journal-clear");
  inner_.clear();
}

}  // namespace quellan
