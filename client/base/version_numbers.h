/* Kestrovaline's version, in the two forms its users need: the numbers of a
   version record (the resource compiler reads this file too, so it holds
   plain macros only) and the text the program shows. */
#pragma once

#define KV_VERSION_NUMBERS 2, 0, 0, 0
#define KV_VERSION_TEXT "2.0.0.0"
