// Text signatures, read at compile time from the first line of a registered
// docstring, "range($self, start=None, end=None, *, include_start=True)".
// Binding and the interface records both work from them, so a member binds
// exactly the parameters its docstring shows.
#pragma once

#include <cstddef>
#include <string_view>

#include "support/text.hpp"

namespace quorvel {

// The most parameters any member of this module takes.
inline constexpr std::size_t kMaxParameters = 4;

// Never defined: reaching it while a signature is read stops the build there.
void invalid_text_signature(const char* why);

// A registered docstring is its text signature, "\n--\n\n", then its body.
inline constexpr std::string_view kSignatureEnd = "\n--\n\n";

constexpr std::string_view signature_line(const char* doc) {
  const std::size_t end = text::find(text::view(doc), kSignatureEnd);
  if (end == text::npos) invalid_text_signature("a docstring without its text signature");
  return text::view(doc).substr(0, end);
}

// The body ends the docstring, so its data is a C string as well.
constexpr std::string_view doc_body(const char* doc) {
  const std::size_t end = text::find(text::view(doc), kSignatureEnd);
  return end == text::npos ? text::view(doc) : text::view(doc).substr(end + kSignatureEnd.size());
}

enum class ParameterKind : unsigned char { PositionalOnly, PositionalOrKeyword, KeywordOnly };

struct Parameter {
  std::string_view name;          // a view into the docstring
  std::string_view default_text;  // the default as written; empty when required
  ParameterKind kind = ParameterKind::PositionalOrKeyword;

  constexpr bool required() const { return default_text.empty(); }
};

// The parameters after the receiver: positional ones first, then the
// keyword-only ones.
struct Signature {
  std::string_view name;
  std::string_view receiver;  // "self" for "$self"
  Parameter parameters[kMaxParameters] = {};
  std::size_t count = 0;
  std::size_t positional = 0;
  std::size_t positional_only = 0;
  std::size_t required_positional = 0;

  // One required parameter that may be passed by position or by name.
  constexpr bool single() const {
    return count == 1 && positional == 1 && positional_only == 0 && required_positional == 1;
  }
  // Whether a call with `given` positional arguments and no keywords binds
  // them as they come, with nothing else to check: enough of them, not too
  // many, and no keyword-only parameter that must be given.
  constexpr bool binds_plainly(std::size_t given) const {
    if (given < required_positional || given > positional) return false;
    for (std::size_t i = positional; i < count; ++i)
      if (parameters[i].required()) return false;
    return true;
  }
};

constexpr Signature parse_signature(std::string_view line) {
  const std::size_t open = text::find(line, '(');
  if (open == text::npos || line.empty() || line.back() != ')')
    invalid_text_signature("a text signature must be `name(parameters)`");
  Signature s;
  s.name = line.substr(0, open);
  std::string_view rest = line.substr(open + 1, line.size() - open - 2);
  bool keyword_only = false;
  while (!text::trim(rest).empty()) {
    const std::size_t comma = text::find(rest, ',');
    const std::string_view item = text::trim(rest.substr(0, comma));
    rest = comma == text::npos ? std::string_view{} : rest.substr(comma + 1);
    if (item.empty()) invalid_text_signature("an empty parameter in a text signature");
    if (item.front() == '$') {
      if (s.count != 0 || !s.receiver.empty()) invalid_text_signature("the receiver comes first");
      s.receiver = item.substr(1);
    } else if (text::equal(item, "/")) {
      if (keyword_only) invalid_text_signature("`/` after `*`");
      for (std::size_t i = 0; i < s.count; ++i) s.parameters[i].kind = ParameterKind::PositionalOnly;
      s.positional_only = s.count;
    } else if (text::equal(item, "*")) {
      keyword_only = true;
    } else {
      if (s.count == kMaxParameters) invalid_text_signature("more parameters than kMaxParameters");
      Parameter& p = s.parameters[s.count++];
      const std::size_t equals = text::find(item, '=');
      p.name = text::trim(item.substr(0, equals));
      if (equals != text::npos) {
        p.default_text = text::trim(item.substr(equals + 1));
        if (p.default_text.empty()) invalid_text_signature("`=` without a default");
      }
      if (p.name.empty()) invalid_text_signature("a parameter without a name");
      for (std::size_t i = 0; i + 1 < s.count; ++i)
        if (text::equal(s.parameters[i].name, p.name)) invalid_text_signature("two parameters of one name");
      if (keyword_only) {
        p.kind = ParameterKind::KeywordOnly;
      } else {
        if (p.required() && s.required_positional != s.positional)
          invalid_text_signature("a required parameter after one with a default");
        ++s.positional;
        if (p.required()) ++s.required_positional;
      }
    }
  }
  return s;
}

// A docstring's signature, read once per docstring.
template <const char* Doc>
inline constexpr Signature signature_of = parse_signature(signature_line(Doc));

}  // namespace quorvel
