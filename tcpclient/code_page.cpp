#include "tcpclient/code_page.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>
#include <utility>

namespace vorlane::tcpclient {
namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
constexpr size_t kFailed = static_cast<size_t>(-1);
constexpr char16_t kReplacement = u'\uFFFD';

// The control's wide strings in memory, as the converter calls them.
constexpr const char* kWide = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

// The converter's name of a code page number.
std::string ConverterName(int32_t page) {
  switch (page) {
    case 0:
    case 65001:
      return "UTF-8";
    case 1200:
      return "UTF-16LE";
    case 1201:
      return "UTF-16BE";
    case 12000:
      return "UTF-32LE";
    case 12001:
      return "UTF-32BE";
    case 20127:
      return "ASCII";
    case 20866:
      return "KOI8-R";
    case 21866:
      return "KOI8-U";
    case 51932:
      return "EUC-JP";
    case 54936:
      return "GB18030";
    default:
      break;
  }
  // 28591..28606 are ISO-8859-1..16 (there is no part 12).
  if (page >= 28591 && page <= 28606 && page != 28602) return "ISO-8859-" + std::to_string(page - 28590);
  return "CP" + std::to_string(page);
}

// Runs the converter over `in` into `out`, growing it as needed. On an error the converter's
// errno is returned with *in and *inLeft at the offending bytes; 0 when everything converted.
int Convert(iconv_t converter, char** in, size_t* inLeft, std::string& out) {
  // Each round converts something or doubles the room, so a few dozen rounds always suffice.
  for (int round = 0; round < 64; ++round) {
    const size_t used = out.size();
    const size_t room = *inLeft * 4 + 16;
    out.resize(used + room);
    char* to = out.data() + used;
    size_t toLeft = room;
    const size_t rc = ::iconv(converter, in, inLeft, &to, &toLeft);
    const int error = rc == kFailed ? errno : 0;
    out.resize(used + (room - toLeft));
    if (error != E2BIG) return error;
  }
  return E2BIG;
}

// UTF-8, the page of every control that sets none, is converted here directly: the general
// converter costs several times the rest of receiving. The rules are the converter's: a byte
// that starts no well-formed sequence (RFC 3629: no overlong forms, no surrogates, nothing
// beyond U+10FFFF) is one U+FFFD; a well-formed start cut off by the end of the input is held.
bool IsUtf8(int32_t page) { return page == 0 || page == 65001; }

// The length of the sequence `bytes` starts with: > 0 a whole character of that many bytes
// (its code point in *codePoint), 0 a well-formed start that the input ends before, -1 a byte
// that starts no character.
int Utf8Sequence(std::string_view bytes, char32_t* codePoint) {
  const auto b0 = static_cast<unsigned char>(bytes[0]);
  if (b0 < 0x80) {
    *codePoint = b0;
    return 1;
  }
  int length;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) low = 0xA0;
    if (b0 == 0xED) high = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) low = 0x90;
    if (b0 == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  char32_t value = b0 & (0xFF >> (length + 1));
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) >= bytes.size()) return 0;
    const auto b = static_cast<unsigned char>(bytes[static_cast<size_t>(i)]);
    if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) return -1;
    value = (value << 6) | (b & 0x3F);
  }
  *codePoint = value;
  return length;
}

// Writes the character at `to` and returns the end of what it wrote (two units at most).
char16_t* PutUtf16(char16_t* to, char32_t codePoint) {
  if (codePoint < 0x10000) {
    *to++ = static_cast<char16_t>(codePoint);
  } else {
    codePoint -= 0x10000;
    *to++ = static_cast<char16_t>(0xD800 + (codePoint >> 10));
    *to++ = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
  }
  return to;
}

// Writes the character at `to` and returns the end of what it wrote (four bytes at most).
char* PutUtf8(char* to, char32_t codePoint) {
  if (codePoint < 0x80) {
    *to++ = static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    *to++ = static_cast<char>(0xC0 | (codePoint >> 6));
    *to++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    *to++ = static_cast<char>(0xE0 | (codePoint >> 12));
    *to++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    *to++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    *to++ = static_cast<char>(0xF0 | (codePoint >> 18));
    *to++ = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    *to++ = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    *to++ = static_cast<char>(0x80 | (codePoint & 0x3F));
  }
  return to;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out(text.size() * 3, '\0');  // a unit takes three bytes at most, a pair four
  char* to = out.data();
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit < 0x80) {
      *to++ = static_cast<char>(unit);
    } else if (unit < 0xD800 || unit > 0xDFFF) {
      to = PutUtf8(to, unit);
    } else if (unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      to = PutUtf8(to, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else {
      *to++ = '?';  // a surrogate without its partner
    }
  }
  out.resize(static_cast<size_t>(to - out.data()));
  return out;
}

void AppendUnits(std::u16string& text, std::string_view bytes) {
  const size_t units = bytes.size() / sizeof(char16_t);
  const size_t at = text.size();
  text.resize(at + units);
  std::memcpy(text.data() + at, bytes.data(), units * sizeof(char16_t));
}

// Keeps the converter modules of `name` loaded for the life of the process: the C library
// unloads a converter's module when its last descriptor closes, and loading it again for every
// connection costs more than the connection's own work. One pair per page name ever used.
void KeepConvertersLoaded(const std::string& name) {
  struct Pinned {
    std::string name;
    iconv_t encoder;
    iconv_t decoder;
  };
  static std::mutex lock;
  // Never destroyed and always reachable from here, like the descriptors it holds.
  static std::vector<Pinned>* pinned = new std::vector<Pinned>;
  std::lock_guard guard(lock);
  for (const Pinned& entry : *pinned) {
    if (entry.name == name) return;
  }
  const iconv_t encoder = ::iconv_open(name.c_str(), kWide);
  const iconv_t decoder = ::iconv_open(kWide, name.c_str());
  if (encoder == kNoConverter || decoder == kNoConverter) {
    if (encoder != kNoConverter) ::iconv_close(encoder);
    if (decoder != kNoConverter) ::iconv_close(decoder);
    return;
  }
  pinned->push_back({name, encoder, decoder});
}

}  // namespace

Result<CodePage, std::string> CodePage::Open(int32_t codePage) {
  const std::string name = ConverterName(codePage);
  if (codePage >= 0) KeepConvertersLoaded(name);
  iconv_t encoder = codePage < 0 ? kNoConverter : ::iconv_open(name.c_str(), kWide);
  iconv_t decoder = encoder == kNoConverter ? kNoConverter : ::iconv_open(kWide, name.c_str());
  if (encoder == kNoConverter || decoder == kNoConverter) {
    if (encoder != kNoConverter) ::iconv_close(encoder);
    return "Code page " + std::to_string(codePage) + " is not supported.";
  }
  // How this page writes '?', the stand-in for what it cannot show.
  std::u16string_view mark = u"?";
  char* in = const_cast<char*>(reinterpret_cast<const char*>(mark.data()));
  size_t inLeft = mark.size() * sizeof(char16_t);
  std::string question;
  if (Convert(encoder, &in, &inLeft, question) != 0 || question.empty()) question = "?";
  ::iconv(encoder, nullptr, nullptr, nullptr, nullptr);
  return CodePage(codePage, encoder, decoder, std::move(question));
}

CodePage::CodePage(int32_t number, iconv_t encoder, iconv_t decoder, std::string question)
    : number_(number), encoder_(encoder), decoder_(decoder), question_(std::move(question)) {}

CodePage::CodePage(CodePage&& other) noexcept
    : number_(other.number_),
      encoder_(std::exchange(other.encoder_, kNoConverter)),
      decoder_(std::exchange(other.decoder_, kNoConverter)),
      question_(std::move(other.question_)),
      held_(std::move(other.held_)) {}

CodePage& CodePage::operator=(CodePage&& other) noexcept {
  if (this != &other) {
    Close();
    number_ = other.number_;
    encoder_ = std::exchange(other.encoder_, kNoConverter);
    decoder_ = std::exchange(other.decoder_, kNoConverter);
    question_ = std::move(other.question_);
    held_ = std::move(other.held_);
  }
  return *this;
}

CodePage::~CodePage() { Close(); }

void CodePage::Close() {
  if (encoder_ != kNoConverter) ::iconv_close(encoder_);
  if (decoder_ != kNoConverter) ::iconv_close(decoder_);
  encoder_ = kNoConverter;
  decoder_ = kNoConverter;
}

std::string CodePage::FromText(std::u16string_view text) const {
  if (IsUtf8(number_)) return Utf16ToUtf8(text);
  std::string out;
  if (encoder_ == kNoConverter) return out;
  char* in = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
  size_t inLeft = text.size() * sizeof(char16_t);
  // Every failed round skips at least one unit of the text.
  for (size_t round = 0; round <= text.size() && inLeft > 0; ++round) {
    const int error = Convert(encoder_, &in, &inLeft, out);
    if (error == 0) break;
    if (error != EILSEQ && error != EINVAL) break;  // the converter gave up (out of room twice over)
    // A character the page lacks, or a surrogate without its partner: one '?' for the whole
    // character, so a pair counts once.
    char16_t unit;
    std::memcpy(&unit, in, sizeof unit);
    size_t skip = sizeof(char16_t);
    if (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 2 * sizeof(char16_t)) {
      char16_t next;
      std::memcpy(&next, in + sizeof(char16_t), sizeof next);
      if (next >= 0xDC00 && next <= 0xDFFF) skip = 2 * sizeof(char16_t);
    }
    skip = std::min(skip, inLeft);
    in += skip;
    inLeft -= skip;
    out += question_;
  }
  // Ends any shift sequence, so that the next text starts in the initial state.
  size_t room = 16;
  std::string tail(room, '\0');
  char* to = tail.data();
  ::iconv(encoder_, nullptr, nullptr, &to, &room);
  out.append(tail.data(), tail.size() - room);
  return out;
}

std::u16string CodePage::ToText(std::string_view bytes, bool flush) {
  std::u16string text;
  if (decoder_ == kNoConverter) return text;
  if (IsUtf8(number_)) {
    std::string input = std::move(held_);
    held_.clear();
    input.append(bytes);
    // Never more units than bytes: a four-byte character is two units, anything else one.
    text.resize(input.size());
    char16_t* to = text.data();
    std::string_view rest(input);
    while (!rest.empty()) {
      // Plain ASCII runs are the common case.
      if (static_cast<unsigned char>(rest[0]) < 0x80) {
        *to++ = static_cast<char16_t>(rest[0]);
        rest.remove_prefix(1);
        continue;
      }
      char32_t codePoint = 0;
      const int length = Utf8Sequence(rest, &codePoint);
      if (length > 0) {
        to = PutUtf16(to, codePoint);
        rest.remove_prefix(static_cast<size_t>(length));
      } else if (length == 0) {
        if (flush) {
          *to++ = kReplacement;
        } else {
          held_.assign(rest);
        }
        break;
      } else {
        *to++ = kReplacement;
        rest.remove_prefix(1);
      }
    }
    text.resize(static_cast<size_t>(to - text.data()));
    return text;
  }
  std::string input = std::move(held_);
  held_.clear();
  input.append(bytes);
  char* in = input.data();
  size_t inLeft = input.size();
  std::string wide;
  // Every failed round skips at least one byte.
  for (size_t round = 0; round <= input.size() && inLeft > 0; ++round) {
    const int error = Convert(decoder_, &in, &inLeft, wide);
    if (error == 0) break;
    if (error == EINVAL) {
      // The bytes left are the start of a character that the next receive may complete.
      if (flush) {
        AppendUnits(text, wide);
        wide.clear();
        text.push_back(kReplacement);
      } else {
        held_.assign(in, inLeft);
      }
      break;
    }
    if (error != EILSEQ) break;
    AppendUnits(text, wide);
    wide.clear();
    text.push_back(kReplacement);
    ++in;
    --inLeft;
  }
  AppendUnits(text, wide);
  if (flush) ::iconv(decoder_, nullptr, nullptr, nullptr, nullptr);
  return text;
}

void CodePage::Reset() {
  held_.clear();
  if (encoder_ != kNoConverter) ::iconv(encoder_, nullptr, nullptr, nullptr, nullptr);
  if (decoder_ != kNoConverter) ::iconv(decoder_, nullptr, nullptr, nullptr, nullptr);
}

}  // namespace vorlane::tcpclient
