// `ipc_probe floor`: the floor that the latency bench holds the client
// against, in the same run on the same machine. A bare window that does what
// serving a request needs and nothing else: open and map the request area,
// serve its reads from an image of its own and apply its writes there, and
// send the write records as one frame with one plain send on a TCP
// connection to a server (TCP_NODELAY and the send time limit set once, the
// data blocks coming back drained unread); update frames arriving on a UDP
// port of its own are applied to the image. No logs, no write shadow, no
// supervisor, no status lines. With pushes=PORT it also serves what web
// clients' pushes would be, bare, from a thread of its own: it takes the
// connections that come to that port and sends BYTES on each every MS (61
// and 50 unless given).
#pragma once

#include <string>
#include <vector>

// floor class=NAME local=ADDR port=PORT server=ADDR [pushes=PORT every=MS bytes=N]
// Runs until the window is closed; returns the process exit code.
int RunFloorWindow(const std::vector<std::string>& args);
