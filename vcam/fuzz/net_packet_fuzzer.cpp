// The network frame assembler on any bytes, both ways a transmitter can
// send them.
//
// Input: one byte each for the picture's width and height (1 to 16 pixels,
// so a small frame that compressed pieces easily inflate past), one byte
// choosing how the stream is cut, then records of a 2-byte little-endian
// length and that many bytes (cut short at the end of the input).
//
// Every record is one datagram. A raw piece that fits must land byte for
// byte; anything else must leave the frame's counters consistent.
//
// The records laid end to end are also a stream, fed twice: cut at the
// record boundaries, and cut into pieces of 1 to 8 bytes. How a stream is
// cut must not matter: both feeds must finish the same frames with the
// same bytes at the same stream positions, find the stream out of step at
// the same positions, and end with the same counters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/frame_packet.h"
#include "vcam/net_frame_assembler.h"

namespace {

using corvalind::NetFrameAssembler;

void Check(bool holds) {
  if (!holds) std::abort();
}

struct Record {
  const uint8_t* data;
  std::size_t size;
};

// One stream event at an absolute stream position, and the frame it
// finished.
struct Event {
  std::size_t position;
  NetFrameAssembler::StreamEvent event;
  std::vector<uint8_t> frame;
  std::size_t covered;
};

// Feeds `stream` cut by `nextCut` (the size of the next chunk), recording
// every finished frame and every loss of step (after which it starts a new
// stream, as the element does with the next connection).
template <typename Cut>
std::vector<Event> FeedStream(NetFrameAssembler& a, const std::vector<uint8_t>& stream, Cut nextCut) {
  using E = NetFrameAssembler::StreamEvent;
  std::vector<Event> events;
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t chunk = std::min(nextCut(at), stream.size() - at);
    std::size_t fed = 0;
    while (fed < chunk) {
      const auto step = a.TakeStream(stream.data() + at + fed, chunk - fed);
      Check(step.consumed <= chunk - fed);
      fed += step.consumed;
      if (step.event == E::kNeedMore) {
        Check(fed == chunk);
        break;
      }
      if (step.event == E::kFrameDone) {
        Check(a.CoveredBytes() <= a.FrameBytes());
        events.push_back({at + fed, step.event, std::vector<uint8_t>(a.Frame(), a.Frame() + a.FrameBytes()),
                          a.CoveredBytes()});
      } else {
        // Out of step: nothing more until a new stream begins.
        Check(a.TakeStream(stream.data(), stream.size()).event == E::kCorrupt);
        events.push_back({at + fed, step.event, {}, 0});
        a.ResetStream();
      }
    }
    at += chunk;
  }
  Check(a.FramesComplete() + a.FramesIncomplete() ==
        static_cast<uint64_t>(std::count_if(events.begin(), events.end(),
                                            [](const Event& e) { return e.event == E::kFrameDone; })));
  return events;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const std::size_t width = 1 + (data[0] & 15u);
  const std::size_t height = 1 + (data[1] & 15u);
  const std::size_t frameBytes = width * height * 3;
  const uint8_t cutSeed = data[2];

  std::vector<Record> records;
  for (std::size_t at = 3; at < size;) {
    std::size_t length = data[at];
    if (at + 1 < size) length |= static_cast<std::size_t>(data[at + 1]) << 8;
    at += 2;
    if (at > size) break;
    length = std::min(length, size - at);
    records.push_back({data + at, length});
    at += length;
  }

  // Datagrams.
  NetFrameAssembler datagrams(frameBytes);
  uint64_t finished = 0;
  uint64_t dropped = 0;
  for (const Record& r : records) {
    const auto result = datagrams.TakeDatagram(r.data, r.size);
    const bool end = r.size == corvalind::kEndOfFrameMarkerBytes &&
                     std::memcmp(r.data, corvalind::kEndOfFrameMarker, r.size) == 0;
    Check((result == NetFrameAssembler::DatagramResult::kFrameDone) == end);
    if (end) {
      ++finished;
      Check(datagrams.CoveredBytes() <= frameBytes);
      continue;
    }
    if (result == NetFrameAssembler::DatagramResult::kDropped) ++dropped;
    if (r.size < corvalind::kFramePacketHeaderBytes) {
      Check(result == NetFrameAssembler::DatagramResult::kDropped);
      continue;
    }
    const uint32_t word = corvalind::LoadLittleEndian32(r.data);
    const uint32_t length = corvalind::LoadLittleEndian32(r.data + 4);
    const bool agrees = length == r.size - corvalind::kFramePacketHeaderBytes && length > 0;
    if (!agrees) Check(result == NetFrameAssembler::DatagramResult::kDropped);
    if (word < corvalind::kCompressedOffsetFlag) {
      const bool fits = agrees && static_cast<uint64_t>(word) + length <= frameBytes;
      Check((result == NetFrameAssembler::DatagramResult::kPlaced) == fits);
      if (fits) Check(std::memcmp(datagrams.Frame() + word, r.data + 8, length) == 0);
    }
  }
  Check(datagrams.FramesComplete() + datagrams.FramesIncomplete() == finished);
  Check(datagrams.PacketsDropped() == dropped);

  // The same records as one stream, cut two ways.
  std::vector<uint8_t> stream;
  for (const Record& r : records) stream.insert(stream.end(), r.data, r.data + r.size);
  std::vector<std::size_t> boundaries;
  for (std::size_t at = 0; const Record& r : records) boundaries.push_back(at += r.size);

  NetFrameAssembler byRecord(frameBytes);
  std::size_t nextBoundary = 0;
  const auto a = FeedStream(byRecord, stream, [&](std::size_t at) {
    while (nextBoundary < boundaries.size() && boundaries[nextBoundary] <= at) ++nextBoundary;
    return nextBoundary < boundaries.size() ? boundaries[nextBoundary] - at : stream.size() - at;
  });
  NetFrameAssembler bySmallCuts(frameBytes);
  unsigned cut = cutSeed;
  const auto b = FeedStream(bySmallCuts, stream, [&](std::size_t) {
    cut = cut * 1103515245u + 12345u;
    return static_cast<std::size_t>(1 + ((cut >> 16) & 7u));
  });
  Check(a.size() == b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    Check(a[i].position == b[i].position && a[i].event == b[i].event && a[i].frame == b[i].frame &&
          a[i].covered == b[i].covered);
  }
  Check(byRecord.FramesComplete() == bySmallCuts.FramesComplete());
  Check(byRecord.FramesIncomplete() == bySmallCuts.FramesIncomplete());
  Check(byRecord.PacketsDropped() == bySmallCuts.PacketsDropped());
  return 0;
}
