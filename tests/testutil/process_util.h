// process_util.h: child processes, pseudo-terminals, loopback ports and
// temporary files for tests that drive real programs.
//
// Everything here is for tests only; network helpers use 127.0.0.1 only.
// Not thread-safe unless stated.
#ifndef ORVEL_TESTS_TESTUTIL_PROCESS_UTIL_H_
#define ORVEL_TESTS_TESTUTIL_PROCESS_UTIL_H_

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testutil {

// A temporary directory, removed with its content on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes content to path()/name (mode 0644, or mode when given).
  std::string WriteFile(const std::string& name, const std::string& content, int mode = 0644) const;

 private:
  std::string path_;
};

std::string ReadFileOrEmpty(const std::string& path);

// Polls pred every 20 ms until it holds or timeout_ms passed.
bool WaitUntil(const std::function<bool()>& pred, int timeout_ms);

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short FreeLoopbackPort();
// True once 127.0.0.1:port accepts a connection (within timeout_ms).
bool WaitForLoopbackPort(unsigned short port, int timeout_ms);

// $ORVEL_BUILD_DIR/relative (ORVEL_BUILD_DIR is set by ctest).
std::string BuildPath(const std::string& relative);

// True when every piece occurs in text, each after the one before (other
// lines, such as a server's own on standard error, may come between).
bool InOrder(const std::string& text, const std::vector<std::string>& pieces);

struct ChildOptions {
  // Environment changes for the child: variables set, then variables unset.
  std::map<std::string, std::string> env;
  std::vector<std::string> unset_env;
  // Bytes for the child's standard input; a pipe that is closed after
  // writing them.  Without stdin_data the child reads /dev/null.
  bool has_stdin = false;
  std::string stdin_data;
  // New session: the child has no controlling terminal.
  bool new_session = true;
  // Run on a new pseudo-terminal as the child's controlling terminal and
  // its stdin (stdout and stderr still go to the log file).
  bool use_pty = false;
  // With use_pty: run the program in a process group of its own that is
  // not the terminal's foreground group (as "prog &" in a shell).  A
  // session-leader process stays behind it to hold the terminal; pid()
  // is the program's.
  bool pty_background = false;
};

// A program run in the background; stdout and stderr go to one log file.
// The destructor kills (SIGKILL) and reaps the child if it still runs.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const ChildOptions& options = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  // Everything the child wrote so far to stdout and stderr.
  std::string Output() const;
  bool WaitForOutput(const std::string& text, int timeout_ms) const;
  void Signal(int sig) const;
  // Waits for the child to end; returns its wait status, or -1 on timeout.
  int Wait(int timeout_ms);
  bool Running();
  // Master side of the pseudo-terminal (use_pty), else -1.
  int pty_master() const { return pty_master_; }
  // Name of the pseudo-terminal's slave side (use_pty), else "".
  const std::string& pty_name() const { return pty_name_; }
  // Remaining bytes in the stdin pipe (has_stdin): what the child did not
  // read.  Call after the child has ended.
  std::string UnreadStdin();

 private:
  pid_t pid_ = -1;
  pid_t reap_pid_ = -1;  // our own child: pid_, or the session leader
  bool reaped_ = false;
  int status_ = 0;
  std::string log_path_;
  int pty_master_ = -1;
  std::string pty_name_;
  int stdin_read_ = -1;  // parent's copy of the pipe's read end
};

// Accepts connections on 127.0.0.1:port and records, per connection, the
// bytes received until the peer closed it.  Thread-safe accessors.
class LoopbackRecorder {
 public:
  explicit LoopbackRecorder(unsigned short port);
  ~LoopbackRecorder();
  bool ok() const { return listen_fd_ >= 0; }
  // Contents of the connections that have been closed by the peer, in the
  // order they were accepted.
  std::vector<std::string> Closed() const;
  bool WaitForClosed(size_t count, int timeout_ms) const;

 private:
  void Run();
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::thread thread_;
  mutable std::mutex mu_;
  std::vector<std::string> closed_;
};

// Runs body in a forked child (fresh process-wide state, e.g. caches) and
// returns the text it returned.  REQUIRES: no other threads are running.
std::string RunInFreshProcess(const std::function<std::string()>& body);

// Holds an exclusive lock named after a port for its lifetime, so that
// tests of any binary or ctest run that bind the same fixed port take turns.
// Blocks until the lock is free.
class PortLock {
 public:
  explicit PortLock(unsigned short port);
  ~PortLock();
  PortLock(const PortLock&) = delete;
  PortLock& operator=(const PortLock&) = delete;

 private:
  int fd_ = -1;
};

// Replaces fd (standard output by default) with a temporary file until
// Finish() (or destruction); Finish() returns what was written.
class StdoutCapture {
 public:
  explicit StdoutCapture(int fd = 1);
  ~StdoutCapture();
  std::string Finish();

 private:
  int fd_;
  int saved_ = -1;
  std::string path_;
  bool done_ = false;
};

// A program run to its end: its exit status (-1 when it did not exit
// normally within the time) and everything it wrote.
struct ProgramRun {
  int exit_code = -1;
  std::string output;
};
ProgramRun RunProgram(const std::vector<std::string>& argv, int timeout_ms);

// Sets (value) or unsets (nullptr) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace testutil

#endif  // ORVEL_TESTS_TESTUTIL_PROCESS_UTIL_H_
