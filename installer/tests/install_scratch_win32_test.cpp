// The install logic with the real Windows file operations on scratch folders
// below the temporary folder: names match without regard to case, copies are
// byte for byte, a leftover that cannot be deleted stops the install, and a
// package started through another spelling of the plug-in folder is known by
// its files' identity.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "file_ops_win32.h"
#include "install_plan.h"
#include "installer_state.h"

namespace {

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<none>";
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool FileThere(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// Entries of a folder, "." and ".." aside: a leftover that survived beside
// its replacement shows up here, whatever the case of its name.
int CountEntries(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE h = FindFirstFileA((folder + "*").c_str(), &found);
  if (h == INVALID_HANDLE_VALUE) return 0;
  int n = 0;
  do {
    const std::string name = found.cFileName;
    n += name != "." && name != "..";
  } while (FindNextFileA(h, &found));
  FindClose(h);
  return n;
}

// Contents that a text-mode copy or a copy stopping at NUL would change.
std::string PackageBytes(int i) {
  std::string bytes = "file " + std::to_string(i) + "\r\n\n";
  bytes += std::string("\0\x1a\xff\r", 4);
  for (int n = 0; n < 70000; ++n) bytes += char(n * 7 + i);
  return bytes;
}

// One scratch tree: a package folder and an X-Plane main folder.
class Scratch : public testing::Test {
 protected:
  std::string root, package, sim, plugins, plugin;
  Win32FileOps ops;

  void SetUp() override {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    static int serial = 0;
    root = std::string(temp) + "kv_installer_" + std::to_string(GetCurrentProcessId()) + "_" +
           std::to_string(serial++) + "\\";
    package = root + "package\\";
    sim = root + "X-Plane 12\\";
    plugins = sim + "Resources\\plugins\\";
    plugin = plugins + "TARNEX\\";
    for (const std::string& f : {root, package, package + "32\\", package + "64\\", sim, sim + "Resources\\", plugins})
      ASSERT_TRUE(CreateDirectoryA(f.c_str(), nullptr)) << f;
    for (int i = 0; i < kPackageFileCount; ++i) WriteFile(package + kPackageFiles[i], PackageBytes(i));
    WriteFile(sim + "X-Plane.exe", "MZ");
  }

  void TearDown() override { RemoveTree(root); }

  static void RemoveTree(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((folder + "*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
      do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = folder + name;
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
          RemoveTree(path + "\\");
        else
          DeleteFileA(path.c_str());
      } while (FindNextFileA(h, &found));
      FindClose(h);
    }
    RemoveDirectoryA(folder.c_str());
  }

  InstallerState Chosen(const std::string& path) {
    InstallerState state;
    EXPECT_EQ(1, LoadPackage(state, ops, package + "TARNEX_Install.exe"));
    EXPECT_EQ(FolderChoice::kAccepted, ChooseSimFolder(state, ops, {1, path}));
    return state;
  }

  void ExpectInstalled() {
    for (int i = 0; i < kPackageFileCount; ++i)
      EXPECT_TRUE(ReadFile(plugin + kPackageFiles[i]) == PackageBytes(i)) << kPackageFiles[i];
  }

  void MakePluginFolders() {
    for (const std::string& f : {plugin, plugin + "32\\", plugin + "64\\"}) CreateDirectoryA(f.c_str(), nullptr);
  }
};

TEST_F(Scratch, FirstInstallCopiesByteForByte) {
  ASSERT_EQ(1, Install(Chosen(sim), ops));
  ExpectInstalled();
  for (int i = 0; i < kPackageFileCount; ++i)  // the package is left as it was
    EXPECT_TRUE(ReadFile(package + kPackageFiles[i]) == PackageBytes(i));
}

TEST_F(Scratch, RepeatedInstallMatchesLeftoversInAnyCase) {
  MakePluginFolders();
  const std::vector<std::string> leftovers = {
      plugins + "TARNEX.XPL", plugins + "tarnexoffsets.CFG", sim + "TARNEX.INI",        sim + "Tarnex.Log",
      sim + "tarnex.TXT",     plugin + "Win.Xpl",            plugin + "TARNEXOFFSETS.cfg", plugin + "32\\WIN.XPL",
      plugin + "64\\win.XPL"};
  for (const std::string& path : leftovers) WriteFile(path, "old");
  WriteFile(plugin + "tarnex.INI", "[edited by the user]");
  const std::vector<std::string> others = {plugin + "64\\Kestrovaline.ini", plugin + "64\\Kestrovaline.txt",
                                           plugin + "64\\Kestrovaline.log", plugins + "other.xpl",
                                           sim + "Log.txt"};
  for (const std::string& path : others) WriteFile(path, "keep");

  ASSERT_EQ(1, Install(Chosen(sim), ops));
  ExpectInstalled();
  for (const std::string& path : others) EXPECT_EQ("keep", ReadFile(path)) << path;
  EXPECT_EQ(5, CountEntries(plugin));  // win.xpl, TARNEX.ini, TARNEXOffsets.cfg, 32, 64
  EXPECT_EQ(1, CountEntries(plugin + "32\\"));
  EXPECT_EQ(4, CountEntries(plugin + "64\\"));
  EXPECT_EQ(3, CountEntries(sim));  // X-Plane.exe, Log.txt, Resources
  for (int i = 0; i < 5; ++i) EXPECT_FALSE(FileThere(DeleteList(sim, plugins)[i])) << i;
}

// A leftover that cannot be deleted, read-only or open without delete
// sharing: the install fails there, and what was done before it stays done.
TEST_F(Scratch, UndeletableLeftoverStopsTheInstall) {
  const std::vector<std::string> list = DeleteList(sim, plugins);
  for (const bool readOnly : {true, false}) {
    SCOPED_TRACE(readOnly ? "read-only" : "in use");
    MakePluginFolders();
    for (const std::string& path : list) WriteFile(path, "old");
    const std::string& locked = list[6];  // TARNEX\TARNEX.ini
    HANDLE open = INVALID_HANDLE_VALUE;
    if (readOnly)
      SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_READONLY);
    else
      open = CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);

    const InstallerState state = Chosen(sim);
    EXPECT_EQ(0, Install(state, ops));
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(i >= 6, FileThere(list[i])) << list[i];
    EXPECT_TRUE(InstallEnabled(state));

    if (readOnly)  // once the cause is gone, the same state installs
      SetFileAttributesA(locked.c_str(), FILE_ATTRIBUTE_NORMAL);
    else
      CloseHandle(open);
    EXPECT_EQ("old", ReadFile(locked));
    EXPECT_EQ(1, Install(state, ops));
    ExpectInstalled();
  }
}

// The package lies in the plug-in folder and is started through another
// spelling of it: a path through "..", and the folder's short 8.3 name where
// the file system gives one. The installer must know its own files by their
// identity and keep them.
TEST_F(Scratch, PackageStartedThroughAnotherSpellingOfThePluginFolderStays) {
  std::vector<std::string> spellings = {plugins + "..\\plugins\\TARNEX\\"};
  MakePluginFolders();
  char shortName[MAX_PATH];
  const DWORD n = GetShortPathNameA(plugin.c_str(), shortName, MAX_PATH);
  if (n > 0 && n < MAX_PATH && std::string(shortName) != plugin) spellings.push_back(shortName);
  for (const std::string& spelling : spellings) {
    SCOPED_TRACE(spelling);
    for (int i = 0; i < kPackageFileCount; ++i) WriteFile(plugin + kPackageFiles[i], PackageBytes(i));
    FileIdentity same, other, again;
    ASSERT_EQ(1, ops.Identity(plugin + "win.xpl", &same));
    ASSERT_EQ(1, ops.Identity(spelling + "win.xpl", &again));
    ASSERT_EQ(1, ops.Identity(plugin + "TARNEX.ini", &other));
    EXPECT_TRUE(same == again);
    EXPECT_FALSE(same == other);
    EXPECT_EQ(0, ops.Identity(plugin + "no such file", &other));

    InstallerState state;
    ASSERT_EQ(1, LoadPackage(state, ops, spelling + "TARNEX_Install.exe"));
    ASSERT_EQ(FolderChoice::kAccepted, ChooseSimFolder(state, ops, {1, sim}));
    EXPECT_EQ(1, Install(state, ops));
    ExpectInstalled();
  }
  std::printf("spellings tried: %zu\n", spellings.size());
}

}  // namespace
