// ipc_probe: a console tool that speaks the client's local IPC protocol and
// looks at its windows from outside. Every command answers with one line,
// "ok ..." or "err ...", so a script (or a test) can run many commands in one
// process: `ipc_probe script` reads commands from standard input.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "floor_window_win32.h"
#include "latency_stats.h"
#include "process_stats_win32.h"
#include "probe_session_win32.h"
#include "probe_text.h"
#include "probe_timing_win32.h"
#include "request_records.h"
#include "stub_window_win32.h"
#include "window_ops_win32.h"

namespace {

const char kHelp[] =
    "usage: ipc_probe [options] COMMAND [ARGS...]\n"
    "       ipc_probe [options] script      commands from standard input, one answer line each\n"
    "       ipc_probe serve [class=NAME] [result=N] [map|dump]\n"
    "                                      a bare window that answers every request with N\n"
    "                                      (default 1) and no work; map: after opening and mapping\n"
    "                                      the request area; dump: printing each request area\n"
    "\n"
    "Talks to the Kestrovaline window (class FS98MAIN, or UIPCMAIN in plug-in mode) the\n"
    "way a local add-on program does. Every command prints one line: \"ok ...\" or \"err ...\".\n"
    "\n"
    "options:\n"
    "  --class NAME        window class to talk to (default: FS98MAIN, else UIPCMAIN)\n"
    "  --timeout MS        how long to wait for windows, boxes and the event (default 10000)\n"
    "  --send-timeout MS   how long to wait for the answer to one message (default 10000)\n"
    "  --map-size BYTES    size of the request mapping (default: 64 KB, growing as needed)\n"
    "  -h, --help          this text\n"
    "\n"
    "windows:\n"
    "  find [CLASS]                      the window, now (\"any\": FS98MAIN or UIPCMAIN)\n"
    "  wait-window [CLASS] [MS]          wait for the window to appear\n"
    "  info                              describe the window\n"
    "  process                           what the window's process uses: private bytes,\n"
    "                                    working set, handles\n"
    "  wait-gone [MS]                    wait for the window to go away\n"
    "  command ID                        post WM_COMMAND ID (104 Info, 105 Exit, 111/112 logging)\n"
    "  command-sync ID                   send WM_COMMAND ID and wait until it was handled\n"
    "  close                             post WM_CLOSE\n"
    "  windows [CLASS]                   list top-level windows (JSON)\n"
    "  wait-box [CAPTION] [MS]           wait for a message box; prints its texts\n"
    "  press-ok [CAPTION] [MS]           press OK on a message box\n"
    "  event-open [NAME] [MS]            open the named event (default IPCEvent), waiting for it\n"
    "  event-wait [MS]                   wait until the opened event is signalled\n"
    "  event-close                       close it\n"
    "\n"
    "requests (\"ok result=R ...\": R is the window's answer, 1 done, 0 refused):\n"
    "  read OFFSET SIZE                  raw bytes            e.g. read 0x0274 2\n"
    "  read OFFSET TYPE                  a typed value        e.g. read 0x0BC8 s32\n"
    "  write OFFSET TYPE VALUE           e.g. write 0x0100 u16 1234\n"
    "  write OFFSET hex BYTES            e.g. write 0x0100 hex D204\n"
    "  raw KIND OFFSET SIZE [BYTES]      one record head of any kind, then exactly BYTES\n"
    "  req [noend] [fill=XX] RECORD; RECORD; ...\n"
    "                                    several records in one request; each RECORD is a\n"
    "                                    read, write or raw as above. noend leaves out the 0\n"
    "                                    kind that ends the list; fill=XX fills the rest of\n"
    "                                    the mapping. Answers r=HEX per read, w per write,\n"
    "                                    k=KIND per raw record (its kind word afterwards)\n"
    "  bench N [reads=40] [sizes=1-8] [writes=0] [wsize=4] [woffset=0x0100]\n"
    "                                    N requests of that mix; prints requests per second\n"
    "                                    and p50/p99 latency in microseconds\n"
    "  latency OFFSET PERIOD_US N        N reads of a 32-bit counter that the server moves by\n"
    "                                    one every PERIOD_US; prints how much later than the\n"
    "                                    quickest one each new value became visible (p50/p99;\n"
    "                                    local_p99: against the quickest within half a second)\n"
    "  timed N [reads=40] [sizes=1-8] [writes=1] [woffset=0x0100] [first=1] log=PATH\n"
    "                                    bench with wall-clock stamps: request i writes the 4-byte\n"
    "                                    value first+i; PATH gets VALUE SENT_NS ROUNDTRIP_NS RESULT\n"
    "  fresh OFFSET N log=PATH           N reads of a 32-bit value; PATH gets VALUE SEEN_NS for\n"
    "                                    each new value\n"
    "  TYPE is one of u8 u16 u32 u64 s8 s16 s32 s64 f32 f64; numbers are decimal or 0x-hex.\n"
    "\n"
    "session (mainly for scripts):\n"
    "  mapsize BYTES|auto  timeout MS  send-timeout MS  echo TEXT  help  quit\n"
    "\n"
    "exit codes: 0 ok; 1 a command failed (err); 2 usage error; 3 the window answered a\n"
    "request with 0. In script mode: 0 when every command answered ok, else 1.\n";

enum class Outcome { kOk, kFailed, kUsage, kRefused };

struct Reply {
  Outcome outcome;
  std::string text;
};

Reply Ok(std::string text) { return {Outcome::kOk, std::move(text)}; }
Reply Failed(std::string text) { return {Outcome::kFailed, std::move(text)}; }
Reply Usage(std::string text) {
  return {Outcome::kUsage, text.rfind("usage: ", 0) == 0 ? std::move(text) : "usage: " + std::move(text)};
}

// Arguments of one command: the words after the command word, and the same
// text unsplit (requests split it at ';' themselves).
struct Args {
  std::vector<std::string> words;
  std::string rest;
};

bool IsNumber(const std::string& w) {
  uint64_t v;
  return ParseUnsigned(w, UINT32_MAX, &v);
}

// "[NAME] [MS]": a lone number is the time limit.
void NameAndWait(const Args& a, std::string* name, uint32_t* waitMs) {
  std::vector<std::string> w = a.words;
  uint64_t v = 0;
  if (!w.empty() && ParseUnsigned(w.back(), UINT32_MAX, &v) && (w.size() == 2 || IsNumber(w[0]))) {
    *waitMs = uint32_t(v);
    w.pop_back();
  }
  if (!w.empty()) *name = w[0];
}

Reply DoFind(ProbeSession& s, const Args& a, bool wait) {
  if (a.words.size() > (wait ? 2u : 1u)) return Usage(wait ? "wait-window [CLASS] [MS]" : "find [CLASS]");
  std::string cls = s.windowClass;
  uint32_t waitMs = wait ? s.waitMs : 0;
  NameAndWait(a, &cls, &waitMs);
  if (cls == "any") cls.clear();
  HWND w = PollFor(waitMs, [&cls] { return FindClientWindow(cls); });
  if (!w) return Failed("no window of class " + (cls.empty() ? std::string("FS98MAIN or UIPCMAIN") : cls));
  s.window = w;
  s.windowClass = cls;
  return Ok(DescribeWindow(w));
}

Reply CmdFind(ProbeSession& s, const Args& a) { return DoFind(s, a, false); }
Reply CmdWaitWindow(ProbeSession& s, const Args& a) { return DoFind(s, a, true); }

Reply CmdInfo(ProbeSession& s, const Args& a) {
  if (!a.words.empty()) return Usage("info");
  std::string error;
  if (!EnsureWindow(s, &error)) return Failed(error);
  return Ok(DescribeWindow(s.window));
}

Reply CmdProcess(ProbeSession& s, const Args& a) {
  if (!a.words.empty()) return Usage("process");
  std::string error, text;
  if (!EnsureWindow(s, &error) || !DescribeProcessUse(s.window, &text, &error)) return Failed(error);
  return Ok(text);
}

Reply CmdWaitGone(ProbeSession& s, const Args& a) {
  uint64_t waitMs = s.waitMs;
  if (a.words.size() > 1 || (a.words.size() == 1 && !ParseUnsigned(a.words[0], UINT32_MAX, &waitMs)))
    return Usage("wait-gone [MS]");
  if (!s.window) return Failed("no window found yet");
  if (!WaitWindowGone(s.window, uint32_t(waitMs)))
    return Failed("window still there after " + std::to_string(waitMs) + " ms");
  s.window = nullptr;
  return Ok("gone");
}

Reply SendCommand(ProbeSession& s, const Args& a, bool sync) {
  uint64_t id = 0;
  if (a.words.size() != 1 || !ParseUnsigned(a.words[0], 0xFFFF, &id))
    return Usage(sync ? "command-sync ID" : "command ID");
  std::string error;
  if (!EnsureWindow(s, &error)) return Failed(error);
  if (!sync) {
    if (!PostMessageA(s.window, WM_COMMAND, MAKEWPARAM(id, 0), 0))
      return Failed("PostMessageA failed (error " + std::to_string(GetLastError()) + ")");
    return Ok("posted " + std::to_string(id));
  }
  DWORD_PTR answer = 0;
  if (!SendMessageTimeoutA(s.window, WM_COMMAND, MAKEWPARAM(id, 0), 0, SMTO_NORMAL, s.sendMs, &answer))
    return Failed("command " + std::to_string(id) + " not handled within " + std::to_string(s.sendMs) + " ms");
  return Ok("handled " + std::to_string(id));
}

Reply CmdCommand(ProbeSession& s, const Args& a) { return SendCommand(s, a, false); }
Reply CmdCommandSync(ProbeSession& s, const Args& a) { return SendCommand(s, a, true); }

Reply CmdClose(ProbeSession& s, const Args& a) {
  if (!a.words.empty()) return Usage("close");
  std::string error;
  if (!EnsureWindow(s, &error)) return Failed(error);
  if (!PostMessageA(s.window, WM_CLOSE, 0, 0))
    return Failed("PostMessageA failed (error " + std::to_string(GetLastError()) + ")");
  return Ok("posted WM_CLOSE");
}

Reply CmdWindows(ProbeSession&, const Args& a) {
  if (a.words.size() > 1) return Usage("windows [CLASS]");
  return Ok(ListWindows(a.words.empty() ? "" : a.words[0]));
}

Reply DoBox(ProbeSession& s, const Args& a, bool press) {
  if (a.words.size() > 2) return Usage(press ? "press-ok [CAPTION] [MS]" : "wait-box [CAPTION] [MS]");
  std::string caption;
  uint32_t waitMs = s.waitMs;
  NameAndWait(a, &caption, &waitMs);
  HWND box = PollFor(waitMs, [&caption] { return FindDialog(caption); });
  if (!box) return Failed("no message box" + (caption.empty() ? "" : " " + JsonQuote(caption)));
  const std::string described = DescribeWindow(box);
  if (press && !PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))))
    return Failed("PostMessageA failed (error " + std::to_string(GetLastError()) + ")");
  return Ok(described);
}

Reply CmdWaitBox(ProbeSession& s, const Args& a) { return DoBox(s, a, false); }
Reply CmdPressOk(ProbeSession& s, const Args& a) { return DoBox(s, a, true); }

Reply CmdEventOpen(ProbeSession& s, const Args& a) {
  if (a.words.size() > 2) return Usage("event-open [NAME] [MS]");
  std::string name = "IPCEvent";
  uint32_t waitMs = s.waitMs;
  NameAndWait(a, &name, &waitMs);
  if (s.event) CloseHandle(s.event);
  // The client creates its event after its window appears: keep trying.
  const ULONGLONG deadline = GetTickCount64() + waitMs;
  while (!(s.event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str()))) {
    if (GetTickCount64() >= deadline) return Failed("no event " + JsonQuote(name) + " after " + std::to_string(waitMs) + " ms");
    Sleep(20);
  }
  return Ok("opened " + JsonQuote(name));
}

Reply CmdEventWait(ProbeSession& s, const Args& a) {
  uint64_t waitMs = s.waitMs;
  if (a.words.size() > 1 || (a.words.size() == 1 && !ParseUnsigned(a.words[0], UINT32_MAX, &waitMs)))
    return Usage("event-wait [MS]");
  if (!s.event) return Failed("no event opened (event-open first)");
  const DWORD r = WaitForSingleObject(s.event, DWORD(waitMs));
  if (r == WAIT_OBJECT_0) return Ok("signalled");
  if (r == WAIT_TIMEOUT) return Failed("not signalled within " + std::to_string(waitMs) + " ms");
  return Failed("WaitForSingleObject failed (error " + std::to_string(GetLastError()) + ")");
}

Reply CmdEventClose(ProbeSession& s, const Args& a) {
  if (!a.words.empty()) return Usage("event-close");
  if (s.event) CloseHandle(s.event);
  s.event = nullptr;
  return Ok("closed");
}

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

Reply CmdBench(ProbeSession& s, const Args& a) {
  const char* usage = "bench N [reads=40] [sizes=1-8] [writes=0] [wsize=4] [woffset=0x0100]";
  uint64_t n = 0, reads = 40, minSize = 1, maxSize = 8, writes = 0, wsize = 4, woffset = 0x0100;
  if (a.words.empty() || !ParseUnsigned(a.words[0], 100000000, &n) || n == 0) return Usage(usage);
  for (size_t i = 1; i < a.words.size(); ++i) {
    const std::string& w = a.words[i];
    const size_t eq = w.find('=');
    const std::string key = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
    bool good = false;
    if (key == "reads") good = ParseUnsigned(value, 4000, &reads);
    if (key == "writes") good = ParseUnsigned(value, 2000, &writes);
    if (key == "wsize") good = ParseUnsigned(value, 16000, &wsize) && wsize > 0;
    if (key == "woffset") good = ParseUnsigned(value, kImageSize - 1, &woffset);
    if (key == "sizes") {
      const size_t dash = value.find('-');
      good = dash != std::string::npos && ParseUnsigned(value.substr(0, dash), 4096, &minSize) &&
             ParseUnsigned(value.substr(dash + 1), 4096, &maxSize) && minSize >= 1 && minSize <= maxSize;
    }
    if (!good) return Usage(usage);
  }
  ProbeRequest request = MakeBenchRequest(uint32_t(reads), uint32_t(minSize), uint32_t(maxSize), uint32_t(writes),
                                         uint32_t(wsize), uint32_t(woffset));
  std::string error;
  if (!PrepareArea(s, RequestBytes(request), &error) || !EncodeRequest(&request, s.area, s.areaSize, &error) ||
      !EnsureWindow(s, &error))
    return Failed(error);
  LARGE_INTEGER frequency, start, before, after;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> latencies;
  latencies.reserve(n);
  uint64_t answeredOne = 0;
  QueryPerformanceCounter(&start);
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t result = 0;
    QueryPerformanceCounter(&before);
    if (!SendRequest(s, &result, &error)) return Failed("request " + std::to_string(i + 1) + ": " + error);
    QueryPerformanceCounter(&after);
    latencies.push_back(double(after.QuadPart - before.QuadPart) * 1e6 / double(frequency.QuadPart));
    answeredOne += result == 1;
  }
  const double seconds = double(after.QuadPart - start.QuadPart) / double(frequency.QuadPart);
  return Ok("requests=" + std::to_string(n) + " answered1=" + std::to_string(answeredOne) + " bytes=" +
            std::to_string(RequestBytes(request)) + " " + FormatSummary(Summarize(std::move(latencies), seconds)));
}

// Reads a 32-bit counter that moves by one every periodUs on the server and
// takes, for each new value, the time it became visible here minus the time
// the server set it (v x periodUs, up to a constant): a value counts as
// visible when the read that found it returned. The constant is taken from
// the quickest value of the run (p50/p99) and, in a second figure, from the
// quickest value within half a second (local_p99), which a stall of the
// sender (after which its schedule restarts later) does not shift for good.
Reply CmdLatency(ProbeSession& s, const Args& a) {
  const char* usage = "latency OFFSET PERIOD_US N";
  uint64_t offset = 0, n = 0;
  double periodUs = 0;
  if (a.words.size() != 3 || !ParseUnsigned(a.words[0], kImageSize - 4, &offset) ||
      !ParseReal(a.words[1], &periodUs) || periodUs <= 0 || !ParseUnsigned(a.words[2], 100000000, &n) || n < 2)
    return Usage(usage);
  ProbeRequest request;
  request.records.emplace_back();
  request.records[0].offset = uint32_t(offset);
  request.records[0].size = 4;
  std::string error;
  if (!PrepareArea(s, RequestBytes(request), &error) || !EncodeRequest(&request, s.area, s.areaSize, &error) ||
      !EnsureWindow(s, &error))
    return Failed(error);
  LARGE_INTEGER frequency, now;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> lateness, setAt;
  uint32_t last = 0;
  for (uint64_t i = 0; i < n; ++i) {
    uint32_t result = 0;
    if (!SendRequest(s, &result, &error)) return Failed("read " + std::to_string(i + 1) + ": " + error);
    QueryPerformanceCounter(&now);
    const uint8_t* p = s.area + kReadHeadSize;
    const uint32_t value = p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    if (i > 0 && value != last) {
      setAt.push_back(double(value) * periodUs);
      lateness.push_back(double(now.QuadPart) * 1e6 / double(frequency.QuadPart) - setAt.back());
    }
    last = value;
  }
  if (lateness.empty()) return Failed("the counter at " + Hex32(offset) + " never moved");
  const size_t changes = lateness.size();
  std::vector<double> global(changes), local(changes);
  const double quickest = *std::min_element(lateness.begin(), lateness.end());
  size_t from = 0, to = 0;  // the values set within half a second of value i
  for (size_t i = 0; i < changes; ++i) {
    while (setAt[from] < setAt[i] - 500000) ++from;
    while (to < changes && setAt[to] <= setAt[i] + 500000) ++to;
    global[i] = lateness[i] - quickest;
    local[i] = lateness[i] - *std::min_element(lateness.begin() + from, lateness.begin() + to);
  }
  const LatencySummary g = Summarize(std::move(global), 0), l = Summarize(std::move(local), 0);
  char text[200];
  std::snprintf(text, sizeof text, "reads=%llu changes=%llu p50_us=%.1f p99_us=%.1f max_us=%.1f local_p99_us=%.1f",
                static_cast<unsigned long long>(n), static_cast<unsigned long long>(changes), g.p50Us, g.p99Us,
                g.maxUs, l.p99Us);
  return Ok(text);
}

Reply FromTiming(const TimingReply& t) {
  switch (t.code) {
    case TimingReply::kOk: return Ok(t.text);
    case TimingReply::kFailed: return Failed(t.text);
    case TimingReply::kUsage: return Usage(t.text);
  }
  return Failed(t.text);
}

Reply CmdTimed(ProbeSession& s, const Args& a) { return FromTiming(RunTimed(s, a.words)); }
Reply CmdFresh(ProbeSession& s, const Args& a) { return FromTiming(RunFresh(s, a.words)); }

Reply SetNumber(const Args& a, const char* usage, uint32_t* target) {
  uint64_t v = 0;
  if (a.words.size() != 1 || !ParseUnsigned(a.words[0], UINT32_MAX, &v)) return Usage(usage);
  *target = uint32_t(v);
  return Ok(a.words[0]);
}

Reply CmdTimeout(ProbeSession& s, const Args& a) { return SetNumber(a, "timeout MS", &s.waitMs); }
Reply CmdSendTimeout(ProbeSession& s, const Args& a) { return SetNumber(a, "send-timeout MS", &s.sendMs); }

Reply CmdMapSize(ProbeSession& s, const Args& a) {
  uint64_t v = 0;
  if (a.words.size() == 1 && a.words[0] == "auto") {
    s.chosenMapSize = 0;
    return Ok("auto");
  }
  if (a.words.size() != 1 || !ParseUnsigned(a.words[0], 0x40000000, &v) || v < 4) return Usage("mapsize BYTES|auto");
  s.chosenMapSize = size_t(v);
  return Ok(std::to_string(v));
}

Reply CmdEcho(ProbeSession&, const Args& a) { return Ok(a.rest); }

Reply CmdHelp(ProbeSession&, const Args&) {
  return Ok("commands: find wait-window info wait-gone command command-sync close windows wait-box press-ok "
            "event-open event-wait event-close read write raw req bench latency mapsize timeout send-timeout echo quit "
            "(ipc_probe --help explains them)");
}

struct CommandRow {
  const char* name;
  Reply (*handler)(ProbeSession&, const Args&);
};

const CommandRow kCommands[] = {
    {"find", CmdFind},
    {"wait-window", CmdWaitWindow},
    {"info", CmdInfo},
    {"process", CmdProcess},
    {"wait-gone", CmdWaitGone},
    {"command", CmdCommand},
    {"command-sync", CmdCommandSync},
    {"close", CmdClose},
    {"windows", CmdWindows},
    {"wait-box", CmdWaitBox},
    {"press-ok", CmdPressOk},
    {"event-open", CmdEventOpen},
    {"event-wait", CmdEventWait},
    {"event-close", CmdEventClose},
    {"read", CmdRead},
    {"write", CmdWrite},
    {"raw", CmdRaw},
    {"req", CmdReq},
    {"bench", CmdBench},
    {"latency", CmdLatency},
    {"timed", CmdTimed},
    {"fresh", CmdFresh},
    {"mapsize", CmdMapSize},
    {"timeout", CmdTimeout},
    {"send-timeout", CmdSendTimeout},
    {"echo", CmdEcho},
    {"help", CmdHelp},
};

Reply Execute(ProbeSession& s, const std::string& command, const Args& args) {
  for (const CommandRow& row : kCommands)
    if (command == row.name) return row.handler(s, args);
  return Usage("unknown command '" + command + "' (ipc_probe --help lists them)");
}

void Print(const Reply& r) {
  const bool ok = r.outcome == Outcome::kOk || r.outcome == Outcome::kRefused;
  std::string line = ok ? "ok" : "err";
  if (!r.text.empty()) line += " " + r.text;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

int ExitCode(Outcome o) {
  switch (o) {
    case Outcome::kOk: return 0;
    case Outcome::kFailed: return 1;
    case Outcome::kUsage: return 2;
    case Outcome::kRefused: return 3;
  }
  return 1;
}

int RunScript(ProbeSession& s) {
  int exitCode = 0;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words[0][0] == '#') continue;  // blank lines and comments get no answer
    if (words[0] == "quit") {
      Print(Ok("bye"));
      break;
    }
    Args args;
    args.words.assign(words.begin() + 1, words.end());
    const size_t start = line.find(words[0]) + words[0].size();
    args.rest = start < line.size() ? line.substr(start + 1) : "";
    const Reply r = Execute(s, words[0], args);
    Print(r);
    if (r.outcome == Outcome::kFailed || r.outcome == Outcome::kUsage) exitCode = 1;
  }
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // "\n" line ends in pipes, as scripts expect
  ProbeSession s;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    const std::string option = argv[i];
    if (option == "-h" || option == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    uint64_t v = 0;
    const bool hasValue = i + 1 < argc;
    const std::string value = hasValue ? argv[i + 1] : "";
    if (option == "--class" && hasValue) {
      s.windowClass = value == "any" ? "" : value;
    } else if (option == "--timeout" && hasValue && ParseUnsigned(value, UINT32_MAX, &v)) {
      s.waitMs = uint32_t(v);
    } else if (option == "--send-timeout" && hasValue && ParseUnsigned(value, UINT32_MAX, &v)) {
      s.sendMs = uint32_t(v);
    } else if (option == "--map-size" && hasValue && ParseUnsigned(value, 0x40000000, &v) && v >= 4) {
      s.chosenMapSize = size_t(v);
    } else {
      std::printf("err usage: bad option '%s' (ipc_probe --help)\n", option.c_str());
      return 2;
    }
    ++i;
  }
  if (i == argc) {
    std::printf("err usage: no command (ipc_probe --help)\n");
    return 2;
  }
  const std::string command = argv[i];
  int exitCode;
  if (command == "script") {
    exitCode = RunScript(s);
  } else if (command == "serve") {
    exitCode = RunStubWindow(std::vector<std::string>(argv + i + 1, argv + argc));
  } else if (command == "floor") {
    exitCode = RunFloorWindow(std::vector<std::string>(argv + i + 1, argv + argc));
  } else {
    Args args;
    for (int k = i + 1; k < argc; ++k) {
      args.words.push_back(argv[k]);
      args.rest += (k > i + 1 ? " " : "") + std::string(argv[k]);
    }
    const Reply r = Execute(s, command, args);
    Print(r);
    exitCode = ExitCode(r.outcome);
  }
  CloseSession(s);
  return exitCode;
}
