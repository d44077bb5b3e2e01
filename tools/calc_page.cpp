#include "tools/calc_page.h"

#include <cstdlib>
#include <optional>

#include "tools/answer_file.h"

namespace korvane::tools {
namespace {

std::optional<double> Number(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  double value = std::strtod(text->c_str(), &end);
  if (end != text->c_str() + text->size()) return std::nullopt;
  return value;
}

std::string Row(const std::string& name, const std::string& value) {
  return "<tr><th>" + HtmlEscape(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\r\n";
}

}  // namespace

std::string CalcPage(const link::Fields& fields) {
  auto a_text = link::FieldValue(fields, "a");
  auto b_text = link::FieldValue(fields, "b");
  auto a = Number(a_text);
  auto b = Number(b_text);
  const std::string missing = "not a number: a and b must both be numbers";
  std::string sum = a && b ? link::GeneralNumberText(*a + *b) : missing;
  std::string product = a && b ? link::GeneralNumberText(*a * *b) : missing;

  std::string page = "<html><head><title>calc</title></head><body>\r\n<h1>calc</h1>\r\n<table>\r\n";
  page += Row("a", a_text.value_or(""));
  page += Row("b", b_text.value_or(""));
  page += Row("a+b", sum);
  page += Row("a*b", product);
  page += "</table>\r\n</body></html>\r\n";
  return page;
}

}  // namespace korvane::tools
