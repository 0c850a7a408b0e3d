// The probe's commands: each takes the words after its name and gives one
// reply line, "ok ..." or "err ...", with an outcome that picks the exit
// code. Every command has the same signature, so that the table in
// probe_main_win32.cpp holds them all; the groups live in
// probe_window_commands_win32.cpp (windows, boxes, the event),
// probe_request_commands_win32.cpp (single requests) and
// probe_bench_commands_win32.cpp (runs of requests that are timed). All of
// it runs on the probe's single thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct ProbeSession;

// kRefused: the window answered a request with 0 (printed as "ok", exit 3).
enum class Outcome { kOk, kFailed, kUsage, kRefused };

struct Reply {
  Outcome outcome;
  std::string text;
};

inline Reply Ok(std::string text) { return {Outcome::kOk, std::move(text)}; }
inline Reply Failed(std::string text) { return {Outcome::kFailed, std::move(text)}; }
inline Reply Usage(std::string text) {
  return {Outcome::kUsage, text.rfind("usage: ", 0) == 0 ? std::move(text) : "usage: " + std::move(text)};
}

// Arguments of one command: the words after the command word, and the same
// text unsplit (requests split it at ';' themselves).
struct Args {
  std::vector<std::string> words;
  std::string rest;
};

// Windows, message boxes and the event (probe_window_commands_win32.cpp).
Reply CmdFind(ProbeSession& s, const Args& a);
Reply CmdWaitWindow(ProbeSession& s, const Args& a);
Reply CmdInfo(ProbeSession& s, const Args& a);
Reply CmdProcess(ProbeSession& s, const Args& a);
Reply CmdWaitGone(ProbeSession& s, const Args& a);
Reply CmdCommand(ProbeSession& s, const Args& a);
Reply CmdCommandSync(ProbeSession& s, const Args& a);
Reply CmdClose(ProbeSession& s, const Args& a);
Reply CmdWindows(ProbeSession& s, const Args& a);
Reply CmdWaitBox(ProbeSession& s, const Args& a);
Reply CmdPressOk(ProbeSession& s, const Args& a);
Reply CmdEventOpen(ProbeSession& s, const Args& a);
Reply CmdEventWait(ProbeSession& s, const Args& a);
Reply CmdEventClose(ProbeSession& s, const Args& a);

// One request each (probe_request_commands_win32.cpp).
Reply CmdRead(ProbeSession& s, const Args& a);
Reply CmdWrite(ProbeSession& s, const Args& a);
Reply CmdRaw(ProbeSession& s, const Args& a);
Reply CmdReq(ProbeSession& s, const Args& a);

// Timed runs of many requests (probe_bench_commands_win32.cpp).
Reply CmdBench(ProbeSession& s, const Args& a);
Reply CmdLatency(ProbeSession& s, const Args& a);
Reply CmdTimed(ProbeSession& s, const Args& a);
Reply CmdFresh(ProbeSession& s, const Args& a);
