// A session's temporary file: made once, kept for the session's lifetime,
// deleted when the session ends and at shutdown.
#include "core/url_utils.h"

namespace korvane {

void MakeTempFileName(Gateway& g, int k) {
  SessionRecord* r = g.Record(k);
  if (!r || !r->tempfile.empty()) return;
  r->tempfile = g.files.TempName("C:\\temp", "~dde").substr(0, 99);
}

}  // namespace korvane
