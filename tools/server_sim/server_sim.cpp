// server_sim: a stand-in for the simulator's server plug-in, for testing the
// client and local add-ons without a simulator. See --help.
#include <cstdio>
#include <cstdlib>

#include "sim_options.h"
#include "sim_server.h"

int main(int argc, char** argv) {
  SimOptions options;
  char error[kOptionErrorSize];
  switch (ParseOptions(argc, argv, &options, error)) {
    case kOptionsHelp:
      std::fputs(HelpText().c_str(), stdout);
      return 0;
    case kOptionsError:
      std::fprintf(stderr, "server_sim: %s\n", error);
      return 2;
  }
  const int code = RunServer(options);
  // A thread reading the control lines from standard input may still be
  // blocked there, holding stdin's lock: flush only the output streams (not
  // fflush(nullptr), which would wait for that lock) and end without it.
  std::fflush(stdout);
  std::fflush(stderr);
  if (options.control == "-") std::_Exit(code);
  return code;
}
