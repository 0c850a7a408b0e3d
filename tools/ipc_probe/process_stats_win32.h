// What the process behind a window uses, read from outside as a soak test
// samples it: private bytes, working set and the number of open handles, as
// the platform gives them. (Wine 8 gives 0 for the private bytes and the
// handles of another process; its working set is real, and so is the
// count of the process's entries in the system handle table.)
#pragma once

#include <windows.h>

#include <string>

// "pid=N private_bytes=N working_set=N handles=N system_handles=N
// handle_types=TYPE:N,..." for the process that owns window (system_handles
// -1: the table cannot be read; the types are the table's type indexes); false with *error set when the process cannot be asked.
bool DescribeProcessUse(HWND window, std::string* text, std::string* error);
