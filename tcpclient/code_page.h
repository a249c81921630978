// Conversion between the control's UTF-16 text and the bytes on the wire, in the code page the
// control's "CodePage" setting names. One object per control, used on the control's thread only:
// the converters keep state between calls (a cut character, a shift state), even for FromText.
#pragma once

#include <iconv.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/result.h"

namespace vorlane::tcpclient {

class CodePage {
 public:
  // 0 is this system's ANSI code page, UTF-8. Other pages by their number: 65001 UTF-8,
  // 1200/1201 UTF-16LE/BE, 12000/12001 UTF-32LE/BE, 20127 ASCII, 28591..28606 ISO-8859-n,
  // 20866/21866 KOI8-R/U, 51932 EUC-JP, 54936 GB18030, and any other n as the converter's "CPn"
  // (1252, 850, 932, ...). A page the converter does not know fails with "Code page n is not
  // supported.".
  static Result<CodePage, std::string> Open(int32_t codePage);

  CodePage(CodePage&& other) noexcept;
  CodePage& operator=(CodePage&& other) noexcept;
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;
  ~CodePage();

  int32_t Number() const { return number_; }

  // The text in this page; a character the page cannot show becomes '?' (in the page's own
  // encoding of '?'), and so does a lone surrogate.
  std::string FromText(std::u16string_view text) const;

  // Decodes received bytes. A character split across two receives is held back until its
  // remaining bytes arrive; with `flush`, whatever is held back is given up. A byte that starts
  // no character of the page becomes U+FFFD, one for each such byte.
  std::u16string ToText(std::string_view bytes, bool flush = false);

  // Forgets held-back bytes and any shift state (a new connection starts afresh).
  void Reset();

 private:
  CodePage(int32_t number, iconv_t encoder, iconv_t decoder, std::string question);
  void Close();

  int32_t number_ = 0;
  iconv_t encoder_ = reinterpret_cast<iconv_t>(-1);  // UTF-16 -> page
  iconv_t decoder_ = reinterpret_cast<iconv_t>(-1);  // page -> UTF-16
  std::string question_;                            // '?' in the page
  std::string held_;                                // the start of a character cut by the last receive
};

}  // namespace vorlane::tcpclient
