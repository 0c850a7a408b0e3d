// The program's version text, as the settings file, the request log, the
// status window and the Info dialog show it.
#pragma once

inline constexpr char kVersionText[] = "2.0.0.0";
