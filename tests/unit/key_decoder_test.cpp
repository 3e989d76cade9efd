#include "platform/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

std::vector<int> Drain(KeyDecoder& decoder) {
  std::vector<int> codes;
  while (decoder.HasKey()) codes.push_back(decoder.NextKey());
  return codes;
}

// Codes for bytes that arrived together and were all there was.
std::vector<int> Decode(const std::string& bytes) {
  KeyDecoder decoder;
  decoder.Feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  decoder.EndOfInput();
  return Drain(decoder);
}

TEST(KeyDecoder, KeysAsTheConsoleReportsThem) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<int> codes;
  } const cases[] = {
      {"ESC alone", "\x1b", {27}},
      {"plain keys", "q\n", {'q', '\n'}},
      {"ESC twice", "\x1b\x1b", {27, 27}},
      {"ESC after a key", "a\x1b", {'a', 27}},
      {"up", "\x1b[A", {224, 72}},
      {"down", "\x1b[B", {224, 80}},
      {"right", "\x1b[C", {224, 77}},
      {"left", "\x1b[D", {224, 75}},
      {"up in application mode", "\x1bOA", {224, 72}},
      {"home", "\x1b[H", {224, 71}},
      {"end", "\x1b[4~", {224, 79}},
      {"page down", "\x1b[6~", {224, 81}},
      {"delete", "\x1b[3~", {224, 83}},
      {"ctrl+up", "\x1b[1;5A", {224, 72}},
      {"F1", "\x1bOP", {0, 59}},
      {"F5", "\x1b[15~", {0, 63}},
      {"F10", "\x1b[21~", {0, 68}},
      {"F12", "\x1b[24~", {224, 134}},
      {"F1 on the Linux console", "\x1b[[A", {0, 59}},
      {"alt+x", "\x1bx", {0, 45}},
      {"alt+1",
       "\x1b"
       "1",
       {0, 120}},
      {"alt+[ is not a sequence start", "\x1b[", {0, '['}},
      {"unknown sequence", "\x1b[99~", {224, 0}},
      {"sequence cut short", "\x1b[12", {224, 0}},
      {"control byte ends a sequence", "\x1b[1\x01", {224, 0, 1}},
      {"ESC inside a sequence starts a new key", "\x1b[1\x1b", {224, 0, 27}},
      // However a sequence began, an ESC that does not belong to it is never lost.
      {"ESC after ESC O is a key of its own", "\x1bO\x1b", {224, 0, 27}},
      {"ESC after ESC [ [ is a key of its own", "\x1b[[\x1b", {224, 0, 27}},
      {"control byte ends an ESC O sequence", "\x1bO\r", {224, 0, '\r'}},
      {"unknown final byte after ESC O is part of it", "\x1bOa", {224, 0}},
      {"keys around an arrow", "a\x1b[Bz", {'a', 224, 80, 'z'}},
  };
  for (const auto& c : cases) EXPECT_EQ(Decode(c.bytes), c.codes) << c.name;
}

TEST(KeyDecoder, SequenceSplitAcrossReadsIsStillOneKey) {
  KeyDecoder decoder;
  const unsigned char first[] = {0x1b};
  const unsigned char rest[] = {'[', 'A'};
  decoder.Feed(first, 1);
  EXPECT_FALSE(decoder.HasKey()) << "an ESC that may begin a sequence must wait";
  decoder.Feed(rest, 2);
  decoder.EndOfInput();
  EXPECT_EQ(Drain(decoder), (std::vector<int>{224, 72}));
}

TEST(KeyDecoder, OneCodePerReadInArrivalOrder) {
  KeyDecoder decoder;
  const std::string bytes = "x\x1b[Ay";
  decoder.Feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  decoder.EndOfInput();
  EXPECT_EQ(decoder.NextKey(), 'x');
  EXPECT_EQ(decoder.NextKey(), 224);
  EXPECT_EQ(decoder.NextKey(), 72);
  EXPECT_EQ(decoder.NextKey(), 'y');
  EXPECT_FALSE(decoder.HasKey());
  EXPECT_EQ(decoder.NextKey(), -1);
}

TEST(KeyDecoder, ByteRoomIsNeverOverrun) {
  // Feeding exactly ByteRoom() bytes of the worst kind must keep every code.
  KeyDecoder decoder;
  const std::size_t room = decoder.ByteRoom();
  ASSERT_GT(room, 0u);
  std::string worst;
  while (worst.size() + 4 <= room) worst += "\x1b[1\x01";
  decoder.Feed(reinterpret_cast<const unsigned char*>(worst.data()), worst.size());
  decoder.EndOfInput();
  EXPECT_EQ(Drain(decoder).size(), worst.size() / 4 * 3);
}

}  // namespace
}  // namespace orvane
