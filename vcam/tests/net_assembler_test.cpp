// The network frame assembler on its own: hostile and odd datagrams, the
// stream cut anywhere, compressed pieces restored byte for byte, and the
// counters that tell complete frames from frames with gaps.
#include <gtest/gtest.h>
#include <lzo/lzo1x.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/frame_packet.h"
#include "vcam/net_frame_assembler.h"

namespace corvalind {
namespace {

using Bytes = std::vector<uint8_t>;
using DatagramResult = NetFrameAssembler::DatagramResult;
using StreamEvent = NetFrameAssembler::StreamEvent;

Bytes Header(uint32_t offsetWord, uint32_t lengthWord) {
  Bytes h(8);
  StoreLittleEndian32(h.data(), offsetWord);
  StoreLittleEndian32(h.data() + 4, lengthWord);
  return h;
}

Bytes Append(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Compress(const uint8_t* data, std::size_t size) {
  static const bool ready = lzo_init() == LZO_E_OK;
  EXPECT_TRUE(ready);
  std::vector<uint8_t> work(LZO1X_1_MEM_COMPRESS);
  Bytes out(size + size / 16 + 67);
  lzo_uint outSize = out.size();
  EXPECT_EQ(lzo1x_1_compress(data, size, out.data(), &outSize, work.data()), LZO_E_OK);
  out.resize(outSize);
  return out;
}

// A packet carrying frame[offset, offset + length), raw or compressed.
Bytes Piece(const Bytes& frame, std::size_t offset, std::size_t length, bool compressed) {
  if (!compressed) {
    return Append(Header(static_cast<uint32_t>(offset), static_cast<uint32_t>(length)),
                  Bytes(frame.begin() + offset, frame.begin() + offset + length));
  }
  const Bytes packed = Compress(frame.data() + offset, length);
  return Append(Header(static_cast<uint32_t>(offset) + kCompressedOffsetFlag, static_cast<uint32_t>(packed.size())),
                packed);
}

Bytes Raw(uint32_t offset, const Bytes& payload) {
  return Append(Header(offset, static_cast<uint32_t>(payload.size())), payload);
}

Bytes Packed(uint32_t offset, const Bytes& compressed) {
  return Append(Header(offset + kCompressedOffsetFlag, static_cast<uint32_t>(compressed.size())), compressed);
}

const Bytes kEnd(kEndOfFrameMarker, kEndOfFrameMarker + kEndOfFrameMarkerBytes);

// Bytes that say where they are, different for every seed.
Bytes Pattern(std::size_t size, int seed) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(i * 7 + seed * 31 + (i >> 8));
  return b;
}

Bytes Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  Bytes b(size);
  for (auto& v : b) v = static_cast<uint8_t>(random());
  return b;
}

Bytes FrameOf(const NetFrameAssembler& a) { return Bytes(a.Frame(), a.Frame() + a.FrameBytes()); }

// Feeds a whole frame as one raw datagram and END, so the next frame
// starts from known bytes.
void LoadFrame(NetFrameAssembler& a, const Bytes& frame) {
  ASSERT_EQ(a.TakeDatagram(Raw(0, frame).data(), frame.size() + 8), DatagramResult::kPlaced);
  ASSERT_EQ(a.TakeDatagram(kEnd.data(), kEnd.size()), DatagramResult::kFrameDone);
}

constexpr std::size_t kSmall = 48;  // a 4 x 4 picture

TEST(NetAssemblerTest, DatagramsHostileAndEdgeCases) {
  const Bytes before = Pattern(kSmall, 1);
  const Bytes next = Pattern(kSmall, 2);
  auto slice = [&](std::size_t from, std::size_t to) { return Bytes(next.begin() + from, next.begin() + to); };
  auto twoByteFrame = [&] {
    std::vector<Bytes> all;
    for (std::size_t at = 0; at < kSmall; at += 2) all.push_back(Raw(static_cast<uint32_t>(at), slice(at, at + 2)));
    return all;
  };
  const Bytes fullSize = Pattern(kSmall, 3);
  struct Case {
    std::string what;
    std::vector<Bytes> datagrams;  // END follows
    uint64_t dropped;
    bool complete;
    // The expected frame: `before` with next[from, to) for each range placed.
    std::vector<std::pair<std::size_t, std::size_t>> placed;
    // Bytes from here on are not checked (a compressed piece failing part
    // way may have written some).
    std::size_t checkedBytes = kSmall;
  };
  const Case cases[] = {
      {"raw offset at the end of the frame", {Raw(kSmall, {1, 2})}, 1, false, {}},
      {"raw offset far past the frame", {Raw(0x7fffffff, {1, 2})}, 1, false, {}},
      {"raw piece running one byte past the end", {Raw(kSmall - 1, {1, 2})}, 1, false, {}},
      {"raw piece one byte larger than the frame", {Raw(0, Bytes(kSmall + 1, 9))}, 1, false, {}},
      {"length word larger than the datagram",
       {Append(Header(0, 10), slice(0, 4))}, 1, false, {}},
      {"length word smaller than the datagram",
       {Append(Header(0, 2), slice(0, 4))}, 1, false, {}},
      {"length word near 4 GiB", {Append(Header(0, 0xfffffff8u), slice(0, 4))}, 1, false, {}},
      {"zero-length piece", {Header(4, 0)}, 1, false, {}},
      {"truncated header", {Bytes{0, 0, 0, 0, 2}}, 1, false, {}},
      {"one byte", {Bytes{'E'}}, 1, false, {}},
      {"three bytes that are not END", {Bytes{'E', 'N', 'd'}}, 1, false, {}},
      {"compressed piece inflating past its slot",
       {Packed(kSmall / 2, Compress(fullSize.data(), fullSize.size()))}, 1, false, {}, kSmall / 2},
      {"compressed piece at the end of the frame",
       {Packed(kSmall, Compress(fullSize.data(), 2))}, 1, false, {}},
      {"garbage compressed bytes", {Packed(kSmall / 2, {0xff, 0xff, 0xff, 0xff})}, 1, false, {}, kSmall / 2},
      {"compressed bytes cut short",
       {[&] {
         Bytes packed = Compress(next.data(), kSmall);
         packed.resize(packed.size() - 3);
         return Packed(kSmall / 2, packed);
       }()},
       1, false, {}, kSmall / 2},
      {"2-byte pieces covering the frame", twoByteFrame(), 0, true, {{0, kSmall}}},
      {"a frame missing a piece keeps the previous bytes",
       {Raw(0, slice(0, 16)), Raw(32, slice(32, 48))}, 0, false, {{0, 16}, {32, 48}}},
      // The resent piece makes up the missing one's length: the frame must
      // still count as having a gap.
      {"a resent piece covers its bytes once",
       {Raw(0, slice(0, 16)), Raw(16, slice(16, 32)), Raw(16, slice(16, 32))}, 0, false, {{0, 32}}},
      {"a resent piece in a frame otherwise whole",
       {Raw(0, slice(0, 24)), Raw(0, slice(0, 24)), Raw(24, slice(24, 48))}, 0, true, {{0, kSmall}}},
      {"overlapping pieces", {Raw(0, slice(0, 30)), Raw(10, slice(10, 48))}, 0, true, {{0, kSmall}}},
      {"a bad piece between good ones",
       {Raw(0, slice(0, 24)), Raw(40, slice(40, 48 + 0)), Raw(44, Bytes(8, 1)), Raw(24, slice(24, 40))},
       1, true, {{0, kSmall}}},
      {"compressed 2-byte piece at the last bytes",
       {Raw(0, slice(0, 46)), Packed(46, Compress(next.data() + 46, 2))}, 0, true, {{0, kSmall}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NetFrameAssembler a(kSmall);
    LoadFrame(a, before);
    for (const Bytes& d : c.datagrams) a.TakeDatagram(d.data(), d.size());
    EXPECT_EQ(a.TakeDatagram(kEnd.data(), kEnd.size()), DatagramResult::kFrameDone);
    EXPECT_EQ(a.PacketsDropped(), c.dropped);
    EXPECT_EQ(a.FramesComplete(), c.complete ? 2u : 1u);
    EXPECT_EQ(a.FramesIncomplete(), c.complete ? 0u : 1u);
    Bytes expected = before;
    for (const auto& [from, to] : c.placed) std::copy(next.begin() + from, next.begin() + to, expected.begin() + from);
    const Bytes got = FrameOf(a);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + c.checkedBytes), Bytes(expected.begin(), expected.begin() + c.checkedBytes));
  }
}

TEST(NetAssemblerTest, DatagramResultsSayWhatHappened) {
  NetFrameAssembler a(kSmall);
  const Bytes good = Raw(0, Bytes(4, 1));
  const Bytes bad = Raw(kSmall, Bytes(4, 1));
  EXPECT_EQ(a.TakeDatagram(good.data(), good.size()), DatagramResult::kPlaced);
  EXPECT_EQ(a.TakeDatagram(bad.data(), bad.size()), DatagramResult::kDropped);
  EXPECT_EQ(a.CoveredBytes(), 4u);
  EXPECT_EQ(a.TakeDatagram(kEnd.data(), kEnd.size()), DatagramResult::kFrameDone);
  EXPECT_EQ(a.CoveredBytes(), 4u);
  // The next frame starts with nothing covered, even END alone.
  EXPECT_EQ(a.TakeDatagram(kEnd.data(), kEnd.size()), DatagramResult::kFrameDone);
  EXPECT_EQ(a.CoveredBytes(), 0u);
  EXPECT_EQ(a.FramesIncomplete(), 2u);
}

// Pieces of many sizes, each compressed on its own (noise that grows when
// compressed, and runs that shrink), must come back exactly.
TEST(NetAssemblerTest, CompressedPiecesAreRestoredByteForByte) {
  const std::size_t frameBytes = 64 * 48 * 3;
  Bytes frame = Noise(frameBytes, 7);
  std::fill(frame.begin() + 3000, frame.begin() + 6000, uint8_t{0x40});
  const std::size_t cuts[] = {0, 2, 9, 1000, 3001, 5999, 8000, frameBytes - 2, frameBytes};
  for (bool overStream : {false, true}) {
    SCOPED_TRACE(overStream ? "stream" : "datagrams");
    NetFrameAssembler a(frameBytes);
    Bytes stream;
    for (std::size_t i = 0; i + 1 < std::size(cuts); ++i) {
      const Bytes p = Piece(frame, cuts[i], cuts[i + 1] - cuts[i], true);
      if (overStream) {
        stream = Append(stream, p);
      } else {
        ASSERT_EQ(a.TakeDatagram(p.data(), p.size()), DatagramResult::kPlaced) << i;
      }
    }
    if (overStream) {
      const auto step = a.TakeStream(stream.data(), stream.size());
      EXPECT_EQ(step.event, StreamEvent::kFrameDone);
      EXPECT_EQ(step.consumed, stream.size());
    } else {
      ASSERT_EQ(a.TakeDatagram(kEnd.data(), kEnd.size()), DatagramResult::kFrameDone);
    }
    EXPECT_EQ(FrameOf(a), frame);
    EXPECT_EQ(a.FramesComplete(), 1u);
    EXPECT_EQ(a.PacketsDropped(), 0u);
  }
}

// The transmitter's stream: pieces of 63992 bytes, compressed, of a frame
// of noise, so every compressed piece is larger than its raw bytes; then
// the whole frame as one compressed piece, the largest a piece can be.
TEST(NetAssemblerTest, StreamOfIncompressiblePiecesUpToTheWholeFrame) {
  const std::size_t frameBytes = 320 * 240 * 3;
  const Bytes frame = Noise(frameBytes, 11);
  Bytes stream;
  for (std::size_t at = 0; at < frameBytes; at += 63992) {
    stream = Append(stream, Piece(frame, at, std::min<std::size_t>(63992, frameBytes - at), true));
  }
  const Bytes whole = Piece(frame, 0, frameBytes, true);
  ASSERT_GT(whole.size() - 8, frameBytes);
  stream = Append(stream, whole);

  NetFrameAssembler a(frameBytes);
  std::size_t at = 0;
  int frames = 0;
  while (at < stream.size()) {
    const std::size_t chunk = std::min<std::size_t>(4096, stream.size() - at);
    std::size_t fed = 0;
    while (fed < chunk) {
      const auto step = a.TakeStream(stream.data() + at + fed, chunk - fed);
      ASSERT_NE(step.event, StreamEvent::kCorrupt);
      fed += step.consumed;
      if (step.event == StreamEvent::kNeedMore) break;
      ++frames;
      EXPECT_EQ(FrameOf(a), frame) << frames;
    }
    at += chunk;
  }
  EXPECT_EQ(frames, 2);
  EXPECT_EQ(a.FramesComplete(), 2u);
  EXPECT_EQ(a.PacketsDropped(), 0u);
}

// A small frame of three pieces (raw, compressed, raw), cut at every pair
// of positions, so each header and payload is split at every byte.
TEST(NetAssemblerTest, StreamCutAtEveryByteGivesTheSameFrame) {
  const Bytes frame = Pattern(kSmall, 5);
  const Bytes stream =
      Append(Append(Piece(frame, 0, 10, false), Piece(frame, 10, 30, true)), Piece(frame, 40, 8, false));
  for (std::size_t first = 0; first <= stream.size(); ++first) {
    for (std::size_t second = first; second <= stream.size(); ++second) {
      NetFrameAssembler a(kSmall);
      const std::size_t bounds[] = {0, first, second, stream.size()};
      std::size_t consumed = 0;
      std::size_t doneAt = 0;
      int done = 0;
      for (int i = 0; i < 3; ++i) {
        const auto step = a.TakeStream(stream.data() + bounds[i], bounds[i + 1] - bounds[i]);
        ASSERT_NE(step.event, StreamEvent::kCorrupt) << first << " " << second;
        consumed += step.consumed;
        if (step.event == StreamEvent::kFrameDone) {
          ++done;
          doneAt = consumed;
        }
      }
      ASSERT_EQ(done, 1) << first << " " << second;
      ASSERT_EQ(doneAt, stream.size()) << first << " " << second;
      ASSERT_EQ(consumed, stream.size());
      ASSERT_EQ(FrameOf(a), frame) << first << " " << second;
      ASSERT_EQ(a.FramesComplete(), 1u);
    }
  }
}

TEST(NetAssemblerTest, StreamHandsOutEachFrameBeforeTakingTheNext) {
  const Bytes one = Pattern(kSmall, 1), two = Pattern(kSmall, 2);
  const Bytes stream = Append(Append(Piece(one, 0, kSmall, false), Piece(two, 0, 20, true)), Piece(two, 20, 28, false));
  NetFrameAssembler a(kSmall);
  auto step = a.TakeStream(stream.data(), stream.size());
  EXPECT_EQ(step.event, StreamEvent::kFrameDone);
  EXPECT_EQ(step.consumed, kSmall + 8);
  EXPECT_EQ(FrameOf(a), one);
  step = a.TakeStream(stream.data() + step.consumed, stream.size() - step.consumed);
  EXPECT_EQ(step.event, StreamEvent::kFrameDone);
  EXPECT_EQ(FrameOf(a), two);
  EXPECT_EQ(a.FramesComplete(), 2u);
}

// A piece with a well-formed header that does not fit is skipped; the
// frame it belonged to ends with the last piece and counts its gap.
TEST(NetAssemblerTest, StreamSkipsPiecesThatDoNotFitAndCountsTheGap) {
  const Bytes before = Pattern(kSmall, 1), next = Pattern(kSmall, 2);
  NetFrameAssembler a(kSmall);
  ASSERT_EQ(a.TakeStream(Raw(0, before).data(), kSmall + 8).event, StreamEvent::kFrameDone);
  const Bytes stream = Append(Append(Append(Append(Raw(0, Bytes(next.begin(), next.begin() + 16)),
                                                   Raw(kSmall - 2, Bytes(4, 0xee))),                // runs past the end
                                            Packed(20, Compress(next.data(), kSmall))),             // inflates past it
                                     Packed(20, {0xff, 0xff, 0xff})),                               // garbage
                              Raw(32, Bytes(next.begin() + 32, next.end())));
  const auto step = a.TakeStream(stream.data(), stream.size());
  EXPECT_EQ(step.event, StreamEvent::kFrameDone);
  EXPECT_EQ(step.consumed, stream.size());
  EXPECT_EQ(a.PacketsDropped(), 3u);
  EXPECT_EQ(a.FramesComplete(), 1u);
  EXPECT_EQ(a.FramesIncomplete(), 1u);
  const Bytes got = FrameOf(a);
  EXPECT_TRUE(std::equal(next.begin(), next.begin() + 16, got.begin()));
  EXPECT_TRUE(std::equal(before.begin() + 16, before.begin() + 20, got.begin() + 16));
  EXPECT_TRUE(std::equal(next.begin() + 32, next.end(), got.begin() + 32));
}

TEST(NetAssemblerTest, StreamOutOfStepIsReportedUntilReset) {
  const std::size_t most = kSmall + kSmall / 16 + 67;
  struct Case {
    const char* what;
    Bytes header;
    bool corrupt;
  };
  const Case cases[] = {
      {"raw length one more than the frame", Header(0, kSmall + 1), true},
      {"raw length the whole frame", Header(0, kSmall), false},
      {"raw offset at the end of the frame", Header(kSmall, 2), true},
      {"raw offset in the flag's range below it", Header(kCompressedOffsetFlag - 1, 2), true},
      {"compressed length past the worst case", Header(kCompressedOffsetFlag, most + 1), true},
      {"compressed length the worst case", Header(kCompressedOffsetFlag, most), false},
      {"compressed offset at the end of the frame", Header(kCompressedOffsetFlag + kSmall, 4), true},
      {"compressed offset far past", Header(0xffffffffu, 4), true},
      {"text where a header belongs", Bytes{'E', 'N', 'D', 'E', 'N', 'D', 'E', 'N'}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    NetFrameAssembler a(kSmall);
    const auto step = a.TakeStream(c.header.data(), c.header.size());
    EXPECT_EQ(step.event, c.corrupt ? StreamEvent::kCorrupt : StreamEvent::kNeedMore);
    if (!c.corrupt) continue;
    const Bytes good = Raw(0, Pattern(kSmall, 4));
    EXPECT_EQ(a.TakeStream(good.data(), good.size()).event, StreamEvent::kCorrupt);
    a.ResetStream();
    const auto after = a.TakeStream(good.data(), good.size());
    EXPECT_EQ(after.event, StreamEvent::kFrameDone);
    EXPECT_EQ(FrameOf(a), Pattern(kSmall, 4));
    EXPECT_EQ(a.FramesComplete(), 1u);
  }
}

// A connection lost in the middle of a piece: the next one starts clean,
// with no half header left and nothing counted as covered.
TEST(NetAssemblerTest, ResetStreamForgetsTheHalfReadPiece) {
  const Bytes frame = Pattern(kSmall, 6);
  NetFrameAssembler a(kSmall);
  const Bytes firstHalf = Raw(0, Bytes(frame.begin(), frame.begin() + 40));
  ASSERT_EQ(a.TakeStream(firstHalf.data(), 20).event, StreamEvent::kNeedMore);
  a.ResetStream();
  const Bytes tail = Raw(40, Bytes(frame.begin() + 40, frame.end()));
  ASSERT_EQ(a.TakeStream(tail.data(), 5).event, StreamEvent::kNeedMore);  // half a header
  a.ResetStream();
  const auto step = a.TakeStream(tail.data(), tail.size());
  EXPECT_EQ(step.event, StreamEvent::kFrameDone);
  EXPECT_EQ(a.CoveredBytes(), 8u);
  EXPECT_EQ(a.FramesIncomplete(), 1u);
  EXPECT_EQ(a.FramesComplete(), 0u);
}

}  // namespace
}  // namespace corvalind
