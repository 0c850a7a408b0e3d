// Fuzzes the link's receive path: the input is a TCP byte stream cut into
// receives (the first byte picks the receive size) through the reassembler
// into the data-block path, and the same bytes as one datagram through the
// update path and every receiver's validation. Nothing may read or write
// outside the input, the reader's buffer or the image.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "ipc/offset_image.h"
#include "link/frame_reader.h"
#include "link/frames.h"
#include "link/link.h"
#include "link/net.h"

namespace {

FrameReader reader;
Link* fuzzLink;  // made once, never freed: the fuzzer's runs share it
uint32_t badFrames;

void CountBad(void*, const BadFrame& bad) {
  if (bad.check != kFrameBadFooter) __builtin_trap();  // a whole buffered frame is never short
  ++badFrames;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  InitOffsetImage();
  fuzzLink = new Link;
  fuzzLink->Configure("192.168.1.60", "127.0.0.1");
  const uint32_t loopback = NetParseAddress("127.0.0.1");
  uint32_t listen[kMaxAdapters];
  fuzzLink->Choice().Open(&loopback, 1, listen);
  fuzzLink->Udp().AcceptUpdates(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // A pending local write makes the blocks take the shadow path too.
  if ((data[0] & 0x80) != 0 && size >= 4) ApplyLocalWrite((uint32_t(data[1]) << 9) | data[2], 4, data);
  const uint32_t piece = 1 + uint32_t(data[0] & 0x7F) * 517;

  ResetFrameReader(reader, kTcpFrames, CountBad, nullptr);
  for (size_t at = 1; at < size;) {
    const uint32_t n = uint32_t(size - at < piece ? size - at : piece);
    if (FeedFrameReader(reader, data + at, n) != n) __builtin_trap();  // a drained reader takes a whole receive
    at += n;
    Frame frame{};
    while (NextFrame(reader, &frame) == NextFrameResult::kFrame) {
      if (frame.payload < reader.buffer || frame.payload + frame.size + kFrameFooterSize > reader.buffer + reader.end)
        __builtin_trap();
      fuzzLink->Tcp().TakeFrame(frame);
    }
  }

  const uint8_t* datagram = data + 1;
  const int received = int(size - 1 < kReceiveBufferSize ? size - 1 : kReceiveBufferSize);
  for (const FrameReceiver* who : {&kTcpFrames, &kMulticastFrames, &kUnicastFrames}) {
    Frame frame{};
    BadFrame bad{};
    if (ValidateFrame(datagram, received, *who, &frame, &bad) == Outcome::kDone &&
        frame.payload + frame.size + kFrameFooterSize > datagram + received)
      __builtin_trap();
  }
  fuzzLink->Udp().TakeUpdateDatagram(datagram, received, NetParseAddress("127.0.0.1"));
  return 0;
}
