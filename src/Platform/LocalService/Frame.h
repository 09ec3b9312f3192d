#pragma once
// The wire format of the local service transport (layout in docs/transport.md).
//
// Every frame is a big-endian u32 body length followed by the body: a kind byte (the
// operation for a request, 0x80 | operation for its reply), a u64 call id and the
// operation's payload. The decoders are strict pure functions over one whole frame: any
// byte out of place yields nullopt, and the transport then closes the connection.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace dravik::platform {

enum class Operation : std::uint8_t {
  status = 1,
  beginSession = 2,
  renewSession = 3,
  endSession = 4,
  prepareForRemoval = 5,
};

// Body sizes above this are refused by both sides before anything is buffered.
inline constexpr std::size_t kMaxFrameBody = 16 * 1024;
inline constexpr std::size_t kFrameHeader = 4;

struct Request {
  std::uint64_t callId = 0;
  Operation operation = Operation::status;
  std::int64_t minutes = 0;  // beginSession only
  friend bool operator==(const Request&, const Request&) = default;
};

struct StatusReplyBody {
  std::int64_t version = 0;
  bool active = false;
  bool recoveryPending = false;
  friend bool operator==(const StatusReplyBody&, const StatusReplyBody&) = default;
};

struct CommandReplyBody {
  bool ok = false;
  std::optional<std::string> message;
  friend bool operator==(const CommandReplyBody&, const CommandReplyBody&) = default;
};

// The body's alternative follows the operation: StatusReplyBody for status, CommandReplyBody
// for the four commands.
struct Reply {
  std::uint64_t callId = 0;
  Operation operation = Operation::status;
  std::variant<StatusReplyBody, CommandReplyBody> body;
  friend bool operator==(const Reply&, const Reply&) = default;
};

// Whole frames, length prefix included.
std::vector<std::uint8_t> encodeRequest(const Request& request);
// Throws std::invalid_argument when the body does not match the operation or the message
// is not valid UTF-8 or does not fit in a frame.
std::vector<std::uint8_t> encodeReply(const Reply& reply);

std::optional<Request> decodeRequest(std::span<const std::uint8_t> frame);
std::optional<Reply> decodeReply(std::span<const std::uint8_t> frame);

// The body length announced by a frame's first four bytes, or nullopt when it is zero or
// above kMaxFrameBody (the connection is then closed without reading further).
std::optional<std::size_t> frameBodyLength(std::span<const std::uint8_t, kFrameHeader> header);

bool isValidUtf8(std::string_view text);

// Where the service `serviceName` listens: "/var/run/<name>.sock" inside the machine root.
std::string serviceSocketPath(const std::string& serviceName);

}  // namespace dravik::platform
