#include "base/file_replace.h"

#include <cstdio>

bool ReplaceFileWith(const char* from, const char* to) { return std::rename(from, to) == 0; }
