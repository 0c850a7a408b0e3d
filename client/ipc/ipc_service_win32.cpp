// Stand-in until the request walker lands.
#include "ipc/ipc_service_win32.h"

LRESULT HandleIpcRequest(ATOM) { return 0; }
