// The configuration store's single accessor: load, save and lookup
// (section "|" key in ConfigQuery, the value back in ConfigQuery).
#pragma once
#include <string>

#include "core/gateway.h"

namespace korvane {

enum class ConfigMode { kLoad, kSave, kLookup };
void ConfigAccess(Gateway& g, ConfigMode mode);

// Lookup convenience: ConfigAccess lookup of "section|key".
std::string ConfigLookup(Gateway& g, const std::string& query);

// [Drives] letter = host folder: maps drive letters elsewhere than the drives root.
void LoadDriveMappings(Gateway& g);

// [FtpUsers]: the accounts FTP logins are checked against (none: any login).
// Read with the rest at load, and again at Reinitialize.
void LoadFtpUsers(Gateway& g);

// Save Configuration menu.
void mnuSaveConfig_Click(Gateway& g);

}  // namespace korvane
