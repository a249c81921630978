#include "tcpclient/code_page.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
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

void AppendUnits(std::u16string& text, std::string_view bytes) {
  const size_t units = bytes.size() / sizeof(char16_t);
  const size_t at = text.size();
  text.resize(at + units);
  std::memcpy(text.data() + at, bytes.data(), units * sizeof(char16_t));
}

}  // namespace

std::optional<CodePage> CodePage::Open(int32_t codePage, std::string* error) {
  const std::string name = ConverterName(codePage);
  iconv_t encoder = codePage < 0 ? kNoConverter : ::iconv_open(name.c_str(), kWide);
  iconv_t decoder = encoder == kNoConverter ? kNoConverter : ::iconv_open(kWide, name.c_str());
  if (encoder == kNoConverter || decoder == kNoConverter) {
    if (encoder != kNoConverter) ::iconv_close(encoder);
    if (error != nullptr) *error = "Code page " + std::to_string(codePage) + " is not supported.";
    return std::nullopt;
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
