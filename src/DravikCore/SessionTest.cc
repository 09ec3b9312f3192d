#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "DravikCore/Session.h"

namespace dravik {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

// ---- Phase ----

TEST(PhaseTest, RawValuesAndActivity) {
  const std::tuple<Phase, std::string_view, bool> cases[] = {
      {Phase::off, "off", false},
      {Phase::starting, "starting", true},
      {Phase::armed, "armed", true},
      {Phase::closed, "closed", true},
      {Phase::restoring, "restoring", false},
  };
  for (const auto& [phase, raw, active] : cases) {
    EXPECT_EQ(rawValue(phase), raw);
    EXPECT_EQ(phaseFromRawValue(raw), phase);
    EXPECT_EQ(isActive(phase), active) << raw;
  }
  for (std::string_view other : {"", "Off", "ARMED", "open", "restoring ", "closed\n"}) {
    EXPECT_EQ(phaseFromRawValue(other), std::nullopt) << other;
  }
}

// ---- OneShot ----

void expectState(const OneShot& model, Phase phase, std::optional<double> beganAt,
                 std::optional<double> deadline) {
  EXPECT_EQ(model.phase(), phase);
  EXPECT_EQ(model.beganAt(), beganAt);
  EXPECT_EQ(model.deadline(), deadline);
}

TEST(OneShotTest, FreshModelIsOff) {
  expectState(OneShot(), Phase::off, std::nullopt, std::nullopt);
}

TEST(OneShotTest, ArmSetsTimes) {
  OneShot model;
  EXPECT_TRUE(model.arm(1000, 30, false));
  expectState(model, Phase::armed, 1000.0, 2800.0);
}

TEST(OneShotTest, ArmWithoutTimeLimit) {
  OneShot model;
  EXPECT_TRUE(model.arm(1000, 0, false));
  expectState(model, Phase::armed, 1000.0, std::nullopt);
  EXPECT_FALSE(model.expired(1000));
  EXPECT_FALSE(model.expired(1e300));
  EXPECT_TRUE(model.observe(true) == false && model.phase() == Phase::closed);
  EXPECT_FALSE(model.expired(std::numeric_limits<double>::infinity()));
}

TEST(OneShotTest, ArmRefusals) {
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max() / 60;
  const std::pair<std::int64_t, bool> cases[] = {
      {-1, false},
      {std::numeric_limits<std::int64_t>::min(), false},
      {30, true},             // lid closed
      {kLargest + 1, false},  // seconds overflow 64 bits
      {std::numeric_limits<std::int64_t>::max(), false},
  };
  for (const auto& [minutes, lidClosed] : cases) {
    OneShot model;
    EXPECT_FALSE(model.arm(1000, minutes, lidClosed)) << minutes;
    expectState(model, Phase::off, std::nullopt, std::nullopt);
  }
}

TEST(OneShotTest, LargestMinutesThatFit) {
  constexpr std::int64_t kLargest = std::numeric_limits<std::int64_t>::max() / 60;
  OneShot model;
  EXPECT_TRUE(model.arm(0, kLargest, false));
  expectState(model, Phase::armed, 0.0, static_cast<double>(kLargest * 60));
}

TEST(OneShotTest, ArmAgainRefusedInEveryOtherPhase) {
  // Walks the model through its phases and tries to re-arm in each; nothing may change.
  OneShot model;
  ASSERT_TRUE(model.arm(1000, 30, false));
  EXPECT_FALSE(model.arm(2000, 10, false));
  expectState(model, Phase::armed, 1000.0, 2800.0);

  model.observe(true);
  EXPECT_FALSE(model.arm(2000, 10, false));
  expectState(model, Phase::closed, 1000.0, 2800.0);

  model.observe(false);
  EXPECT_FALSE(model.arm(2000, 10, false));
  expectState(model, Phase::restoring, 1000.0, 2800.0);

  model.reset();
  expectState(model, Phase::off, std::nullopt, std::nullopt);
  EXPECT_TRUE(model.arm(2000, 10, false));
  expectState(model, Phase::armed, 2000.0, 2600.0);
}

TEST(OneShotTest, Observe) {
  OneShot model;
  EXPECT_FALSE(model.observe(true));
  EXPECT_FALSE(model.observe(false));
  EXPECT_EQ(model.phase(), Phase::off);

  ASSERT_TRUE(model.arm(10, 1, false));
  EXPECT_FALSE(model.observe(false));
  EXPECT_EQ(model.phase(), Phase::armed);
  EXPECT_FALSE(model.observe(true));  // the closing itself ends nothing
  EXPECT_EQ(model.phase(), Phase::closed);
  EXPECT_FALSE(model.observe(true));
  EXPECT_EQ(model.phase(), Phase::closed);
  EXPECT_TRUE(model.observe(false));  // reopened: end the session
  EXPECT_EQ(model.phase(), Phase::restoring);
  EXPECT_FALSE(model.observe(false));  // only once
  EXPECT_FALSE(model.observe(true));
  expectState(model, Phase::restoring, 10.0, 70.0);
}

TEST(OneShotTest, Expired) {
  OneShot model;
  EXPECT_FALSE(model.expired(1e9));
  ASSERT_TRUE(model.arm(1000, 30, false));
  EXPECT_FALSE(model.expired(2799.999));
  EXPECT_TRUE(model.expired(2800));
  EXPECT_TRUE(model.expired(5000));
  model.observe(true);
  EXPECT_FALSE(model.expired(std::nextafter(2800.0, 0.0)));
  EXPECT_TRUE(model.expired(2800));
  model.observe(false);
  EXPECT_FALSE(model.expired(5000));  // restoring
  model.reset();
  EXPECT_FALSE(model.expired(5000));  // off
}

// ---- Command ----

TEST(CommandTest, WritesOnlyPresentKeys) {
  EXPECT_EQ(toJson(Command("x", std::nullopt)).dump(), R"({"action":"x"})");
  EXPECT_EQ(toJson(Command("begin", 30)).dump(), R"({"action":"begin","minutes":30})");
  EXPECT_EQ(toJson(Command("b", INT64_MIN)).dump(),
            R"({"action":"b","minutes":-9223372036854775808})");
}

TEST(CommandTest, RoundTrip) {
  for (const std::optional<std::int64_t> minutes :
       {std::optional<std::int64_t>(), std::optional<std::int64_t>(0),
        std::optional<std::int64_t>(-5), std::optional<std::int64_t>(INT64_MAX),
        std::optional<std::int64_t>(INT64_MIN)}) {
    const Command back = commandFromJson(json::parse(toJson(Command("开始", minutes)).dump()));
    EXPECT_EQ(back.action, "开始");
    EXPECT_EQ(back.minutes, minutes);
  }
  // Through the library's own conversions, in both JSON flavours.
  json plain = Command("stop", 5);
  EXPECT_EQ(plain.get<Command>().minutes, 5);
  ordered_json ordered = Command("stop", std::nullopt);
  EXPECT_EQ(ordered.get<Command>().action, "stop");
}

TEST(CommandTest, Decodes) {
  const std::pair<std::string_view, std::optional<std::int64_t>> cases[] = {
      {R"({"action":"a"})", std::nullopt},
      {R"({"action":"a","minutes":null})", std::nullopt},
      {R"({"minutes":7,"action":"a","other":[1,2]})", 7},
      {R"({"action":"a","minutes":30.0})", 30},
      {R"({"action":"a","minutes":9223372036854775807})", INT64_MAX},
      {R"({"action":"a","minutes":-9223372036854775808})", INT64_MIN},
  };
  for (const auto& [text, minutes] : cases) {
    const Command command = commandFromJson(json::parse(text));
    EXPECT_EQ(command.action, "a") << text;
    EXPECT_EQ(command.minutes, minutes) << text;
  }
}

TEST(CommandTest, DecodingFailures) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"minutes":7})", "[json.exception.out_of_range.403] key 'action' not found"},
      {R"({"action":null})",
       "[json.exception.type_error.302] type must be string, but is null (key 'action')"},
      {R"({"action":5})",
       "[json.exception.type_error.302] type must be string, but is number (key 'action')"},
      {R"(["action"])",
       "[json.exception.type_error.302] type must be object, but is array (key 'Command')"},
      {R"("x")",
       "[json.exception.type_error.302] type must be object, but is string (key 'Command')"},
      {R"({"action":"a","minutes":"5"})",
       "[json.exception.type_error.302] type must be number, but is string (key 'minutes')"},
      {R"({"action":"a","minutes":true})",
       "[json.exception.type_error.302] type must be number, but is boolean (key 'minutes')"},
      {R"({"action":"a","minutes":1.5})",
       "[json.exception.type_error.302] type must be an integer, but is number (key 'minutes')"},
      {R"({"action":"a","minutes":9223372036854775808})",
       "[json.exception.out_of_range.406] number 9223372036854775808 does not fit a signed "
       "64-bit integer (key 'minutes')"},
      {R"({"action":"a","minutes":18446744073709551615})",
       "[json.exception.out_of_range.406] number 18446744073709551615 does not fit a signed "
       "64-bit integer (key 'minutes')"},
      {R"({"action":"a","minutes":9.3e18})",
       "[json.exception.out_of_range.406] number 9.3e+18 does not fit a signed 64-bit integer "
       "(key 'minutes')"},
      {R"({"action":"a","minutes":-1e300})",
       "[json.exception.out_of_range.406] number -1e+300 does not fit a signed 64-bit integer "
       "(key 'minutes')"},
  };
  for (const auto& [text, message] : cases) {
    try {
      commandFromJson(json::parse(text));
      ADD_FAILURE() << "decoded " << text;
    } catch (const json::exception& e) {
      EXPECT_EQ(e.what(), message) << text;
    }
  }
}

TEST(CommandTest, NotFiniteNumbersBuiltInMemoryAreRefused) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity()}) {
    json document = {{"action", "a"}, {"minutes", bad}};
    EXPECT_THROW(commandFromJson(document), json::type_error);
  }
}

// ---- Snapshot ----

constexpr std::string_view kFreshSnapshot =
    R"({"compatibilityReady":false,"compatibilityMessage":"请先安装并授权Quellan兼容组件",)"
    R"("phase":"off","openAwakeRequested":false,"openAwakeActive":false,)"
    R"("openAwakeMessage":"屏幕仍可自动熄灭，合盖时暂停","openAwakeError":false,)"
    R"("message":"点一次，下次合盖继续运行","onBattery":false,"thermal":"正常","error":false})";

Snapshot fullSnapshot() {
  Snapshot s;
  s.compatibilityReady = true;
  s.compatibilityMessage = "兼容组件已就绪";
  s.phase = Phase::closed;
  s.openAwakeRequested = true;
  s.openAwakeActive = true;
  s.openAwakeMessage = "开盖防休眠请求失败：0xe00002c1";
  s.openAwakeError = true;
  s.agentPID = INT32_MIN;
  s.sandboxContainer = "/Users/a/Library/Containers/dravik";
  s.message = "合盖运行中 · 开盖即结束";
  s.lidClosed = false;
  s.causesSleep = true;
  s.battery = INT64_MAX;
  s.onBattery = true;
  s.thermal = "高温";
  s.deadline = 2800.25;
  s.error = true;
  return s;
}

void expectSame(const Snapshot& a, const Snapshot& b) {
  EXPECT_EQ(a.compatibilityReady, b.compatibilityReady);
  EXPECT_EQ(a.compatibilityMessage, b.compatibilityMessage);
  EXPECT_EQ(a.phase, b.phase);
  EXPECT_EQ(a.openAwakeRequested, b.openAwakeRequested);
  EXPECT_EQ(a.openAwakeActive, b.openAwakeActive);
  EXPECT_EQ(a.openAwakeMessage, b.openAwakeMessage);
  EXPECT_EQ(a.openAwakeError, b.openAwakeError);
  EXPECT_EQ(a.agentPID, b.agentPID);
  EXPECT_EQ(a.sandboxContainer, b.sandboxContainer);
  EXPECT_EQ(a.message, b.message);
  EXPECT_EQ(a.lidClosed, b.lidClosed);
  EXPECT_EQ(a.causesSleep, b.causesSleep);
  EXPECT_EQ(a.battery, b.battery);
  EXPECT_EQ(a.onBattery, b.onBattery);
  EXPECT_EQ(a.thermal, b.thermal);
  EXPECT_EQ(a.deadline, b.deadline);
  EXPECT_EQ(a.error, b.error);
}

TEST(SnapshotTest, FreshSnapshotWritesTheElevenRequiredKeysInOrder) {
  EXPECT_EQ(toJson(Snapshot()).dump(), kFreshSnapshot);
}

TEST(SnapshotTest, FullSnapshotWritesEveryKeyInOrder) {
  EXPECT_EQ(toJson(fullSnapshot()).dump(),
            R"({"compatibilityReady":true,"compatibilityMessage":"兼容组件已就绪",)"
            R"("phase":"closed","openAwakeRequested":true,"openAwakeActive":true,)"
            R"("openAwakeMessage":"开盖防休眠请求失败：0xe00002c1","openAwakeError":true,)"
            R"("agentPID":-2147483648,"sandboxContainer":"/Users/a/Library/Containers/dravik",)"
            R"("message":"合盖运行中 · 开盖即结束","lidClosed":false,"causesSleep":true,)"
            R"("battery":9223372036854775807,"onBattery":true,"thermal":"高温",)"
            R"("deadline":2800.25,"error":true})");
}

TEST(SnapshotTest, DeadlineIsWrittenAsAFloatingPointNumber) {
  Snapshot s;
  s.deadline = 2800;
  EXPECT_TRUE(toJson(s)["deadline"].is_number_float());
  EXPECT_EQ(toJson(s)["deadline"].dump(), "2800.0");
}

TEST(SnapshotTest, LidClosedFalseIsWrittenAbsentIsLeftOut) {
  Snapshot s;
  s.lidClosed = false;
  EXPECT_EQ(toJson(s).at("lidClosed"), false);
  s.lidClosed.reset();
  EXPECT_FALSE(toJson(s).contains("lidClosed"));
}

TEST(SnapshotTest, RoundTrip) {
  for (const Snapshot& original : {Snapshot(), fullSnapshot()}) {
    expectSame(snapshotFromJson(json::parse(toJson(original).dump())), original);
    expectSame(snapshotFromJson(toJson(original)), original);
  }
  json plain = fullSnapshot();
  expectSame(plain.get<Snapshot>(), fullSnapshot());
  for (Phase phase : {Phase::off, Phase::starting, Phase::armed, Phase::closed, Phase::restoring}) {
    Snapshot s;
    s.phase = phase;
    EXPECT_EQ(snapshotFromJson(toJson(s)).phase, phase);
  }
}

TEST(SnapshotTest, NotFiniteDeadlineIsNotWritten) {
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity()}) {
    Snapshot s;
    s.deadline = bad;
    EXPECT_THROW(toJson(s), std::invalid_argument);
  }
}

// The fresh document with one key replaced (or removed when `value` is absent).
json freshWith(const std::string& key, std::optional<json> value) {
  json document = json::parse(kFreshSnapshot);
  if (value) {
    document[key] = *value;
  } else {
    document.erase(key);
  }
  return document;
}

TEST(SnapshotTest, OptionalKeysMissingOrNullAreAbsent) {
  expectSame(snapshotFromJson(json::parse(kFreshSnapshot)), Snapshot());
  for (const char* key :
       {"agentPID", "sandboxContainer", "lidClosed", "causesSleep", "battery", "deadline"}) {
    SCOPED_TRACE(key);
    expectSame(snapshotFromJson(freshWith(key, json(nullptr))), Snapshot());
  }
}

TEST(SnapshotTest, KeyOrderAndUnknownKeysDoNotMatter) {
  json reordered = json::parse(
      R"({"error":true,"thermal":"过热","deadline":12,"onBattery":true,"battery":9,)"
      R"("causesSleep":false,"lidClosed":true,"message":"m","sandboxContainer":"c",)"
      R"("agentPID":42,"openAwakeError":true,"openAwakeMessage":"o","openAwakeActive":true,)"
      R"("openAwakeRequested":true,"phase":"starting","compatibilityMessage":"cm",)"
      R"("compatibilityReady":true,"extra":{"nested":[1,2,3]},"42":null})");
  const Snapshot s = snapshotFromJson(reordered);
  Snapshot expected;
  expected.compatibilityReady = true;
  expected.compatibilityMessage = "cm";
  expected.phase = Phase::starting;
  expected.openAwakeRequested = true;
  expected.openAwakeActive = true;
  expected.openAwakeMessage = "o";
  expected.openAwakeError = true;
  expected.agentPID = 42;
  expected.sandboxContainer = "c";
  expected.message = "m";
  expected.lidClosed = true;
  expected.causesSleep = false;
  expected.battery = 9;
  expected.onBattery = true;
  expected.thermal = "过热";
  expected.deadline = 12.0;
  expected.error = true;
  expectSame(s, expected);
  reordered.erase("extra");
  reordered.erase("42");
  expectSame(snapshotFromJson(reordered), expected);
}

TEST(SnapshotTest, EveryRequiredKeyIsRequired) {
  for (const char* key : {"compatibilityReady", "compatibilityMessage", "phase",
                          "openAwakeRequested", "openAwakeActive", "openAwakeMessage",
                          "openAwakeError", "message", "onBattery", "thermal", "error"}) {
    EXPECT_THROW(snapshotFromJson(freshWith(key, std::nullopt)), json::out_of_range) << key;
    EXPECT_THROW(snapshotFromJson(freshWith(key, json(nullptr))), json::type_error) << key;
  }
}

TEST(SnapshotTest, DecodingFailures) {
  struct Case {
    std::string key;
    json value;
    std::string message;
  };
  const Case cases[] = {
      {"thermal", json(nullptr),
       "[json.exception.type_error.302] type must be string, but is null (key 'thermal')"},
      {"phase", "paused",
       "[json.exception.out_of_range.406] 'paused' is not a phase (key 'phase')"},
      {"phase", "Off", "[json.exception.out_of_range.406] 'Off' is not a phase (key 'phase')"},
      {"phase", 1,
       "[json.exception.type_error.302] type must be string, but is number (key 'phase')"},
      {"compatibilityReady", 1,
       "[json.exception.type_error.302] type must be boolean, but is number (key "
       "'compatibilityReady')"},
      {"error", "false",
       "[json.exception.type_error.302] type must be boolean, but is string (key 'error')"},
      {"lidClosed", 0,
       "[json.exception.type_error.302] type must be boolean, but is number (key 'lidClosed')"},
      {"causesSleep", json::array(),
       "[json.exception.type_error.302] type must be boolean, but is array (key "
       "'causesSleep')"},
      {"sandboxContainer", 3,
       "[json.exception.type_error.302] type must be string, but is number (key "
       "'sandboxContainer')"},
      {"agentPID", 2147483648LL,
       "[json.exception.out_of_range.406] number 2147483648 does not fit a signed 32-bit "
       "integer (key 'agentPID')"},
      {"agentPID", -2147483649LL,
       "[json.exception.out_of_range.406] number -2147483649 does not fit a signed 32-bit "
       "integer (key 'agentPID')"},
      {"agentPID", 2147483648.0,
       "[json.exception.out_of_range.406] number 2147483648.0 does not fit a signed 32-bit "
       "integer (key 'agentPID')"},
      {"agentPID", 4.5,
       "[json.exception.type_error.302] type must be an integer, but is number (key "
       "'agentPID')"},
      {"battery", 18446744073709551615ULL,
       "[json.exception.out_of_range.406] number 18446744073709551615 does not fit a signed "
       "64-bit integer (key 'battery')"},
      {"battery", true,
       "[json.exception.type_error.302] type must be number, but is boolean (key 'battery')"},
      {"deadline", "2800",
       "[json.exception.type_error.302] type must be number, but is string (key 'deadline')"},
      {"deadline", false,
       "[json.exception.type_error.302] type must be number, but is boolean (key 'deadline')"},
      {"deadline", std::numeric_limits<double>::infinity(),
       "[json.exception.out_of_range.406] number is not finite (key 'deadline')"},
  };
  for (const Case& c : cases) {
    try {
      snapshotFromJson(freshWith(c.key, c.value));
      ADD_FAILURE() << "decoded " << c.key << " = " << c.value.dump();
    } catch (const json::exception& e) {
      EXPECT_EQ(e.what(), c.message) << c.key;
    }
  }
}

TEST(SnapshotTest, IntegerEdgesThatFit) {
  const std::tuple<std::string, json, std::int64_t> cases[] = {
      {"agentPID", INT32_MAX, INT32_MAX},
      {"agentPID", INT32_MIN, INT32_MIN},
      {"agentPID", 2147483647.0, INT32_MAX},
      {"agentPID", std::uint64_t{7}, 7},
      {"battery", -1, -1},
      {"battery", 100.0, 100},
      {"battery", -9223372036854775807LL - 1, INT64_MIN},
      {"battery", std::uint64_t{9223372036854775807ULL}, INT64_MAX},
      {"battery", -9223372036854775808.0, INT64_MIN},
  };
  for (const auto& [key, value, expected] : cases) {
    const Snapshot s = snapshotFromJson(freshWith(key, value));
    if (key == "agentPID") {
      EXPECT_EQ(s.agentPID, expected) << value.dump();
    } else {
      EXPECT_EQ(s.battery, expected) << value.dump();
    }
  }
}

TEST(SnapshotTest, DeadlineAcceptsIntegersAsNumbers) {
  EXPECT_EQ(snapshotFromJson(freshWith("deadline", 12)).deadline, 12.0);
  EXPECT_EQ(snapshotFromJson(freshWith("deadline", -0.5)).deadline, -0.5);
}

TEST(SnapshotTest, NotAnObject) {
  for (std::string_view text : {"null", "[]", "3", R"("snapshot")", "true"}) {
    EXPECT_THROW(snapshotFromJson(json::parse(text)), json::type_error) << text;
  }
}

}  // namespace
}  // namespace dravik
