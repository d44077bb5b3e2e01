#include "core/config_check.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <cmath>
#include <functional>
#include <map>

#include "core/crypt_hash.h"
#include "core/primitives.h"
#include "platform/clock.h"

namespace korvane {
namespace {

bool Same(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Quoted(const std::string& v) { return "\"" + v + "\""; }

std::string WholeText(double v) { return std::to_string(static_cast<long long>(v)); }

bool Whole(const std::string& text, double& v) { return StrictNumber(text, v) && v == std::floor(v); }

// A rule looks at one value; when the gateway cannot take it as written it
// says why and which value is used instead.
struct Verdict {
  std::string why, used;
};
using Rule = std::function<bool(const std::string& value, Verdict& v)>;

Rule WholeIn(long long low, long long high, const char* what) {
  return [=](const std::string& value, Verdict& v) {
    double n = 0;
    if (Whole(value, n) && n >= static_cast<double>(low) && n <= static_cast<double>(high)) return true;
    v = {std::string("is not ") + what + " from " + std::to_string(low) + " to " + std::to_string(high),
         WholeText(Val(value))};
    return false;
  };
}

Rule NumberAtLeast(double low) {
  return [=](const std::string& value, Verdict& v) {
    double n = 0;
    if (StrictNumber(value, n) && n >= low) return true;
    v = {"is not a number of seconds", NumText(Val(value))};
    return false;
  };
}

// Limits read in seconds: anything but a number above 0 (up to a day) falls
// back to the default.
Rule Limit(const char* dflt) {
  return [=](const std::string& value, Verdict& v) {
    double n = 0;
    if (StrictNumber(value, n) && n > 0 && n <= 86400) return true;
    double used = Val(value);
    v = {"is not a number of seconds above 0 and up to 86400", used > 0 && used <= 86400 ? NumText(used) : dflt};
    return false;
  };
}

// A switch that is on only when written as 1.
Rule Switch() {
  return [](const std::string& value, Verdict& v) {
    if (value == "0" || value == "1") return true;
    v = {"is neither 0 nor 1", "0"};
    return false;
  };
}

// A switch read as a number, on when not 0.
Rule NumericSwitch(bool rounded) {
  return [=](const std::string& value, Verdict& v) {
    double n = 0;
    if (StrictNumber(value, n)) return true;
    double used = rounded ? static_cast<double>(RoundHalfEven(Val(value))) : Val(value);
    v = {"is not a number", NumText(used)};
    return false;
  };
}

Rule NotEmpty() {
  return [](const std::string& value, Verdict& v) {
    if (!value.empty()) return true;
    v = {"is empty", Quoted("")};
    return false;
  };
}

Rule PortRange() {
  return [](const std::string& value, Verdict& v) {
    int low = 0, high = 0;
    if (PassivePortRange(value, low, high)) return true;
    v = {"is not a port range low-high from 1 to 65535", "a port the system picks"};
    return false;
  };
}

Rule Address() {
  return [](const std::string& value, Verdict& v) {
    if (DottedAddress(value)) return true;
    v = {"is not a dotted IPv4 address", "the address the client connected to"};
    return false;
  };
}

Rule MetricsPathRule() {
  return [](const std::string& value, Verdict& v) {
    if (value.empty() || MetricsPathValid(value)) return true;
    v = {"is not a path starting with / without blanks or ?", "none (no metrics page)"};
    return false;
  };
}

Rule AddressList() {
  return [](const std::string& value, Verdict& v) {
    std::string bad;
    size_t at = 0;
    while (at <= value.size()) {
      size_t comma = value.find(',', at);
      std::string one = Trim(value.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
      if (!one.empty() && !IpAddress(one)) bad += (bad.empty() ? "" : ", ") + Quoted(one);
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    if (bad.empty()) return true;
    v = {"is not a comma-separated list of IP addresses (" + bad + ")", "loopback and the addresses listed"};
    return false;
  };
}

// A run of 1 to 5 decimal digits, as a number.
bool SmallWhole(const std::string& text, int& n) {
  if (text.empty() || text.size() > 5) return false;
  n = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    n = n * 10 + (c - '0');
  }
  return true;
}

struct KeyRule {
  const char* key;
  Rule rule;
};

const std::vector<KeyRule>& VariableRules() {
  static const std::vector<KeyRule> rules = {
      {"FTPExportDir", NotEmpty()},
      {"NetExportDir", NotEmpty()},
      {"LocalExportDir", NotEmpty()},
      {"FTPImportDir", NotEmpty()},
      {"MaxUsers", WholeIn(1, 1000, "a number of users")},
      {"MaxFileLength", WholeIn(0, 2147483647, "a length in bytes")},
      {"ExpireSeconds", NumberAtLeast(0)},
      {"Port", WholeIn(1, 65535, "a port number")},
      {"LinkNotifyItemArray", NotEmpty()},
      {"Autostart", NumericSwitch(true)},
      {"KeepInputFiles", Switch()},
      {"ModernClients", Switch()},
      {"LogSecrets", Switch()},
      {"FTPConnectLimit", Limit("60")},
      {"FTPIdleLimit", Limit("120")},
      {"FtpLoginSeconds", NumberAtLeast(0)},
      {"FtpIdleSeconds", NumberAtLeast(0)},
      {"MaxPerAddress", WholeIn(0, 1000, "a number of sessions")},
      {"PassivePorts", PortRange()},
      {"PassiveAddress", Address()},
      {"MetricsPath", MetricsPathRule()},
      {"MetricsFrom", AddressList()},
  };
  return rules;
}

// Keys of a served program's or program topic's section that are read as numbers.
const std::vector<KeyRule>& ProgramRules() {
  static const std::vector<KeyRule> rules = {
      {"AutoStart", NumericSwitch(true)}, {"ReturnHasPassword", NumericSwitch(true)},
      {"OverflowOK", NumericSwitch(false)}, {"referer", NumericSwitch(false)},
      {"sendhost", NumericSwitch(false)}, {"DeleteFile", NumericSwitch(true)},
      {"KeepRunning", NumericSwitch(false)}, {"RestartAfter", NumberAtLeast(0)},
  };
  return rules;
}

// Sections looked up by key that the checks leave alone.
bool FreeSection(const std::string& section) {
  return Same(section, "Topics") || Same(section, "MimeTypes") || Same(section, "MacTypes") ||
         Same(section, "supercededby");
}

const KeyRule* Find(const std::vector<KeyRule>& rules, const std::string& key) {
  for (const KeyRule& r : rules)
    if (Same(key, r.key)) return &r;
  return nullptr;
}

bool CheckDrive(const IniFile::Entry& e, Verdict& v) {
  if (e.key.size() != 1 || !std::isalpha(static_cast<unsigned char>(e.key[0]))) {
    v = {"is not a drive letter", "nothing (ignored)"};
    return false;
  }
  if (e.value.empty()) {
    v = {"names no folder", "the drives root"};
    return false;
  }
  return true;
}

// [FtpUsers] name = crypt(3) hash. A value crypt cannot use matches no
// password: that name cannot log in.
bool CheckFtpUser(const IniFile::Entry& e, Verdict& v) {
  std::string why = CryptHashProblem(e.value);
  if (why.empty()) return true;
  v = {why, "no login for " + e.key};
  return false;
}

bool CheckEntry(const IniFile::Entry& e, Verdict& v) {
  if (Same(e.section, "Variables")) {
    const KeyRule* r = Find(VariableRules(), e.key);
    if (!r) {
      v = {"is not a setting korvane reads", "nothing (ignored)"};
      return false;
    }
    return r->rule(e.value, v);
  }
  if (Same(e.section, "Drives")) return CheckDrive(e, v);
  if (Same(e.section, "FtpUsers")) return CheckFtpUser(e, v);
  if (FreeSection(e.section)) return true;
  const KeyRule* r = Find(ProgramRules(), e.key);
  return !r || r->rule(e.value, v);
}

// What a report shows of a value: password hashes (or passwords written
// where a hash belongs) stay out of the log.
std::string Shown(const IniFile::Entry& e, const std::string& value) {
  return Same(e.section, "FtpUsers") ? std::string("(hidden)") : value;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool PassivePortRange(const std::string& value, int& low, int& high) {
  size_t dash = value.find('-');
  if (dash == std::string::npos) return false;
  int a = 0, b = 0;
  if (!SmallWhole(value.substr(0, dash), a) || !SmallWhole(value.substr(dash + 1), b)) return false;
  if (a < 1 || b > 65535 || a > b) return false;
  low = a;
  high = b;
  return true;
}

bool DottedAddress(const std::string& value) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    size_t dot = value.find('.', at);
    std::string part = value.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
    int n = 0;
    if (part.size() > 3 || !SmallWhole(part, n) || n > 255) return false;
    ++parts;
    if (dot == std::string::npos) break;
    at = dot + 1;
  }
  return parts == 4;
}

bool MetricsPathValid(const std::string& value) {
  if (value.size() < 2 || value[0] != '/' || value.size() > 200) return false;
  for (char c : value)
    if (c == '?' || static_cast<unsigned char>(c) <= ' ' || c == 127) return false;
  return true;
}

bool IpAddress(const std::string& value) {
  unsigned char buf[16];
  return inet_pton(AF_INET, value.c_str(), buf) == 1 || inet_pton(AF_INET6, value.c_str(), buf) == 1;
}

std::vector<ConfigProblem> CheckConfig(const IniFile& ini) {
  std::vector<ConfigProblem> problems;
  std::map<std::string, const IniFile::Entry*> first;  // section + key → where it is read from
  const std::vector<IniFile::Entry> entries = ini.Entries();
  for (const IniFile::Entry& e : entries) {
    auto [it, fresh] = first.emplace(Lower(e.section) + "\n" + Lower(e.key), &e);
    if (!fresh) {
      problems.push_back({e.line, e.section, e.key, Shown(e, e.value), Shown(e, Quoted(it->second->value)),
                          "repeats the key of line " + std::to_string(it->second->line)});
      continue;
    }
    Verdict v;
    if (!CheckEntry(e, v)) problems.push_back({e.line, e.section, e.key, Shown(e, e.value), v.used, v.why});
  }
  return problems;
}

std::string DescribeProblem(const std::string& file, const ConfigProblem& p) {
  return file + " line " + std::to_string(p.line) + ": [" + p.section + "] " + p.key + "=" + p.found + " " +
         p.why + "; using " + p.used;
}

}  // namespace korvane
