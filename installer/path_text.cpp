// Path texts of the installer: plain string work, no file-system access.
#include "path_text.h"

#include <cstddef>

std::string TrimAtNul(const std::string& text) {
  const size_t at = text.find('\0');
  return at == std::string::npos ? text : text.substr(0, at);
}

std::string EnsureBackslash(const std::string& text) {
  if (!text.empty() && text.back() == '\\') return text;
  return text + '\\';
}

std::string ProgramFolder(const std::string& programPath) {
  const size_t at = programPath.rfind('\\');
  return EnsureBackslash(at == std::string::npos ? std::string() : programPath.substr(0, at + 1));
}

static char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool SamePathText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}
