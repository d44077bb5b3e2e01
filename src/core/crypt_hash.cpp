#include "core/crypt_hash.h"

#include <crypt.h>

#include <memory>

namespace korvane {
namespace {

// crypt_rn's result for password under the setting (or whole hash) given,
// or empty when crypt refuses the setting. crypt_data is large (some
// 32 KiB): on the heap, one per call, so no state is shared.
std::string Hash(const std::string& password, const std::string& setting) {
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_rn(password.c_str(), setting.c_str(), data.get(), sizeof(crypt_data));
  return out && out[0] != '*' ? std::string(out) : std::string();
}

bool SameInConstantTime(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

bool CryptMatches(const std::string& password, const std::string& hash) {
  if (password.find('\0') != std::string::npos || hash.empty()) return false;
  std::string made = Hash(password, hash);
  return !made.empty() && SameInConstantTime(made, hash);
}

std::string CryptHashProblem(const std::string& hash) {
  if (hash.empty() || hash[0] != '$') return "is not a crypt(3) hash (make one with openssl passwd -6)";
  switch (crypt_checksalt(hash.c_str())) {
    case CRYPT_SALT_OK: break;
    case CRYPT_SALT_METHOD_LEGACY: return "is a hash of a weak method";
    case CRYPT_SALT_TOO_CHEAP: return "is a hash of too few rounds";
    default: return "is not a hash of a method crypt(3) knows";
  }
  // The hash of any password under this one's settings has its form: same
  // settings, hash part of the same length.
  std::string made = Hash("", hash);
  size_t cut = hash.rfind('$');
  if (made.size() != hash.size() || made.compare(0, cut, hash, 0, cut) != 0) return "is not a complete crypt(3) hash";
  return "";
}

}  // namespace korvane
