#pragma once
// An independent UTF-8 decoder for the fuzz targets to compare the product's decoders with.
// It follows the table of well-formed byte sequences in the Unicode standard row by row, and
// replaces each maximal subpart of an ill-formed sequence with one U+FFFD, as the standard
// recommends.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace dravik::fuzz {

struct Utf8Decoded {
  std::u32string points;
  bool wellFormed = true;
};

inline Utf8Decoded referenceDecodeUtf8(std::string_view bytes) {
  struct Range {
    std::uint8_t low, high;
  };
  struct Row {
    Range lead;
    int length;  // bytes in the sequence
    Range rest[3];
  };
  constexpr Range kTail{0x80, 0xBF};
  constexpr Row kRows[] = {
      {{0xC2, 0xDF}, 2, {kTail}},
      {{0xE0, 0xE0}, 3, {{0xA0, 0xBF}, kTail}},
      {{0xE1, 0xEC}, 3, {kTail, kTail}},
      {{0xED, 0xED}, 3, {{0x80, 0x9F}, kTail}},
      {{0xEE, 0xEF}, 3, {kTail, kTail}},
      {{0xF0, 0xF0}, 4, {{0x90, 0xBF}, kTail, kTail}},
      {{0xF1, 0xF3}, 4, {kTail, kTail, kTail}},
      {{0xF4, 0xF4}, 4, {{0x80, 0x8F}, kTail, kTail}},
  };
  auto in = [](std::uint8_t b, Range r) { return b >= r.low && b <= r.high; };

  Utf8Decoded out;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    if (lead <= 0x7F) {
      out.points.push_back(lead);
      ++i;
      continue;
    }
    const Row* row = nullptr;
    for (const Row& candidate : kRows) {
      if (in(lead, candidate.lead)) row = &candidate;
    }
    if (row == nullptr) {
      out.points.push_back(0xFFFD);
      out.wellFormed = false;
      ++i;
      continue;
    }
    int matched = 1;
    while (matched < row->length && i + matched < bytes.size() &&
           in(static_cast<std::uint8_t>(bytes[i + matched]), row->rest[matched - 1])) {
      ++matched;
    }
    if (matched < row->length) {
      out.points.push_back(0xFFFD);
      out.wellFormed = false;
    } else {
      // Payload bits: the lead keeps 7 - length bits, every later byte 6.
      char32_t point = lead & (0x7F >> row->length);
      for (int k = 1; k < row->length; ++k) {
        point = (point << 6) | (static_cast<std::uint8_t>(bytes[i + k]) & 0x3F);
      }
      out.points.push_back(point);
    }
    i += matched;
  }
  return out;
}

inline bool wellFormedUtf8(std::string_view bytes) { return referenceDecodeUtf8(bytes).wellFormed; }

inline std::string encodeUtf8(std::u32string_view points) {
  std::string out;
  for (char32_t p : points) {
    if (p < 0x80) {
      out += static_cast<char>(p);
    } else if (p < 0x800) {
      out += static_cast<char>(0xC0 | (p >> 6));
      out += static_cast<char>(0x80 | (p & 0x3F));
    } else if (p < 0x10000) {
      out += static_cast<char>(0xE0 | (p >> 12));
      out += static_cast<char>(0x80 | ((p >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (p & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (p >> 18));
      out += static_cast<char>(0x80 | ((p >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((p >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (p & 0x3F));
    }
  }
  return out;
}

}  // namespace dravik::fuzz
