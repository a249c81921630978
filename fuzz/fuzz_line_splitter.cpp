// The client control's line splitter on an arbitrary received stream, pushed in arbitrary
// chunks. Whatever the mode, no byte is lost or invented: the pieces, with their line ends put
// back, and the rest held at the end are the stream again; no piece is longer than the buffer.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "tcpclient/line_splitter.h"

namespace {

using vorlane::tcpclient::LinePiece;
using vorlane::tcpclient::LineSplitter;

std::string WithoutLineEnds(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != '\r' && c != '\n') out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const auto mode = input.PickValueInArray(
      {LineSplitter::Mode::kRaw, LineSplitter::Mode::kDelimiter, LineSplitter::Mode::kAnyLineEnd});
  std::string delimiter = input.ConsumeRandomLengthString(4);
  if (mode == LineSplitter::Mode::kDelimiter && delimiter.empty()) delimiter = "\n";
  const size_t capacity = input.ConsumeIntegralInRange<size_t>(1, 64);
  LineSplitter splitter(mode, delimiter, capacity);

  std::string stream;
  std::string rebuilt;      // pieces with their delimiters, for raw and delimiter mode
  std::string textsOnly;    // pieces without line ends, for any-line-end mode
  for (int push = 0; push < 64 && input.remaining_bytes() > 0; ++push) {
    const std::string chunk = input.ConsumeRandomLengthString(32);
    stream += chunk;
    const size_t heldBefore = splitter.Held();
    const std::vector<LinePiece> pieces = splitter.Push(chunk);
    if (mode == LineSplitter::Mode::kRaw) {
      FUZZ_CHECK(heldBefore == 0 && splitter.Held() == 0);
    } else {
      FUZZ_CHECK(splitter.Held() <= capacity);
    }
    for (const LinePiece& piece : pieces) {
      FUZZ_CHECK(piece.text.size() <= capacity);
      if (mode == LineSplitter::Mode::kAnyLineEnd) {
        FUZZ_CHECK(piece.text.find_first_of("\r\n") == std::string::npos);
      }
      if (mode == LineSplitter::Mode::kRaw) FUZZ_CHECK(!piece.eol);
      rebuilt += piece.text;
      if (piece.eol && mode == LineSplitter::Mode::kDelimiter) rebuilt += delimiter;
      textsOnly += piece.text;
    }
  }
  const std::string rest = splitter.TakeRest();
  FUZZ_CHECK(splitter.Held() == 0);
  if (mode == LineSplitter::Mode::kAnyLineEnd) {
    FUZZ_CHECK(rest.find_first_of("\r\n") == std::string::npos);
    FUZZ_CHECK(textsOnly + rest == WithoutLineEnds(stream));
  } else {
    FUZZ_CHECK(rebuilt + rest == stream);
  }
  return 0;
}
