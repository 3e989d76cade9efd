// The keyboard's decoding of terminal bytes, read the way the console keyboard reads them: at
// each look, bytes only while no code waits, at most ByteRoom() and 64 of them, and the end of
// the input whenever fewer came than were asked for. One code is taken per look.
//
// Input: bursts of bytes that the terminal sends, each one a length byte followed by that many
// bytes. A burst arrives once the keyboard has read everything before it and found nothing
// more, so every burst starts afresh.
//
// What must hold for any input:
// - every look that finds a code gets one, and every code is a byte value;
// - a burst always yields at least one code, and one that ends with ESC ends with code 27
//   (ESC on its own is the ESC key whatever came before it);
// - code 27 comes only from an ESC followed by another ESC or by the end of the input, so the
//   bytes of a sequence never give it;
// - the codes do not depend on where the reads cut the bytes, only on where the input ended:
//   the same bytes fed one at a time, ended at the same places, give the same codes.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/key_decoder.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using orvane::KeyDecoder;
using orvane::fuzz::Check;

constexpr std::size_t kMostBytesPerRead = 64;  // the console keyboard's read buffer

struct Decoded {
  std::vector<int> codes;
  // For each byte of the input: the end of the input came right after it.
  std::vector<bool> endedAfter;
};

// One look at the keyboard. Returns the code taken, or -1 when none waits.
int Look(KeyDecoder& decoder, const std::vector<unsigned char>& bytes, std::size_t& next,
         std::size_t burstEnd, Decoded& decoded) {
  if (!decoder.HasKey()) {
    std::size_t want = decoder.ByteRoom();
    if (want > kMostBytesPerRead) want = kMostBytesPerRead;
    if (want > 0) {
      const std::size_t n = std::min(want, burstEnd - next);
      decoder.Feed(bytes.data() + next, n);
      next += n;
      if (n < want) {
        decoder.EndOfInput();
        if (next > 0) decoded.endedAfter[next - 1] = true;
      }
    }
  }
  if (!decoder.HasKey()) return -1;
  const int code = decoder.NextKey();
  Check(code >= 0, "a look that found a code got none");
  Check(code <= 255, "a code is not a byte value");
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Unpack the bursts.
  std::vector<unsigned char> bytes;
  std::vector<std::size_t> burstEnds;
  for (std::size_t i = 0; i < size;) {
    const std::size_t length = std::min<std::size_t>(data[i], size - i - 1);
    if (length == 0) {
      ++i;
      continue;
    }
    bytes.insert(bytes.end(), data + i + 1, data + i + 1 + length);
    burstEnds.push_back(bytes.size());
    i += 1 + length;
  }

  Decoded decoded;
  decoded.endedAfter.assign(bytes.size(), false);
  KeyDecoder decoder;
  std::size_t next = 0;
  for (const std::size_t burstEnd : burstEnds) {
    const std::size_t firstCode = decoded.codes.size();
    // Look until the burst is read, no code waits and a look has found the input at its end.
    while (next < burstEnd || decoder.HasKey() || !decoded.endedAfter[burstEnd - 1]) {
      const int code = Look(decoder, bytes, next, burstEnd, decoded);
      if (code >= 0) decoded.codes.push_back(code);
    }
    Check(decoded.codes.size() > firstCode, "a burst of bytes gave no code at all");
    if (bytes[burstEnd - 1] == KeyDecoder::kEscape) {
      Check(decoded.codes.back() == KeyDecoder::kEscape, "an ESC at the end did not give 27");
    }
  }

  std::size_t escapesAlone = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != KeyDecoder::kEscape) continue;
    if (decoded.endedAfter[i] || (i + 1 < bytes.size() && bytes[i + 1] == KeyDecoder::kEscape)) {
      ++escapesAlone;
    }
  }
  std::size_t escapeCodes = 0;
  for (const int code : decoded.codes) escapeCodes += code == KeyDecoder::kEscape ? 1 : 0;
  Check(escapeCodes == escapesAlone, "code 27 for something other than an ESC on its own");

  // The same bytes one at a time, each code taken at once, ended at the same places.
  KeyDecoder single;
  std::vector<int> codes;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    single.Feed(&bytes[i], 1);
    if (decoded.endedAfter[i]) single.EndOfInput();
    while (single.HasKey()) codes.push_back(single.NextKey());
  }
  Check(codes == decoded.codes, "the codes depend on where the reads cut the bytes");
  return 0;
}
