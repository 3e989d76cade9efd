#pragma once

// What the tests of the keyboard and of job control share about the server's terminal: modes
// that show whether they were put back exactly, the key mode the server sets, and waiting
// for it.

#include <termios.h>

#include <string>

#include "tests/e2e/harness.h"

namespace orvane::e2e {

// Modes unlike both the defaults and the key mode in what the key mode changes, so that only
// a server that puts back exactly what it found leaves them unchanged. TOSTOP makes the
// terminal stop background jobs that write to it, as some operators have it: the server must
// keep serving even then.
inline void DistinctModes(termios& modes) {
  modes.c_cc[VMIN] = 3;
  modes.c_cc[VTIME] = 7;
  modes.c_lflag |= ICANON | ECHO | TOSTOP;
  modes.c_iflag |= IXON;
}

// Keys one at a time and unechoed, and Ctrl+S no longer able to freeze the output (and with
// it the server).
inline bool InKeyMode(const termios& modes) {
  return (modes.c_lflag & (ICANON | ECHO)) == 0 && (modes.c_iflag & IXON) == 0;
}

// Once the server looks at the keyboard while in the foreground, it has put the terminal into
// its key mode: no line editing, no echo. Reads the server's output meanwhile.
inline bool WaitForKeyMode(ServerProcess& server, Deadline deadline) {
  using namespace std::chrono_literals;
  for (int i = 0; i < 1000; ++i) {
    const auto modes = server.TerminalModes();
    if (modes && InKeyMode(*modes)) return true;
    if (Clock::now() >= deadline || !server.Running()) return false;
    (void)server.ReadStdoutOnce(In(20ms));
  }
  return false;
}

// For failure messages: the process state letter ('T' when stopped).
inline std::string StateOf(pid_t pid) {
  const auto state = ReadProcessState(pid);
  return state ? std::string(1, state->state) : std::string("gone");
}

}  // namespace orvane::e2e
