// The server's TCP side: the listener, the one client connection at a time
// (a new one replaces the old), whole sends on it, and what it takes from
// it: write batches into the image and the journal, everything else counted
// as bad and journalled. A send that fails or goes out short drops the
// connection. Runs on the server's one thread.
#pragma once

#include <cstdint>

// Starts listening on the server's address, port kServerPort (nothing when
// already listening). 1, or 0 with a problem line when it cannot.
int StartListening();
void StopListening();

// Takes a waiting connection, ending the one before it.
void AcceptConnection();

// Ends the connection: in order (FIN) or by a reset (RST); why goes into the
// event line. Nothing when there is none.
void EndConnection(bool reset, const char* why);

// Sends a whole buffer on the connection. 1, or 0 when there is none or the
// send failed (the connection is then ended).
int SendOnConnection(const uint8_t* data, uint32_t size);

// Where update frames go: --client, else the connected client, else 0.
uint32_t UpdateTarget();

// Takes what has arrived on the connection, a bounded number of receives per
// call, so that sending keeps its pace.
void ReadConnection();
