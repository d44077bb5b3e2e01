#include "core/log_secrets.h"

#include <strings.h>

#include <cctype>

namespace korvane {
namespace {

constexpr std::string_view kMask = "***";

// A header name just before colon, where a header line starts: at the
// start of the text or after a blank or a line end.
bool HeaderNameBefore(std::string_view text, size_t colon, std::string_view name) {
  if (colon < name.size() || strncasecmp(text.data() + colon - name.size(), name.data(), name.size()) != 0)
    return false;
  size_t at = colon - name.size();
  return at == 0 || text[at - 1] == ' ' || text[at - 1] == '\t' || text[at - 1] == '\n' || text[at - 1] == '\r';
}

// Where a credential starts after the colon at colon (blanks skipped), or npos.
size_t HeaderSecretAt(std::string_view m, size_t colon) {
  // Each of the names ends in n or e: most colons (times, ports, other
  // headers) are passed without comparing names.
  const char last = colon == 0 ? 0 : static_cast<char>(std::tolower(static_cast<unsigned char>(m[colon - 1])));
  if (last != 'n' && last != 'e') return std::string_view::npos;
  if (!HeaderNameBefore(m, colon, "authorization") && !HeaderNameBefore(m, colon, "proxy-authorization") &&
      !HeaderNameBefore(m, colon, "cookie"))
    return std::string_view::npos;
  size_t at = colon + 1;
  while (at < m.size() && (m[at] == ' ' || m[at] == '\t')) ++at;
  return at;
}

// A logged FTP command line: "#<slot> PASS <password>". The password's
// position, or npos.
size_t PassArgumentAt(std::string_view m) {
  if (m.empty() || m[0] != '#') return std::string_view::npos;
  size_t at = 1;
  while (at < m.size() && std::isdigit(static_cast<unsigned char>(m[at]))) ++at;
  if (at == 1 || at >= m.size() || m[at] != ' ') return std::string_view::npos;
  ++at;
  if (m.size() - at < 4 || strncasecmp(m.data() + at, "PASS", 4) != 0) return std::string_view::npos;
  at += 4;
  if (at == m.size()) return std::string_view::npos;  // no password given
  if (m[at] != ' ') return std::string_view::npos;
  return at + 1;
}

size_t LineEnd(std::string_view m, size_t from) {
  size_t end = m.find_first_of("\r\n", from);
  return end == std::string_view::npos ? m.size() : end;
}

}  // namespace

bool HasSecret(std::string_view m) {
  if (PassArgumentAt(m) != std::string_view::npos) return true;
  for (size_t colon = m.find(':'); colon != std::string_view::npos; colon = m.find(':', colon + 1))
    if (HeaderSecretAt(m, colon) != std::string_view::npos) return true;
  return false;
}

std::string HideSecrets(std::string_view m) {
  std::string out;
  size_t copied = 0;
  if (size_t pass = PassArgumentAt(m); pass != std::string_view::npos) {
    out.append(m.substr(0, pass)).append(kMask);
    copied = LineEnd(m, pass);
  }
  for (size_t colon = m.find(':', copied); colon != std::string_view::npos; colon = m.find(':', colon + 1)) {
    size_t at = HeaderSecretAt(m, colon);
    if (at == std::string_view::npos) continue;
    size_t end = LineEnd(m, at);
    out.append(m.substr(copied, at - copied)).append(kMask);
    copied = end;
    colon = end == m.size() ? end - 1 : end;
    if (end == m.size()) break;
  }
  out.append(m.substr(std::min(copied, m.size())));
  return out;
}

}  // namespace korvane
