// The link's status as web clients see it: the "status" reply's members,
// with what the status window shows (link/link_status.h), and the "link"
// message the serving side sends at a connection's start and on each change.
#pragma once

#include <string>

#include "link/link_status.h"
#include "web/web_values.h"

// Adds to reply: "state", "up", "server", "serverName", the rates and
// counts, and "lines", the window's five lines.
void AddStatusMembers(const LinkStatus& status, Json* reply);

// "http://A.B.C.D:PORT/": where a tablet opens the gateway's pages.
std::string WebAddress(uint32_t address, uint16_t port);

// Adds to reply "web": {"address":WebAddress(...),"key":KEY}; without "key"
// when key is "".
void AddWebMember(uint32_t address, uint16_t port, const std::string& key, Json* reply);

// {"op":"link","up":...,"server":"..."} as text.
std::string LinkMessageText(const LinkStatus& status);

// Whether the status says the link is up, and the server's dotted address
// ("" while none is known), as both of the above give them.
bool StatusUp(const LinkStatus& status);
std::string StatusServer(const LinkStatus& status);
