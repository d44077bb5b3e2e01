#include "channel/head_line.h"

#include "core/session_record.h"
#include "platform/text.h"

namespace korvane {

HeadDecision ClassifyHeadLine(int index, const std::string& line) {
  const std::string idx = '#' + Num(index) + " ";
  const std::string with_len = idx + Num(static_cast<long long>(line.size())) + " " + line;
  if (StartsWith(line, "GET ") || StartsWith(line, "HEAD ")) return {HeadStep::kGetRequest, with_len};
  if (StartsWith(line, "POST ")) return {HeadStep::kFormRequest, with_len};
  if (StartsWith(line, "PUT ")) return {HeadStep::kPutRequest, ""};  // the upload set-up logs
  // "Content-Length:" in any case of its first nine characters.
  if (line.size() >= 15 && line.compare(9, 6, "ength:") == 0) return {HeadStep::kContentLength, with_len};
  if (StartsWith(line, "Content-type:") || StartsWith(line, "Content-Type:"))
    return {HeadStep::kContentType, idx + line};
  if (StartsWith(line, "Host:")) return {HeadStep::kHost, idx + line};
  if (StartsWith(line, "User-Agent:")) return {HeadStep::kUserAgent, idx + line};
  if (StartsWith(line, "Referer:")) return {HeadStep::kReferer, idx + line};
  return {HeadStep::kNone, idx + "unresolved: " + Num(static_cast<long long>(line.size())) + " " + line, false};
}

HeadEnd EndOfHead(int16_t state) {
  switch (state) {
    case kGetHead: return {kGetHead, true};
    case kFormHead: return {kFormBody, false};
    case kPutHead: return {kPutBody, false};
    case kMultipartHead: return {kMultipartBody, false};
    default: return {state, false};
  }
}

bool InBody(int16_t state) { return state == kFormBody || state == kPutBody || state == kMultipartBody; }

}  // namespace korvane
