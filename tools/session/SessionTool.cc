#include "SessionTool.h"

#include <utility>

#include "QuellanServiceProtocol/ServiceProtocol.h"

namespace dravik {

namespace {

// The client's own text for a failure that came without words; an empty line would tell
// the user nothing.
constexpr std::string_view kUnavailable = "兼容组件暂时不可用，请重新打开组件检查";
constexpr std::string_view kSessionEnded = "会话已结束，恢复正常睡眠";
constexpr std::string_view kRemovable = "睡眠已恢复，可以移除兼容组件";
constexpr std::string_view kReady = "兼容组件已就绪";
constexpr std::string_view kRecoveryPending = "恢复尚未确认，正在重试；请保持开盖";
constexpr std::string_view kTimeLimit = "最长保持";

}  // namespace

SessionTool::SessionTool(CompatibilityClient& client, platform::MainQueue& mainQueue,
                         RenewalTimer& timer, AppLanguage language,
                         const platform::PreferredLanguages& preferred, std::ostream& out,
                         Finished finished)
    : client_(client),
      mainQueue_(mainQueue),
      timer_(timer),
      text_(language, preferred),
      language_(language),
      preferred_(preferred),
      out_(out),
      finished_(std::move(finished)) {}

void SessionTool::status() {
  if (state_ != State::idle) return;
  state_ = State::ending;  // a one-shot call: nothing to stop
  client_.status([this](Result<CompatibilityStatus> result) {
    if (!result.ok()) {
      sayFailure(result.error());
      return finish(1);
    }
    say(text_(result.value().recoveryPending ? kRecoveryPending : kReady));
    say(result.value().active ? own("Closed-lid session: running", "合盖会话：进行中")
                              : own("Closed-lid session: none", "合盖会话：未运行"));
    finish(0);
  });
}

void SessionTool::begin(const BeginOptions& options) {
  if (state_ != State::idle) return;
  options_ = options;
  state_ = State::beginning;
  client_.begin(options_.minutes, [this](Result<Done> result) { began(result); });
}

void SessionTool::end() {
  if (state_ != State::idle) return;
  state_ = State::ending;
  client_.end([this](Result<Done> result) {
    if (!result.ok()) {
      sayFailure(result.error());
      return finish(1);
    }
    // This process holds no session of its own: the daemon leaves another client's session
    // alone and only retries a restoration that is still pending.
    say(own("End request carried out (another client's session is left alone)",
            "结束请求已完成（其他客户端的会话不受影响）"));
    finish(0);
  });
}

void SessionTool::remove() {
  if (state_ != State::idle) return;
  state_ = State::ending;
  client_.prepareForRemoval([this](Result<Done> result) {
    if (!result.ok()) {
      sayFailure(result.error());
      return finish(1);
    }
    say(text_(kRemovable));
    finish(0);
  });
}

void SessionTool::stop() {
  switch (state_) {
    case State::beginning:
    case State::renewing:
      stopRequested_ = true;  // acted on when the outstanding call answers
      break;
    case State::waiting:
      timer_.cancel();
      sendEnd();
      break;
    case State::idle:
    case State::ending:
    case State::done:
      break;
  }
}

void SessionTool::began(const Result<Done>& result) {
  if (!result.ok()) {
    sayFailure(result.error());
    return finish(1);
  }
  bool chinese = resolved(language_, preferred_) == AppLanguage::simplifiedChinese;
  say(own("Closed-lid session began. ", "合盖会话已开始。") + text_(kTimeLimit) +
      (chinese ? "：" : ": ") + text_.duration(options_.minutes));
  if (stopRequested_ || options_.renewals == std::uint64_t{0}) return sendEnd();
  waitForRenewal();
}

void SessionTool::waitForRenewal() {
  state_ = State::waiting;
  // The next renewal is timed from the answer to the last one, so two never overlap.
  timer_.start(quellan::CompatibilityService::renewalSeconds, [this] { renewNow(); });
}

void SessionTool::renewNow() {
  if (state_ != State::waiting) return;  // a timer that fired as the session was stopped
  state_ = State::renewing;
  client_.renew([this](Result<Done> result) { renewed(result); });
}

void SessionTool::renewed(const Result<Done>& result) {
  if (!result.ok()) {
    // The session is over: either the daemon ended it, or the client dropped the
    // connection, which ends the session it owned.
    sayFailure(result.error());
    return finish(1);
  }
  ++renewals_;
  if (!options_.quietRenewals) {
    std::string count = std::to_string(renewals_);
    say(own("Renewed (" + count + ")", "已续期（" + count + "）"));
  }
  if (stopRequested_ || (options_.renewals && renewals_ >= *options_.renewals)) return sendEnd();
  waitForRenewal();
}

void SessionTool::sendEnd() {
  state_ = State::ending;
  client_.end([this](Result<Done> result) {
    if (!result.ok()) {
      sayFailure(result.error());
      return finish(1);
    }
    say(text_(kSessionEnded));
    finish(0);
  });
}

void SessionTool::finish(int exitStatus) {
  state_ = State::done;
  mainQueue_.post([finished = finished_, exitStatus] {
    if (finished) finished(exitStatus);
  });
}

std::string SessionTool::own(std::string_view english, std::string_view chinese) const {
  return std::string(resolved(language_, preferred_) == AppLanguage::simplifiedChinese ? chinese
                                                                                       : english);
}

void SessionTool::say(const std::string& line) { out_ << line << '\n' << std::flush; }

void SessionTool::sayFailure(const PowerError& error) {
  say(text_(error.text.empty() ? kUnavailable : error.text));
}

}  // namespace dravik
