#include "platform/console_keyboard.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace orvane {

namespace {

// Shared with the signal handlers, which must be able to put the terminal back as it was.
int g_ttyFd = -1;
struct termios g_savedModes {};
volatile sig_atomic_t g_keyModeSet = 0;
bool g_handlersInstalled = false;

// Every signal whose default action ends the process and that can reach it from outside:
// the keyboard, kill, a closed output pipe (a status line written to `| head` that has gone),
// a file size or CPU limit, timers.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM,
                                  SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF};

void RestoreTerminal() {
  if (g_keyModeSet == 0) return;
  g_keyModeSet = 0;
  (void)tcsetattr(g_ttyFd, TCSANOW, &g_savedModes);
}

void SetDefaultAction(int sig) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  (void)sigaction(sig, &dfl, nullptr);
}

// Restores the terminal, then lets the signal do what it would have done without us.
void OnEndingSignal(int sig) {
  const int savedErrno = errno;
  RestoreTerminal();
  SetDefaultAction(sig);
  (void)raise(sig);  // delivered as soon as this handler returns
  errno = savedErrno;
}

void InstallHandler(int sig, void (*handler)(int)) {
  struct sigaction old {};
  (void)sigaction(sig, nullptr, &old);
  // A signal the process was started to ignore (nohup, a background job) stays ignored.
  if (old.sa_handler == SIG_IGN) return;
  struct sigaction sa {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  (void)sigaction(sig, &sa, nullptr);
}

// Ctrl+Z: give the shell its terminal back as it was, stop, and when continued take up the
// key mode again at the next look at the keyboard, if we are in the foreground by then.
void OnStopSignal(int sig) {
  const int savedErrno = errno;
  RestoreTerminal();
  SetDefaultAction(sig);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, sig);
  (void)raise(sig);
  (void)sigprocmask(SIG_UNBLOCK, &stop, nullptr);  // the process stops here
  InstallHandler(sig, OnStopSignal);
  errno = savedErrno;
}

// Holds back the signals whose handlers touch the terminal while the mode and the flag that
// records it change together; a handler in between would see one without the other.
class TerminalSignalsHeld {
 public:
  TerminalSignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (int sig : kEndingSignals) sigaddset(&held, sig);
    sigaddset(&held, SIGTSTP);
    (void)sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  TerminalSignalsHeld(const TerminalSignalsHeld&) = delete;
  TerminalSignalsHeld& operator=(const TerminalSignalsHeld&) = delete;
  ~TerminalSignalsHeld() { (void)sigprocmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_{};
};

void SetKeyMode() {
  const TerminalSignalsHeld held;
  // Read afresh each time: while the process was stopped the operator may have changed them,
  // and those are the modes to leave behind.
  if (tcgetattr(g_ttyFd, &g_savedModes) != 0) return;
  if (!g_handlersInstalled) {
    g_handlersInstalled = true;
    for (int sig : kEndingSignals) InstallHandler(sig, OnEndingSignal);
    InstallHandler(SIGTSTP, OnStopSignal);
  }
  struct termios keys = g_savedModes;
  // Keys arrive one at a time and unechoed; ISIG stays, so Ctrl+C and Ctrl+Z still work.
  keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  // Ctrl+S would otherwise freeze the terminal's output, and with it the status line and
  // every service waiting behind it; here it is just another key.
  keys.c_iflag &= ~static_cast<tcflag_t>(IXON);
  keys.c_cc[VMIN] = 0;
  keys.c_cc[VTIME] = 0;
  if (tcsetattr(g_ttyFd, TCSANOW, &keys) == 0) g_keyModeSet = 1;
}

}  // namespace

ConsoleKeyboard::ConsoleKeyboard() {
  // A process in the background of a job-control shell must never be stopped for touching
  // the terminal: it keeps serving, and leaves the terminal alone until it is in front again.
  (void)signal(SIGTTIN, SIG_IGN);
  (void)signal(SIGTTOU, SIG_IGN);
  fd_ = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  g_ttyFd = fd_;
}

ConsoleKeyboard::~ConsoleKeyboard() {
  {
    const TerminalSignalsHeld held;
    RestoreTerminal();
    g_ttyFd = -1;
  }
  if (fd_ >= 0) (void)close(fd_);
}

bool ConsoleKeyboard::InForeground() const {
  return fd_ >= 0 && tcgetpgrp(fd_) == getpgrp();
}

void ConsoleKeyboard::ReadPendingBytes() {
  if (g_keyModeSet == 0) SetKeyMode();
  unsigned char bytes[64];
  std::size_t want = decoder_.ByteRoom();
  if (want > sizeof bytes) want = sizeof bytes;
  if (want == 0) return;
  const ssize_t n = read(fd_, bytes, want);
  if (n > 0) decoder_.Feed(bytes, static_cast<std::size_t>(n));
  // Fewer bytes than asked for means the terminal has nothing more: a lone ESC at the end is
  // the ESC key, not the start of a sequence still on its way.
  if (n < static_cast<ssize_t>(want)) decoder_.EndOfInput();
}

bool ConsoleKeyboard::kbhit() {
  if (decoder_.HasKey()) return true;
  if (!InForeground()) return false;
  ReadPendingBytes();
  return decoder_.HasKey();
}

int ConsoleKeyboard::getch() {
  // Only called after kbhit() said yes, so a code is waiting.
  const int code = decoder_.NextKey();
  return code < 0 ? 0 : code;
}

}  // namespace orvane
