// SAX reader over expat: one parse per document, events as UTF-16 text.
#include "platform/xml_sax.h"

#include "platform/codepage.h"

#include <expat.h>

#include <random>
#include <vector>

namespace platform {

HRESULT SaxAttributes::getValueFromQName(std::u16string_view qname, std::u16string* value) const {
  for (const auto& item : items_) {
    if (item.first == qname) {
      if (value) *value = item.second;
      return S_OK;
    }
  }
  return kSaxErrAttrMissing;
}

HRESULT SaxReader::mapExpatError(int expat_error) {
  switch (expat_error) {
    case XML_ERROR_NONE: return S_OK;
    case XML_ERROR_NO_MEMORY: return kSaxErrNoMemory;
    case XML_ERROR_SYNTAX: return kSaxErrSyntax;
    case XML_ERROR_NO_ELEMENTS: return kSaxErrNoElements;
    case XML_ERROR_INVALID_TOKEN: return kSaxErrInvalidToken;
    case XML_ERROR_UNCLOSED_TOKEN: return kSaxErrUnclosedToken;
    case XML_ERROR_PARTIAL_CHAR: return kSaxErrPartialChar;
    case XML_ERROR_TAG_MISMATCH: return kSaxErrTagMismatch;
    case XML_ERROR_DUPLICATE_ATTRIBUTE: return kSaxErrDuplicateAttr;
    case XML_ERROR_JUNK_AFTER_DOC_ELEMENT: return kSaxErrJunkAfterRoot;
    case XML_ERROR_UNDEFINED_ENTITY: return kSaxErrUndefinedEntity;
    case XML_ERROR_BAD_CHAR_REF: return kSaxErrBadCharRef;
    case XML_ERROR_UNKNOWN_ENCODING: return kSaxErrUnknownEncoding;
    default: return kSaxErrOther;
  }
}

namespace {

struct ParseContext {
  XML_Parser parser = nullptr;
  SaxContentHandler* handler = nullptr;
  HRESULT failure = S_OK;  // first failure of a handler call or a rule of ours
  std::u16string text;     // character data not yet reported
};

std::u16string to16(const XML_Char* s, int len = -1) {
  return len < 0 ? utf8_to_utf16(std::string_view(s)) : utf8_to_utf16(std::string_view(s, len));
}

void stop(ParseContext* ctx, HRESULT hr) {
  if (ctx->failure == S_OK) ctx->failure = hr;
  XML_StopParser(ctx->parser, XML_FALSE);
}

// Character data arrives from expat in pieces; it is reported as one run
// before the next element event, so a handler sees each text once.
bool flushText(ParseContext* ctx) {
  if (ctx->text.empty() || ctx->failure != S_OK) return ctx->failure == S_OK;
  std::u16string text;
  text.swap(ctx->text);
  HRESULT hr = ctx->handler->characters(text);
  if (FAILED(hr)) {
    stop(ctx, hr);
    return false;
  }
  return true;
}

void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** atts) {
  auto* ctx = static_cast<ParseContext*>(data);
  if (!flushText(ctx)) return;
  std::vector<std::pair<std::u16string, std::u16string>> items;
  for (int i = 0; atts && atts[i]; i += 2) items.emplace_back(to16(atts[i]), to16(atts[i + 1]));
  SaxAttributes attributes(std::move(items));
  HRESULT hr = ctx->handler->startElement(to16(name), attributes);
  if (FAILED(hr)) stop(ctx, hr);
}

void XMLCALL onEnd(void* data, const XML_Char* name) {
  auto* ctx = static_cast<ParseContext*>(data);
  if (!flushText(ctx)) return;
  HRESULT hr = ctx->handler->endElement(to16(name));
  if (FAILED(hr)) stop(ctx, hr);
}

void XMLCALL onText(void* data, const XML_Char* s, int len) {
  auto* ctx = static_cast<ParseContext*>(data);
  if (ctx->failure != S_OK) return;
  ctx->text += to16(s, len);
}

void XMLCALL onDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
  stop(static_cast<ParseContext*>(data), kSaxErrDtdProhibited);
}

// One random salt for the hash tables of every parser of the process: a
// parser left without one asks the system for new random bytes each time.
unsigned long process_hash_salt() {
  static const unsigned long salt = [] {
    std::random_device random;
    const unsigned long s = (static_cast<unsigned long>(random()) << 31) ^ random();
    return s ? s : 1;
  }();
  return salt;
}

}  // namespace

HRESULT SaxReader::parse(SaxInputStream& input, SaxContentHandler& handler) {
  ParseContext ctx;
  ctx.handler = &handler;
  ctx.parser = XML_ParserCreate(nullptr);
  if (!ctx.parser) return kSaxErrNoMemory;
  XML_SetHashSalt(ctx.parser, process_hash_salt());
  struct Free {
    XML_Parser p;
    ~Free() { XML_ParserFree(p); }
  } free_parser{ctx.parser};
  XML_SetUserData(ctx.parser, &ctx);
  XML_SetElementHandler(ctx.parser, onStart, onEnd);
  XML_SetCharacterDataHandler(ctx.parser, onText);
  XML_SetStartDoctypeDeclHandler(ctx.parser, onDoctype);

  HRESULT hr = handler.startDocument();
  if (FAILED(hr)) return hr;

  std::vector<char> buffer(kReadSize);
  for (;;) {
    ULONG got = 0;
    hr = input.Read(buffer.data(), kReadSize, &got);
    if (FAILED(hr)) return hr;
    if (got > kReadSize) return E_UNEXPECTED;
    const bool last = got == 0;
    if (XML_Parse(ctx.parser, buffer.data(), static_cast<int>(got), last ? XML_TRUE : XML_FALSE) !=
        XML_STATUS_OK) {
      if (ctx.failure != S_OK) return ctx.failure;
      return mapExpatError(XML_GetErrorCode(ctx.parser));
    }
    if (ctx.failure != S_OK) return ctx.failure;
    if (last) break;
  }
  // Text after the root element is refused by expat; text inside it has been
  // reported at the root's end tag, so nothing is left here.
  if (!flushText(&ctx)) return ctx.failure;
  return handler.endDocument();
}

}  // namespace platform
