// Answer files: the pages a served program hands to the gateway by name.
#pragma once
#include <string>

namespace korvane::tools {

// Writes the content under a temporary name and renames it into place, so
// the gateway never reads a half-written answer, and one still being sent
// keeps its old content. Returns the file's path; throws std::system_error.
std::string PublishAnswer(const std::string& dir, const std::string& name,
                          const std::string& content);

// Moves a finished file into place under the name, in the same folder.
std::string PublishAnswerFile(const std::string& dir, const std::string& name,
                              const std::string& finished_path);

// Text safe to put into an HTML page.
std::string HtmlEscape(const std::string& text);

// A minimal page for answers that report a failure; detail, when given,
// is shown as preformatted text (a program's last lines of output).
std::string ErrorPage(const std::string& title, const std::string& message,
                      const std::string& detail = "");

}  // namespace korvane::tools
