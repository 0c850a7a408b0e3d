// ipc_probe: a console tool that speaks the client's local IPC protocol and
// looks at its windows from outside. Every command answers with one line,
// "ok ..." or "err ...", so a script (or a test) can run many commands in one
// process: `ipc_probe script` reads commands from standard input. Here: the
// options, the help text, the session settings, and the table that hands each
// command to its group (probe_command.h); serve and floor run windows of
// their own.
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "floor_window_win32.h"
#include "probe_command.h"
#include "probe_session_win32.h"
#include "probe_text.h"
#include "stub_window_win32.h"

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
    "  reserve COMMITTED|off   request areas made with SEC_RESERVE, only their first\n"
    "                      COMMITTED bytes committed (0: none); the probe lays requests out\n"
    "                      in a copy and never touches the uncommitted pages itself\n"
    "\n"
    "exit codes: 0 ok; 1 a command failed (err); 2 usage error; 3 the window answered a\n"
    "request with 0. In script mode: 0 when every command answered ok, else 1.\n";

// Session settings (mainly for scripts).
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

Reply CmdReserve(ProbeSession& s, const Args& a) {
  uint64_t v = 0;
  if (a.words.size() == 1 && a.words[0] == "off") {
    SetReservedAreas(s, false, 0);
    return Ok("off");
  }
  if (a.words.size() != 1 || !ParseUnsigned(a.words[0], 0x40000000, &v)) return Usage("reserve COMMITTED|off");
  SetReservedAreas(s, true, size_t(v));
  return Ok(std::to_string(v));
}

Reply CmdEcho(ProbeSession&, const Args& a) { return Ok(a.rest); }

Reply CmdHelp(ProbeSession&, const Args&) {
  return Ok("commands: find wait-window info wait-gone command command-sync close windows wait-box press-ok "
            "event-open event-wait event-close read write raw req bench latency mapsize reserve timeout send-timeout echo "
            "quit "
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
    {"reserve", CmdReserve},
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
