// The relay's framing of the USB stream.
#include "relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace perfprobe {
namespace {

std::vector<Frame> readAll(FrameReader* reader) {
  std::vector<Frame> frames;
  while (auto f = reader->next()) frames.push_back(*f);
  return frames;
}

TEST(Frames, ComeWholeWhateverPiecesTheStreamBrings) {
  // Replies hold any byte, line feeds and zeros included.
  const std::string reply("state collecting\nfps 59.9\n\0x", 28);
  const std::string stream = std::string(kRelayHello) + " 1\n" + frame("reply", reply) +
                             "refused\n" + frame("reply", "");
  for (size_t piece : {1u, 2u, 7u, 1000u}) {
    FrameReader reader;
    std::vector<Frame> frames;
    for (size_t at = 0; at < stream.size(); at += piece) {
      reader.feed(stream.data() + at, std::min(piece, stream.size() - at));
      for (Frame& f : readAll(&reader)) frames.push_back(f);
    }
    ASSERT_EQ(frames.size(), 4u) << "in pieces of " << piece;
    EXPECT_EQ(frames[0].word, kRelayHello);
    EXPECT_EQ(frames[0].number, 1u);
    EXPECT_EQ(frames[1].word, "reply");
    EXPECT_EQ(frames[1].bytes, reply);
    EXPECT_EQ(frames[2].word, "refused");
    EXPECT_EQ(frames[3].bytes, "");
    EXPECT_TRUE(reader.error().empty());
  }
}

TEST(Frames, ADamagedStreamIsAnErrorNotAGuess) {
  const struct {
    std::string stream;
    std::string error;
  } cases[] = {
      {"send\nabc", "without a length"},
      {"send 12x\n", "number"},
      {"send -1\n", "number"},
      {"reply 65537\n", "65537"},
      {"\n", "empty"},
      {std::string(100, 'a'), "longer than"},
      {"send 1234567890\n", "number"},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    reader.feed(c.stream.data(), c.stream.size());
    EXPECT_FALSE(reader.next().has_value()) << c.stream;
    EXPECT_NE(reader.error().find(c.error), std::string::npos) << c.stream << ": " << reader.error();
  }
  // The largest datagram passes.
  FrameReader reader;
  const std::string big = frame("reply", std::string(kMaxDatagram, 'x'));
  reader.feed(big.data(), big.size());
  const auto f = reader.next();
  ASSERT_TRUE(f.has_value()) << reader.error();
  EXPECT_EQ(f->bytes.size(), kMaxDatagram);
}

TEST(Frames, WhatAShellSaysBeforeTheHelloIsSetAside) {
  // A terminal echoes what was typed, and a shell may complain first.
  const std::string said = "send 14\r\nCONNECT_DAEMON/system/bin/sh: motd\r\n";
  const std::string stream = said + kRelayHello + " 1\n" + frame("reply", "success");
  FrameReader reader(std::string(kRelayHello) + " ");
  for (char c : stream) reader.feed(&c, 1);
  const auto frames = readAll(&reader);
  ASSERT_EQ(frames.size(), 2u) << reader.error();
  EXPECT_EQ(frames[1].bytes, "success");
  EXPECT_EQ(reader.skipped(), said);

  // Without the hello, nothing is read, and the complaint is kept.
  FrameReader never(std::string(kRelayHello) + " ");
  const std::string notFound = "/system/bin/sh: /data/local/tmp/perfprobe: not found\n";
  never.feed(notFound.data(), notFound.size());
  EXPECT_FALSE(never.next().has_value());
  EXPECT_NE(never.skipped().find("not found"), std::string::npos);
}

}  // namespace
}  // namespace perfprobe
