// The probe's window commands: finding the client's window and describing
// it, what its process uses, posting or sending it commands and WM_CLOSE,
// listing windows, waiting for and pressing message boxes, and opening and
// waiting on a named event. Every wait is bounded by the session's time
// limit or the one given.
#include <windows.h>

#include <string>
#include <vector>

#include "probe_command.h"
#include "probe_session_win32.h"
#include "probe_text.h"
#include "process_stats_win32.h"
#include "window_ops_win32.h"

namespace {

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

Reply DoBox(ProbeSession& s, const Args& a, bool press) {
  if (a.words.size() > 2) return Usage(press ? "press-ok [CAPTION] [MS]" : "wait-box [CAPTION] [MS]");
  std::string caption;
  uint32_t waitMs = s.waitMs;
  NameAndWait(a, &caption, &waitMs);
  HWND box = PollFor(waitMs, [&caption] { return FindDialog(caption); });
  if (!box) {
    // Appended rather than " " + JsonQuote(...): in this file MinGW's GCC 12 takes that
    // operator+ for an overlapping copy (-Wrestrict, a false alarm that -Werror makes fatal).
    std::string text = "no message box";
    if (!caption.empty()) text.append(" ").append(JsonQuote(caption));
    return Failed(text);
  }
  const std::string described = DescribeWindow(box);
  if (press && !PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK))))
    return Failed("PostMessageA failed (error " + std::to_string(GetLastError()) + ")");
  return Ok(described);
}

}  // namespace

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
