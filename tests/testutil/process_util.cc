// process_util.cc: helpers for tests that run real programs.
#include "testutil/process_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "net/address.h"

namespace testutil {

namespace {

void RemoveTree(const std::string& path) {
  std::string cmd = "rm -rf '" + path + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path.c_str());
}

sockaddr_in Loopback(unsigned short port) { return orvel::net::Ipv4(htonl(INADDR_LOOPBACK), port); }

}  // namespace

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/orvel-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string TempDir::WriteFile(const std::string& name, const std::string& content,
                               int mode) const {
  std::string full = path_ + "/" + name;
  std::string dir = full.substr(0, full.rfind('/'));
  std::string mk = "mkdir -p '" + dir + "'";
  if (system(mk.c_str()) != 0) return full;
  {
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out << content;
  }
  chmod(full.c_str(), static_cast<mode_t>(mode));
  return full;
}

std::string ReadFileOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool WaitUntil(const std::function<bool()>& pred, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    usleep(20000);
  }
}

unsigned short FreeLoopbackPort() {
  int err = 0;
  orvel::net::UniqueFd s = orvel::net::ListenTcp(Loopback(0), 1, &err);
  return s.valid() ? orvel::net::LocalPort(s.get()) : 0;
}

bool WaitForLoopbackPort(unsigned short port, int timeout_ms) {
  return WaitUntil(
      [port] {
        int err = 0;
        return orvel::net::ConnectTcp(Loopback(port), orvel::net::Deadline::After(5), &err).valid();
      },
      timeout_ms);
}

bool InOrder(const std::string& text, const std::vector<std::string>& pieces) {
  size_t pos = 0;
  for (const auto& piece : pieces) {
    pos = text.find(piece, pos);
    if (pos == std::string::npos) return false;
    pos += piece.size();
  }
  return true;
}

std::string BuildPath(const std::string& relative) {
  const char* dir = getenv("ORVEL_BUILD_DIR");
  return std::string(dir != nullptr ? dir : ".") + "/" + relative;
}

// ---- Child ------------------------------------------------------------------

namespace {

// With a pty in the background: forks once more so the program runs in a
// process group of its own, tells the parent the program's pid through
// pid_out, and stands by to pass on how the program ended.  Returns in the
// program.
void SplitOffProgram(int pid_out) {
  pid_t program = fork();
  if (program > 0) {
    (void)!write(pid_out, &program, sizeof program);
    int st = 0;
    waitpid(program, &st, 0);
    if (WIFSIGNALED(st)) {
      signal(WTERMSIG(st), SIG_DFL);
      raise(WTERMSIG(st));
    }
    _exit(WIFEXITED(st) ? WEXITSTATUS(st) : 1);
  }
  setpgid(0, 0);
}

// In the forked child: standard input from the pty, the pipe or /dev/null,
// output to the log, the environment changes, then the program.
[[noreturn]] void ExecChild(std::vector<std::string> args, const ChildOptions& options,
                            const std::string& pty_name, int log_fd, int stdin_fd, int pid_out) {
  if (options.new_session || options.use_pty) setsid();
  if (options.use_pty) {
    int slave = open(pty_name.c_str(), O_RDWR);  // becomes the controlling tty
    if (slave < 0) _exit(125);
    ioctl(slave, TIOCSCTTY, 0);
    dup2(slave, 0);
    if (slave > 2) close(slave);
    if (options.pty_background) SplitOffProgram(pid_out);
  } else if (options.has_stdin) {
    dup2(stdin_fd, 0);
  } else {
    int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
  }
  dup2(log_fd, 1);
  dup2(log_fd, 2);
  for (const auto& name : options.unset_env) unsetenv(name.c_str());
  for (const auto& kv : options.env) setenv(kv.first.c_str(), kv.second.c_str(), 1);
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(&a[0]);
  cargv.push_back(nullptr);
  execv(cargv[0], cargv.data());
  _exit(127);
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const ChildOptions& options) {
  char log_tmpl[] = "/tmp/orvel-child-XXXXXX";
  int log_fd = mkstemp(log_tmpl);
  if (log_fd < 0) return;
  log_path_ = log_tmpl;

  int in_pipe[2] = {-1, -1};
  if (options.has_stdin) {
    if (pipe2(in_pipe, O_CLOEXEC) != 0) return;
    // Small key sequences fit the pipe buffer, so no writer thread is needed.
    if (!options.stdin_data.empty() &&
        write(in_pipe[1], options.stdin_data.data(), options.stdin_data.size()) !=
            static_cast<ssize_t>(options.stdin_data.size())) {
      return;
    }
  }
  if (options.use_pty) {
    pty_master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty_master_ < 0 || grantpt(pty_master_) != 0 || unlockpt(pty_master_) != 0) return;
    pty_name_ = ptsname(pty_master_);
  }

  int pid_pipe[2] = {-1, -1};
  if (options.pty_background && pipe2(pid_pipe, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) ExecChild(argv, options, pty_name_, log_fd, in_pipe[0], pid_pipe[1]);
  close(log_fd);
  reap_pid_ = pid_;
  if (options.pty_background && pid_ > 0) {
    close(pid_pipe[1]);
    pid_t program = -1;
    if (read(pid_pipe[0], &program, sizeof program) == sizeof program) pid_ = program;
    close(pid_pipe[0]);
  }
  if (options.has_stdin) {
    close(in_pipe[1]);
    stdin_read_ = in_pipe[0];
  }
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    if (reap_pid_ != pid_) kill(reap_pid_, SIGKILL);
    waitpid(reap_pid_, &status_, 0);
  }
  if (pty_master_ >= 0) close(pty_master_);
  if (stdin_read_ >= 0) close(stdin_read_);
  if (!log_path_.empty()) {
    // A sanitizer report in a program under test fails the test.
    std::string log = Output();
    if (log.find("ERROR: AddressSanitizer") != std::string::npos ||
        log.find("ERROR: LeakSanitizer") != std::string::npos ||
        log.find(": runtime error: ") != std::string::npos) {
      ADD_FAILURE() << "sanitizer report from a child process:\n" << log;
    }
    unlink(log_path_.c_str());
  }
}

std::string Child::Output() const { return ReadFileOrEmpty(log_path_); }

bool Child::WaitForOutput(const std::string& text, int timeout_ms) const {
  return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeout_ms);
}

void Child::Signal(int sig) const {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

int Child::Wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  if (reaped_) return status_;
  bool done = WaitUntil(
      [&] {
        pid_t r = waitpid(reap_pid_, &status_, WNOHANG);
        return r == reap_pid_;
      },
      timeout_ms);
  if (!done) return -1;
  reaped_ = true;
  return status_;
}

bool Child::Running() {
  if (pid_ <= 0 || reaped_) return false;
  pid_t r = waitpid(reap_pid_, &status_, WNOHANG);
  if (r == reap_pid_) {
    reaped_ = true;
    return false;
  }
  return true;
}

std::string Child::UnreadStdin() {
  std::string rest;
  if (stdin_read_ < 0) return rest;
  int flags = fcntl(stdin_read_, F_GETFL, 0);
  fcntl(stdin_read_, F_SETFL, flags | O_NONBLOCK);
  char buf[256];
  ssize_t n;
  while ((n = read(stdin_read_, buf, sizeof buf)) > 0) rest.append(buf, static_cast<size_t>(n));
  return rest;
}

// ---- LoopbackRecorder -------------------------------------------------------

LoopbackRecorder::LoopbackRecorder(unsigned short port) {
  int err = 0;
  orvel::net::UniqueFd fd = orvel::net::ListenTcp(Loopback(port), 16, &err);
  if (!fd.valid() || pipe2(wake_, O_CLOEXEC) != 0) return;
  listen_fd_ = fd.release();
  thread_ = std::thread([this] { Run(); });
}

LoopbackRecorder::~LoopbackRecorder() {
  if (listen_fd_ < 0) return;
  char c = 'x';
  (void)!write(wake_[1], &c, 1);
  thread_.join();
  close(listen_fd_);
  close(wake_[0]);
  close(wake_[1]);
}

void LoopbackRecorder::Run() {
  // One connection at a time is enough for a monitor that gets one line per
  // connection from a client that connects, sends and closes.
  for (;;) {
    pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (p[1].revents) return;
    int conn = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    std::string data;
    for (;;) {
      pollfd q[2] = {{conn, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (poll(q, 2, 10000) <= 0 || q[1].revents) break;
      char buf[512];
      ssize_t n = read(conn, buf, sizeof buf);
      if (n <= 0) {
        std::lock_guard<std::mutex> lock(mu_);
        closed_.push_back(data);
        break;
      }
      data.append(buf, static_cast<size_t>(n));
    }
    close(conn);
  }
}

std::vector<std::string> LoopbackRecorder::Closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

bool LoopbackRecorder::WaitForClosed(size_t count, int timeout_ms) const {
  return WaitUntil([&] { return Closed().size() >= count; }, timeout_ms);
}

std::string RunInFreshProcess(const std::function<std::string()>& body) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return "pipe failed";
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string result = body();
    size_t off = 0;
    while (off < result.size()) {
      ssize_t n = write(p[1], result.data() + off, result.size() - off);
      if (n <= 0) break;
      off += static_cast<size_t>(n);
    }
    fflush(stdout);
    _exit(0);
  }
  close(p[1]);
  std::string result;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) result.append(buf, static_cast<size_t>(n));
  close(p[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result += "<child failed>";
  return result;
}

PortLock::PortLock(unsigned short port) {
  std::string path = "/tmp/orvel-test-port-" + std::to_string(port) + ".lock";
  fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd_ >= 0) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
}

PortLock::~PortLock() {
  if (fd_ >= 0) close(fd_);
}

// ---- StdoutCapture ----------------------------------------------------------

StdoutCapture::StdoutCapture(int fd) : fd_(fd) {
  fflush(stdout);
  fflush(stderr);
  char tmpl[] = "/tmp/orvel-stdout-XXXXXX";
  int tmp_fd = mkstemp(tmpl);
  if (tmp_fd < 0) return;
  path_ = tmpl;
  saved_ = dup(fd_);
  dup2(tmp_fd, fd_);
  close(tmp_fd);
}

StdoutCapture::~StdoutCapture() { Finish(); }

std::string StdoutCapture::Finish() {
  if (done_ || saved_ < 0) return std::string();
  done_ = true;
  fflush(stdout);
  fflush(stderr);
  dup2(saved_, fd_);
  close(saved_);
  std::string text = ReadFileOrEmpty(path_);
  unlink(path_.c_str());
  return text;
}

ProgramRun RunProgram(const std::vector<std::string>& argv, int timeout_ms) {
  Child c(argv);
  ProgramRun r;
  int status = c.Wait(timeout_ms);
  if (status >= 0 && WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.output = c.Output();
  return r;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  const char* old = getenv(name);
  had_ = old != nullptr;
  if (had_) old_ = old;
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (had_) {
    setenv(name_.c_str(), old_.c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace testutil
