#include "platform/profile/profile_parse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/base/unique_fd.h"

namespace vorlane::profile::detail {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }


void Classify(Line& line, std::string_view content) {
  if (content.empty()) return;
  if (content.front() == '[') {
    // The name runs to the last ']' so that names which themselves contain ']' still read; a
    // '[' line without any ']' is neither a header nor a key.
    size_t close = content.rfind(']');
    if (close != std::string_view::npos) {
      line.kind = LineKind::kHeader;
      line.name = TrimBlanks(content.substr(1, close - 1));
    }
    return;
  }
  if (content.front() == ';') return;
  size_t eq = content.find('=');
  if (eq == std::string_view::npos) return;
  std::string_view key = TrimBlanks(content.substr(0, eq));
  if (key.empty()) return;
  line.kind = LineKind::kKey;
  line.name = key;
  line.value = TrimBlanks(content.substr(eq + 1));
}

}  // namespace

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'')) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::string_view CutAtNul(std::string_view s) { return s.substr(0, s.find('\0')); }

Document Parse(std::string_view text) {
  Document doc;
  doc.text = text;
  if (text.starts_with(kUtf8Bom)) doc.bomLength = kUtf8Bom.size();

  size_t pos = doc.bomLength;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    size_t newline = text.find('\n', pos);
    size_t rawEnd = newline == std::string_view::npos ? text.size() : newline;
    line.next = newline == std::string_view::npos ? text.size() : newline + 1;
    line.contentEnd = rawEnd;
    if (rawEnd > pos && text[rawEnd - 1] == '\r') line.contentEnd = rawEnd - 1;
    Classify(line, TrimBlanks(text.substr(pos, line.contentEnd - pos)));
    doc.lines.push_back(line);
    pos = line.next;  // always > line.begin: a line has at least one byte or a terminator
  }
  return doc;
}

std::string ReadFileOrEmpty(const std::filesystem::path& file) {
  // O_NONBLOCK so that a FIFO at the path cannot stall the reader; only regular files count.
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return {};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};

  std::string content;
  content.reserve(static_cast<size_t>(st.st_size));
  char buffer[64 * 1024];
  // The file may grow while we read it (it is never rewritten in place, only replaced), so
  // read to end of file rather than trusting st_size.
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {};
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  return content;
}

size_t FindSection(const Document& doc, std::string_view section) {
  for (size_t i = 0; i < doc.lines.size(); ++i) {
    const Line& line = doc.lines[i];
    if (line.kind == LineKind::kHeader && EqualsIgnoringAsciiCase(line.name, section)) return i;
  }
  return kNotFound;
}

size_t SectionEnd(const Document& doc, size_t header) {
  size_t i = header + 1;
  while (i < doc.lines.size() && doc.lines[i].kind != LineKind::kHeader) ++i;
  return i;
}

size_t FindKey(const Document& doc, size_t header, std::string_view key) {
  size_t end = SectionEnd(doc, header);
  for (size_t i = header + 1; i < end; ++i) {
    const Line& line = doc.lines[i];
    if (line.kind == LineKind::kKey && EqualsIgnoringAsciiCase(line.name, key)) return i;
  }
  return kNotFound;
}

}  // namespace vorlane::profile::detail
