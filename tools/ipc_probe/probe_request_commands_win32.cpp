// The probe's request commands: one read, write or raw record, or a list of
// records in one request, laid out in the session's request area and sent
// to the window; the reply describes what came back.
#include <string>
#include <vector>

#include "probe_command.h"
#include "probe_session_win32.h"
#include "probe_text.h"
#include "request_records.h"

namespace {

// Lays the request out, sends it and describes the answer.
Reply Exchange(ProbeSession& s, ProbeRequest& request, uint32_t* result, std::string* records) {
  std::string error;
  if (!PrepareArea(s, RequestBytes(request), &error)) return Failed(error);
  if (!EncodeRequest(&request, s.area, s.areaSize, &error)) return Failed(error);
  if (!SendRequest(s, result, &error)) return Failed(error);
  *records = DescribeRecords(request, s.area, s.areaSize);
  return Ok("");
}

Reply Answer(uint32_t result, const std::string& text) {
  return {result ? Outcome::kOk : Outcome::kRefused, "result=" + std::to_string(result) + text};
}

Reply CmdRecord(ProbeSession& s, const Args& a, const char* verb) {
  std::vector<std::string> words = a.words;
  words.insert(words.begin(), verb);
  ProbeRequest request;
  std::string error;
  request.records.emplace_back();
  if (!ParseRecord(words, &request.records[0], &error)) return Usage(error);
  uint32_t result = 0;
  std::string records;
  Reply r = Exchange(s, request, &result, &records);
  if (r.outcome != Outcome::kOk) return r;
  const ProbeRecord& rec = request.records[0];
  if (rec.kind == ProbeRecord::kRead) {
    const uint8_t* data = s.area + rec.at + kReadHeadSize;
    std::string text = " hex=" + HexBytes(data, rec.size);
    if (rec.type != ValueType::kNone) text += " value=" + FormatValue(rec.type, data);
    return Answer(result, text);
  }
  return Answer(result, records == "w" ? "" : " " + records);
}

}  // namespace

Reply CmdRead(ProbeSession& s, const Args& a) { return CmdRecord(s, a, "read"); }
Reply CmdWrite(ProbeSession& s, const Args& a) { return CmdRecord(s, a, "write"); }
Reply CmdRaw(ProbeSession& s, const Args& a) { return CmdRecord(s, a, "raw"); }

Reply CmdReq(ProbeSession& s, const Args& a) {
  ProbeRequest request;
  std::string error;
  if (!ParseRequest(a.rest, &request, &error)) return Usage(error);
  uint32_t result = 0;
  std::string records;
  Reply r = Exchange(s, request, &result, &records);
  if (r.outcome != Outcome::kOk) return r;
  return Answer(result, records.empty() ? "" : " " + records);
}
