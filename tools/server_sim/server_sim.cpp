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
  std::fflush(nullptr);
  // A thread reading the control lines from standard input may still be
  // blocked there; end without waiting for it.
  if (options.control == "-") std::_Exit(code);
  return code;
}
