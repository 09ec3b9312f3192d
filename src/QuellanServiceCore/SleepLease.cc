#include "QuellanServiceCore/SleepLease.h"

#include <cmath>

namespace quellan {
namespace {

constexpr const char* kRemoving = "兼容组件正在移除，请重新安装后再试";
constexpr const char* kOpenTheLid = "请先打开电脑盖子";
constexpr const char* kAnotherSession = "另一个Quellan会话正在运行";
constexpr const char* kSleepTakenOver = "其他程序正在接管睡眠，请先关闭它的防睡眠功能";
constexpr const char* kNotConfirmed = "兼容组件未能确认睡眠设置，请稍后重试";
constexpr const char* kSessionEnded = "兼容组件会话已结束，请重新开启";
constexpr const char* kSettingChanged = "睡眠设置被其他程序更改，本次已结束";
constexpr const char* kSchemaMismatch = "兼容组件恢复记录版本不匹配，请联系支持";
constexpr const char* kRestoreUnconfirmed = "恢复尚未确认，正在重试；请保持开盖";

bool acceptedMinutes(std::int64_t minutes) {
  switch (minutes) {
    case 0:
    case 30:
    case 60:
    case 120:
    case 240:
    case 480:
      return true;
    default:
      return false;
  }
}

}  // namespace

SleepLease::SleepLease(SleepSetting& power, SleepJournalStore& journal)
    : power_(power), journal_(journal) {}

void SleepLease::endSession() {
  owner_.reset();
  deadline_.reset();
}

void SleepLease::restore() {
  std::optional<SleepJournal> record;
  try {
    record = journal_.load();
  } catch (...) {
    recoveryPending_ = true;
    throw;
  }
  if (!record) {
    recoveryPending_ = false;
    return;
  }
  // From here on a failure keeps the journal and leaves the restoration owed.
  recoveryPending_ = true;
  if (record->schema != kJournalSchema) throw ServiceFailure(kSchemaMismatch);
  power_.write(record->originalDisabled);
  if (power_.read() != record->originalDisabled) throw ServiceFailure(kRestoreUnconfirmed);
  journal_.clear();
  recoveryPending_ = false;
}

void SleepLease::recover() {
  endSession();
  restore();
}

void SleepLease::pauseAndRestore() {
  paused_ = true;
  endSession();
  restore();
}

void SleepLease::begin(const Uuid& owner, std::int64_t minutes, double now, bool lidClosed) {
  if (paused_) throw ServiceFailure(kRemoving);
  if (!acceptedMinutes(minutes) || !std::isfinite(now) || lidClosed) {
    throw ServiceFailure(kOpenTheLid);
  }
  if (owner_) throw ServiceFailure(kAnotherSession);

  // Settle a journal left by an earlier failure before writing a new one.
  restore();
  if (power_.read()) throw ServiceFailure(kSleepTakenOver);
  journal_.save(SleepJournal(false));

  recoveryPending_ = true;
  try {
    power_.write(true);
    if (!power_.read()) throw ServiceFailure(kNotConfirmed);
  } catch (...) {
    // The caller needs the write's or the confirmation's error, not the cleanup's.
    try {
      restore();
    } catch (...) {
    }
    throw;
  }

  owner_ = owner;
  expiry_ = now + kLeaseSeconds;
  recoveryPending_ = false;
  deadline_ =
      minutes != 0 ? std::optional<double>(now + static_cast<double>(minutes) * 60) : std::nullopt;
  sawClosed_ = false;
}

void SleepLease::renew(const Uuid& owner, double now) {
  const bool ownersSession = owner_ && *owner_ == owner;
  const bool accepted =
      ownersSession && std::isfinite(now) && now < expiry_ && (!deadline_ || now < *deadline_);
  if (accepted) {
    if (power_.read()) {
      expiry_ = now + kLeaseSeconds;
      return;
    }
    endSession();
    restore();
    throw ServiceFailure(kSettingChanged);
  }
  if (ownersSession) {
    endSession();
    restore();
  }
  throw ServiceFailure(kSessionEnded);
}

void SleepLease::end(const Uuid& owner) {
  if (owner_ && *owner_ != owner) return;
  endSession();
  restore();
}

void SleepLease::tick(double now, std::optional<bool> lidClosed, bool safe) {
  if (!owner_) {
    restore();
    return;
  }
  const bool continues = lidClosed.has_value() && safe && std::isfinite(now) && now < expiry_ &&
                         (!deadline_ || now < *deadline_);
  if (continues && (!sawClosed_ || *lidClosed)) {
    sawClosed_ = sawClosed_ || *lidClosed;
    return;
  }
  endSession();
  restore();
}

}  // namespace quellan
