// console.cc: the service's console: the controlling terminal and the
// pause between the steps an operator follows on the monitor.
#include "console.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>

#include "port/mutex.h"

FILE* ins = nullptr;
struct termios termsave;
struct termios term;

namespace {

// One pause at a time: two concurrent pauses would otherwise share one key
// and the second would save the pause settings as "normal".
orvel::port::Mutex pause_mutex;

// Read by the signal handler: the console descriptor and whether the pause
// settings are in force right now.  Atomic, not just volatile: the signal
// may land on another thread than the one pausing.
std::atomic<int> console_fd{-1};
std::atomic<int> pause_active{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

constexpr int kFatalSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kNumFatalSignals = sizeof kFatalSignals / sizeof kFatalSignals[0];
struct sigaction saved_actions[kNumFatalSignals];
bool handler_installed[kNumFatalSignals] GUARDED_BY(pause_mutex);

// Puts the console back, then lets the signal do what it would have done.
void RestoreConsoleOnSignal(int sig) {
  if (pause_active) tcsetattr(console_fd, TCSANOW, &termsave);
  for (int i = 0; i < kNumFatalSignals; ++i) {
    if (kFatalSignals[i] == sig) sigaction(sig, &saved_actions[i], nullptr);
  }
  raise(sig);  // pending until this handler returns
}

// Signals the process ignores stay ignored.
void InstallPauseSignalHandlers() REQUIRES(pause_mutex) {
  for (int i = 0; i < kNumFatalSignals; ++i) {
    handler_installed[i] = false;
    struct sigaction old;
    if (sigaction(kFatalSignals[i], nullptr, &old) != 0) continue;
    if (!(old.sa_flags & SA_SIGINFO) && old.sa_handler == SIG_IGN) continue;
    saved_actions[i] = old;
    struct sigaction sa {};
    sa.sa_handler = RestoreConsoleOnSignal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(kFatalSignals[i], &sa, nullptr) == 0) handler_installed[i] = true;
  }
}

void RemovePauseSignalHandlers() REQUIRES(pause_mutex) {
  for (int i = 0; i < kNumFatalSignals; ++i) {
    if (handler_installed[i]) sigaction(kFatalSignals[i], &saved_actions[i], nullptr);
    handler_installed[i] = false;
  }
}

// A terminal stops a background process that changes its settings or reads
// from it; such a service cannot take a key anyway.
bool ConsoleInBackground(int fd) {
  pid_t fg = tcgetpgrp(fd);
  return fg >= 0 && fg != getpgrp();
}

}  // namespace

void initConsole() {
  // Given a buffer, ctermid is reentrant (glibc has no ctermid_r).
  char tty_name[L_ctermid];
  // cppcheck-suppress ctermidCalled ; writes only tty_name
  ins = fopen(ctermid(tty_name), "r+e");
  if (ins == nullptr) {
    fprintf(stderr, "failed to open cterm?!\n");
    ins = stdin;
  }
  setvbuf(ins, nullptr, _IONBF, 0);
  console_fd = fileno(ins);
  (void)tcgetattr(fileno(ins), &termsave);
  term = termsave;
  term.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
  term.c_cc[VMIN] = 1;
  term.c_cc[VTIME] = 0;
}

void pressAnyKey() {
  orvel::port::MutexLock lock(&pause_mutex);
  FILE* console = ins != nullptr ? ins : stdin;
  int fd = fileno(console);
  if (ConsoleInBackground(fd)) {
    printf("(console not in the foreground: not pausing)\n");
    return;
  }
  InstallPauseSignalHandlers();
  tcflush(fd, TCIFLUSH);
  pause_active = 1;
  tcsetattr(fd, TCSANOW, &term);
  (void)fgetc(console);
  tcsetattr(fd, TCSANOW, &termsave);
  pause_active = 0;
  clearerr(console);
  RemovePauseSignalHandlers();
}

void restoreConsole() {
  if (pause_active) tcsetattr(console_fd, TCSANOW, &termsave);
}
