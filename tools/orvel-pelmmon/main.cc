// orvel-pelmmon: the coordinate monitor.  Receives "NODE COLOUR\n" lines on
// TCP (port 5646 by default), places nodes from the coordinates file and shows
// the colours live in the terminal and, with --http, on a web page.
//
// The page is served by cpp-httplib on a fixed pool of threads: a browser
// left open, or a burst of connections, can no longer start one thread per
// connection.  Event streams hold a pool thread each, so only a few are let
// in and the rest of the pool keeps answering / and /state.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "log.h"
#include "monitor_state.h"
#include "net/acceptor.h"
#include "net/address.h"
#include "net/event_loop.h"
#include "net/socket_io.h"
#include "options.h"
#include "page.h"

namespace {

using orvel::net::EventLoop;
using orvel::net::UniqueFd;
using pelmmon::MonitorState;
using pelmmon::Snapshot;

// Largest colouring line accepted; the service's lines are a dotted quad and
// a number.
constexpr size_t kMaxLineBytes = 1024;
constexpr int kPeerTimeoutMs = 5000;
// The service opens one short connection per line; more at once than this
// wait in the listen queue until a reader is free.
constexpr int kMaxColourPeers = 32;
constexpr size_t kHttpThreads = 8;
constexpr int kMaxEventStreams = 4;
constexpr int kKeepAliveEveryMs = 15000;
constexpr time_t kIdleConnectionSeconds = 1;

std::atomic<bool> g_stop{false};

void Usage(FILE* out) {
  std::fprintf(out,
               "Usage: orvel-pelmmon [options]\n"
               "Coordinate monitor: colours nodes as the synthesis service reports them.\n"
               "\n"
               "Options:\n"
               "  --listen ADDR     address for colouring lines (default 127.0.0.1)\n"
               "  --port N          TCP port for colouring lines, 0 to 65535 (default 5646;\n"
               "                    0 takes a free port)\n"
               "  --coords FILE     coordinates file (default $ORVEL_PATH/pelm.coords)\n"
               "  --http ADDR:PORT  serve the live page, e.g. --http 127.0.0.1:8080\n"
               "  --search-idle S   a search that gets no colouring line for S seconds ends\n"
               "                    without a choice if none came (default 5; 0: only\n"
               "                    RESET ends a search)\n"
               "  --no-view         do not print the terminal view\n"
               "  --log-format FORMAT\n"
               "                    plain: one line per event on standard error, stamped\n"
               "                    with ISO-8601 UTC time unless it is a terminal;\n"
               "                    journal: syslog priority prefixes for journald\n"
               "                    (default: journal when standard error is the journal)\n"
               "  -h, --help        print this help and exit\n"
               "  --version         print the program's name and version and exit\n"
               "\n"
               "Each line \"NODE COLOUR\" colours NODE (1 client, 5 chosen node);\n"
               "\"RESET 0\" clears the colours and closes the current search, which stays\n"
               "in the history.  The page at / draws all coordinate dimensions on a plane\n"
               "that keeps distances, with a line from each client to its chosen node and\n"
               "the last searches; /state gives the state as JSON.\n"
               "\n"
               "The service names neither its candidates nor its computing nodes.  A node\n"
               "once coloured 5 is shown as a computing node (only the coordinate search\n"
               "colours a node chosen); the candidates of a client are the computing\n"
               "nodes known when it is coloured, nearest first by the coordinates file,\n"
               "and the node chosen for it.\n"
               "\n"
               "Environment:\n"
               "  ORVEL_PATH  folder of the coordinates file pelm.coords\n"
               "\n"
               "Exit status:\n"
               "  0   stopped by SIGTERM or SIGINT\n"
               "  1   a listener could not be opened\n"
               "  64  wrong command line\n");
}

// The socket for colouring lines; invalid (after one line saying why) when
// the address is not a dotted quad or the port cannot be had.
UniqueFd Listen(const std::string& addr, int port, int* bound_port) {
  uint32_t a = 0;
  if (!orvel::net::ParseDottedQuad(addr.c_str(), &a)) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "not an IPv4 address: %s", addr.c_str());
    return UniqueFd();
  }
  int err = 0;
  UniqueFd fd = orvel::net::ListenTcp(orvel::net::Ipv4(a, static_cast<uint16_t>(port)), 64, &err);
  if (!fd.valid()) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot listen on %s:%d: %s", addr.c_str(), port,
                    std::strerror(err));
    return fd;
  }
  *bound_port = orvel::net::LocalPort(fd.get());
  return fd;
}

// Applies the lines a peer sent, complete or not; a line past the length
// cap is dropped.
void ApplyLines(const std::string& data, MonitorState* state) {
  size_t start = 0;
  while (start < data.size()) {
    size_t nl = data.find('\n', start);
    std::string line = data.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (line.size() <= kMaxLineBytes && !state->ApplyLine(line) && !line.empty())
      orvel::cli::Log(orvel::cli::LogLevel::kWarning, "ignored line \"%s\"", line.c_str());
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

class ColourServer;

// One colouring connection: what it sends is kept until it closes, the
// time-out passes or the size cap is reached, then applied as lines.
class ColourPeer final : public EventLoop::Watcher, public EventLoop::Timer {
 public:
  ColourPeer(ColourServer* server, UniqueFd fd) : server_(server), fd_(std::move(fd)) {}
  int fd() const { return fd_.get(); }
  void OnEvents(uint32_t events) override;
  void OnTimer() override { Finish(); }
  // Applies what arrived, lets go of the loop and frees this peer.
  void Finish();

 private:
  ColourServer* const server_;
  UniqueFd fd_;
  std::string data_;
};

// Accepts colouring connections on the loop's thread, at most
// kMaxColourPeers at once (past that the acceptor is paused until one
// ends).  Out of descriptors, the acceptor backs off on a loop timer while
// the peers go on being served.
class ColourServer {
 public:
  ColourServer(EventLoop* loop, int listener, MonitorState* state)
      : loop_(loop),
        state_(state),
        acceptor_(loop, listener, [this](UniqueFd fd, const sockaddr_in&) { Add(std::move(fd)); }) {
  }
  ~ColourServer() {
    stopping_ = true;
    acceptor_.Stop();
    // Peers still open at the stop have their lines applied too.
    while (!peers_.empty()) (*peers_.begin())->Finish();
  }
  bool Start() { return acceptor_.Start(); }
  EventLoop* loop() { return loop_; }
  MonitorState* state() { return state_; }

  void Ended(ColourPeer* peer) {
    peers_.erase(peer);
    if (!stopping_ && peers_.size() < static_cast<size_t>(kMaxColourPeers)) acceptor_.Resume();
  }

 private:
  void Add(UniqueFd fd) {
    auto peer = std::make_unique<ColourPeer>(this, std::move(fd));
    if (!loop_->Watch(peer->fd(), EPOLLIN | EPOLLRDHUP, peer.get())) return;
    loop_->Arm(peer.get(), EventLoop::Clock::now() + std::chrono::milliseconds(kPeerTimeoutMs));
    peers_.insert(peer.release());
    if (peers_.size() >= static_cast<size_t>(kMaxColourPeers)) acceptor_.Pause();
  }

  EventLoop* const loop_;
  MonitorState* const state_;
  orvel::net::Acceptor acceptor_;
  bool stopping_ = false;
  std::set<ColourPeer*> peers_;  // owned
};

void ColourPeer::OnEvents(uint32_t) {
  char buf[512];
  for (;;) {
    ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
    if (n > 0) {
      data_.append(buf, static_cast<size_t>(n));
      if (data_.size() >= kMaxLineBytes * 16) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // more to come
    break;                                                           // closed or failed
  }
  Finish();
}

void ColourPeer::Finish() {
  EventLoop* loop = server_->loop();
  loop->Unwatch(fd_.get(), this);
  loop->Disarm(this);
  ApplyLines(data_, server_->state());
  server_->Ended(this);
  delete this;
}

// Serves colouring connections on this thread until SIGINT or SIGTERM.
void ColourLoop(int lfd, MonitorState* state) {
  int err = 0;
  std::unique_ptr<EventLoop> loop = EventLoop::Create(&err);
  if (!loop || !orvel::net::SetNonBlocking(lfd, true)) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot watch the colouring port: %s",
                    std::strerror(err));
    return;
  }
  ColourServer server(loop.get(), lfd, state);
  if (!server.Start()) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot watch the colouring port");
    return;
  }
  // The signal handler only sets g_stop: look at it, and at a search gone
  // quiet, a few times a second.
  while (!g_stop) {
    loop->RunOnce(200);
    state->ExpireIdle();
  }
}

// The page's server.  Returns false when it cannot listen.
class PageServer {
 public:
  explicit PageServer(MonitorState* state) : state_(state) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
    // An open page keeps its connection alive between requests; the stop
    // waits for that wait to end, so keep it short.
    server_.set_keep_alive_timeout(kIdleConnectionSeconds);
    server_.Get("/", [](const httplib::Request&, httplib::Response& res) { Page(&res); });
    server_.Get("/index.html", [](const httplib::Request&, httplib::Response& res) { Page(&res); });
    server_.Get("/state", [this](const httplib::Request&, httplib::Response& res) {
      res.set_header("Cache-Control", "no-store");
      res.set_content(pelmmon::SnapshotJson(state_->Take()), "application/json");
    });
    server_.Get("/events",
                [this](const httplib::Request&, httplib::Response& res) { Events(&res); });
  }

  bool Bind(const std::string& addr, int port, int* bound) {
    if (port == 0) {
      *bound = server_.bind_to_any_port(addr);
      return *bound > 0;
    }
    *bound = port;
    return server_.bind_to_port(addr, port);
  }
  void Run() { server_.listen_after_bind(); }
  void Stop() { server_.stop(); }

 private:
  static void Page(httplib::Response* res) {
    res->set_header("Cache-Control", "no-store");
    res->set_content(pelmmon::kPageHtml, "text/html; charset=utf-8");
  }

  void Events(httplib::Response* res) {
    res->set_header("Cache-Control", "no-store");
    if (streams_.fetch_add(1) >= kMaxEventStreams) {
      streams_--;
      // The page falls back to polling /state.
      res->status = 503;
      res->set_header("Retry-After", "10");
      res->set_content("too many open event streams\n", "text/plain");
      return;
    }
    auto seen = std::make_shared<uint64_t>(~uint64_t{0});
    res->set_chunked_content_provider(
        "text/event-stream",
        [this, seen](size_t, httplib::DataSink& sink) {
          int waited = 0;
          while (!g_stop) {
            Snapshot s = state_->WaitNewer(*seen, 500);
            if (s.version != *seen) {
              *seen = s.version;
              std::string ev = "data: " + pelmmon::SnapshotJson(s) + "\n\n";
              return sink.write(ev.data(), ev.size());
            }
            waited += 500;
            if (waited >= kKeepAliveEveryMs) return sink.write(": keep-alive\n\n", 14);
            if (!sink.is_writable()) return false;
          }
          return false;
        },
        [this](bool) { streams_--; });
  }

  MonitorState* state_;
  httplib::Server server_;
  std::atomic<int> streams_{0};
};

void TerminalView(MonitorState* state) {
  bool tty = ::isatty(STDOUT_FILENO);
  uint64_t seen = state->Take().version;
  while (!g_stop) {
    Snapshot s = state->WaitNewer(seen, 500);
    if (s.version == seen) continue;
    seen = s.version;
    if (tty) std::printf("\033[H\033[2J");
    std::printf("-- update %llu --\n", static_cast<unsigned long long>(s.version));
    int coloured = 0;
    for (const auto& n : s.nodes) {
      if (!n.colour) continue;
      coloured++;
      std::printf("%-18s colour %d%s\n", n.name.c_str(), n.colour,
                  n.colour == pelmmon::kClientColour   ? " (client)"
                  : n.colour == pelmmon::kChosenColour ? " (chosen)"
                                                       : "");
    }
    if (!coloured) std::printf("(no coloured nodes)\n");
    if (!s.searches.empty()) {
      const pelmmon::Search& last = s.searches.back();
      if (last.choices.empty() && last.ended_ms != 0)
        std::printf("last search: %s ended without a choice\n",
                    last.marks.empty() ? "?" : last.marks.front().node.c_str());
      for (const auto& c : last.choices) {
        if (c.distance)
          std::printf("last search: %s -> %s, distance %.3g\n", c.client.c_str(), c.chosen.c_str(),
                      *c.distance);
        else
          std::printf("last search: %s -> %s\n", c.client.c_str(), c.chosen.c_str());
      }
    }
    std::fflush(stdout);
  }
}

void OnSignal(int) { g_stop = true; }

// Takes --version and --log-format, every daemon's options, out of args;
// the rest is the monitor's own command line.  Returns an exit status when
// the program is to end at once, else -1.
int TakeCommonOptions(std::vector<std::string>* args, orvel::cli::LogFormat* log_format) {
  for (size_t i = 0; i < args->size();) {
    const std::string& a = (*args)[i];
    std::string value;
    auto at = args->begin() + static_cast<long>(i);
    if (a == "--version") {
      orvel::cli::PrintVersion("orvel-pelmmon");
      return orvel::cli::kExitOk;
    } else if (a.rfind("--log-format=", 0) == 0) {
      value = a.substr(13);
      args->erase(at);
    } else if (a == "--log-format" && i + 1 < args->size()) {
      value = (*args)[i + 1];
      args->erase(at, at + 2);
    } else {
      ++i;
      continue;
    }
    if (!orvel::cli::ParseLogFormat(value, log_format)) {
      std::fprintf(stderr, "orvel-pelmmon: --log-format needs plain or journal, not \"%s\"\n",
                   value.c_str());
      return orvel::cli::kExitUsage;
    }
  }
  return -1;
}

void LoadCoordinatesFile(MonitorState* state, const std::string& path) {
  std::string problem;
  int placed = state->LoadCoordinates(path, &problem);
  if (placed < 0) {
    orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot read %s; nodes appear unplaced",
                    path.c_str());
  } else {
    orvel::cli::Log(orvel::cli::LogLevel::kNotice, "%d nodes placed from %s", placed, path.c_str());
  }
  if (!problem.empty()) {
    orvel::cli::Log(orvel::cli::LogLevel::kNotice, "%s: %s", path.c_str(), problem.c_str());
  }
}

// Serves colouring lines (and the page and the terminal view when asked)
// until SIGINT or SIGTERM.
int Serve(const pelmmon::Options& opt, MonitorState* state) {
  int colour_port = 0;
  UniqueFd colour_fd = Listen(opt.listen_addr, opt.port, &colour_port);
  if (!colour_fd.valid()) return 1;
  orvel::cli::Log(orvel::cli::LogLevel::kNotice, "colouring lines on %s:%d",
                  opt.listen_addr.c_str(), colour_port);
  PageServer page(state);
  std::atomic<bool> http_done{false};
  std::thread http;
  if (!opt.http_addr.empty()) {
    int http_port = 0;
    if (!page.Bind(opt.http_addr, opt.http_port, &http_port)) {
      orvel::cli::Log(orvel::cli::LogLevel::kError, "cannot serve the page on %s:%d",
                      opt.http_addr.c_str(), opt.http_port);
      return 1;
    }
    orvel::cli::Log(orvel::cli::LogLevel::kNotice, "page at http://%s:%d/", opt.http_addr.c_str(),
                    http_port);
    http = std::thread([&page, &http_done] {
      page.Run();
      http_done = true;
    });
  }
  std::thread view;
  if (opt.tty_view) view = std::thread(TerminalView, state);
  ColourLoop(colour_fd.get(), state);
  if (http.joinable()) {
    // A stop that comes before the server runs is lost: repeat it.
    while (!http_done) {
      page.Stop();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    http.join();
  }
  if (view.joinable()) view.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  orvel::cli::LogFormat log_format = orvel::cli::LogFormat::kAuto;
  int status = TakeCommonOptions(&args, &log_format);
  if (status >= 0) return status;
  pelmmon::Options opt;
  std::string error;
  if (!pelmmon::ParseOptions(args, std::getenv("ORVEL_PATH"), &opt, &error)) {
    std::fprintf(stderr, "orvel-pelmmon: %s\nTry 'orvel-pelmmon --help' for more information.\n",
                 error.c_str());
    return orvel::cli::kExitUsage;
  }
  orvel::cli::InitLog("orvel-pelmmon", log_format);
  if (opt.help) {
    Usage(stdout);
    return 0;
  }
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  MonitorState state;
  state.SetIdleMs(int64_t{opt.search_idle_s} * 1000);
  if (!opt.coords_path.empty()) LoadCoordinatesFile(&state, opt.coords_path);
  status = Serve(opt, &state);
  if (status == 0) orvel::cli::Log(orvel::cli::LogLevel::kNotice, "stopped");
  return status;
}
