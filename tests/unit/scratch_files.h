// Test helpers for modules that work on real files: a scratch folder of the
// test's own and whole-file reads and writes in binary, so tests see the
// bytes on disk (CR LF included).
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// Makes a new folder /tmp/<prefix>XXXXXX and returns its path ("" on failure).
inline std::filesystem::path MakeScratchFolder(const char* prefix) {
  std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? std::filesystem::path(pattern) : std::filesystem::path();
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
