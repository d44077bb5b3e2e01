// The configuration store: an INI file read and written as the gateway
// relies on. Section and key names compare without case, values are trimmed
// and cut at 499 characters, a write replaces or adds one key and leaves
// every other line as it was, and a write is never half done (new file,
// then rename).
#pragma once
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane {

class IniFile {
 public:
  explicit IniFile(std::string host_path) : path_(std::move(host_path)) {}

  // Value of section/key, or dflt when the file, section or key is missing.
  std::string Get(const std::string& section, const std::string& key,
                  const std::string& dflt = "") const;

  // Key names of a section in file order; their joined length (each with a
  // terminating NUL) is limited to 499 characters as a 500-byte buffer holds.
  std::vector<std::string> Keys(const std::string& section) const;

  // Writes one key, creating the file and section when missing. Lines are
  // written with CR LF ends. Returns false when the file could not be written.
  bool Set(const std::string& section, const std::string& key, const std::string& value);

  // Every key line of the file as Get reads it, with its 1-based line
  // number, in file order (a repeated key appears each time; Get takes the
  // first).
  struct Entry {
    std::string section, key, value;
    int line = 0;
  };
  std::vector<Entry> Entries() const;

  const std::string& path() const { return path_; }

  static constexpr size_t kMaxValue = 499;

  // The file as last read: its lines, and the value Get finds for each key.
  struct Contents {
    std::vector<std::string> lines;
    std::unordered_map<std::string, std::string> values;
  };

 private:
  std::shared_ptr<const Contents> Read() const;
  std::string path_;
};

}  // namespace korvane
