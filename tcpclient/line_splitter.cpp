#include "tcpclient/line_splitter.h"

#include <algorithm>
#include <utility>

namespace vorlane::tcpclient {

LineSplitter::LineSplitter(Mode mode, std::string delimiter, size_t capacity)
    : mode_(mode), delimiter_(std::move(delimiter)), capacity_(std::max<size_t>(capacity, 1)) {
  if (mode_ == Mode::kDelimiter && delimiter_.empty()) mode_ = Mode::kRaw;
}

size_t LineSplitter::Room() const {
  return mode_ == Mode::kRaw ? capacity_ : capacity_ - std::min(capacity_, buffer_.size());
}

std::string LineSplitter::TakeRest() {
  lastLineEnd_ = 0;
  return std::exchange(buffer_, {});
}

std::vector<LinePiece> LineSplitter::Push(std::string_view bytes) {
  std::vector<LinePiece> out;
  switch (mode_) {
    case Mode::kRaw:
      // Chunks larger than the capacity are cut, as a receive of that size would have cut them.
      for (size_t at = 0; at < bytes.size(); at += capacity_)
        out.push_back({std::string(bytes.substr(at, capacity_)), false});
      break;
    case Mode::kDelimiter:
      for (char c : bytes) {
        buffer_.push_back(c);
        if (buffer_.size() >= delimiter_.size() &&
            std::string_view(buffer_).substr(buffer_.size() - delimiter_.size()) == delimiter_) {
          buffer_.resize(buffer_.size() - delimiter_.size());
          out.push_back({std::exchange(buffer_, {}), true});
        } else if (buffer_.size() >= capacity_) {
          out.push_back({std::exchange(buffer_, {}), false});
        }
      }
      break;
    case Mode::kAnyLineEnd:
      for (char c : bytes) PushAnyLineEnd(c, out);
      break;
  }
  return out;
}

void LineSplitter::PushAnyLineEnd(char c, std::vector<LinePiece>& out) {
  const bool lineEnd = c == '\r' || c == '\n';
  if (lineEnd && lastLineEnd_ != 0 && c != lastLineEnd_) {
    lastLineEnd_ = 0;  // the second half of CR LF or LF CR
    return;
  }
  if (lineEnd) {
    out.push_back({std::exchange(buffer_, {}), true});
    lastLineEnd_ = c;
    return;
  }
  lastLineEnd_ = 0;
  buffer_.push_back(c);
  if (buffer_.size() >= capacity_) out.push_back({std::exchange(buffer_, {}), false});
}

}  // namespace vorlane::tcpclient
