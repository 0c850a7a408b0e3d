// The IPC service's Win32 side with request areas that an add-on made with
// SEC_RESERVE and committed only in part: the walker is given the committed
// part of the view alone, so a list that runs past it is answered 0 and
// nothing beyond it is read or written. The add-on's view and the client's
// are two views of one mapping in this process, as they are across two.
// Under Wine the uncommitted pages can be read without a fault, which is why
// these cases check what the walker touches, not only that it survives.
#include "ipc/ipc_service_win32.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "base/shared_flags.h"
#include "ipc/offset_image.h"

namespace {

constexpr size_t kPage = 0x1000;
constexpr size_t kAreaSize = 16 * kPage;

int sendCalls = 0;
struct CountingSender final : WriteBatchSender {
  bool LinkUp() override { return true; }
  Outcome Send(const uint8_t*, uint32_t) override {
    ++sendCalls;
    return Outcome::kDone;
  }
} countingSend;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// An add-on's request area: a named mapping of kAreaSize bytes, made with
// SEC_RESERVE unless committed is kAreaSize, with the first `committed` bytes
// committed through the add-on's own view.
struct AddOnArea {
  HANDLE mapping = nullptr;
  uint8_t* view = nullptr;
  ATOM atom = 0;

  explicit AddOnArea(size_t committed) {
    static unsigned serial = 0;
    const std::string name = "KvServiceTest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
    const DWORD flags = committed == kAreaSize ? 0 : SEC_RESERVE;
    mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | flags, 0, DWORD(kAreaSize),
                                 name.c_str());
    if (mapping != nullptr) view = static_cast<uint8_t*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    if (view != nullptr && committed != 0 && committed != kAreaSize)
      if (VirtualAlloc(view, committed, MEM_COMMIT, PAGE_READWRITE) == nullptr) view = nullptr;
    atom = GlobalAddAtomA(name.c_str());
  }
  ~AddOnArea() {
    if (atom != 0) GlobalDeleteAtom(atom);
    if (view != nullptr) UnmapViewOfFile(view);
    if (mapping != nullptr) CloseHandle(mapping);
  }
  bool Ready() const { return view != nullptr && atom != 0; }

  // What the client's own view of the mapping is given to walk.
  size_t ClientViewSize() const {
    void* other = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
    if (other == nullptr) return size_t(-1);
    const size_t size = CommittedViewSize(other);
    UnmapViewOfFile(other);
    return size;
  }
};

class IpcService : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[MAX_PATH];
    ASSERT_NE(0u, GetTempPathA(MAX_PATH, folder));
    const std::string stem = std::string(folder) + "kv_service_" + std::to_string(GetCurrentProcessId());
    eventPath = stem + ".txt";
    requestPath = stem + ".log";
    ASSERT_EQ(1, OpenLogs(eventPath.c_str(), requestPath.c_str()));
    InitOffsetImage();
    sendCalls = 0;
  }
  void TearDown() override {
    CloseEventLog();
    DeleteFileA(eventPath.c_str());
    DeleteFileA(requestPath.c_str());
  }
  std::string eventPath, requestPath;
};

TEST_F(IpcService, TheWalkerIsGivenTheCommittedPagesOnly) {
  const struct { const char* name; size_t committed, given; } cases[] = {
      {"committed whole", kAreaSize, kAreaSize},
      {"nothing committed", 0, 0},
      {"first page committed", kPage, kPage},
      {"three pages committed", 3 * kPage, 3 * kPage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AddOnArea area(c.committed);
    ASSERT_TRUE(area.Ready());
    EXPECT_EQ(c.given, area.ClientViewSize());
  }
}

// The list runs past the committed page: a read whose data does, a write
// whose data does (the image must not take its first bytes either), and a
// list whose end marker would lie there. Every one is answered 0 with the
// link up, and the next plain request is served.
TEST_F(IpcService, AListRunningPastTheCommittedPartIsAnswered0) {
  const struct {
    const char* name;
    size_t committed;
    uint32_t kind;
    size_t at;
    uint32_t offset, size;
    bool recordRefused;  // else the record fits and is served, and the list's end is missing
  } cases[] = {
      {"nothing committed", 0, 0, 0, 0, 0, false},
      {"read data past the committed page", kPage, 1, kPage - 16 - 8, 0x0200, 64, true},
      {"write data past the committed page", kPage, 2, 0, 0x0300, 2 * kPage, true},
      {"no end marker in the committed page", kPage, 1, kPage - 16 - 8, 0x0200, 8, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const uint8_t serverValue = 0x5A;
    const std::vector<uint8_t> block(kDataBlockSize, serverValue);
    ASSERT_EQ(1, TakeDataBlock(6, block.data()));
    AddOnArea area(c.committed);
    ASSERT_TRUE(area.Ready());
    if (c.committed != 0) {
      std::memset(area.view, 0xEE, c.committed);
      if (c.at != 0) {  // a read of 0 bytes in front, so the record of interest lies at c.at
        Put32(area.view, 1), Put32(area.view + 4, 0x0100), Put32(area.view + 8, uint32_t(c.at - 16));
      }
      uint8_t* record = area.view + c.at;
      Put32(record, c.kind), Put32(record + 4, c.offset), Put32(record + 8, c.size);
    }
    const std::vector<uint8_t> before(area.view, area.view + c.committed);
    EXPECT_EQ(0, HandleIpcRequest(area.atom, countingSend));
    EXPECT_EQ(0, sendCalls);
    if (c.recordRefused) {
      const size_t data = c.at + (c.kind == 1 ? 16 : 12);
      EXPECT_TRUE(std::equal(before.begin() + data, before.end(), area.view + data))
          << "the walker wrote into the refused record";
      uint8_t image[4];
      ReadImageBytes(c.offset, 4, image);
      EXPECT_EQ(serverValue, image[0]) << "the image took bytes of the refused record";
    }
  }
  AddOnArea plain(kAreaSize);
  ASSERT_TRUE(plain.Ready());
  Put32(plain.view, 1), Put32(plain.view + 4, 0x0100), Put32(plain.view + 8, 2), Put32(plain.view + 18, 0);
  EXPECT_EQ(1, HandleIpcRequest(plain.atom, countingSend));
  EXPECT_EQ(0x5A, plain.view[16]);
  EXPECT_EQ(0x5A, plain.view[17]);
}

}  // namespace
