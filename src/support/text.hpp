// Text helpers for constant expressions.  Plain loops over characters
// throughout: the sanitizer build instruments std::char_traits, which would
// stop these functions from being constant expressions.
#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel::text {

inline constexpr std::size_t npos = std::string_view::npos;

constexpr std::string_view view(const char* text) {
  std::size_t n = 0;
  while (text[n] != '\0') ++n;
  return {text, n};
}

constexpr bool equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i]) return false;
  return true;
}

constexpr std::size_t find(std::string_view text, std::string_view part) {
  for (std::size_t i = 0; i + part.size() <= text.size(); ++i)
    if (equal(text.substr(i, part.size()), part)) return i;
  return npos;
}

constexpr std::size_t find(std::string_view text, char c) { return find(text, std::string_view(&c, 1)); }

constexpr std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace quorvel::text
