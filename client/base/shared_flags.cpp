#include "base/shared_flags.h"

std::atomic<uint32_t> programRunning{0};
std::atomic<uint32_t> linkUp{0};
