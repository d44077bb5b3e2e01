// The hooks through which lower layers reach the handlers above them.
#pragma once
#include "core/hooks.h"

namespace korvane {

// Every hook wired to its handler: what the gateway runs with.
Hooks GatewayHooks();

}  // namespace korvane
