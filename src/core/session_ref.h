// A reference to one session: its slot and the generation the slot had
// while the session was current. Every wait that resumes later (a blocked
// send, an FTP transfer, a link answer, a program run, template filling,
// the expiry sweep's reply) keeps one and asks Gateway::Holds() before it
// touches the slot again. The generation changes at every open and every
// end, so a slot ended and given to the next client meanwhile answers
// false and nothing meant for the old session reaches the new one.
#pragma once
#include <cstdint>

namespace korvane {

struct SessionRef {
  int slot = 0;
  uint64_t generation = 0;
};

}  // namespace korvane
