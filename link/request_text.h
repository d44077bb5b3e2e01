// The texts a served program receives from the gateway and sends back:
// execute commands "n,<request text>", the fields of a request text, and the
// request identifier as the gateway compares it.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::link {

// A number as the gateway writes numbers into texts: up to fifteen
// significant digits, no trailing zeros ("45296.5", "45296", "0.01").
std::string GeneralNumberText(double value);

// The identifier a served program must put after the answer file in the
// notify item. The request text carries it with two decimals (ID=45296.50);
// the gateway expects it in general-number form (45296.5).
std::string RequestIdText(double seconds_since_midnight);

// Same, from the ID field's text; a text that is not a number is returned
// unchanged so that a wrong ID stays visibly wrong.
std::string RequestIdText(std::string_view id_field);

// "n,rest": a positive n is a request of session n, a negative n asks the
// program to drop what it holds for session -n ("-3,").
struct ExecuteCommand {
  long slot = 0;
  std::string text;  // everything after the first comma, byte for byte
};

// nullopt for any other command ("initialize lnkWWW", "x,1", ",").
std::optional<ExecuteCommand> ParseExecuteCommand(std::string_view command);

// "initialize <item base>" gives the base, trimmed; nullopt otherwise.
std::optional<std::string> ParseInitializeCommand(std::string_view command);

// Fields of a request text such as
// "&MYIP=1.2.3.4&ID=45296.5&__=calc/sheet&a=1&b=2&HTTP/1.0\r\n": pieces
// separated by "&", a line break (a posted form's body follows the request
// line on a line of its own) or the character 26 that starts a password
// tail, each
// name=value, URL-decoded. Pieces without "=" are skipped.
using Fields = std::vector<std::pair<std::string, std::string>>;
Fields ParseRequestFields(std::string_view text);

// Value of the first field of that name (names compared without case).
std::optional<std::string> FieldValue(const Fields& fields, std::string_view name);

// "+" is a space, "%41" is "A"; a malformed escape is kept as it is.
std::string UrlDecode(std::string_view text);

}  // namespace korvane::link
