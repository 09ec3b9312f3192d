#pragma once
// What every fuzz target shares: the input cap and a check that turns a broken invariant into a
// crash that libFuzzer records with its input.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace dravik::fuzz {

// Larger inputs are returned early: no decoder here has a use for more (the journal is read up to
// 4096 bytes, the pmset report up to 16384), and huge inputs only slow the search down.
inline constexpr std::size_t kMaxInput = 64 * 1024;

inline bool tooLarge(std::size_t size) { return size > kMaxInput; }

inline std::string_view asText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

}  // namespace dravik::fuzz
