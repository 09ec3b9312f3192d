#include <gtest/gtest.h>

#include <cstdlib>

#include "Platform/LocalService/Frame.h"

namespace dravik::platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(Bytes body) {
  Bytes out;
  out.reserve(4 + body.size());
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(std::uint8_t(body.size() >> shift));
  for (auto b : body) out.push_back(b);
  return out;
}

Bytes callId(std::uint64_t id) {
  Bytes out;
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(std::uint8_t(id >> shift));
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(FrameTest, RequestsRoundTrip) {
  const Request requests[] = {
      {1, Operation::status, 0},
      {2, Operation::beginSession, 480},
      {3, Operation::beginSession, -1},
      {4, Operation::beginSession, INT64_MIN},
      {UINT64_MAX, Operation::renewSession, 0},
      {0, Operation::endSession, 0},
      {7, Operation::prepareForRemoval, 0},
  };
  for (const auto& request : requests) {
    auto decoded = decodeRequest(encodeRequest(request));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, request);
  }
}

TEST(FrameTest, RequestLayoutIsBigEndianWithOperationThenCallId) {
  EXPECT_EQ(encodeRequest({0x0102, Operation::beginSession, 30}),
            frame(concat({{0x02}, callId(0x0102), callId(30)})));
  EXPECT_EQ(encodeRequest({5, Operation::status, 99}), frame(concat({{0x01}, callId(5)})));
}

TEST(FrameTest, RepliesRoundTrip) {
  const Reply replies[] = {
      {1, Operation::status, StatusReplyBody{1, true, true}},
      {2, Operation::status, StatusReplyBody{INT64_MIN, false, true}},
      {3, Operation::beginSession, CommandReplyBody{true, std::nullopt}},
      {4, Operation::renewSession, CommandReplyBody{false, "当前没有保持唤醒会话"}},
      {5, Operation::endSession, CommandReplyBody{false, ""}},
      {6, Operation::prepareForRemoval, CommandReplyBody{true, "ignored"}},
      {7, Operation::beginSession, CommandReplyBody{false, std::string(kMaxFrameBody - 15, 'x')}},
  };
  for (const auto& reply : replies) {
    auto decoded = decodeReply(encodeReply(reply));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, reply);
  }
}

TEST(FrameTest, ReplyLayout) {
  EXPECT_EQ(encodeReply({9, Operation::status, StatusReplyBody{1, true, false}}),
            frame(concat({{0x81}, callId(9), callId(1), {1, 0}})));
  EXPECT_EQ(encodeReply({9, Operation::endSession, CommandReplyBody{false, "ab"}}),
            frame(concat({{0x84}, callId(9), {0, 1, 0, 0, 0, 2, 'a', 'b'}})));
  EXPECT_EQ(encodeReply({9, Operation::renewSession, CommandReplyBody{true, std::nullopt}}),
            frame(concat({{0x83}, callId(9), {1, 0}})));
}

TEST(FrameTest, EncodeReplyRefusesWhatTheWireCannotCarry) {
  EXPECT_THROW(encodeReply({1, Operation::status, CommandReplyBody{true, std::nullopt}}),
               std::invalid_argument);
  EXPECT_THROW(encodeReply({1, Operation::endSession, StatusReplyBody{}}), std::invalid_argument);
  EXPECT_THROW(encodeReply({1, Operation::endSession, CommandReplyBody{false, "\xff"}}),
               std::invalid_argument);
  EXPECT_THROW(encodeReply({1, Operation::endSession,
                            CommandReplyBody{false, std::string(kMaxFrameBody, 'x')}}),
               std::invalid_argument);
}

TEST(FrameTest, MalformedRequestsAreRefused) {
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"header only, zero length", {0, 0, 0, 0}},
      {"huge length", concat({{0x7f, 0xff, 0xff, 0xff}, {0x01}, callId(1)})},
      {"length one above the cap",
       concat({{0, 0, std::uint8_t((kMaxFrameBody + 1) >> 8), std::uint8_t(kMaxFrameBody + 1)}})},
      {"length says more than present", concat({{0, 0, 0, 10}, {0x01}, callId(1)})},
      {"length says less than present", concat({{0, 0, 0, 8}, {0x01}, callId(1)})},
      {"operation zero", frame(concat({{0x00}, callId(1)}))},
      {"operation six", frame(concat({{0x06}, callId(1)}))},
      {"a reply kind", frame(concat({{0x81}, callId(1)}))},
      {"truncated call id", frame({0x01, 0, 0, 0})},
      {"begin without minutes", frame(concat({{0x02}, callId(1)}))},
      {"begin with short minutes", frame(concat({{0x02}, callId(1), {0, 0, 0, 30}}))},
      {"trailing byte", frame(concat({{0x03}, callId(1), {0}}))},
      {"status with minutes", frame(concat({{0x01}, callId(1), callId(30)}))},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(decodeRequest(c.bytes).has_value()) << c.what;
  }
}

TEST(FrameTest, MalformedRepliesAreRefused) {
  struct Case {
    const char* what;
    Bytes bytes;
  };
  const Case cases[] = {
      {"zero length", {0, 0, 0, 0}},
      {"huge length", concat({{0xff, 0xff, 0xff, 0xff}, {0x81}})},
      {"a request kind", frame(concat({{0x01}, callId(1), callId(1), {0, 0}}))},
      {"unknown reply kind", frame(concat({{0x86}, callId(1), {1, 0}}))},
      {"reply kind 0x80", frame(concat({{0x80}, callId(1), {1, 0}}))},
      {"status flag 2", frame(concat({{0x81}, callId(1), callId(1), {2, 0}}))},
      {"status second flag 0xff", frame(concat({{0x81}, callId(1), callId(1), {0, 0xff}}))},
      {"status missing a flag", frame(concat({{0x81}, callId(1), callId(1), {0}}))},
      {"status trailing byte", frame(concat({{0x81}, callId(1), callId(1), {0, 0, 0}}))},
      {"command ok flag 2", frame(concat({{0x82}, callId(1), {2, 0}}))},
      {"command presence flag 2", frame(concat({{0x82}, callId(1), {0, 2}}))},
      {"command missing presence", frame(concat({{0x82}, callId(1), {0}}))},
      {"message length missing", frame(concat({{0x83}, callId(1), {0, 1, 0, 0}}))},
      {"message truncated", frame(concat({{0x83}, callId(1), {0, 1, 0, 0, 0, 3, 'a', 'b'}}))},
      {"message length huge", frame(concat({{0x83}, callId(1), {0, 1, 0xff, 0xff, 0xff, 0xff}}))},
      {"message trailing byte", frame(concat({{0x83}, callId(1), {0, 1, 0, 0, 0, 1, 'a', 'b'}}))},
      {"absent message with trailing bytes", frame(concat({{0x84}, callId(1), {0, 0, 0}}))},
      {"invalid UTF-8 byte", frame(concat({{0x85}, callId(1), {0, 1, 0, 0, 0, 1, 0xff}}))},
      {"truncated UTF-8 sequence",
       frame(concat({{0x85}, callId(1), {0, 1, 0, 0, 0, 2, 0xe5, 0xbd}}))},
      {"overlong UTF-8", frame(concat({{0x85}, callId(1), {0, 1, 0, 0, 0, 2, 0xc0, 0xaf}}))},
      {"UTF-8 surrogate", frame(concat({{0x85}, callId(1), {0, 1, 0, 0, 0, 3, 0xed, 0xa0, 0x80}}))},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(decodeReply(c.bytes).has_value()) << c.what;
  }
}

TEST(FrameTest, Utf8Validation) {
  EXPECT_TRUE(isValidUtf8(""));
  EXPECT_TRUE(isValidUtf8("请先安装并授权Quellan兼容组件："));
  EXPECT_TRUE(isValidUtf8("\xf0\x9f\x98\x80"));            // U+1F600
  EXPECT_TRUE(isValidUtf8("\xf4\x8f\xbf\xbf"));            // U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xf4\x90\x80\x80"));           // above U+10FFFF
  EXPECT_FALSE(isValidUtf8("\xe0\x80\x80"));               // overlong
  EXPECT_FALSE(isValidUtf8("\x80"));                       // lone continuation
  EXPECT_FALSE(isValidUtf8(std::string("a\xe4\xb8", 3)));  // cut short
}

TEST(FrameTest, FrameBodyLengthBounds) {
  auto length = [](std::uint32_t v) {
    std::array<std::uint8_t, 4> h{std::uint8_t(v >> 24), std::uint8_t(v >> 16),
                                  std::uint8_t(v >> 8), std::uint8_t(v)};
    return frameBodyLength(h);
  };
  EXPECT_EQ(length(0), std::nullopt);
  EXPECT_EQ(length(1), 1u);
  EXPECT_EQ(length(kMaxFrameBody), kMaxFrameBody);
  EXPECT_EQ(length(kMaxFrameBody + 1), std::nullopt);
  EXPECT_EQ(length(0xffffffff), std::nullopt);
}

TEST(FrameTest, SocketPathLivesInTheMachineRoot) {
  ::setenv("DRAVIK_MACHINE", "/tmp/mac/", 1);
  EXPECT_EQ(serviceSocketPath("a.b"), "/tmp/mac/var/run/a.b.sock");
  ::unsetenv("DRAVIK_MACHINE");
  EXPECT_EQ(serviceSocketPath("a.b"), "/var/run/a.b.sock");
}

}  // namespace
}  // namespace dravik::platform
