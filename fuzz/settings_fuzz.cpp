// The settings reader and writer on any file contents. Each input becomes the
// settings file; both addresses are read from it, one is written back through
// the temporary copy, and both are read again. A plain file loads or misses a
// key, nothing else; the addresses must stay NUL-terminated inside their
// 100-byte buffers whatever the file holds, and the sanitizers catch any
// access out of bounds on the way.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "shell/settings.h"

namespace {

void CheckTerminated(const char* text) {
  if (std::memchr(text, '\0', kAddressTextSize) == nullptr) std::abort();
}

}  // namespace

// Settings paths follow the Windows rules (the writer's temporary copy turns
// '/' into '\'), so the files live in a scratch folder that becomes the
// working folder, under a plain name, as the client keeps them. (So give the
// harness its corpus folders and artifact prefix as absolute paths.)
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/kv_settings_fuzz_XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) std::abort();
  std::snprintf(settingsPath, sizeof settingsPath, "Kestrovaline.ini");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(settingsPath, "wb");
  if (file == nullptr) return 0;
  std::fwrite(data, 1, size, file);
  std::fclose(file);

  NetworkSettings network;
  const Status loaded = LoadNetworkSettings(&network);
  if (!loaded.ok() && loaded.outcome() != Outcome::kBadInput) std::abort();
  CheckTerminated(network.thisPc);
  CheckTerminated(network.server);

  if (!WriteSettingsEntry(kServerAddressKey, "10.0.0.2").ok()) return 0;
  LoadNetworkSettings(&network);
  CheckTerminated(network.thisPc);
  CheckTerminated(network.server);
  return 0;
}
