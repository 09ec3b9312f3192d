#include "Platform/LocalService/Frame.h"

#include <stdexcept>

#include "Platform/MachineRoot.h"

namespace dravik::platform {
namespace {

constexpr std::uint8_t kReplyBit = 0x80;
// kind byte + call id

bool isOperation(std::uint8_t value) {
  return value >= static_cast<std::uint8_t>(Operation::status) &&
         value <= static_cast<std::uint8_t>(Operation::prepareForRemoval);
}

class Writer {
 public:
  Writer() { bytes_.resize(kFrameHeader); }
  void u8(std::uint8_t v) { bytes_.push_back(v); }
  void u32(std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) bytes_.push_back(std::uint8_t(v >> shift));
  }
  void u64(std::uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) bytes_.push_back(std::uint8_t(v >> shift));
  }
  void bytes(std::string_view text) { bytes_.insert(bytes_.end(), text.begin(), text.end()); }
  std::vector<std::uint8_t> finish() {
    std::size_t body = bytes_.size() - kFrameHeader;
    if (body > kMaxFrameBody) throw std::invalid_argument("frame too large");
    for (std::size_t i = 0; i < kFrameHeader; ++i) {
      bytes_[i] = std::uint8_t(body >> (8 * (kFrameHeader - 1 - i)));
    }
    return std::move(bytes_);
  }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Reads a body front to back; any read past the end marks it failed.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> body) : body_(body) {}
  bool ok() const { return ok_; }
  bool atEnd() const { return pos_ == body_.size(); }
  std::uint8_t u8() { return take(1) ? body_[pos_ - 1] : 0; }
  std::uint32_t u32() { return std::uint32_t(big(4)); }
  std::uint64_t u64() { return big(8); }
  // A flag is exactly 0 or 1.
  bool flag() {
    std::uint8_t v = u8();
    if (v > 1) ok_ = false;
    return v == 1;
  }
  std::string text(std::size_t length) {
    if (!take(length)) return {};
    return std::string(reinterpret_cast<const char*>(body_.data() + pos_ - length), length);
  }

 private:
  bool take(std::size_t n) {
    if (!ok_ || body_.size() - pos_ < n) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }
  std::uint64_t big(std::size_t n) {
    if (!take(n)) return 0;
    std::uint64_t v = 0;
    for (std::size_t i = pos_ - n; i < pos_; ++i) v = (v << 8) | body_[i];
    return v;
  }

  std::span<const std::uint8_t> body_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

// The body of a whole frame whose prefix matches its size exactly.
std::optional<std::span<const std::uint8_t>> frameBody(std::span<const std::uint8_t> frame) {
  if (frame.size() < kFrameHeader) return std::nullopt;
  auto length = frameBodyLength(frame.first<kFrameHeader>());
  if (!length || *length != frame.size() - kFrameHeader) return std::nullopt;
  return frame.subspan(kFrameHeader);
}

}  // namespace

std::optional<std::size_t> frameBodyLength(std::span<const std::uint8_t, kFrameHeader> header) {
  std::size_t length = (std::size_t(header[0]) << 24) | (std::size_t(header[1]) << 16) |
                       (std::size_t(header[2]) << 8) | std::size_t(header[3]);
  if (length == 0 || length > kMaxFrameBody) return std::nullopt;
  return length;
}

std::vector<std::uint8_t> encodeRequest(const Request& request) {
  Writer w;
  w.u8(static_cast<std::uint8_t>(request.operation));
  w.u64(request.callId);
  if (request.operation == Operation::beginSession) w.u64(std::uint64_t(request.minutes));
  return w.finish();
}

std::vector<std::uint8_t> encodeReply(const Reply& reply) {
  Writer w;
  w.u8(kReplyBit | static_cast<std::uint8_t>(reply.operation));
  w.u64(reply.callId);
  if (reply.operation == Operation::status) {
    const auto* body = std::get_if<StatusReplyBody>(&reply.body);
    if (body == nullptr) throw std::invalid_argument("status reply needs a status body");
    w.u64(std::uint64_t(body->version));
    w.u8(body->active ? 1 : 0);
    w.u8(body->recoveryPending ? 1 : 0);
  } else {
    const auto* body = std::get_if<CommandReplyBody>(&reply.body);
    if (body == nullptr) throw std::invalid_argument("command reply needs a command body");
    w.u8(body->ok ? 1 : 0);
    w.u8(body->message ? 1 : 0);
    if (body->message) {
      if (!isValidUtf8(*body->message)) throw std::invalid_argument("message is not UTF-8");
      if (body->message->size() > kMaxFrameBody) throw std::invalid_argument("frame too large");
      w.u32(std::uint32_t(body->message->size()));
      w.bytes(*body->message);
    }
  }
  return w.finish();
}

std::optional<Request> decodeRequest(std::span<const std::uint8_t> frame) {
  auto body = frameBody(frame);
  if (!body) return std::nullopt;
  Reader r(*body);
  std::uint8_t kind = r.u8();
  if (!isOperation(kind)) return std::nullopt;
  Request request;
  request.operation = Operation(kind);
  request.callId = r.u64();
  if (request.operation == Operation::beginSession) request.minutes = std::int64_t(r.u64());
  if (!r.ok() || !r.atEnd()) return std::nullopt;
  return request;
}

std::optional<Reply> decodeReply(std::span<const std::uint8_t> frame) {
  auto body = frameBody(frame);
  if (!body) return std::nullopt;
  Reader r(*body);
  std::uint8_t kind = r.u8();
  if ((kind & kReplyBit) == 0 || !isOperation(kind & ~kReplyBit)) return std::nullopt;
  Reply reply;
  reply.operation = Operation(kind & ~kReplyBit);
  reply.callId = r.u64();
  if (reply.operation == Operation::status) {
    StatusReplyBody status;
    status.version = std::int64_t(r.u64());
    status.active = r.flag();
    status.recoveryPending = r.flag();
    reply.body = status;
  } else {
    CommandReplyBody command;
    command.ok = r.flag();
    if (r.flag()) {
      std::uint32_t length = r.u32();
      if (length > body->size()) return std::nullopt;
      command.message = r.text(length);
      if (r.ok() && !isValidUtf8(*command.message)) return std::nullopt;
    }
    reply.body = std::move(command);
  }
  if (!r.ok() || !r.atEnd()) return std::nullopt;
  return reply;
}

bool isValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    std::uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      extra = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      auto d = static_cast<unsigned char>(text[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    if ((extra == 2 && cp < 0x800) || (extra == 3 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

std::string serviceSocketPath(const std::string& serviceName) {
  return machinePath("/var/run/" + serviceName + ".sock");
}

}  // namespace dravik::platform
