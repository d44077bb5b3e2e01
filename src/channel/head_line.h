// What one line of an HTTP request head means, decided without a session
// or a socket: the command reader logs what the decision says, moves the
// session's state and runs the step it names.
#pragma once
#include <cstdint>
#include <string>

namespace korvane {

enum class HeadStep {
  kNone,           // logged only
  kGetRequest,     // GET or HEAD: the request line is kept
  kFormRequest,    // POST: the request line is kept, the body follows
  kPutRequest,     // PUT: the upload is set up
  kContentLength,
  kContentType,
  kUserAgent,
  kReferer,
  kHost,
};

struct HeadDecision {
  HeadStep step = HeadStep::kNone;
  std::string log;     // the log message
  bool listed = true;  // shown in the event list too, not only in the file
};

// A line of at least five characters outside a body, terminator included;
// index names the session in the log message.
HeadDecision ClassifyHeadLine(int index, const std::string& line);

// A head ends with a line shorter than five characters: the state it moves
// to, and whether the request is complete (a GET or HEAD has no body).
struct HeadEnd {
  int16_t state;
  bool complete;
};
HeadEnd EndOfHead(int16_t state);

bool InBody(int16_t state);

}  // namespace korvane
