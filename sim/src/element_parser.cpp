#include "sim/element_parser.h"

#include <expat.h>
#include <strings.h>

#include <random>
#include <string_view>

namespace kelsim {

namespace {

// ---------------------------------------------------------------- expat

struct ParseState {
  EngineElement* element;
  int depth = 0;
};

void XMLCALL on_start(void* user, const XML_Char* name, const XML_Char** attributes) {
  auto* s = static_cast<ParseState*>(user);
  if (s->depth++ == 0) {
    s->element->name = name;
    for (int i = 0; attributes[i] != nullptr; i += 2)
      s->element->attributes.try_emplace(attributes[i], attributes[i + 1]);
  }
}
void XMLCALL on_end(void* user, const XML_Char*) { --static_cast<ParseState*>(user)->depth; }
void XMLCALL on_text(void* user, const XML_Char* text, int length) {
  static_cast<ParseState*>(user)->element->text.append(text, static_cast<std::size_t>(length));
}

// ---------------------------------------------------------------- the plain scanner

bool name_start(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// One of the five predefined entities at s[*i] ('&'): its character
// appended, *i past it; false for any other reference.
bool take_entity(std::string_view s, std::size_t* i, std::string* out) {
  static constexpr struct {
    std::string_view ref;
    char c;
  } kRefs[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  for (const auto& r : kRefs) {
    if (s.compare(*i, r.ref.size(), r.ref) != 0) continue;
    out->push_back(r.c);
    *i += r.ref.size();
    return true;
  }
  return false;
}

// The characters from s[*i] up to `stop`, entities resolved; *i at the stop.
// False for what the scanner leaves to expat: bytes outside printable ASCII
// (in text, TAB and LF pass: expat reports them as they are), '<', other
// references, and "]]>" in text.
bool take_chars(std::string_view s, std::size_t* i, char stop, bool text, std::string* out) {
  while (*i < s.size() && s[*i] != stop) {
    const char c = s[*i];
    if (c == '&') {
      if (!take_entity(s, i, out)) return false;
      continue;
    }
    const bool plain = (c >= 0x20 && c < 0x7F && c != '<') || (text && (c == '\n' || c == '\t'));
    if (!plain || (text && c == '>' && *i >= 2 && s[*i - 1] == ']' && s[*i - 2] == ']')) return false;
    out->push_back(c);
    ++*i;
  }
  return *i < s.size();
}

// One attribute ` name="value"` at s[*i] (the name's first character);
// false when it is not of the plain shape or repeats a name.
bool take_attribute(std::string_view s, std::size_t* i, EngineElement* e) {
  const std::size_t at = *i;
  while (*i < s.size() && name_char(s[*i])) ++*i;
  const std::string_view key = s.substr(at, *i - at);
  // Names beginning with "xml" are reserved: left to expat.
  if (key.size() >= 3 && strncasecmp(key.data(), "xml", 3) == 0) return false;
  if (s.compare(*i, 2, "=\"") != 0) return false;
  *i += 2;
  std::string value;
  if (!take_chars(s, i, '"', false, &value)) return false;
  ++*i;
  return e->attributes.try_emplace(std::string(key), std::move(value)).second;
}

// The whole element when it is of the plain shape: "<Name", attributes each
// after blanks, then "/>" or ">" text "</Name>", nothing after it.
bool scan(std::string_view s, EngineElement* e) {
  if (s.size() < 3 || s[0] != '<' || !name_start(s[1])) return false;
  std::size_t i = 1;
  while (i < s.size() && name_char(s[i])) ++i;
  const std::string_view name = s.substr(1, i - 1);
  for (;;) {
    if (i >= s.size()) return false;
    if (s[i] == '/') {
      if (i + 2 != s.size() || s[i + 1] != '>') return false;
      e->name = name;
      return true;
    }
    if (s[i] == '>') break;
    if (s[i] != ' ') return false;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i < s.size() && name_start(s[i]) && !take_attribute(s, &i, e)) return false;
  }
  ++i;
  std::string text;
  if (!take_chars(s, &i, '<', true, &text)) return false;
  if (s.size() - i != name.size() + 3 || s.compare(i, 2, "</") != 0 || s.compare(i + 2, name.size(), name) != 0 ||
      s.back() != '>')
    return false;
  e->name = name;
  e->text = std::move(text);
  return true;
}

}  // namespace

ElementParser::ElementParser() : salt_(std::random_device{}() | 1u) {}

ElementParser::~ElementParser() {
  if (parser_ != nullptr) XML_ParserFree(static_cast<XML_Parser>(parser_));
}

EngineElement ElementParser::parse(std::string raw) {
  EngineElement e;
  if (scan(raw, &e)) {
    e.raw = std::move(raw);
    e.parsed = true;
    return e;
  }
  return parse_with_expat(std::move(raw));
}

EngineElement ElementParser::parse_with_expat(std::string raw) {
  EngineElement e;
  e.raw = std::move(raw);
  auto p = static_cast<XML_Parser>(parser_);
  if (p != nullptr && XML_ParserReset(p, "UTF-8") != XML_TRUE) {
    XML_ParserFree(p);
    p = nullptr;
  }
  if (p == nullptr) parser_ = p = XML_ParserCreate("UTF-8");
  if (p == nullptr) return e;
  // Without a salt of its own expat gathers entropy at every reset.
  XML_SetHashSalt(p, salt_);
  ParseState state{&e};
  XML_SetUserData(p, &state);
  XML_SetElementHandler(p, on_start, on_end);
  XML_SetCharacterDataHandler(p, on_text);
  e.parsed = XML_Parse(p, e.raw.data(), static_cast<int>(e.raw.size()), 1) == XML_STATUS_OK;
  return e;
}

}  // namespace kelsim
