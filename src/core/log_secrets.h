// Credentials never reach a log in clear: the values of Authorization,
// Proxy-Authorization and Cookie header lines and the argument of an FTP
// PASS command are written as "***".
#pragma once
#include <string>
#include <string_view>

namespace korvane {

// True when message holds a credential that HideSecrets would hide.
bool HasSecret(std::string_view message);

// message with each credential replaced by "***".
std::string HideSecrets(std::string_view message);

}  // namespace korvane
