// The probe's request commands: one read, write or raw record, or a list of
// records in one request, laid out in the session's request area and sent
// to the window; the reply describes what came back.
#include <algorithm>
#include <string>
#include <vector>

#include "probe_command.h"
#include "probe_session_win32.h"
#include "probe_text.h"
#include "request_records.h"

namespace {

// The area as the probe sees it after the request: the mapping itself, or for
// a partly committed area the copy it was laid out in, with the committed part
// taken back from the mapping.
std::vector<uint8_t> staging;

const uint8_t* SeenArea(const ProbeSession& s) { return s.reserved ? staging.data() : s.area; }

// Lays the request out, sends it and describes the answer.
Reply Exchange(ProbeSession& s, ProbeRequest& request, uint32_t* result, std::string* records) {
  std::string error;
  if (!PrepareArea(s, RequestBytes(request), &error)) return Failed(error);
  uint8_t* layout = s.area;
  const size_t committed = s.committed < s.areaSize ? s.committed : s.areaSize;
  if (s.reserved) {
    staging.assign(s.areaSize, 0);
    layout = staging.data();
  }
  if (!EncodeRequest(&request, layout, s.areaSize, &error)) return Failed(error);
  if (s.reserved) std::copy(staging.begin(), staging.begin() + committed, s.area);
  if (!SendRequest(s, result, &error)) return Failed(error);
  if (s.reserved) std::copy(s.area, s.area + committed, staging.begin());
  *records = DescribeRecords(request, SeenArea(s), s.areaSize);
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
    const uint8_t* data = SeenArea(s) + rec.at + kReadHeadSize;
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
