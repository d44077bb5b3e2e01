#include "link/request_text.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace korvane::link {
namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void AddField(Fields& fields, std::string_view piece) {
  auto eq = piece.find('=');
  if (eq == std::string_view::npos) return;
  fields.emplace_back(UrlDecode(piece.substr(0, eq)), UrlDecode(piece.substr(eq + 1)));
}

}  // namespace

std::string GeneralNumberText(double value) {
  // Fifteen significant digits is what the gateway writes; %G drops the
  // trailing zeros and switches to an exponent only for extreme magnitudes.
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.15G", value);
  return buf;
}

std::string RequestIdText(double seconds_since_midnight) {
  return GeneralNumberText(seconds_since_midnight);
}

std::string RequestIdText(std::string_view id_field) {
  std::string text(Trim(id_field));
  if (text.empty()) return text;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size()) return std::string(id_field);
  return RequestIdText(value);
}

std::optional<ExecuteCommand> ParseExecuteCommand(std::string_view command) {
  auto comma = command.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view number = command.substr(0, comma);
  bool negative = !number.empty() && number.front() == '-';
  if (negative) number.remove_prefix(1);
  // Session numbers are small; nine digits keep the value inside a long.
  if (number.empty() || number.size() > 9) return std::nullopt;
  long slot = 0;
  for (char c : number) {
    if (c < '0' || c > '9') return std::nullopt;
    slot = slot * 10 + (c - '0');
  }
  return ExecuteCommand{negative ? -slot : slot, std::string(command.substr(comma + 1))};
}

std::optional<std::string> ParseInitializeCommand(std::string_view command) {
  constexpr std::string_view kWord = "initialize ";
  if (command.size() < kWord.size() || !SameText(command.substr(0, kWord.size()), kWord))
    return std::nullopt;
  return std::string(Trim(command.substr(kWord.size())));
}

Fields ParseRequestFields(std::string_view text) {
  Fields fields;
  text = Trim(text);
  std::size_t start = 0;
  while (start <= text.size()) {
    // A posted form's body follows the request line's "HTTP/1.0" after a
    // line break, not after "&": line breaks separate pieces too.
    auto end = text.find_first_of("&\x1a\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    AddField(fields, text.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

std::optional<std::string> FieldValue(const Fields& fields, std::string_view name) {
  for (const auto& [field, value] : fields)
    if (SameText(field, name)) return value;
  return std::nullopt;
}

std::string UrlDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace korvane::link
