// The configuration store's single accessor: load (0), save (1) and lookup
// (2, section "|" key in ConfigQuery, the value back in ConfigQuery).
#pragma once
#include <string>

#include "core/gateway.h"

namespace korvane {

void ConfigAccess(Gateway& g, int mode);

// Lookup convenience: ConfigAccess mode 2 on "section|key".
std::string ConfigLookup(Gateway& g, const std::string& query);

// [Drives] letter = host folder: maps drive letters elsewhere than the drives root.
void LoadDriveMappings(Gateway& g);

// Save Configuration menu.
void mnuSaveConfig_Click(Gateway& g);

}  // namespace korvane
