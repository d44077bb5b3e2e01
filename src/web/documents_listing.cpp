// Directory listings: an HTML page of a folder's entries, folders as
// absolute links (they are listings again), files relative to the page.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <string_view>

#include "core/primitives.h"
#include "platform/text.h"
#include "web/documents.h"

namespace korvane {
namespace {

char Fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// A file pattern as the directory search reads it: "*" any run, "?" one
// character, no regard to case; "*.*" is every name, with a dot or not.
bool Matches(const std::string& name, const std::string& pattern) {
  if (pattern == "*.*" || pattern == "*") return true;
  size_t n = 0, p = 0, star = std::string::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(name[n]))) {
      ++n, ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The listing's entries: folders as "." + name, files as name, lower case,
// in ascending order (so folders come first).
asio::awaitable<std::vector<std::string>> CollectEntries(Gateway& g, const std::string& folder,
                                                         const std::string& pattern) {
  std::vector<std::string> entries;
  for (const DirEntry& e : g.files.List(folder)) {
    if (e.name.empty() || e.name[0] == '.' || !Matches(e.name, pattern)) continue;
    // Only a plain folder (no other attribute, such as read-only) is
    // listed as a folder.
    bool plain_folder = e.is_dir && !e.readonly;
    std::string entry = plain_folder ? "." : "";
    entry += Lower(e.name);
    entries.push_back(std::move(entry));
    co_await YieldOnce(g);
  }
  std::sort(entries.begin(), entries.end());
  co_return entries;
}

// A Host value that can stand in a link as it is: a name or address and a
// port, nothing that could end the attribute or the tag.
bool UsableHost(const std::string& host) {
  if (host.empty() || host.size() > 255) return false;
  for (char c : host) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && std::string_view(".-_:[]").find(c) == std::string_view::npos)
      return false;
  }
  return true;
}

// Where the listing's links point. By default the machine's address, as
// the listing always had (the links then work on port 80 only). For today's
// clients: the host and port the client asked for, else the address and
// port this connection reached.
std::string LinkOrigin(Gateway& g, int i) {
  if (!g.ModernClients) return "http://" + g.CommandSock(0).LocalAddress();
  const SessionRecord* r = g.Record(i);
  if (r && UsableHost(r->host)) return "http://" + r->host;
  SocketControl& sock = g.CommandSock(i);
  std::string address = sock.LocalAddress();
  if (address.find(':') != std::string::npos) address = "[" + address + "]";
  return "http://" + address + ":" + Num(sock.LocalPortNow());
}

std::string ListingPage(const std::string& base, const std::string& rel, const std::string& pattern,
                        const std::vector<std::string>& entries, const std::string& crlf, bool modern) {
  // The base element as it always was, unclosed, or well formed.
  std::string page = "<html><head><base href='" + base + rel + (modern ? "/.'>" : "/.'</base>") + "</head>" + crlf;
  page += "<h3>Directory of " + rel + "/" + pattern + "</h3><pre>" + crlf;
  size_t slash = rel.rfind('/');
  std::string up = slash == std::string::npos ? "" : rel.substr(0, slash + 1);
  if (up.find("/dir/") != std::string::npos) page += "<br><a href='" + base + up + "'>Up one level</a>" + crlf;
  for (std::string e : entries) {
    if (!e.empty() && e[0] == '.') e = base + rel + "/" + e.substr(1) + "/";
    page += "<br><a href='" + e + "'>" + e + "</a>" + crlf;
  }
  page += "</html>" + crlf;
  return page;
}

}  // namespace

asio::awaitable<void> MakeDirectoryListing(Gateway& g, int i, std::string path) {
  SessionRecord* r = g.Record(i);
  if (!r) co_return;
  const std::string tempfile = r->tempfile;
  g.files.Remove(tempfile);
  ListBox& list = g.DirListOf(i);
  list.Clear();

  std::string folder = path, pattern;
  if ((!path.empty() && path.back() == '\\') || path.find_first_of("?*") != std::string::npos) {
    size_t last = path.rfind('\\');
    folder = last == std::string::npos ? "" : path.substr(0, last);
    pattern = last == std::string::npos ? path : path.substr(last + 1);
  }
  if (pattern.empty()) pattern = "*.*";

  for (const std::string& e : co_await CollectEntries(g, folder, pattern)) list.AddItem(e);

  std::string rel = folder;
  ReplaceAll(rel, "c:\\export", "");
  std::replace(rel.begin(), rel.end(), '\\', '/');
  std::string page = ListingPage(LinkOrigin(g, i), rel, pattern, list.Lines(), g.CRLF, g.ModernClients);
  list.Clear();
  g.files.WriteAll(tempfile, page);
}

}  // namespace korvane
