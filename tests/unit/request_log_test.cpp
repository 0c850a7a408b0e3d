// The request log's entries: the entry format byte for byte, and what the
// walker logs for the records it handles (the image after handling, the
// largest records whole).
#include "ipc/request_log_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/event_log.h"
#include "ipc/offset_image.h"
#include "request_walker_fixture.h"

namespace {

TEST_F(Walker, LogEntryFormat) {
  Bytes seq(40);
  for (size_t i = 0; i < seq.size(); ++i) seq[i] = uint8_t(i * 0x11 + 0x0A);
  const std::string pad(50, ' ');
  const struct { bool write; uint32_t count, offset, n; std::string text; } cases[] = {
      {false, 10, 0x0274, 4, " Req: 000010 READ  Offset: 0274 Bytes: 004 value: 0A 1B 2C 3D \n"},
      {true, 0, 0x0100, 0, " Req: 000000 WRITE Offset: 0100 Bytes: 000 value: \n"},
      {false, 999999, 0x10000, 1, " Req: 999999 READ  Offset: 10000 Bytes: 001 value: 0A \n"},
      {false, 7, 0x0000, 16,
       " Req: 000007 READ  Offset: 0000 Bytes: 016 value: 0A 1B 2C 3D 4E 5F 70 81 92 A3 B4 C5 D6 E7 F8 09 \n" + pad + "\n"},
      {true, 1234567, 0xABCD, 17,
       " Req: 1234567 WRITE Offset: ABCD Bytes: 017 value: 0A 1B 2C 3D 4E 5F 70 81 92 A3 B4 C5 D6 E7 F8 09 \n" + pad +
           "1A \n"},
      {false, 1, 0x1FFE0, 33,
       " Req: 000001 READ  Offset: 1FFE0 Bytes: 033 value: 0A 1B 2C 3D 4E 5F 70 81 92 A3 B4 C5 D6 E7 F8 09 \n" + pad +
           "1A 2B 3C 4D 5E 6F 80 91 A2 B3 C4 D5 E6 F7 08 19 \n" + pad + "2A \n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::vector<char> out(RequestLogEntrySize(c.n));
    const size_t n = FormatRequestLogEntry(out.data(), c.write, c.count, c.offset, seq.data(), c.n);
    EXPECT_EQ(c.text, std::string(out.data(), n));
  }
  std::vector<char> out(RequestLogEntrySize(0));
  EXPECT_EQ(51u, FormatRequestLogEntry(out.data(), false, 0, 0xFFFF, seq.data(), 0)) << "head of 50 and the line feed";
}

TEST_F(Walker, LoggedRecordsShowTheImageAfterHandling) {
  for (int i = 0; i < 10; ++i) {
    Request r;
    r.End();
    Walk(r);
  }
  SetImage(0x0274, {0xDE, 0xAD, 0xBE, 0xEF});
  SetImage(0x330A, {0x12, 0x34});
  readLogging = 1;
  Request r;
  r.Read(0x0274, 4).Write(0x330A, {0x55, 0x66}).Write(0x0100, {0x01}).End();
  EXPECT_EQ(Outcome::kDone, Walk(r));
  writeLogging = 1;
  readLogging = 0;
  Request w;
  w.Read(0x0274, 1).Write(0x330A, {0x55, 0x66}).Write(0x10000, {0xFE}).End();
  EXPECT_EQ(Outcome::kDone, Walk(w));
  EXPECT_EQ(Crlf(" Req: 000010 READ  Offset: 0274 Bytes: 004 value: DE AD BE EF \n"
                 " Req: 000011 WRITE Offset: 330A Bytes: 002 value: 12 34 \n"  // the image's, not the client's
                 " Req: 000011 WRITE Offset: 10000 Bytes: 001 value: FE \n"),
            RequestLog());
}

TEST_F(Walker, LargestRecordsAreLoggedWhole) {
  readLogging = 1, writeLogging = 1;
  Request r;
  r.Read(0, kImageSize).Write(0x2000, Bytes(kBatchRecordLimit - kWriteHeadSize, 0x33)).End();
  EXPECT_EQ(Outcome::kDone, Walk(r));
  const std::string log = RequestLog();
  // Heads of 53 and 52 characters (six- and five-digit sizes); on file each
  // line feed is CR LF.
  const size_t readEntry = 53 + 3 * kImageSize + 52 * (kImageSize / 16) + 2;
  const uint32_t w = kBatchRecordLimit - kWriteHeadSize;
  const size_t writeEntry = 52 + 3 * w + 52 * (w / 16) + 2;
  EXPECT_EQ(readEntry + writeEntry, log.size());
  EXPECT_EQ(" Req: 000000 WRITE Offset: 2000 Bytes: 32496 value: 33 33 ", log.substr(readEntry, 58));
}

}  // namespace
