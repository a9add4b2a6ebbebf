// orvel-load: a loopback load generator for one-shot HTTP servers.
//
// Keeps N connections in flight on one non-blocking epoll loop; each one
// connects, sends the request file's bytes as they stand, reads until the
// server closes, and is replaced by a fresh connection.  Prints one line of
// figures: completed requests, errors, requests per second and latency
// percentiles (connect to close).  --idle opens silent connections instead
// and reports how many the server let stand, and optionally the server's
// resident memory growth per connection.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cli.h"
#include "net/address.h"
#include "net/event_loop.h"

namespace {

namespace net = orvel::net;

using Clock = std::chrono::steady_clock;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string request_file;
  int connections = 16;
  long requests = 20000;
  double duration_s = 10;
  long warmup = 200;
  double timeout_s = 10;
  long idle = 0;
  double hold_s = 2;
  int rss_pid = 0;
  long spread = 1;
};

// Parses the command line; a wrong one ends the process (status 64).
void ParseArgs(int argc, char** argv, Options* o) {
  orvel::cli::CommandLine cli(
      "orvel-load",
      "Usage: orvel-load --port PORT --request FILE [options]\n"
      "       orvel-load --port PORT --idle N [--hold S] [--rss-pid PID]",
      "Load mode: keeps --connections connections in flight against\n"
      "HOST:PORT, one request per connection (the bytes of FILE, sent as they\n"
      "stand), reading each response until the server closes.  Prints\n"
      "  requests R errors E seconds T rate X p50_us A p99_us B p999_us C\n"
      "A response not starting with \"HTTP/1.1 200\" or \"HTTP/1.0 200\", a\n"
      "refused or reset connection all count as errors.\n"
      "\n"
      "Idle mode: opens N connections that never send, holds them --hold\n"
      "seconds, and prints\n"
      "  idle N established M failed F closed_by_server C [rss_before_kb K\n"
      "  rss_after_kb L rss_per_conn_bytes P]");
  cli.Text("host", 0, "A", "server address, 127.0.0.0/8 only (default 127.0.0.1)", &o->host)
      .Number("port", 0, "PORT", "server port (required)", 1, 65535, &o->port)
      .Text("request", 0, "FILE", "the request bytes (load mode)", &o->request_file)
      .Number("connections", 0, "N", "connections in flight (default 16)", 1, 100000,
              &o->connections)
      .Number("requests", 0, "N", "stop after N completed requests (default 20000)", 1, 1000000000,
              &o->requests)
      .Seconds("duration", "S", "stop after S seconds at most (default 10)", 86400, &o->duration_s)
      .Number("warmup", 0, "N", "requests completed before measuring (default 200)", 0, 1000000000,
              &o->warmup)
      .Seconds("timeout", "S", "a connection taking longer is an error (default 10)", 86400,
               &o->timeout_s)
      .Number("idle", 0, "N", "idle mode with N connections", 1, 1000000, &o->idle)
      .Seconds("hold", "S", "idle mode: seconds to hold them (default 2)", 86400, &o->hold_s)
      .Number("rss-pid", 0, "PID", "idle mode: read this process's VmRSS before and after", 1,
              1LL << 30, &o->rss_pid)
      .Number("spread", 0, "K",
              "idle mode: connect to K addresses from --host up (the server listening "
              "on all), for more connections than one address pair has source ports",
              1, 250, &o->spread)
      .ExitStatus(
          "  0   every request succeeded (load) or every idle connection was\n"
          "      established and left open (idle)\n"
          "  1   otherwise\n"
          "  64  wrong command line, or a request file that cannot be read\n");
  cli.Parse(argc, argv);
  if (o->port == 0) cli.Fail("--port PORT is required");
  if (o->idle == 0 && o->request_file.empty()) cli.Fail("--request FILE or --idle N is required");
}

using net::UniqueFd;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void RaiseDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    (void)setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// Resident memory in KiB.  smaps_rollup walks the page tables; VmRSS in
// status comes from per-CPU counters that lag by many pages per thread.
long ReadRssKb(int pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::string line;
  std::ifstream rollup(dir + "/smaps_rollup");
  while (std::getline(rollup, line)) {
    if (line.rfind("Rss:", 0) == 0) return std::atol(line.c_str() + 4);
  }
  std::ifstream status(dir + "/status");
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

class Loop;

// A connection in flight.
struct Slot final : net::EventLoop::Watcher {
  void OnEvents(uint32_t events) override;
  Loop* loop = nullptr;
  uint32_t index = 0;
  UniqueFd fd;
  enum class State { kFree, kConnecting, kWriting, kReading } state = State::kFree;
  size_t written = 0;
  std::string head;  // the first bytes of the response, for the status check
  Clock::time_point started;
};

class Loop {
 public:
  Loop(const Options& o, sockaddr_in to, std::string request)
      : o_(o), to_(to), request_(std::move(request)), slots_(o.connections) {
    for (size_t i = 0; i < slots_.size(); ++i) {
      slots_[i].loop = this;
      slots_[i].index = static_cast<uint32_t>(i);
    }
  }

  // Load mode.  Returns the process exit status.
  int RunLoad() {
    int err = 0;
    events_ = net::EventLoop::Create(&err);
    if (!events_) {
      errno = err;
      return Fail("epoll_create1");
    }
    // Without warm-up the clock starts with the first connection; otherwise
    // at the completion of the last warm-up request.
    if (o_.warmup == 0) StartClock();
    for (size_t i = 0; i < slots_.size(); ++i) Start(i);
    const Clock::time_point end_by =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.duration_s));
    while (!Enough()) {
      Clock::time_point now = Clock::now();
      if (now >= end_by) break;
      events_->RunOnce(100);
      ExpireSlow();
    }
    if (measuring_ && !Enough()) measure_end_ = Clock::now();  // stopped by --duration
    const double elapsed = measuring_ ? Seconds(measure_end_ - measure_start_) : 0;
    std::sort(latencies_us_.begin(), latencies_us_.end());
    auto at = [this](double q) {
      if (latencies_us_.empty()) return 0.0;
      return latencies_us_[static_cast<size_t>(q * (latencies_us_.size() - 1))];
    };
    const double rate = elapsed > 0 ? latencies_us_.size() / elapsed : 0;
    std::printf(
        "requests %zu errors %ld seconds %.3f rate %.1f p50_us %.1f p99_us %.1f "
        "p999_us %.1f\n",
        latencies_us_.size(), errors_, elapsed, rate, at(0.50), at(0.99), at(0.999));
    if (!first_error_.empty())
      std::fprintf(stderr, "orvel-load: first error: %s\n", first_error_.c_str());
    return errors_ == 0 && !latencies_us_.empty() ? 0 : 1;
  }

 private:
  int Fail(const char* what) {
    std::perror(what);
    return 1;
  }

  void Error(size_t i, const std::string& why) {
    ++errors_;
    if (first_error_.empty()) first_error_ = why;
    Finish(i);
  }

  bool Enough() const { return done_ >= o_.requests + o_.warmup; }

  void StartClock() {
    measuring_ = true;
    measure_start_ = Clock::now();
  }

  // Frees the slot and, while more requests are wanted, starts its next
  // connection.
  void Finish(size_t i) {
    if (slots_[i].fd.valid()) events_->Unwatch(slots_[i].fd.get(), &slots_[i]);
    slots_[i].fd.reset();
    slots_[i].state = Slot::State::kFree;
    if (!Enough()) Start(i);
  }

  void Start(size_t i) {
    Slot& s = slots_[i];
    s.started = Clock::now();
    int err = 0;
    s.fd = net::ConnectStart(to_, &err);
    if (!s.fd.valid()) {
      ++errors_;
      if (first_error_.empty()) first_error_ = std::string("connect: ") + std::strerror(err);
      return;  // the slot stays free; the run goes on with fewer
    }
    s.written = 0;
    s.head.clear();
    s.state = Slot::State::kConnecting;
    // Writable once connected (or failed).
    if (!events_->Watch(s.fd.get(), EPOLLOUT, &s)) {
      Error(i, std::string("epoll_ctl: ") + std::strerror(errno));
    }
  }

 public:
  void Handle(uint32_t i, uint32_t events) {
    Slot& s = slots_[i];
    if (s.state == Slot::State::kConnecting) {
      const int err = net::ConnectResult(s.fd.get());
      if (err != 0) return Error(i, std::string("connect: ") + std::strerror(err));
      s.state = Slot::State::kWriting;
    }
    if (s.state == Slot::State::kWriting) {
      while (s.written < request_.size()) {
        ssize_t n = send(s.fd.get(), request_.data() + s.written, request_.size() - s.written,
                         MSG_NOSIGNAL);
        if (n < 0) {
          if (errno == EAGAIN) return;
          if (errno == EINTR) continue;
          return Error(i, std::string("send: ") + std::strerror(errno));
        }
        s.written += static_cast<size_t>(n);
      }
      s.state = Slot::State::kReading;
      events_->Change(s.fd.get(), EPOLLIN, &s);
      return;
    }
    if (s.state != Slot::State::kReading || !(events & (EPOLLIN | EPOLLHUP | EPOLLERR))) return;
    char buf[16384];
    for (;;) {
      ssize_t n = recv(s.fd.get(), buf, sizeof buf, 0);
      if (n > 0) {
        if (s.head.size() < 16) s.head.append(buf, std::min<size_t>(n, 16 - s.head.size()));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return;
      if (n < 0) return Error(i, std::string("recv: ") + std::strerror(errno));
      break;  // closed by the server: the exchange is complete
    }
    if (s.head.rfind("HTTP/1.1 200", 0) != 0 && s.head.rfind("HTTP/1.0 200", 0) != 0) {
      return Error(i, "response: " + s.head);
    }
    Completed(Clock::now() - s.started);
    Finish(i);
  }

 private:
  // Connections still in flight when the last wanted request completes
  // are not counted: several can complete in one wake-up.
  void Completed(Clock::duration took) {
    if (Enough()) return;
    ++done_;
    if (done_ <= o_.warmup) {
      if (done_ == o_.warmup) StartClock();
      return;
    }
    latencies_us_.push_back(std::chrono::duration<double, std::micro>(took).count());
    if (Enough()) measure_end_ = Clock::now();
  }

  void ExpireSlow() {
    Clock::time_point now = Clock::now();
    for (size_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].state != Slot::State::kFree &&
          Seconds(now - slots_[i].started) > o_.timeout_s) {
        Error(i, "timed out");
      }
    }
  }

  const Options& o_;
  sockaddr_in to_;
  std::string request_;
  std::vector<Slot> slots_;
  std::unique_ptr<net::EventLoop> events_;
  long done_ = 0;
  long errors_ = 0;
  std::string first_error_;
  bool measuring_ = false;
  Clock::time_point measure_start_;
  Clock::time_point measure_end_;
  std::vector<double> latencies_us_;
};

void Slot::OnEvents(uint32_t events) { loop->Handle(index, events); }

// Idle mode's tallies, shared by its connections.
struct IdleCounts {
  long pending = 0;  // connects not yet answered
  long established = 0;
  long failed = 0;
  long closed = 0;  // closed by the server while held
};

// One idle connection: connecting, then established, then gone.
class IdleConn final : public net::EventLoop::Watcher {
 public:
  // Starts connecting to dest; false (and counted failed) when that fails.
  bool Start(net::EventLoop* loop, const sockaddr_in& dest, IdleCounts* counts) {
    loop_ = loop;
    counts_ = counts;
    int err = 0;
    fd_ = net::ConnectStart(dest, &err);
    if (!fd_.valid() || !loop_->Watch(fd_.get(), EPOLLOUT, this)) {
      if (!fd_.valid()) std::fprintf(stderr, "connect: %s\n", std::strerror(err));
      ++counts_->failed;
      state_ = kGone;
      fd_.reset();
      return false;
    }
    ++counts_->pending;
    return true;
  }

  void OnEvents(uint32_t) override {
    if (state_ == kConnecting) {
      --counts_->pending;
      if (net::ConnectResult(fd_.get()) != 0) {
        ++counts_->failed;
        Drop();
        return;
      }
      ++counts_->established;
      state_ = kEstablished;
      loop_->Change(fd_.get(), EPOLLIN | EPOLLRDHUP, this);
    } else if (state_ == kEstablished) {
      ++counts_->closed;
      Drop();
    }
  }

 private:
  enum State { kConnecting, kEstablished, kGone };
  void Drop() {
    state_ = kGone;
    loop_->Unwatch(fd_.get(), this);
    fd_.reset();
  }

  net::EventLoop* loop_ = nullptr;
  IdleCounts* counts_ = nullptr;
  UniqueFd fd_;
  State state_ = kConnecting;
};

// Idle mode: connects o.idle sockets that never send, at most 256 connects
// pending at a time, then holds them and watches for the server closing any.
int RunIdle(const Options& o, const sockaddr_in& to) {
  const long rss_before = o.rss_pid ? ReadRssKb(o.rss_pid) : -1;
  int err = 0;
  std::unique_ptr<net::EventLoop> loop = net::EventLoop::Create(&err);
  if (!loop) {
    errno = err;
    std::perror("epoll_create1");
    return 1;
  }
  IdleCounts counts;
  std::vector<IdleConn> conns(static_cast<size_t>(o.idle));
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(60);
  for (size_t i = 0; i < conns.size(); ++i) {
    while (counts.pending >= 256 && Clock::now() < give_up) loop->RunOnce(100);
    sockaddr_in dest = to;
    const long k = static_cast<long>(i) % o.spread;
    dest.sin_addr.s_addr = htonl(ntohl(to.sin_addr.s_addr) + static_cast<uint32_t>(k));
    conns[i].Start(loop.get(), dest, &counts);
  }
  while (counts.pending > 0 && Clock::now() < give_up) loop->RunOnce(100);
  counts.failed += counts.pending;
  const Clock::time_point hold_end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(o.hold_s));
  while (Clock::now() < hold_end) loop->RunOnce(50);
  std::printf("idle %ld established %ld failed %ld closed_by_server %ld", o.idle,
              counts.established, counts.failed, counts.closed);
  if (o.rss_pid) {
    const long rss_after = ReadRssKb(o.rss_pid);
    const double per =
        counts.established > 0 ? (rss_after - rss_before) * 1024.0 / counts.established : 0;
    std::printf(" rss_before_kb %ld rss_after_kb %ld rss_per_conn_bytes %.0f", rss_before,
                rss_after, per);
  }
  std::printf("\n");
  return counts.established == o.idle && counts.closed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  ParseArgs(argc, argv, &o);
  signal(SIGPIPE, SIG_IGN);
  uint32_t addr = 0;
  if (!net::ParseDottedQuad(o.host.c_str(), &addr) || (ntohl(addr) >> 24) != 127 ||
      ((ntohl(addr) + static_cast<uint32_t>(o.spread) - 1) >> 24) != 127) {
    std::fprintf(stderr, "orvel-load: %s is not a 127.0.0.0/8 address\n", o.host.c_str());
    return orvel::cli::kExitUsage;
  }
  const sockaddr_in to = net::Ipv4(addr, static_cast<uint16_t>(o.port));
  RaiseDescriptorLimit();
  if (o.idle > 0) return RunIdle(o, to);
  std::ifstream in(o.request_file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "orvel-load: cannot read %s\n", o.request_file.c_str());
    return orvel::cli::kExitUsage;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (bytes.str().empty()) {
    std::fprintf(stderr, "orvel-load: %s is empty\n", o.request_file.c_str());
    return orvel::cli::kExitUsage;
  }
  Loop loop(o, to, bytes.str());
  return loop.RunLoad();
}
