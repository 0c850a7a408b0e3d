// The install logic over an in-memory disk that matches names without regard
// to case, as the Windows file system does, that can reach one folder through
// other spellings (short names, junctions, subst drives, network paths) and
// that can be told to refuse the n-th change it is asked for.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "install_plan.h"
#include "installer_state.h"
#include "path_text.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

std::string Parent(const std::string& path) {
  const size_t end = path.size() - (path.back() == '\\' ? 1 : 0);
  return path.substr(0, path.rfind('\\', end - 1) + 1);
}

class FakeDisk final : public FileOps {
 public:
  struct Entry {
    bool folder = false;
    bool readOnly = false;
    std::string content;
    uint64_t index = 0;  // the file's own number on its volume
  };
  std::map<std::string, Entry> entries;  // by lower-case path; folders end in a backslash
  std::vector<std::string> changes;      // "delete P", "mkdir P", "copy A > B", as done
  int refuseChange = -1;                 // index of the change to refuse, -1 none
  std::vector<std::pair<std::string, std::string>> aliases;  // another spelling of a folder, and the folder

  FakeDisk() { entries[Lower("C:\\")].folder = true; }

  void Folder(const std::string& path) { entries[Key(path)].folder = true; }
  void File(const std::string& path, const std::string& content = "x", bool readOnly = false) {
    entries[Key(path)] = Entry{false, readOnly, content, ++lastIndex};
  }
  const Entry* Find(const std::string& path) const {
    auto it = entries.find(Key(path));
    return it == entries.end() ? nullptr : &it->second;
  }
  // The entry's key: its lower-case path, with another spelling of a folder
  // replaced by the folder.
  std::string Key(const std::string& path) const {
    const std::string lower = Lower(path);
    for (const auto& [alias, folder] : aliases)
      if (lower.rfind(Lower(alias), 0) == 0) return Lower(folder) + lower.substr(alias.size());
    return lower;
  }
  bool IsFile(const std::string& path) const { return Find(path) && !Find(path)->folder; }
  std::string Content(const std::string& path) const { return IsFile(path) ? Find(path)->content : "<none>"; }

  int Exists(const std::string& path) override {
    if (path.empty()) return 0;
    const Entry* e = Find(path);
    if (path.back() == '\\') return e && e->folder;
    return e != nullptr;
  }
  int Delete(const std::string& path) override {
    const Entry* e = Find(path);
    if (!e || e->folder || e->readOnly || !Allow("delete " + path)) return 0;
    entries.erase(Key(path));
    return 1;
  }
  int CreateFolder(const std::string& path) override {
    if (Find(path) || !Exists(Parent(path)) || !Allow("mkdir " + path)) return 0;
    Folder(path);
    return 1;
  }
  int Copy(const std::string& from, const std::string& to) override {
    const Entry* dest = Find(to);
    if (!IsFile(from) || !Exists(Parent(to)) || (dest && (dest->folder || dest->readOnly)) ||
        !Allow("copy " + from + " > " + to))
      return 0;
    File(to, Find(from)->content);
    return 1;
  }
  int Identity(const std::string& path, FileIdentity* id) override {
    const Entry* e = Find(path);
    if (!e || e->folder) return 0;
    id->volumeSerial = uint8_t(Key(path)[0]);  // one volume per drive letter
    id->fileIndex = e->index;
    return 1;
  }

 private:
  uint64_t lastIndex = 0;

  bool Allow(const std::string& change) {
    if (int(changes.size()) == refuseChange) return false;
    changes.push_back(change);
    return true;
  }
};

const std::string kPackage = "C:\\pkg\\";
const std::string kSim = "C:\\X-Plane 12\\";
const std::string kPlugins = kSim + "Resources\\plugins\\";
const std::string kPlugin = kPlugins + "TARNEX\\";

// A complete package, each file with its own content.
void AddPackage(FakeDisk& disk, const std::string& folder = kPackage) {
  disk.Folder(folder);
  disk.Folder(folder + "32\\");
  disk.Folder(folder + "64\\");
  for (const char* name : kPackageFiles) disk.File(folder + name, std::string("package ") + name);
}

void AddSim(FakeDisk& disk, const std::string& sim = kSim) {
  disk.Folder(sim);
  disk.File(sim + "X-Plane.exe");
  disk.Folder(sim + "Resources\\");
  disk.Folder(sim + "Resources\\plugins\\");
}

InstallerState Accepted(const std::string& package = kPackage) { return {package, kSim, kPlugins}; }

// The changes of an install into a plug-in folder without TARNEX\.
const std::vector<std::string> kFirstInstall = {
    "mkdir " + kPlugin,
    "copy " + kPackage + "win.xpl > " + kPlugin + "win.xpl",
    "copy " + kPackage + "TARNEX.ini > " + kPlugin + "TARNEX.ini",
    "copy " + kPackage + "TARNEXOffsets.cfg > " + kPlugin + "TARNEXOffsets.cfg",
    "mkdir " + kPlugin + "32\\",
    "copy " + kPackage + "32\\win.xpl > " + kPlugin + "32\\win.xpl",
    "mkdir " + kPlugin + "64\\",
    "copy " + kPackage + "64\\win.xpl > " + kPlugin + "64\\win.xpl",
};

TEST(PathText, Cases) {
  using std::string;
  const struct { string in, trimmed, ensured, programFolder; } cases[] = {
      {"", "", "\\", "\\"},
      {"C:\\", "C:\\", "C:\\", "C:\\"},
      {"C:\\pkg", "C:\\pkg", "C:\\pkg\\", "C:\\"},
      {"C:\\pkg\\TARNEX_Install.exe", "C:\\pkg\\TARNEX_Install.exe", "C:\\pkg\\TARNEX_Install.exe\\", "C:\\pkg\\"},
      {string("D:\\sim\0garbage\0", 15), "D:\\sim", string("D:\\sim\0garbage\0\\", 16), "D:\\"},
      {string("\0D:\\", 4), "", string("\0D:\\", 4), string("\0D:\\", 4)},
      {"\\\\server\\share\\", "\\\\server\\share\\", "\\\\server\\share\\", "\\\\server\\share\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(c.trimmed, TrimAtNul(c.in));
    EXPECT_EQ(c.ensured, EnsureBackslash(c.in));
    EXPECT_EQ(c.programFolder, ProgramFolder(c.in));
  }
  EXPECT_TRUE(SamePathText("C:\\Pkg\\WIN.xpl", "c:\\pkg\\win.XPL"));
  EXPECT_FALSE(SamePathText("C:\\pkg\\win.xpl", "C:\\pkg\\win.xp"));
  EXPECT_FALSE(SamePathText("C:\\pkg\\32\\win.xpl", "C:\\pkg\\64\\win.xpl"));
  EXPECT_FALSE(SamePathText("C:\\pkg[", "C:\\pkg{"));  // only letters fold
}

TEST(PackageCheck, EveryFileIsRequired) {
  for (int missing = -1; missing < kPackageFileCount; ++missing) {
    SCOPED_TRACE(missing < 0 ? "none missing" : kPackageFiles[missing]);
    FakeDisk disk;
    AddPackage(disk);
    if (missing >= 0) disk.entries.erase(Lower(kPackage + kPackageFiles[missing]));
    InstallerState state;
    EXPECT_EQ(missing < 0 ? 1 : 0, LoadPackage(state, disk, kPackage + "TARNEX_Install.exe"));
    EXPECT_EQ(kPackage, state.packageFolder);
  }
  FakeDisk only64;  // the five names differ in their folders only
  only64.Folder(kPackage);
  only64.Folder(kPackage + "64\\");
  only64.File(kPackage + "64\\win.xpl");
  InstallerState state;
  EXPECT_EQ(0, LoadPackage(state, only64, kPackage + "TARNEX_Install.exe"));

  FakeDisk root;  // the installer started from a drive root
  AddPackage(root, "C:\\");
  EXPECT_EQ(1, LoadPackage(state, root, "C:\\TARNEX_Install.exe"));
  EXPECT_EQ("C:\\", state.packageFolder);
}

TEST(FolderCheck, Choices) {
  const struct {
    const char* name;
    int chosen;
    const char* path;
    FolderChoice want;
    const char *sim, *plugins;  // after the choice, from an earlier accepted folder "C:\old\"
  } cases[] = {
      {"cancel keeps the earlier folder", 0, "", FolderChoice::kCancelled, "C:\\old\\", "C:\\old\\Resources\\plugins\\"},
      {"main folder", 1, "C:\\X-Plane 12", FolderChoice::kAccepted, "C:\\X-Plane 12\\", "C:\\X-Plane 12\\Resources\\plugins\\"},
      {"path ending in a backslash", 1, "C:\\X-Plane 12\\", FolderChoice::kAccepted, "C:\\X-Plane 12\\", "C:\\X-Plane 12\\Resources\\plugins\\"},
      {"names in another case", 1, "c:\\x-plane 12", FolderChoice::kAccepted, "c:\\x-plane 12\\", "c:\\x-plane 12\\Resources\\plugins\\"},
      {"drive root", 1, "D:\\", FolderChoice::kAccepted, "D:\\", "D:\\Resources\\plugins\\"},
      {"no X-Plane.exe", 1, "C:\\Resources only", FolderChoice::kRejected, "", ""},
      {"no Resources\\plugins\\", 1, "C:\\exe only", FolderChoice::kRejected, "", ""},
      {"plugins is a file", 1, "C:\\plugins file", FolderChoice::kRejected, "", ""},
      {"item without a file-system path", 1, "", FolderChoice::kRejected, "", ""},
      {"folder that does not exist", 1, "C:\\gone", FolderChoice::kRejected, "", ""},
  };
  FakeDisk disk;
  AddSim(disk, "C:\\old\\");
  AddSim(disk);
  AddSim(disk, "D:\\");
  disk.File("\\X-Plane.exe");  // what "\" + name would find on the current drive
  disk.Folder("C:\\Resources only\\");
  disk.Folder("C:\\Resources only\\Resources\\");
  disk.Folder("C:\\Resources only\\Resources\\plugins\\");
  disk.Folder("C:\\exe only\\");
  disk.File("C:\\exe only\\X-Plane.exe");
  disk.Folder("C:\\exe only\\Resources\\");
  disk.Folder("C:\\plugins file\\");
  disk.File("C:\\plugins file\\X-Plane.exe");
  disk.Folder("C:\\plugins file\\Resources\\");
  disk.File("C:\\plugins file\\Resources\\plugins");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    InstallerState state{kPackage, "", ""};
    ASSERT_EQ(FolderChoice::kAccepted, ChooseSimFolder(state, disk, {1, "C:\\old"}));
    EXPECT_EQ(c.want, ChooseSimFolder(state, disk, {c.chosen, c.path}));
    EXPECT_EQ(c.sim, state.simFolder);
    EXPECT_EQ(c.plugins, state.pluginsFolder);
    EXPECT_EQ(*c.sim != '\0', InstallEnabled(state));
    EXPECT_EQ(kPackage, state.packageFolder);
  }
}

TEST(Install, FirstInstallCreatesFoldersBeforeTheirFiles) {
  FakeDisk disk;
  AddPackage(disk);
  AddSim(disk);
  ASSERT_EQ(1, Install(Accepted(), disk));
  EXPECT_EQ(kFirstInstall, disk.changes);
  for (const char* name : kPackageFiles) EXPECT_EQ(std::string("package ") + name, disk.Content(kPlugin + name));
  for (const char* name : kPackageFiles) EXPECT_TRUE(disk.IsFile(kPackage + name)) << name;
}

// Whatever step fails, the install stops there and undoes nothing: the
// changes made are exactly those before the refused one.
TEST(Install, StopsAtTheFailingStepAndUndoesNothing) {
  for (size_t refuse = 0; refuse < kFirstInstall.size(); ++refuse) {
    SCOPED_TRACE(kFirstInstall[refuse]);
    FakeDisk disk;
    AddPackage(disk);
    AddSim(disk);
    disk.refuseChange = int(refuse);
    EXPECT_EQ(0, Install(Accepted(), disk));
    EXPECT_EQ(std::vector<std::string>(kFirstInstall.begin(), kFirstInstall.begin() + refuse), disk.changes);
  }
}

TEST(Install, ReadOnlyLeftoverStopsTheDeletions) {
  const std::vector<std::string> list = DeleteList(kSim, kPlugins);
  for (size_t locked = 0; locked < list.size(); ++locked) {
    SCOPED_TRACE(list[locked]);
    FakeDisk disk;
    AddPackage(disk);
    AddSim(disk);
    disk.Folder(kPlugin);
    disk.Folder(kPlugin + "32\\");
    disk.Folder(kPlugin + "64\\");
    for (const std::string& path : list) disk.File(path, "old", path == list[locked]);
    const InstallerState state = Accepted();
    EXPECT_EQ(0, Install(state, disk));
    for (size_t i = 0; i < list.size(); ++i) EXPECT_EQ(i >= locked, disk.IsFile(list[i])) << list[i];
    EXPECT_EQ(locked, disk.changes.size()) << "nothing copied";
    EXPECT_TRUE(InstallEnabled(state));
  }
}

TEST(Install, MissingPiecesFail) {
  {
    FakeDisk disk;  // a package file gone since start-up
    AddPackage(disk);
    AddSim(disk);
    disk.entries.erase(disk.Key(kPackage + "32\\win.xpl"));
    EXPECT_EQ(0, Install(Accepted(), disk));
    EXPECT_EQ(std::vector<std::string>(kFirstInstall.begin(), kFirstInstall.begin() + 5), disk.changes);
  }
  {
    FakeDisk disk;  // the plug-ins folder gone since it was accepted
    AddPackage(disk);
    disk.Folder(kSim);
    EXPECT_EQ(0, Install(Accepted(), disk));
    EXPECT_TRUE(disk.changes.empty());
  }
  {
    FakeDisk disk;  // no folder accepted
    AddPackage(disk);
    AddSim(disk);
    EXPECT_EQ(0, Install(InstallerState{kPackage, "", ""}, disk));
    EXPECT_TRUE(disk.changes.empty());
  }
}

// A package started from where it installs to must not delete itself.
TEST(Install, PackageInsideTheTargetKeepsItsFiles) {
  for (const std::string& package : {kPlugin, kPlugins, Lower(kPlugin)}) {
    SCOPED_TRACE(package);
    FakeDisk disk;
    AddSim(disk);
    AddPackage(disk, package);
    EXPECT_EQ(1, Install(Accepted(package), disk));
    for (const char* name : kPackageFiles) {
      EXPECT_EQ(std::string("package ") + name, disk.Content(package + name)) << name;
      EXPECT_EQ(std::string("package ") + name, disk.Content(kPlugin + name)) << name;
    }
  }
}

// Started from the plug-in folder through another spelling of it, the
// installer still knows its own files: by their identity, not by the text of
// their paths. Otherwise it deletes them and then fails to copy them, and the
// user is left with neither the old plug-in nor the new.
TEST(Install, PackageReachedThroughAnotherSpellingKeepsItsFiles) {
  const struct { const char* name; std::string package, folder; } cases[] = {
      {"short 8.3 names", "C:\\XPLANE~1\\RESOUR~1\\plugins\\TARNEX\\", kPlugin},
      {"a junction", "C:\\tarnex-link\\", kPlugin},
      {"a subst drive", "T:\\", kPlugin},
      {"a network path", "\\\\pc\\x-plane\\Resources\\plugins\\TARNEX\\", kPlugin},
      {"the plug-ins folder by a short name", "C:\\XPLANE~1\\RESOUR~1\\plugins\\", kPlugins},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDisk disk;
    AddSim(disk);
    AddPackage(disk, c.folder);
    disk.aliases.push_back({c.package, c.folder});
    ASSERT_TRUE(disk.IsFile(c.package + "win.xpl"));
    EXPECT_EQ(1, Install(Accepted(c.package), disk));
    for (const char* name : kPackageFiles) {
      EXPECT_EQ(std::string("package ") + name, disk.Content(c.folder + name)) << name;
      EXPECT_EQ(std::string("package ") + name, disk.Content(kPlugin + name)) << name;
    }
    for (const std::string& change : disk.changes) EXPECT_NE(0u, change.rfind("delete ", 0)) << change;
  }
  // A file of the same name and content elsewhere is not the package's: a
  // leftover in the plug-in folder still goes.
  FakeDisk disk;
  AddSim(disk);
  AddPackage(disk);
  disk.Folder(kPlugin);
  disk.File(kPlugin + "win.xpl", "package win.xpl");
  EXPECT_EQ(1, Install(Accepted(), disk));
  EXPECT_EQ("delete " + kPlugin + "win.xpl", disk.changes.at(0));
}

}  // namespace
