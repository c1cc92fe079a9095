// A small SAX2-style reader over expat.
//
// One call of SaxReader::parse reads one document from a SaxInputStream,
// asking it for bytes until it hands out 0, and reports the document to a
// SaxContentHandler. Names, attribute values and character data reach the
// handler as UTF-16 text, decoded from the document's encoding (UTF-8 unless
// the document declares another one expat knows).
//
// Results. parse returns S_OK for a well-formed document whose handler calls
// all succeeded. A handler call that fails stops the parse at once and its
// HRESULT becomes parse's result; a failing stream Read does the same. When
// the document itself is at fault the result is one of the fixed values
// below, each with its own low byte (a caller that ends with the result as
// its exit status keeps only that byte):
//
//   kSaxErrNoElements        0xC00CE563  empty input, no root element (also
//                                        the end of input)
//   kSaxErrSyntax            0xC00CE562  syntax error
//   kSaxErrInvalidToken      0xC00CE564  not well-formed (invalid token)
//   kSaxErrUnclosedToken     0xC00CE565  document ends inside a tag or token
//   kSaxErrPartialChar       0xC00CE566  partial character
//   kSaxErrTagMismatch       0xC00CE567  end tag does not match
//   kSaxErrDuplicateAttr     0xC00CE568  attribute given twice
//   kSaxErrJunkAfterRoot     0xC00CE569  data after the root element
//   kSaxErrUndefinedEntity   0xC00CE56B  undefined entity
//   kSaxErrBadCharRef        0xC00CE56E  reference to an invalid character
//   kSaxErrUnknownEncoding   0xC00CE572  encoding not supported
//   kSaxErrNoMemory          0xC00CE561  expat could not allocate memory
//   kSaxErrDtdProhibited     0xC00CE5F0  the document has a DOCTYPE (no
//                                        document type is accepted, so no
//                                        entity can be declared or expanded)
//   kSaxErrOther             0xC00CE5FF  any other expat error
//
// The low byte of an expat-derived code is 0x60 plus expat's own error number
// for the errors listed; every other expat error gives kSaxErrOther.
// getValueFromQName reports a missing attribute with kSaxErrAttrMissing
// (0x80070490, the Win32 "element not found" 1168 as an HRESULT).
#pragma once

#include "platform/win32.h"

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

constexpr HRESULT kSaxErrNoMemory = static_cast<HRESULT>(0xC00CE561u);
constexpr HRESULT kSaxErrSyntax = static_cast<HRESULT>(0xC00CE562u);
constexpr HRESULT kSaxErrNoElements = static_cast<HRESULT>(0xC00CE563u);
constexpr HRESULT kSaxErrInvalidToken = static_cast<HRESULT>(0xC00CE564u);
constexpr HRESULT kSaxErrUnclosedToken = static_cast<HRESULT>(0xC00CE565u);
constexpr HRESULT kSaxErrPartialChar = static_cast<HRESULT>(0xC00CE566u);
constexpr HRESULT kSaxErrTagMismatch = static_cast<HRESULT>(0xC00CE567u);
constexpr HRESULT kSaxErrDuplicateAttr = static_cast<HRESULT>(0xC00CE568u);
constexpr HRESULT kSaxErrJunkAfterRoot = static_cast<HRESULT>(0xC00CE569u);
constexpr HRESULT kSaxErrUndefinedEntity = static_cast<HRESULT>(0xC00CE56Bu);
constexpr HRESULT kSaxErrBadCharRef = static_cast<HRESULT>(0xC00CE56Eu);
constexpr HRESULT kSaxErrUnknownEncoding = static_cast<HRESULT>(0xC00CE572u);
constexpr HRESULT kSaxErrDtdProhibited = static_cast<HRESULT>(0xC00CE5F0u);
constexpr HRESULT kSaxErrOther = static_cast<HRESULT>(0xC00CE5FFu);
constexpr HRESULT kSaxErrAttrMissing = static_cast<HRESULT>(0x80070490u);

// The attributes of one start tag, in document order.
class SaxAttributes {
 public:
  SaxAttributes() = default;
  explicit SaxAttributes(std::vector<std::pair<std::u16string, std::u16string>> items)
      : items_(std::move(items)) {}
  int length() const { return static_cast<int>(items_.size()); }
  const std::u16string& qname(int i) const { return items_[i].first; }
  const std::u16string& value(int i) const { return items_[i].second; }
  // Looks an attribute up by its exact qualified name; S_OK with *value set,
  // kSaxErrAttrMissing when there is none.
  HRESULT getValueFromQName(std::u16string_view qname, std::u16string* value) const;

 private:
  std::vector<std::pair<std::u16string, std::u16string>> items_;
};

// Receives the events of one document. Every call returns an HRESULT; a
// negative one stops the parse.
class SaxContentHandler {
 public:
  virtual ~SaxContentHandler() = default;
  virtual HRESULT startDocument() = 0;
  virtual HRESULT endDocument() = 0;
  virtual HRESULT startElement(std::u16string_view qname, const SaxAttributes& attributes) = 0;
  virtual HRESULT endElement(std::u16string_view qname) = 0;
  virtual HRESULT characters(std::u16string_view text) = 0;
};

// Where the reader takes the document's bytes from.
class SaxInputStream {
 public:
  virtual ~SaxInputStream() = default;
  // Copies at most count bytes into buffer and sets *read; 0 bytes read with
  // S_OK ends the document. A negative result stops the parse with it.
  virtual HRESULT Read(void* buffer, ULONG count, ULONG* read) = 0;
};

class SaxReader {
 public:
  // Bytes asked of the stream per Read.
  static constexpr ULONG kReadSize = 4096;

  // Parses one document. startDocument is reported before the first byte is
  // read, endDocument after the document was found well-formed.
  HRESULT parse(SaxInputStream& input, SaxContentHandler& handler);

  // Maps an expat error number (XML_Error) to the fixed HRESULT above.
  static HRESULT mapExpatError(int expat_error);
};

}  // namespace platform
