#pragma once

#include "platform/key_decoder.h"

namespace orvane {

// Key presses from the controlling terminal itself, never from standard input, without echo
// and without waiting for Enter. The terminal is put in that mode only while this process is
// in its foreground, and its modes are restored exactly on every way out: destruction, the
// signals that end the process (INT, TERM, QUIT, HUP) and a stop from the keyboard (TSTP).
// Ctrl+C keeps working. Without a controlling terminal no key press is ever reported.
class ConsoleKeyboard {
 public:
  ConsoleKeyboard();
  ConsoleKeyboard(const ConsoleKeyboard&) = delete;
  ConsoleKeyboard& operator=(const ConsoleKeyboard&) = delete;
  ~ConsoleKeyboard();

  bool kbhit();
  int getch();

 private:
  bool InForeground() const;
  void ReadPendingBytes();

  int fd_ = -1;
  KeyDecoder decoder_;
};

}  // namespace orvane
