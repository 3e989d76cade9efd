#include "platform/key_decoder.h"

namespace orvane {

namespace {

// The two prefixes of the console's extended keys.
constexpr int kExtendedPrefix = 224;  // cursor block, F11, F12
constexpr int kFunctionPrefix = 0;    // F1 to F10, Alt with a key

// Console codes of the keys that terminals send as sequences.
constexpr int kUp = 72, kDown = 80, kLeft = 75, kRight = 77;
constexpr int kHome = 71, kEnd = 79, kPageUp = 73, kPageDown = 81, kInsert = 82, kDelete = 83;
constexpr int kF1 = 59;  // F1 to F10 are 59 to 68
constexpr int kF11 = 133, kF12 = 134;
constexpr int kBackTab = 15;
// A sequence that means nothing to us still gives two codes, so that it is never ESC.
constexpr int kUnknownKey = 0;

constexpr int kMaxParam = 1000;

// Console scan codes of the letters a to z, which Alt+letter reports.
constexpr std::uint8_t kLetterScanCodes[26] = {30, 48, 46, 32, 18, 33, 34, 35, 23, 36, 37, 38, 50,
                                               49, 24, 25, 16, 19, 31, 20, 22, 47, 17, 45, 21, 44};

bool IsParamByte(unsigned char b) {
  return b >= 0x30 && b <= 0x3F;
}
bool IsIntermediateByte(unsigned char b) {
  return b >= 0x20 && b <= 0x2F;
}
bool IsFinalByte(unsigned char b) {
  return b >= 0x40 && b <= 0x7E;
}

}  // namespace

void KeyDecoder::Emit(int code) {
  // Never grows: a caller that ignores ByteRoom() loses keys, not memory.
  if (count_ == kCapacity) return;
  codes_[(head_ + count_) % kCapacity] = static_cast<std::int16_t>(code);
  ++count_;
}

void KeyDecoder::EmitExtended(int prefix, int code) {
  Emit(prefix);
  Emit(code);
}

void KeyDecoder::EmitAlt(unsigned char b) {
  if (b >= 'a' && b <= 'z') return EmitExtended(kFunctionPrefix, kLetterScanCodes[b - 'a']);
  if (b >= 'A' && b <= 'Z') return EmitExtended(kFunctionPrefix, kLetterScanCodes[b - 'A']);
  if (b >= '1' && b <= '9') return EmitExtended(kFunctionPrefix, 120 + (b - '1'));
  if (b == '0') return EmitExtended(kFunctionPrefix, 129);
  EmitExtended(kFunctionPrefix, b);  // never 27: a second ESC is a key of its own
}

void KeyDecoder::EndUnknownSequence(unsigned char b) {
  EmitExtended(kExtendedPrefix, kUnknownKey);
  // A byte that cannot end a sequence is not part of it: it is a key press again. An ESC among
  // them is the ESC key, or the start of the next sequence, and must not be lost.
  if (!IsFinalByte(b)) Decode(b);
}

void KeyDecoder::FinishCsi(unsigned char final) {
  switch (final) {
    case 'A':
      return EmitExtended(kExtendedPrefix, kUp);
    case 'B':
      return EmitExtended(kExtendedPrefix, kDown);
    case 'C':
      return EmitExtended(kExtendedPrefix, kRight);
    case 'D':
      return EmitExtended(kExtendedPrefix, kLeft);
    case 'H':
      return EmitExtended(kExtendedPrefix, kHome);
    case 'F':
      return EmitExtended(kExtendedPrefix, kEnd);
    case 'P':
      return EmitExtended(kFunctionPrefix, kF1);
    case 'Q':
      return EmitExtended(kFunctionPrefix, kF1 + 1);
    case 'R':
      return EmitExtended(kFunctionPrefix, kF1 + 2);
    case 'S':
      return EmitExtended(kFunctionPrefix, kF1 + 3);
    case 'Z':
      return EmitExtended(kFunctionPrefix, kBackTab);
    case '~':
      break;
    default:
      return EmitExtended(kExtendedPrefix, kUnknownKey);
  }
  switch (csiParam_) {
    case 1:
    case 7:
      return EmitExtended(kExtendedPrefix, kHome);
    case 2:
      return EmitExtended(kExtendedPrefix, kInsert);
    case 3:
      return EmitExtended(kExtendedPrefix, kDelete);
    case 4:
    case 8:
      return EmitExtended(kExtendedPrefix, kEnd);
    case 5:
      return EmitExtended(kExtendedPrefix, kPageUp);
    case 6:
      return EmitExtended(kExtendedPrefix, kPageDown);
    case 11:
    case 12:
    case 13:
    case 14:
    case 15:
      return EmitExtended(kFunctionPrefix, kF1 + (csiParam_ - 11));
    case 17:
    case 18:
    case 19:
    case 20:
    case 21:
      return EmitExtended(kFunctionPrefix, kF1 + 5 + (csiParam_ - 17));
    case 23:
      return EmitExtended(kExtendedPrefix, kF11);
    case 24:
      return EmitExtended(kExtendedPrefix, kF12);
    default:
      return EmitExtended(kExtendedPrefix, kUnknownKey);
  }
}

void KeyDecoder::Decode(unsigned char b) {
  switch (state_) {
    case State::Ground:
      if (b == kEscape) {
        state_ = State::Escape;
      } else {
        Emit(b);
      }
      return;

    case State::Escape:
      if (b == '[') {
        state_ = State::Csi;
        csiParam_ = 0;
        csiMoreParams_ = false;
        csiHasBytes_ = false;
      } else if (b == 'O') {
        state_ = State::Ss3;
      } else if (b == kEscape) {
        Emit(kEscape);  // ESC pressed twice: the first is a key of its own
      } else {
        EmitAlt(b);
        state_ = State::Ground;
      }
      return;

    case State::Csi:
      if (b == '[' && !csiHasBytes_) {
        state_ = State::CsiBracket;  // the Linux console's F1 to F5: ESC [ [ A to E
        return;
      }
      if (IsParamByte(b) || IsIntermediateByte(b)) {
        csiHasBytes_ = true;
        if (b == ';') {
          csiMoreParams_ = true;
        } else if (b >= '0' && b <= '9' && !csiMoreParams_ && csiParam_ < kMaxParam) {
          csiParam_ = csiParam_ * 10 + (b - '0');
        }
        return;
      }
      state_ = State::Ground;
      if (IsFinalByte(b)) return FinishCsi(b);
      return EndUnknownSequence(b);

    case State::CsiBracket:
      state_ = State::Ground;
      if (b >= 'A' && b <= 'E') return EmitExtended(kFunctionPrefix, kF1 + (b - 'A'));
      return EndUnknownSequence(b);

    case State::Ss3:
      state_ = State::Ground;
      switch (b) {
        case 'A':
        case 'B':
        case 'C':
        case 'D':
        case 'H':
        case 'F':
        case 'P':
        case 'Q':
        case 'R':
        case 'S':
          return FinishCsi(b);
        default:
          return EndUnknownSequence(b);
      }
  }
}

void KeyDecoder::Feed(const unsigned char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) Decode(bytes[i]);
}

void KeyDecoder::EndOfInput() {
  const State pending = state_;
  state_ = State::Ground;
  switch (pending) {
    case State::Ground:
      return;
    case State::Escape:
      return Emit(kEscape);
    case State::Csi:
      // ESC [ with nothing after it is Alt+[; a sequence cut short is some unknown key.
      if (!csiHasBytes_) return EmitAlt('[');
      return EmitExtended(kExtendedPrefix, kUnknownKey);
    case State::CsiBracket:
      return EmitExtended(kExtendedPrefix, kUnknownKey);
    case State::Ss3:
      return EmitAlt('O');
  }
}

int KeyDecoder::NextKey() {
  if (count_ == 0) return -1;
  const int code = codes_[head_];
  head_ = (head_ + 1) % kCapacity;
  --count_;
  return code;
}

std::size_t KeyDecoder::ByteRoom() const {
  const std::size_t free = kCapacity - count_;
  return free <= kMostCodesAtEnd ? 0 : (free - kMostCodesAtEnd) / kMostCodesPerByte;
}

}  // namespace orvane
