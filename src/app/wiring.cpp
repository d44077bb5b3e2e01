#include "app/wiring.h"

#include "channel/command_reader.h"
#include "channel/data_events.h"
#include "dde/link_bridge.h"
#include "dde/relay.h"
#include "web/router.h"
#include "web/upload_store.h"

namespace korvane {

Hooks GatewayHooks() {
  Hooks hooks;
  hooks.wireCommandSocket = WireCommandSocket;
  hooks.wireDataSocket = WireDataSocket;
  hooks.wireLinkControl = WireLinkControl;
  hooks.completeRequest = WWW_Process_Request_sendfile;
  hooks.relayLink = WWW_DDE_Request;
  hooks.storeUpload = WWW_PutFIle;
  return hooks;
}

}  // namespace korvane
