// The five file-system operations the installer needs. The install logic
// sees paths only as text and reaches the disk through this interface alone,
// so it runs the same on scratch folders as on a real X-Plane installation.
// Every operation answers 1 for success and 0 for failure; none throws.
#pragma once

#include <cstdint>
#include <string>

// What makes a file itself, whatever path names it: one file has many
// spellings (a short 8.3 name, a junction, a subst drive, a network path).
struct FileIdentity {
  uint32_t volumeSerial = 0;
  uint64_t fileIndex = 0;
  bool operator==(const FileIdentity&) const = default;
};

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
  // Fills *id with the identity of the existing file at path; 0 when there
  // is none or the platform cannot tell.
  virtual int Identity(const std::string& path, FileIdentity* id) = 0;
};
