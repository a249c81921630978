#include "agent/request/answer.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "platform/base/utf8.h"

namespace vorlane::agent {
namespace {

// One piece of a parsed template: literal text, or the index of an argument with its conversion.
struct Piece {
  std::string_view literal;
  int arg = -1;
  char conversion = 0;
};

std::vector<Piece> ParseTemplate(std::string_view tmpl) {
  std::vector<Piece> pieces;
  int next = 0;
  size_t i = 0;
  while (i < tmpl.size()) {
    size_t percent = tmpl.find('%', i);
    if (percent == std::string_view::npos) percent = tmpl.size();
    if (percent > i) pieces.push_back({tmpl.substr(i, percent - i)});
    if (percent == tmpl.size()) break;
    size_t j = percent + 1;
    if (j < tmpl.size() && tmpl[j] == '%') {
      pieces.push_back({tmpl.substr(j, 1)});
      i = j + 1;
      continue;
    }
    const bool isLong = j < tmpl.size() && tmpl[j] == 'l';
    if (isLong) ++j;
    const char conversion = j < tmpl.size() ? tmpl[j] : '\0';
    if (conversion == '\0' || std::string_view("sdiuxX").find(conversion) == std::string_view::npos ||
        (conversion == 's' && isLong)) {
      throw std::logic_error("unsupported conversion in answer template");
    }
    pieces.push_back({{}, next++, conversion});
    i = j + 1;
  }
  return pieces;
}

std::string FormatNumber(long long value, char conversion) {
  char buffer[32];
  switch (conversion) {
    case 'u': std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(value)); break;
    case 'x': std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(value)); break;
    case 'X': std::snprintf(buffer, sizeof buffer, "%llX", static_cast<unsigned long long>(value)); break;
    default: std::snprintf(buffer, sizeof buffer, "%lld", value); break;
  }
  return buffer;
}

// Shares `budget` bytes among texts of the given lengths: short texts keep their full length,
// the rest split what remains evenly (a water level).
std::vector<size_t> ShareBudget(const std::vector<size_t>& lengths, size_t budget) {
  std::vector<size_t> order(lengths.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return lengths[a] < lengths[b]; });
  std::vector<size_t> share(lengths.size());
  size_t left = budget;
  for (size_t k = 0; k < order.size(); ++k) {
    size_t fair = left / (order.size() - k);
    size_t take = std::min(lengths[order[k]], fair);
    share[order[k]] = take;
    left -= take;
  }
  return share;
}

}  // namespace

std::string FormatAnswer(std::string_view tmpl, std::initializer_list<AnswerArg> args, size_t bufferSize) {
  const std::vector<Piece> pieces = ParseTemplate(tmpl);
  const AnswerArg* argv = args.begin();

  // First pass: the fixed text (literals and numbers) and the lengths of the texts.
  std::vector<std::string> rendered(pieces.size());
  std::vector<size_t> textLengths;
  size_t fixedLength = 0;
  size_t conversions = 0;
  for (size_t p = 0; p < pieces.size(); ++p) {
    const Piece& piece = pieces[p];
    if (piece.arg < 0) {
      fixedLength += piece.literal.size();
      continue;
    }
    ++conversions;
    if (static_cast<size_t>(piece.arg) >= args.size()) throw std::logic_error("too few answer arguments");
    const AnswerArg& arg = argv[piece.arg];
    if (piece.conversion == 's') {
      const auto* text = std::get_if<std::string_view>(&arg);
      if (text == nullptr) throw std::logic_error("%s needs a text argument");
      textLengths.push_back(text->size());
    } else {
      const auto* number = std::get_if<long long>(&arg);
      if (number == nullptr) throw std::logic_error("numeric conversion needs a number argument");
      rendered[p] = FormatNumber(*number, piece.conversion);
      fixedLength += rendered[p].size();
    }
  }
  if (conversions != args.size()) throw std::logic_error("too many answer arguments");

  std::vector<size_t> limits = textLengths;
  if (bufferSize != kUnboundedAnswer) {
    size_t capacity = bufferSize > 0 ? bufferSize - 1 : 0;
    size_t budget = capacity > fixedLength ? capacity - fixedLength : 0;
    limits = ShareBudget(textLengths, budget);
  }

  std::string out;
  out.reserve(fixedLength + 64);
  size_t nextText = 0;
  for (size_t p = 0; p < pieces.size(); ++p) {
    const Piece& piece = pieces[p];
    if (piece.arg < 0) {
      out.append(piece.literal);
    } else if (piece.conversion == 's') {
      std::string_view text = std::get<std::string_view>(argv[piece.arg]);
      out.append(text.substr(0, utf8::CutPoint(text, limits[nextText++])));
    } else {
      out.append(rendered[p]);
    }
  }
  return out;
}

bool FitsInAnswerValue(std::string_view name) {
  for (const unsigned char c : name) {
    if (c == '#' || c == '"' || c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

std::string AsAnswerText(std::string text) {
  for (char& c : text) {
    if (c == '#' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return text;
}

}  // namespace vorlane::agent
