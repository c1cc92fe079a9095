#include "kel/response.h"

#include "platform/codepage.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace kel {

namespace {
std::atomic<std::FILE*> g_stream{nullptr};

const char* entityFor(char c, bool attribute) {
  switch (c) {
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '"': return "&quot;";
    default: break;
  }
  if (!attribute) return nullptr;
  // An XML reader turns these into blanks inside an attribute value; as
  // character references they arrive unchanged.
  switch (c) {
    case '\t': return "&#9;";
    case '\n': return "&#10;";
    case '\r': return "&#13;";
    default: return nullptr;
  }
}

// One character of UTF-8 text: its code point and length in bytes, or
// length 1 and kInvalid for a byte that starts no well-formed sequence.
// Surrogates encoded on their own (ED A0..BF xx) are decoded as such so that
// a name holding one can be written as a reference to that unit.
constexpr std::uint32_t kInvalid = 0xFFFFFFFFu;
struct Decoded {
  std::uint32_t cp;
  std::size_t len;
};

Decoded decodeUtf8(const unsigned char* p, std::size_t n) {
  const unsigned b = p[0];
  if (b < 0x80) return {b, 1};
  std::size_t len;
  std::uint32_t cp, min;
  if (b >= 0xC2 && b <= 0xDF) len = 2, cp = b & 0x1F, min = 0x80;
  else if (b >= 0xE0 && b <= 0xEF) len = 3, cp = b & 0x0F, min = 0x800;
  else if (b >= 0xF0 && b <= 0xF4) len = 4, cp = b & 0x07, min = 0x10000;
  else return {kInvalid, 1};
  if (len > n) return {kInvalid, 1};
  for (std::size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return {kInvalid, 1};
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) return {kInvalid, 1};
  return {cp, len};
}

// Characters XML 1.0 cannot carry, neither as text nor as a reference (TAB,
// LF and CR are allowed).
bool notXmlChar(std::uint32_t cp) {
  if (cp == kInvalid) return true;
  if (cp < 0x20) return cp != '\t' && cp != '\n' && cp != '\r';
  return (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF;
}

// Whether the '&' at p[0] starts a reference that UnescapeName undoes
// ("&amp;" or "&#" digits ";"); such an '&' is escaped once more in a name.
bool startsUnescapedReference(const char* p, std::size_t n) {
  if (n >= 5 && std::memcmp(p, "&amp;", 5) == 0) return true;
  if (n < 4 || p[1] != '#') return false;
  std::size_t k = 2;
  while (k < n && p[k] >= '0' && p[k] <= '9') ++k;
  return k > 2 && k < n && p[k] == ';';
}

// Bytes that go out as they are in every mode: printable ASCII but the five
// that XML escapes.
struct PlainBytes {
  bool plain[256] = {};
  constexpr PlainBytes() {
    for (int c = 0x20; c < 0x7F; ++c) plain[c] = c != '<' && c != '>' && c != '&' && c != '\'' && c != '"';
  }
};
constexpr PlainBytes kPlain;

// A number as decimal digits, as printf's %u, %d and %llu write it.
template <typename T>
std::string_view decimal(char (&text)[24], T v) {
  const auto r = std::to_chars(text, text + sizeof text, v);
  return {text, static_cast<std::size_t>(r.ptr - text)};
}

bool isTrailingSpace(unsigned c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
}  // namespace

platform::CriticalSection& StdoutLock() {
  static platform::CriticalSection lock;
  return lock;
}

void SetResponseStream(std::FILE* stream) { g_stream.store(stream); }

std::FILE* ResponseStream() {
  std::FILE* s = g_stream.load();
  return s ? s : stdout;
}

CServiceXMLResponse::CServiceXMLResponse(const char* element_name, std::uint64_t sequence_number)
    : element_name_(element_name), sequence_number_(sequence_number) {}

CServiceXMLResponse::~CServiceXMLResponse() { std::free(buffer_); }

void CServiceXMLResponse::Reset() {
  std::free(buffer_);
  buffer_ = nullptr;
  used_ = capacity_ = reserved_ = 0;
}

DWORD CServiceXMLResponse::Reserve(std::size_t count) {
  const std::uint64_t need = reserved_ + count + 1;
  if (capacity_ < need) {
    std::uint64_t cap = 512;
    while (cap < need) cap *= 2;
    char* fresh = static_cast<char*>(std::malloc(cap));
    if (!fresh) return ERROR_NOT_ENOUGH_MEMORY;
    if (buffer_) std::memcpy(fresh, buffer_, used_ + 1);
    else fresh[0] = '\0';
    std::free(buffer_);
    buffer_ = fresh;
    capacity_ = cap;
  }
  reserved_ += count;
  return 0;
}

DWORD CServiceXMLResponse::AppendBytes(const char* bytes, std::size_t length) {
  if (DWORD e = Reserve(length)) return e;
  if (used_ + length > reserved_) return ERROR_INTERNAL_ERROR;
  if (length) std::memcpy(buffer_ + used_, bytes, length);
  used_ += length;
  buffer_[used_] = '\0';
  return 0;
}

DWORD CServiceXMLResponse::AppendRaw(const char* text) { return AppendBytes(text, std::strlen(text)); }

DWORD CServiceXMLResponse::AppendEscapedAs(const char* bytes, std::size_t length, Escape mode) {
  const bool attribute = mode != Escape::Content;
  std::size_t run = 0;
  std::size_t i = 0;
  char reference[32];
  while (i < length) {
    if (kPlain.plain[static_cast<unsigned char>(bytes[i])]) {
      ++i;
      continue;
    }
    const Decoded d = decodeUtf8(reinterpret_cast<const unsigned char*>(bytes) + i, length - i);
    const char* entity = nullptr;
    if (notXmlChar(d.cp)) {
      if (mode == Escape::Name && d.cp != kInvalid) {
        // The host reads the name with "&#N;" in its place; UnescapeName
        // turns that back into the unit when the name comes in again.
        std::snprintf(reference, sizeof reference, "&amp;#%u;", static_cast<unsigned>(d.cp));
        entity = reference;
      } else {
        entity = "\xEF\xBF\xBD";  // U+FFFD
      }
    } else if (d.len == 1) {
      entity = entityFor(bytes[i], attribute);
      if (mode == Escape::Name && bytes[i] == '&' && startsUnescapedReference(bytes + i, length - i))
        entity = "&amp;amp;";
    }
    if (!entity) {
      i += d.len;
      continue;
    }
    if (DWORD e = AppendBytes(bytes + run, i - run)) return e;
    if (DWORD e = AppendRaw(entity)) return e;
    i += d.len;
    run = i;
  }
  return AppendBytes(bytes + run, length - run);
}

DWORD CServiceXMLResponse::AppendEscaped(const char* bytes, std::size_t length) {
  return AppendEscapedAs(bytes, length, Escape::Content);
}

DWORD CServiceXMLResponse::AppendEscapedWide(const WCHAR* text, std::size_t length) {
  // ASCII text is its own UTF-8.
  if (std::all_of(text, text + length, [](WCHAR u) { return u < 0x80; })) {
    std::string ascii(text, text + length);
    return AppendEscaped(ascii.data(), ascii.size());
  }
  // An unpaired surrogate is converted to U+FFFD.
  std::string utf8 = platform::utf16_to_utf8(std::u16string_view(text, length));
  return AppendEscaped(utf8.data(), utf8.size());
}

DWORD CServiceXMLResponse::WriteName(const char* name, const char* value, std::size_t length) {
  return WriteAttributeAs(name, value, length, Escape::Name);
}

DWORD CServiceXMLResponse::WriteAttributeAs(const char* name, const char* value, std::size_t length,
                                            Escape mode) {
  // A value that needs no escape in any mode goes in one piece.
  if (std::all_of(value, value + length, [](char c) { return kPlain.plain[static_cast<unsigned char>(c)]; })) {
    const std::size_t name_length = std::strlen(name);
    const std::size_t count = name_length + length + 4;
    if (DWORD e = Reserve(count)) return e;
    char* at = buffer_ + used_;
    *at++ = ' ';
    std::memcpy(at, name, name_length);
    at += name_length;
    *at++ = '=';
    *at++ = '"';
    if (length) std::memcpy(at, value, length);
    at += length;
    *at++ = '"';
    *at = '\0';
    used_ += count;
    return 0;
  }
  if (DWORD e = AppendRaw(" ")) return e;
  if (DWORD e = AppendRaw(name)) return e;
  if (DWORD e = AppendRaw("=\"")) return e;
  if (DWORD e = AppendEscapedAs(value, length, mode)) return e;
  return AppendRaw("\"");
}

DWORD CServiceXMLResponse::WriteAttribute(const char* name, const char* value, std::size_t length) {
  return WriteAttributeAs(name, value, length, Escape::Text);
}

DWORD CServiceXMLResponse::WriteAttribute(const char* name, const char* value) {
  return WriteAttribute(name, value, std::strlen(value));
}

DWORD CServiceXMLResponse::WriteU32(const char* name, std::uint32_t v) {
  char text[24];
  const std::string_view digits = decimal(text, v);
  return WriteAttribute(name, digits.data(), digits.size());
}

DWORD CServiceXMLResponse::WriteU64(const char* name, std::uint64_t v) {
  char text[24];
  const std::string_view digits = decimal(text, v);
  return WriteAttribute(name, digits.data(), digits.size());
}

DWORD CServiceXMLResponse::WriteI32(const char* name, std::int32_t v) {
  char text[24];
  const std::string_view digits = decimal(text, v);
  return WriteAttribute(name, digits.data(), digits.size());
}

DWORD CServiceXMLResponse::WriteTime(const char* name, std::uint64_t seconds, std::uint32_t fraction) {
  // "seconds.fraction", as "%llu.%u" writes it.
  char text[48];
  char* end = std::to_chars(text, text + sizeof text, seconds).ptr;
  *end++ = '.';
  end = std::to_chars(end, text + sizeof text, fraction).ptr;
  return WriteAttribute(name, text, static_cast<std::size_t>(end - text));
}

DWORD CServiceXMLResponse::WritePointer(const char* name, const void* p) {
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIX64,
                static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(p)));
  return WriteAttribute(name, text);
}

DWORD CServiceXMLResponse::Build() {
  const std::size_t name_len = std::strlen(element_name_);
  DWORD e = AppendRaw("<");
  if (!e) e = AppendEscaped(element_name_, name_len);
  if (!e) e = writeAttributes();
  if (!e) e = AppendRaw(">");
  if (!e) e = writeContent();
  if (!e) e = AppendRaw("</");
  if (!e) e = AppendEscaped(element_name_, name_len);
  if (!e) e = AppendRaw(">");
  if (e) Reset();
  return e;
}

DWORD CServiceXMLResponse::Send() {
  if (used_ == 0) {
    if (DWORD e = Build()) return e;
  }
  DWORD result = 0;
  std::FILE* out = ResponseStream();
  StdoutLock().enter();
  const std::size_t n = static_cast<std::size_t>(used_ + 1);
  if (std::fwrite(buffer_, 1, n, out) != n) {
    result = static_cast<DWORD>(std::ferror(out));
    if (result == 0) result = ERROR_WRITE_FAULT;
  }
  // The element may sit in the stream's buffer until the flush; a flush that
  // fails has not delivered it either.
  if (std::fflush(out) != 0 && result == 0) {
    result = static_cast<DWORD>(std::ferror(out));
    if (result == 0) result = ERROR_WRITE_FAULT;
  }
  StdoutLock().leave();
  return result;
}

DWORD CServiceSuccessResponse::writeAttributes() { return WriteU64("SequenceNumber", sequence_number_); }

DWORD CServiceShutdownResponse::writeAttributes() {
  return WriteU64("SequenceNumber", sequence_number_);
}

DWORD CServiceDebugReponse::writeAttributes() { return WriteU64("SequenceNumber", sequence_number_); }

DWORD CServiceDebugReponse::writeContent() {
  if (narrow_) {
    std::size_t n = std::strlen(narrow_);
    while (n && isTrailingSpace(static_cast<unsigned char>(narrow_[n - 1]))) --n;
    return AppendEscaped(narrow_, n);
  }
  if (wide_) {
    std::size_t n = platform::wcslen16(wide_);
    while (n && isTrailingSpace(wide_[n - 1])) --n;
    return AppendEscapedWide(wide_, n);
  }
  return 0;
}

DWORD CServiceHRESULTResponse::writeAttributes() {
  DWORD e = WriteU64("SequenceNumber", sequence_number_);
  if (!e) e = WriteI32("HRESULT", hr_);
  return e;
}

DWORD CServiceVolumeResponse::writeAttributes() {
  const KELFS_VOLUME_INFO& v = volume_->Info;
  DWORD e = WriteU64("SequenceNumber", sequence_number_);
  const struct {
    const char* name;
    std::uint32_t value;
  } numbers[] = {
      {"VolumeInitializationId", v.VolumeInitializationId},
      {"VolumeInitializationCount", v.VolumeInitializationCount},
      {"VolumeType", v.VolumeType},
      {"ParityRatio", v.ParityRatio},
      {"ObjectCount", v.ObjectCount},
      {"FileCount", v.FileCount},
      {"DirectoryCount", v.DirectoryCount},
      {"MaxObjectCount", v.MaxObjectCount},
      {"BlockSize", v.BlockSize},
      {"IOSize", v.IOSize},
      {"TotalBlocks", v.TotalBlocks},
      {"FreeBlocks", v.FreeBlocks},
      {"AvailableBlocks", v.AvailableBlocks},
      {"UsedBlocks", v.UsedBlocks},
      {"FilesFree", v.FilesFree},
      {"Dirty", v.Dirty},
      {"CurrentTrackId", v.CurrentTrackId},
      {"MaximumTrackId", v.MaximumTrackId},
      {"PartitionStart", v.PartitionStart},
      {"NextWritableBlock", v.NextWritableBlock},
      {"NumberOfBlocksPerTrack", v.NumberOfBlocksPerTrack},
      {"LastFileIndex", v.LastFileIndex},
      {"WriteProtectReason", v.WriteProtectReason},
  };
  for (const auto& n : numbers)
    if (!e) e = WriteU32(n.name, n.value);
  const struct {
    const char* name;
    const KELFS_TIME& t;
  } times[] = {{"CreationTime", v.CreationTime},
               {"ModificationTime", v.ModificationTime},
               {"AccessTime", v.AccessTime},
               {"BackupTime", v.BackupTime}};
  for (const auto& t : times)
    if (!e) e = WriteTime(t.name, static_cast<std::uint64_t>(t.t.Seconds), t.t.Nanoseconds);
  if (!e) {
    char guid[33];
    for (int i = 0; i < 16; ++i) std::snprintf(guid + 2 * i, 3, "%2.2X", v.MediumGUID[i]);
    e = WriteAttribute("MediumGUID", guid, 32);
  }
  if (!e) e = WriteName("VolumeName", v.VolumeName, strnlen(v.VolumeName, sizeof v.VolumeName));
  if (!e) {
    const std::size_t id_len = strnlen(volume_->QuorvelVolumeID, sizeof volume_->QuorvelVolumeID);
    if (id_len) {
      e = WriteU32("QuorvelReplica", volume_->QuorvelReplica);
      if (!e) e = WriteAttribute("QuorvelVolumeID", volume_->QuorvelVolumeID, id_len);
    } else {
      e = WriteU32("QuorvelReplica", 4294967295u);
    }
  }
  return e;
}

DWORD CServiceSyncResponse::writeAttributes() {
  DWORD e = WriteU64("SequenceNumber", sequence_number_);
  if (!e) e = WriteU32("Dirty", sync_->Dirty);
  if (!e) e = WriteU64("BlockNumber", sync_->BlockNumber);
  if (!e) e = WriteU64("NextWritableBlock", sync_->NextWritableBlock);
  return e;
}

DWORD CServiceFragmentResponse::writeAttributes() {
  const KelFragmentRecord& f = *fragment_;
  DWORD e = WriteU64("SequenceNumber", sequence_number_);
  if (!e) e = WriteU64("FragmentFileSize", f.FragmentFileSize);
  if (!e) e = WriteU64("BlockNumber", f.BlockNumber);
  if (!e) e = WriteTime("ModificationTime", f.ModificationTime.Seconds, f.ModificationTime.Fraction);
  if (!e) e = WriteU32("IOSize", f.IOSize);
  if (!e) e = WriteU32("BytesTransferred", f.BytesTransferred);
  if (!e) e = WritePointer("Buffer", f.Buffer);
  if (!e) e = WriteU32("isPackedWrite", f.isPackedWrite);
  return e;
}

DWORD CServiceRollbackInfoResponse::writeAttributes() {
  DWORD e = WriteU64("SequenceNumber", sequence_number_);
  if (!e) e = WriteU32("SlotNumber", point_->SlotNumber);
  if (!e) e = WriteU32("MetaDataFE_LSN", point_->MetaDataFE_LSN);
  if (!e) e = WriteU32("FsdLsn", point_->FsdLsn);
  return e;
}

DWORD CServiceSpaceEntriesResponse::writeAttributes() {
  DWORD e = WriteU64("SequenceNumber", sequence_number_);
  if (!e) e = WriteU32("SpaceEntries.Count", entries_->Count);
  const std::uint32_t shown = entries_->Count < max_entries_ ? entries_->Count : max_entries_;
  for (std::uint32_t i = 0; i < shown && !e; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "SpaceEntries.%u.BlockNumber", i);
    e = WriteU64(name, entries_->Entries[i].BlockNumber);
    std::snprintf(name, sizeof name, "SpaceEntries.%u.NumberOfBlocks", i);
    if (!e) e = WriteU32(name, entries_->Entries[i].NumberOfBlocks);
  }
  return e;
}

DWORD CServiceObjectResponse::writeAttributes() {
  const KELFS_OBJECT_INFO& o = *object_;
  DWORD e = WriteName("ObjectName", o.ObjectName, strnlen(o.ObjectName, sizeof o.ObjectName));
  if (!e) e = WriteU32("Flags", o.Flags);
  if (!e) e = WriteU32("ObjectID", o.ObjectID);
  if (!e) e = WriteU32("Mode", o.Mode);
  if (!e) e = WriteU32("Links", o.Links);
  if (!e) e = WriteU64("Size", o.Size);
  if (!e) e = WriteI32("Type", o.Type);
  if (!e) e = WriteTime("CreationTime", static_cast<std::uint64_t>(o.CreationTime.Seconds),
                        o.CreationTime.Nanoseconds);
  if (!e) e = WriteTime("ModificationTime", static_cast<std::uint64_t>(o.ModificationTime.Seconds),
                        o.ModificationTime.Nanoseconds);
  if (!e) e = WriteTime("AccessTime", static_cast<std::uint64_t>(o.AccessTime.Seconds),
                        o.AccessTime.Nanoseconds);
  if (!e) e = WriteU32("IOSize", o.IOSize);
  if (!e) e = CServiceSpaceEntriesResponse::writeAttributes();
  return e;
}

DWORD CServiceDirentResponse::writeAttributes() {
  DWORD e = WriteU32("Fragment", versions_->Fragment);
  if (!e) e = WriteU32("Generation", versions_->Generation);
  if (!e) e = WriteU32("Version", versions_->Version);
  if (!e) e = CServiceObjectResponse::writeAttributes();
  return e;
}

}  // namespace kel
