// Test helpers for modules that work on real files: a scratch folder of the
// test's own and whole-file reads and writes in binary, so tests see the
// bytes on disk (CR LF included).
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Makes a new folder <temp>/<prefix><pid>_<n> and returns its path ("" on
// failure); <temp> is /tmp, or the user's temp folder under Windows.
inline std::filesystem::path MakeScratchFolder(const char* prefix) {
  static unsigned made = 0;
  std::error_code error;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(error);
  for (int attempt = 0; !error && attempt < 100; ++attempt) {
    std::filesystem::path folder = temp / (prefix + std::to_string(getpid()) + "_" + std::to_string(++made));
    if (std::filesystem::create_directory(folder, error)) return folder;
  }
  return {};
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
