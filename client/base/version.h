// The program's version text, as the settings file, the request log, the
// status window and the Info dialog show it.
#pragma once

#include "base/version_numbers.h"

inline constexpr char kVersionText[] = KV_VERSION_TEXT;
