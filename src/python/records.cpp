// The exported interface description: one record for the module, each class,
// each method, slot method and property, the module function and each typed
// module attribute, for tools that write type stubs from the built library
// without importing it.  Nothing in the module reads them.
//
// Each record is a read-only object under a symbol of its own,
// quorvel_interface_record_1_<n> (the 1 is the record format's version): a
// 32-bit little-endian byte count, then that many bytes of compact UTF-8 JSON
// whose keys are in alphabetical order, zero-padded to a multiple of four.
// All records lie back to back in a section of their own, so the only bytes
// between two records are that zero padding.
//
// The records are made at compile time from the member rows that register
// the members (interface.hpp): names, parameter kinds and defaults come from
// the docstrings' text signatures, types from the rows' annotations.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "python/docs.hpp"
#include "python/interface.hpp"

namespace quorvel::records {

namespace {

using std::string;
using std::string_view;

struct Attribute {
  const char* name;
  const char* annotation;
  const char* doc;
};

constexpr Attribute kAttributes[] = {
    {"__version__", "typing.Final[builtins.str]", docs::kVersionAttribute},
    {"__all__", "typing.Final[builtins.list[builtins.str]]", docs::kAllAttribute},
};

// --- text helpers -----------------------------------------------------------

// The escapes a standard compact JSON writer produces.
constexpr string json_string(string_view value) {
  constexpr string_view named = "\"\\\n\r\t\b\f", letters = "\"\\nrtbf";  // each with its escape letter
  constexpr char hex[] = "0123456789abcdef";
  string out = "\"";
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (const std::size_t at = text::find(named, c); at != text::npos) {
      out += '\\';
      out += letters[at];
    } else if (byte < 0x20) {
      out += "\\u00";
      out += hex[byte >> 4];
      out += hex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

constexpr void append(string& list, string_view item) {
  if (item.empty()) return;
  if (!list.empty()) list += ',';
  list += item;
}

// --- names and ids ------------------------------------------------------------

// Ids only link records; hashing the qualified name keeps each one stable.
constexpr std::uint64_t id_of(string_view qualified_name) {
  std::uint64_t hash = 14695981039346656037ull;  // 64-bit FNV-1a
  for (char c : qualified_name) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

constexpr std::uint64_t module_id() { return id_of(interface::kModuleName); }
constexpr std::uint64_t tree_id() { return id_of(interface::kTreeTypeName); }
constexpr std::uint64_t iterator_id() { return id_of(interface::kIteratorTypeName); }
constexpr std::uint64_t function_id() {
  return id_of(string(interface::kModuleName) + "." + interface::kModuleMembers[0].name);
}

// An id in decimal, as a JSON string.
constexpr string id_text(std::uint64_t id) {
  string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + id % 10));
    id /= 10;
  } while (id != 0);
  return "\"" + digits + "\"";
}

// --- expressions --------------------------------------------------------------

// A bare or dotted name: None, True and False are constants, the module's
// classes are links to their records, `a.b.c` is attribute `c` of name `a.b`.
constexpr string name_expression(string_view name) {
  if (name == "None") return R"({"type":"constant","kind":"none"})";
  if (!name.empty() && (name[0] == '-' || (name[0] >= '0' && name[0] <= '9')))
    return string(R"({"type":"constant","kind":"int","value":)") + string(name) + "}";
  if (name == "True" || name == "False")
    return string(R"({"type":"constant","kind":"bool","value":)") + (name == "True" ? "true" : "false") + "}";
  for (const char* type_name : {interface::kTreeTypeName, interface::kIteratorTypeName})
    if (name == class_name_of(type_name)) return R"({"type":"id","id":)" + id_text(id_of(type_name)) + "}";
  const std::size_t dot = name.rfind('.');
  if (dot == string_view::npos) return R"({"type":"name","id":)" + json_string(name) + "}";
  return R"({"type":"attribute","value":{"type":"name","id":)" + json_string(name.substr(0, dot)) +
         R"(},"attr":)" + json_string(name.substr(dot + 1)) + "}";
}

// Annotation syntax: unions of names, each optionally subscripted; subscript
// arguments are expressions or bracketed lists (a Callable's parameters).
struct ExpressionParser {
  string_view text;
  std::size_t at = 0;

  constexpr string parse() {
    string expression = parse_union();
    skip_spaces();
    if (at != text.size()) invalid_text_signature("unexpected text in an annotation");
    return expression;
  }

  constexpr void skip_spaces() {
    while (at < text.size() && text[at] == ' ') ++at;
  }

  constexpr bool accept(char c) {
    skip_spaces();
    if (at == text.size() || text[at] != c) return false;
    ++at;
    return true;
  }

  constexpr void expect(char c) {
    if (!accept(c)) invalid_text_signature("unbalanced brackets in an annotation");
  }

  constexpr string parse_union() {
    string left = parse_subscripted();
    while (accept('|'))
      left = R"({"type":"binop","left":)" + left + R"(,"op":"bitor","right":)" + parse_subscripted() + "}";
    return left;
  }

  constexpr string parse_subscripted() {
    string value = parse_name();
    if (!accept('[')) return value;
    std::size_t count = 0;
    string elements;
    do {
      ++count;
      append(elements, parse_element());
    } while (accept(','));
    expect(']');
    // (Built with `if`: GCC 12 mis-evaluates a constant std::string made by `?:`.)
    if (count > 1) elements = R"({"type":"tuple","elts":[)" + elements + "]}";
    return R"({"type":"subscript","value":)" + value + R"(,"slice":)" + elements + "}";
  }

  constexpr string parse_element() {
    if (!accept('[')) return parse_union();
    string elements;
    if (!accept(']')) {
      do append(elements, parse_union());
      while (accept(','));
      expect(']');
    }
    return R"({"type":"list","elts":[)" + elements + "]}";
  }

  constexpr string parse_name() {
    skip_spaces();
    const std::size_t start = at;
    if (at < text.size() && text[at] == '-') ++at;  // a negative number
    while (at < text.size() && (text[at] == '_' || text[at] == '.' || (text[at] >= 'a' && text[at] <= 'z') ||
                                (text[at] >= 'A' && text[at] <= 'Z') || (text[at] >= '0' && text[at] <= '9')))
      ++at;
    if (at == start) invalid_text_signature("a name expected in an annotation");
    return name_expression(text.substr(start, at - start));
  }
};

constexpr string expression(string_view text) { return ExpressionParser{text}.parse(); }

// --- records ------------------------------------------------------------------

// The `arguments` of a function record, from a row's text signature and
// annotations: the receiver and the positional-only parameters, the others
// by kind.
constexpr string arguments(const Signature& signature, const table::Annotations& annotations) {
  string positional_only, positional, keyword_only;
  if (!signature.receiver.empty()) positional_only = R"({"name":)" + json_string(signature.receiver) + "}";
  for (std::size_t i = 0; i < signature.count; ++i) {
    const Parameter& p = signature.parameters[i];
    string entry = R"({"annotation":)" + expression(annotations.items[i]);
    if (!p.required()) entry += R"(,"default":)" + expression(p.default_text);
    entry += R"(,"name":)" + json_string(p.name) + "}";
    append(p.kind == ParameterKind::PositionalOnly ? positional_only
           : p.kind == ParameterKind::KeywordOnly  ? keyword_only
                                                   : positional,
           entry);
  }
  string out;
  if (!positional.empty()) append(out, R"("args":[)" + positional + "]");
  if (!keyword_only.empty()) append(out, R"("kwonlyargs":[)" + keyword_only + "]");
  if (!positional_only.empty()) append(out, R"("posonlyargs":[)" + positional_only + "]");
  return "{" + out + "}";
}

// A row's record; only the module function has an id of its own, and it has
// no parent.
constexpr string function_record(const table::Member& row, std::uint64_t parent, std::uint64_t id) {
  string out = R"({"arguments":)" + arguments(row.signature, row.parameters);
  if (row.slot == table::kProperty) out += R"(,"decorators":[)" + expression("property") + "]";
  out += R"(,"doc":)" + json_string(doc_body(row.doc));
  if (id != 0) out += R"(,"id":)" + id_text(id);
  out += R"(,"name":)" + json_string(row.name);
  if (parent != 0) out += R"(,"parent":)" + id_text(parent);
  return out + R"(,"returns":)" + expression(row.returns) + R"(,"type":"function"})";
}

constexpr string class_record(const char* type_name, const char* doc) {
  return R"({"decorators":[)" + expression("typing.final") + R"(],"doc":)" + json_string(doc_body(doc)) +
         R"(,"id":)" + id_text(id_of(type_name)) + R"(,"name":)" + json_string(class_name_of(type_name)) +
         R"(,"type":"class"})";
}

constexpr string module_record() {
  return R"({"doc":)" + json_string(docs::kModule) + R"(,"id":)" + id_text(module_id()) +
         R"(,"incomplete":false,"members":[)" + id_text(tree_id()) + "," + id_text(iterator_id()) + "," +
         id_text(function_id()) + R"(],"name":)" + json_string(interface::kModuleName) + R"(,"type":"module"})";
}

constexpr string attribute_record(const Attribute& attribute) {
  return R"({"annotation":)" + expression(attribute.annotation) + R"(,"doc":)" + json_string(attribute.doc) +
         R"(,"name":)" + json_string(attribute.name) + R"(,"parent":)" + id_text(module_id()) +
         R"(,"type":"attribute"})";
}

// Walks every record in order, building only the one asked for.
struct Picker {
  std::size_t wanted;
  std::size_t seen = 0;
  string text;

  template <class Make>
  constexpr void add(Make make) {
    if (seen++ == wanted) text = make();
  }
};

constexpr Picker visit_records(std::size_t wanted) {
  Picker records{wanted, 0, {}};
  records.add([] { return module_record(); });
  records.add([] { return class_record(interface::kTreeTypeName, docs::kTreeClass); });
  for (const table::Member& row : interface::kTreeMembers)
    records.add([&] { return function_record(row, tree_id(), 0); });
  records.add([] { return class_record(interface::kIteratorTypeName, docs::kIteratorClass); });
  for (const table::Member& row : interface::kIteratorMembers)
    records.add([&] { return function_record(row, iterator_id(), 0); });
  for (const table::Member& row : interface::kModuleMembers)
    records.add([&] { return function_record(row, 0, function_id()); });
  for (const Attribute& attribute : kAttributes) records.add([&] { return attribute_record(attribute); });
  return records;
}

constexpr std::size_t record_count() { return visit_records(static_cast<std::size_t>(-1)).seen; }

constexpr string record(std::size_t index) {
  const Picker records = visit_records(index);
  if (index >= records.seen) invalid_text_signature("no such record");
  return records.text;
}

template <std::size_t Index>
struct Record {
  static constexpr std::size_t length = record(Index).size();
  static constexpr std::size_t size = (4 + length + 3) / 4 * 4;
  static_assert(length <= UINT32_MAX);

  static constexpr std::array<char, size> bytes() {
    const string text = record(Index);
    std::array<char, size> out{};
    for (std::size_t i = 0; i < 4; ++i) out[i] = static_cast<char>((length >> (8 * i)) & 0xff);
    for (std::size_t i = 0; i < length; ++i) out[4 + i] = text[i];
    return out;
  }
};

}  // namespace
}  // namespace quorvel::records

// One symbol per record, numbered from 1 in record order.
#define QUORVEL_RECORD(number)                                                                                  \
  extern "C" __attribute__((visibility("default"), used, aligned(4),                                           \
                            section(".rodata.quorvel_interface_records"))) constinit const std::array<                    \
      char, quorvel::records::Record<(number) - 1>::size> quorvel_interface_record_1_##number =                \
      quorvel::records::Record<(number) - 1>::bytes();

QUORVEL_RECORD(1) QUORVEL_RECORD(2) QUORVEL_RECORD(3) QUORVEL_RECORD(4) QUORVEL_RECORD(5) QUORVEL_RECORD(6)
QUORVEL_RECORD(7) QUORVEL_RECORD(8) QUORVEL_RECORD(9) QUORVEL_RECORD(10) QUORVEL_RECORD(11) QUORVEL_RECORD(12)
QUORVEL_RECORD(13) QUORVEL_RECORD(14) QUORVEL_RECORD(15) QUORVEL_RECORD(16) QUORVEL_RECORD(17) QUORVEL_RECORD(18)
QUORVEL_RECORD(19) QUORVEL_RECORD(20) QUORVEL_RECORD(21) QUORVEL_RECORD(22) QUORVEL_RECORD(23) QUORVEL_RECORD(24)
QUORVEL_RECORD(25) QUORVEL_RECORD(26) QUORVEL_RECORD(27) QUORVEL_RECORD(28) QUORVEL_RECORD(29) QUORVEL_RECORD(30)
QUORVEL_RECORD(31) QUORVEL_RECORD(32) QUORVEL_RECORD(33) QUORVEL_RECORD(34) QUORVEL_RECORD(35) QUORVEL_RECORD(36)
QUORVEL_RECORD(37) QUORVEL_RECORD(38) QUORVEL_RECORD(39) QUORVEL_RECORD(40) QUORVEL_RECORD(41) QUORVEL_RECORD(42)
QUORVEL_RECORD(43) QUORVEL_RECORD(44) QUORVEL_RECORD(45) QUORVEL_RECORD(46) QUORVEL_RECORD(47) QUORVEL_RECORD(48)
QUORVEL_RECORD(49) QUORVEL_RECORD(50) QUORVEL_RECORD(51) QUORVEL_RECORD(52) QUORVEL_RECORD(53) QUORVEL_RECORD(54)
QUORVEL_RECORD(55) QUORVEL_RECORD(56) QUORVEL_RECORD(57) QUORVEL_RECORD(58) QUORVEL_RECORD(59) QUORVEL_RECORD(60)
QUORVEL_RECORD(61) QUORVEL_RECORD(62) QUORVEL_RECORD(63) QUORVEL_RECORD(64) QUORVEL_RECORD(65) QUORVEL_RECORD(66)

// Every record has its symbol above, and no symbol lacks a record.
static_assert(quorvel::records::record_count() == 66, "add or remove QUORVEL_RECORD uses to match the records");
