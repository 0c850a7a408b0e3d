// FileOps over the ANSI Windows calls; paths pass through the system's ANSI
// code page, and names match as the file system matches them (without regard
// to case on Windows).
#pragma once

#include "file_ops.h"

class Win32FileOps final : public FileOps {
 public:
  int Exists(const std::string& path) override;
  int Delete(const std::string& path) override;
  int CreateFolder(const std::string& path) override;
  int Copy(const std::string& from, const std::string& to) override;
  int Identity(const std::string& path, FileIdentity* id) override;
};
