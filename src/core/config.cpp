#include "core/config.h"

#include <strings.h>

#include <cmath>
#include <map>
#include <mutex>

#include "core/config_check.h"
#include "core/primitives.h"
#include "platform/clock.h"
#include "platform/ini_file.h"

namespace korvane {
namespace {

// The configuration file's host path is mapped once it exists: each request
// looks up several keys, and the name never moves while the gateway runs.
IniFile Ini(Gateway& g) {
  // The last answer on this thread first: a request asks several times.
  struct Last {
    std::string home, ini, host;
  };
  thread_local Last last;
  if (!last.host.empty() && last.ini == g.IniPath && last.home == g.files.home()) return IniFile(last.host);
  static std::mutex m;
  static std::map<std::string, std::string> hosts;  // home and IniPath → host path
  std::string key = g.files.home() + '\n' + g.IniPath;
  {
    std::lock_guard<std::mutex> lock(m);
    auto it = hosts.find(key);
    if (it != hosts.end()) {
      last = Last{g.files.home(), g.IniPath, it->second};
      return IniFile(it->second);
    }
  }
  FileInfo info;
  if (!g.files.Stat(g.IniPath, info)) return IniFile(info.host);
  std::lock_guard<std::mutex> lock(m);
  hosts[key] = info.host;
  last = Last{g.files.home(), g.IniPath, info.host};
  return IniFile(info.host);
}

// Each value the gateway cannot take as written is logged once, at load.
void ReportProblems(Gateway& g, const IniFile& ini) {
  for (const ConfigProblem& p : CheckConfig(ini)) LogEvent(g, &g.List1, "warning: " + DescribeProblem(ini.path(), p));
}

void Load(Gateway& g) {
  IniFile ini = Ini(g);
  auto get = [&](const char* key, const char* dflt) { return ini.Get("Variables", key, dflt); };
  g.FTPExportDir = get("FTPExportDir", "c:\\export");
  g.NetExportDir = get("NetExportDir", "c:\\export");
  g.ExportDirectory.SetText(g.NetExportDir);
  g.LocalExportDir = get("LocalExportDir", "c:\\export");
  g.FTPImportDir = get("FTPImportDir", "c:\\import");
  g.maxusers.SetText(get("MaxUsers", "10"));
  g.MaxFileLength = static_cast<int32_t>(RoundHalfEven(Val(get("MaxFileLength", "1500000"))));
  g.FtpLoginSeconds = Val(get("FtpLoginSeconds", "60"));
  g.FtpIdleSeconds = Val(get("FtpIdleSeconds", "300"));
  g.MaxPerAddress = static_cast<int>(Val(get("MaxPerAddress", "0")));
  g.txtTime.SetText(get("ExpireSeconds", "20"));
  g.txtport.SetText(get("Port", "80"));
  g.lnkItem.SetText(get("LinkNotifyItemArray", "lnkWWW"));
  g.LogSecrets = get("LogSecrets", "0") == "1";
  g.ModernClients = Trim(get("ModernClients", "0")) == "1";
  const std::string metricsPath = Trim(get("MetricsPath", ""));
  g.MetricsPath = MetricsPathValid(metricsPath) ? metricsPath : "";
  g.MetricsFrom = get("MetricsFrom", "");

  std::string topics;
  for (const std::string& key : ini.Keys("Topics")) {
    if (key.empty()) break;
    topics += " " + key + "|" + ini.Get("Topics", key, "") + " ";
  }
  g.lnkTopic.SetText(topics);
  LoadFtpUsers(g);
  ReportProblems(g, ini);
}

// Each saved value is a field of exactly 100 characters.
std::string Field(const std::string& value) {
  std::string f = value.substr(0, 100);
  f.resize(100, ' ');
  return f;
}

void Save(Gateway& g) {
  IniFile ini = Ini(g);
  const std::pair<const char*, std::string> values[] = {
      {"FTPExportDir", g.FTPExportDir},
      {"FTPImportDir", g.FTPImportDir},
      {"NetExportDir", g.ExportDirectory.Text()},
      {"LocalExportDir", g.LocalExportDir},
      {"Port", g.txtport.Text()},
      {"MaxUsers", g.maxusers.Text()},
      {"ExpireSeconds", g.txtTime.Text()},
      {"LinkNotifyItemArray", g.lnkItem.Text()},
  };
  for (const auto& [key, value] : values) ini.Set("Variables", key, Field(value));
}

void Lookup(Gateway& g) {
  std::string rest = g.ConfigQuery;
  bool has_key = rest.find('|') != std::string::npos;
  std::string section = NextToken(rest, "|");
  if (!has_key || rest.empty()) {
    g.ConfigQuery = "";
    return;
  }
  g.ConfigQuery = Ini(g).Get(section, rest, "");
}

}  // namespace

void ConfigAccess(Gateway& g, ConfigMode mode) {
  switch (mode) {
    case ConfigMode::kLoad: Load(g); break;
    case ConfigMode::kSave: Save(g); break;
    case ConfigMode::kLookup: Lookup(g); break;
  }
}

std::string ConfigLookup(Gateway& g, const std::string& query) {
  g.ConfigQuery = query;
  ConfigAccess(g, ConfigMode::kLookup);
  return g.ConfigQuery;
}

void LoadDriveMappings(Gateway& g) {
  IniFile ini = Ini(g);
  for (const std::string& key : ini.Keys("Drives")) {
    if (key.size() != 1 || !std::isalpha(static_cast<unsigned char>(key[0]))) continue;
    std::string dir = ini.Get("Drives", key, "");
    if (dir.empty()) continue;
    if (dir[0] != '/') dir = g.opts.home + "/" + dir;
    g.files.MapDrive(key[0], dir);
  }
}

// Every key of the section, not Keys(): its 499-character cut would drop
// accounts. A repeated name counts once, as Get reads it.
void LoadFtpUsers(Gateway& g) {
  g.FtpUsers.clear();
  for (const IniFile::Entry& e : Ini(g).Entries()) {
    if (strcasecmp(e.section.c_str(), "FtpUsers") != 0 || e.key.empty()) continue;
    bool listed = false;
    for (const auto& [name, hash] : g.FtpUsers) listed = listed || strcasecmp(name.c_str(), e.key.c_str()) == 0;
    if (!listed) g.FtpUsers.emplace_back(e.key, e.value);
  }
}

void mnuSaveConfig_Click(Gateway& g) { ConfigAccess(g, ConfigMode::kSave); }

}  // namespace korvane
