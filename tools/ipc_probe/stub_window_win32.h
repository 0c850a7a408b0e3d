// `ipc_probe serve`: a bare window of the client's class that answers the
// IPC message with a fixed result and no work (with `map`, after opening and
// mapping the request area as every server must; with `dump`, after printing
// the request area). It gives benches and shutdown timings a
// baseline, and lets tests see the exact bytes the probe sends.
#pragma once

#include <string>
#include <vector>

// Runs until the window is closed; returns the process exit code.
int RunStubWindow(const std::vector<std::string>& args);
