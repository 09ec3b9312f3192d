// Fuzzes the transport's frame decoders: every input is offered to the server's request decoder
// and to the client's reply decoder, whole. A decoded frame must be the one canonical encoding
// of what it decodes to (re-encoding gives back the same bytes), must carry the body length its
// header announces, and a reply's message must be well-formed UTF-8 by the reference decoder
// (Utf8Reference.h).

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

#include "FuzzSupport.h"
#include "Platform/LocalService/Frame.h"
#include "Utf8Reference.h"

namespace {

namespace platform = dravik::platform;
using dravik::fuzz::check;
using dravik::fuzz::wellFormedUtf8;

void checkHeader(std::span<const std::uint8_t> frame) {
  check(frame.size() > platform::kFrameHeader, "a decoded frame has no body");
  const auto announced = platform::frameBodyLength(frame.first<platform::kFrameHeader>());
  check(announced && *announced == frame.size() - platform::kFrameHeader,
        "a decoded frame's header disagrees with its body");
}

void fuzzRequest(std::span<const std::uint8_t> frame) {
  const std::optional<platform::Request> request = platform::decodeRequest(frame);
  if (!request) return;
  checkHeader(frame);
  const std::vector<std::uint8_t> encoded = platform::encodeRequest(*request);
  check(std::equal(encoded.begin(), encoded.end(), frame.begin(), frame.end()),
        "a decoded request is not its own encoding");
  check(platform::decodeRequest(encoded) == request, "request changed through its encoding");
  if (request->operation != platform::Operation::beginSession) {
    check(request->minutes == 0, "minutes decoded for an operation that carries none");
  }
}

void fuzzReply(std::span<const std::uint8_t> frame) {
  const std::optional<platform::Reply> reply = platform::decodeReply(frame);
  if (!reply) return;
  checkHeader(frame);
  const bool status = reply->operation == platform::Operation::status;
  check(status == std::holds_alternative<platform::StatusReplyBody>(reply->body),
        "a reply's body does not follow its operation");
  if (const auto* command = std::get_if<platform::CommandReplyBody>(&reply->body)) {
    if (command->message) {
      check(wellFormedUtf8(*command->message), "a decoded message is not well-formed UTF-8");
    }
  }
  // A reply that decoded is one the encoder accepts; a throw here is a finding.
  const std::vector<std::uint8_t> encoded = platform::encodeReply(*reply);
  check(std::equal(encoded.begin(), encoded.end(), frame.begin(), frame.end()),
        "a decoded reply is not its own encoding");
  check(platform::decodeReply(encoded) == reply, "reply changed through its encoding");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (dravik::fuzz::tooLarge(size)) return 0;
  const std::span<const std::uint8_t> frame(data, size);
  fuzzRequest(frame);
  fuzzReply(frame);

  // The transport's UTF-8 check and an independent one agree on every byte string.
  const std::string_view text = dravik::fuzz::asText(data, size);
  check(platform::isValidUtf8(text) == wellFormedUtf8(text), "isValidUtf8 disagrees");

  // Any header either announces a body within bounds or is refused.
  if (size >= platform::kFrameHeader) {
    const auto announced = platform::frameBodyLength(frame.first<platform::kFrameHeader>());
    const std::uint32_t raw = (std::uint32_t(data[0]) << 24) | (std::uint32_t(data[1]) << 16) |
                              (std::uint32_t(data[2]) << 8) | std::uint32_t(data[3]);
    const bool inBounds = raw >= 1 && raw <= platform::kMaxFrameBody;
    check(announced.has_value() == inBounds && (!announced || *announced == raw),
          "frameBodyLength misreads a header");
  }
  return 0;
}
