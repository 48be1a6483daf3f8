// The relay's stream and adb's device list over any bytes:
//
// - nothing may crash, read out of bounds, leak or overflow (UBSan);
// - the frames do not depend on how the stream is cut: whole, or in the
//   pieces the input's first byte chooses;
// - a "send" or "reply" frame holds exactly the bytes its header counts,
//   never more than the largest datagram;
// - a device list gives devices with a serial and a state, and a choice
//   among them is one of them or a reason.

#include <string>
#include <vector>

#include "adb.h"
#include "fuzz_common.h"
#include "relay.h"

namespace {

struct Read {
  std::vector<perfprobe::Frame> frames;
  std::string error;
};

Read readAll(const std::string& stream, size_t piece, bool skipping) {
  perfprobe::FrameReader reader(skipping ? std::string(perfprobe::kRelayHello) + " " : "");
  Read read;
  for (size_t at = 0; at < stream.size(); at += piece) {
    reader.feed(stream.data() + at, std::min(piece, stream.size() - at));
    while (auto f = reader.next()) read.frames.push_back(*f);
  }
  while (auto f = reader.next()) read.frames.push_back(*f);
  read.error = reader.error();
  return read;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t piece = 1 + data[0] % 16;
  const bool skipping = (data[0] & 0x80) != 0;
  const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Read whole = readAll(stream, stream.size() + 1, skipping);
  const Read cut = readAll(stream, piece, skipping);
  FUZZ_CHECK(whole.frames.size() == cut.frames.size() && whole.error == cut.error,
             "%zu frames whole, %zu in pieces of %zu, in %s", whole.frames.size(),
             cut.frames.size(), piece, fuzz::show(stream).c_str());
  for (size_t i = 0; i < whole.frames.size(); ++i) {
    const perfprobe::Frame& f = whole.frames[i];
    FUZZ_CHECK(f.word == cut.frames[i].word && f.bytes == cut.frames[i].bytes,
               "frame %zu differs in %s", i, fuzz::show(stream).c_str());
    if (f.word == "send" || f.word == "reply") {
      FUZZ_CHECK(f.bytes.size() == f.number && f.number <= perfprobe::kMaxDatagram,
                 "a frame of %zu bytes says %llu in %s", f.bytes.size(),
                 static_cast<unsigned long long>(f.number), fuzz::show(stream).c_str());
    } else {
      FUZZ_CHECK(f.bytes.empty(), "a %s frame with bytes", f.word.c_str());
    }
  }

  const auto devices = perfprobe::parseAdbDevices(stream);
  for (const auto& d : devices) {
    FUZZ_CHECK(!d.serial.empty() && !d.state.empty(), "an empty serial or state in %s",
               fuzz::show(stream).c_str());
  }
  std::string why;
  const std::string wanted = devices.empty() ? "" : devices.back().serial;
  for (const std::string& w : {std::string(), wanted}) {
    why.clear();
    const auto chosen = perfprobe::chooseDevice(devices, w, "", &why);
    if (chosen) {
      bool listed = false;
      for (const auto& d : devices) listed = listed || (d.serial == *chosen && d.state == "device");
      FUZZ_CHECK(listed, "chose %s, which is not a ready device", chosen->c_str());
    } else {
      FUZZ_CHECK(!why.empty(), "no device and no reason in %s", fuzz::show(stream).c_str());
    }
  }
  return 0;
}
