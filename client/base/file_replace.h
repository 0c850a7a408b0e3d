// Puts a finished file in the place of another in one step: a reader, or a
// crash, finds either the old file or the new one, never none.
#pragma once

// Renames from over to, replacing to if it exists. False when it could not,
// with errno set; to is then as it was.
bool ReplaceFileWith(const char* from, const char* to);
