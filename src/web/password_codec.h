// The password field codec. A plain password never travels on to a served
// program: the router encodes it with the server's own address as the key.
// The encoding is printable (codes 33 to 126), salted with random
// characters, and carries the text's length and a checksum. The length
// travels as one character coded 100 + length, so for texts of 27
// characters and more that one character lies above 126.
#pragma once
#include <string>

#include "core/gateway.h"

namespace korvane {

// The encoded text, or "***CANT ENCODE PASSWORD***".
std::string EncodePassword(Gateway& g, const std::string& text, const std::string& key);

// The decoded text, or "***CANT DECODE PASSWORD***" (wrong key, damaged
// text, checksum mismatch).
std::string DecodePassword(Gateway& g, const std::string& encoded, const std::string& key);

// Appends zero or more odd-coded filler characters to out and returns the
// first even code drawn (not appended): the next salt.
int PasswordFiller(std::string& out);

}  // namespace korvane
