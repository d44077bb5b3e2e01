// The upload store: the body of a PUT, collected in the session's temporary
// file, is copied to its destination under C:\temp and the client gets one
// bare status line.
#include "web/upload_store.h"

#include "core/http_answer.h"
#include "core/primitives.h"
#include "core/sessions.h"

namespace korvane {
namespace {

// Moves the collected body into place (see Files::Place: the destination
// is never seen half written) and removes the temporary file. The
// temporary file is removed even when the move failed, so nothing of a
// refused upload is left over.
bool StoreBody(Files& files, const std::string& tempfile, const std::string& path) {
  // An empty name would stand for the home folder itself.
  bool ok = !tempfile.empty() && files.IsFile(tempfile) && files.Place(tempfile, path);
  if (!ok && !tempfile.empty()) files.Remove(tempfile);
  return ok;
}

}  // namespace

asio::awaitable<void> WWW_PutFIle(Gateway& g, int index, std::string destination) {
  SessionRecord* r = g.Record(index);
  if (!r) co_return;
  std::string path = destination;
  ReplaceAll(path, "/", "\\");
  if (StoreBody(g.files, r->tempfile, path)) {
    r->success = 200;
    co_await SendAnswer(g, index, kCreated, "200 OK");
  } else {
    co_await SendAnswer(g, index, kServerError, "515 Can't " + Trim(r->request));
  }
  co_await EndSession(g, index, "WWW_PutFIle");
}

}  // namespace korvane
