// Cuts the received byte stream into the pieces the control delivers through DataIn: raw
// chunks, lines ending in an exact delimiter, or lines ending in any of CR, LF, CR LF, LF CR.
// Pure: bytes in, pieces out, no sockets.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vorlane::tcpclient {

struct LinePiece {
  std::string text;
  bool eol = false;  // ended by a line delimiter (which is not part of the text)

  friend bool operator==(const LinePiece&, const LinePiece&) = default;
};

class LineSplitter {
 public:
  enum class Mode {
    kRaw,        // every pushed chunk is one piece
    kDelimiter,  // lines end in the exact delimiter bytes
    kAnyLineEnd  // lines end in CR, LF, CR LF or LF CR; a pair split across pushes counts once
  };

  // `capacity`: the most bytes held without a line end; a buffer that fills up is delivered as
  // it is, without EOL. At least 1.
  LineSplitter(Mode mode, std::string delimiter, size_t capacity);

  // Appends the bytes and returns the pieces that are complete now.
  std::vector<LinePiece> Push(std::string_view bytes);
  // The bytes held (an unfinished line), handed out and forgotten; empty when none.
  std::string TakeRest();
  // How many more bytes fit before the buffer is full (raw mode: capacity).
  size_t Room() const;
  size_t Held() const { return buffer_.size(); }

 private:
  void PushAnyLineEnd(char c, std::vector<LinePiece>& out);

  Mode mode_;
  std::string delimiter_;
  size_t capacity_;
  std::string buffer_;
  // kAnyLineEnd: the line end just seen, so that its partner (LF after CR, CR after LF) right
  // behind it is taken as part of the same line end; 0 when none.
  char lastLineEnd_ = 0;
};

}  // namespace vorlane::tcpclient
