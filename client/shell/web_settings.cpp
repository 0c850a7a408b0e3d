// The gateway's settings and its write key.
#include "shell/web_settings.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "shell/settings.h"
#include "web/web_access.h"

namespace {

bool IsSeparator(char c) { return c == ',' || c == ' ' || c == '\t'; }

std::vector<std::string> SplitOrigins(const char* text) {
  std::vector<std::string> out;
  for (const char* p = text; *p != '\0';) {
    while (*p != '\0' && IsSeparator(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsSeparator(*p)) ++p;
    if (p != start) out.emplace_back(start, size_t(p - start));
  }
  return out;
}

std::string Trimmed(const char* text) {
  std::string s(text);
  const size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::string WriteKeyPath() {
  const std::string settings(settingsPath);
  const size_t slash = settings.find_last_of("\\/");
  return (slash == std::string::npos ? std::string() : settings.substr(0, slash + 1)) + kWriteKeyFileName;
}

Status LoadOrMakeWriteKey(const std::string& path, std::string* key) {
  key->clear();
  if (FILE* in = std::fopen(path.c_str(), "rb")) {
    char line[128] = "";
    const bool read = std::fgets(line, sizeof line, in) != nullptr;
    std::fclose(in);
    if (read) *key = Trimmed(line);
    if (!key->empty()) return Status::Done();
  }
  const std::string made = MakeWriteKey();
  FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return Status::Failure(Outcome::kCannotOpen, "Can't create %s: %s", path.c_str(), std::strerror(errno));
  const bool written = std::fprintf(out, "%s\r\n", made.c_str()) > 0;
  if (std::fclose(out) != 0 || !written)
    return Status::Failure(Outcome::kFailed, "Can't write %s: %s", path.c_str(), std::strerror(errno));
  *key = made;
  return Status::Done();
}

GatewaySettings LoadGatewaySettings(Status* keyStatus) {
  GatewaySettings settings;
  int32_t port = settings.port;
  char origins[kSettingsLineSize] = "";
  const SettingsEntry table[] = {{"Port", &port, kSettingsInt, sizeof port},
                                 {"Origins", origins, kSettingsText, sizeof origins},
                                 {nullptr, nullptr, 0, 0}};
  int assigned = 0;
  ReadSettingsEntries(table, &assigned, kWebSection);  // a missing file or section keeps the defaults
  if (port >= 0 && port <= 65535) settings.port = uint16_t(port);
  settings.origins = SplitOrigins(origins);
  *keyStatus = LoadOrMakeWriteKey(WriteKeyPath(), &settings.key);
  return settings;
}
