// Passwords kept as crypt(3) hashes (libcrypt: yescrypt "$y$", SHA-512
// "$6$" and whatever else the system's crypt accepts).
#pragma once
#include <string>

namespace korvane {

// Whether password hashes to hash. Compares in constant time; a password
// with a NUL byte never matches (crypt would see only its start). A
// yescrypt hash at its default cost takes some 50-150 ms of the caller's
// thread.
bool CryptMatches(const std::string& password, const std::string& hash);

// Empty when hash is a complete hash of a current method crypt accepts;
// otherwise why not ("is not a crypt(3) hash", ...). Hashes once to see
// the whole form, so it costs what one CryptMatches does.
std::string CryptHashProblem(const std::string& hash);

}  // namespace korvane
