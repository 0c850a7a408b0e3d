// The control channel of the simulated server: command lines that arrive
// while it runs, either appended to a file that it follows or typed on
// standard input (read by a thread of its own, which the program leaves
// blocked at exit). Only whole lines are handed out, in arrival order.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct ControlChannel {
  std::string path;     // followed file; empty for standard input or none
  FILE* file = nullptr;
  long position = 0;    // bytes of the file already read
  std::string partial;  // a line still waiting for its end
  bool useStdin = false;
};

// Opens the channel: "-" is standard input, anything else a file that is
// created empty when missing and followed from its start. Returns 1, or 0
// when the file can be neither opened nor created.
int OpenControl(ControlChannel& c, const std::string& where);

// Appends every whole line that arrived since the last call to lines.
void PollControl(ControlChannel& c, std::vector<std::string>* lines);

void CloseControl(ControlChannel& c);

// Splits text into whole lines (without their "\n" or "\r\n") appended to
// lines; a trailing piece without "\n" stays in partial for the next call.
void TakeLines(std::string& partial, const char* text, size_t size, std::vector<std::string>* lines);
