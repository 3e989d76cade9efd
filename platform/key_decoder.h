#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvane {

// Turns the bytes a terminal sends for key presses into console key codes, one code per read:
// a key with a character gives that character's code, and ESC alone gives 27. Keys that the
// terminal sends as escape sequences (cursor and function keys, Home, End, Alt with a key)
// give two codes, 224 or 0 first and then the key's code (up arrow: 224, 72), and never 27,
// so that pressing an arrow key is never mistaken for ESC.
class KeyDecoder {
 public:
  static constexpr int kEscape = 27;
  static constexpr std::size_t kCapacity = 256;
  // A byte yields at most three codes (an interrupted sequence plus the byte itself), and
  // finishing the input at most two more.
  static constexpr std::size_t kMostCodesPerByte = 3;
  static constexpr std::size_t kMostCodesAtEnd = 2;

  // Decodes bytes; a sequence cut off at the end of them waits for the next call.
  void Feed(const unsigned char* bytes, std::size_t n);
  // No more bytes are waiting: a pending ESC is a key of its own, a pending sequence ends.
  void EndOfInput();

  [[nodiscard]] bool HasKey() const { return count_ != 0; }
  // The oldest code not yet read; -1 when there is none.
  int NextKey();
  // How many bytes can be fed now without any code being dropped.
  [[nodiscard]] std::size_t ByteRoom() const;

 private:
  enum class State : std::uint8_t { Ground, Escape, Csi, CsiBracket, Ss3 };

  void Decode(unsigned char b);
  void Emit(int code);
  void EmitExtended(int prefix, int code);
  void EmitAlt(unsigned char b);
  void FinishCsi(unsigned char final);
  // Ends a sequence that b does not complete as some unknown key.
  void EndUnknownSequence(unsigned char b);

  State state_ = State::Ground;
  int csiParam_ = 0;  // first numeric parameter of a control sequence, saturated
  bool csiMoreParams_ = false;
  bool csiHasBytes_ = false;

  std::array<std::int16_t, kCapacity> codes_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace orvane
