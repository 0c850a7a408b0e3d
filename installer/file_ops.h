// The four file-system operations the installer needs. The install logic
// sees paths only as text and reaches the disk through this interface alone,
// so it runs the same on scratch folders as on a real X-Plane installation.
// Every operation answers 1 for success and 0 for failure; none throws.
#pragma once

#include <string>

class FileOps {
 public:
  virtual ~FileOps() = default;
  // 1 when a file or folder of that name exists. A folder is tested with
  // its trailing backslash.
  virtual int Exists(const std::string& path) = 0;
  // Deletes one file.
  virtual int Delete(const std::string& path) = 0;
  // Creates one folder whose parent exists.
  virtual int CreateFolder(const std::string& path) = 0;
  // Copies one file, replacing a file of the destination's name.
  virtual int Copy(const std::string& from, const std::string& to) = 0;
};
