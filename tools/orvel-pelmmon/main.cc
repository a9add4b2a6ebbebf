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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli.h"
#include "log.h"
#include "monitor_state.h"
#include "net/address.h"
#include "net/socket_io.h"
#include "options.h"
#include "page.h"

namespace {

using orvel::net::Deadline;
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

// Reads what the peer sends until it closes, the time-out or the size cap;
// a stop request ends it within half a second.
std::string ReadAll(int fd, size_t cap, int timeout_ms) {
  std::string data;
  char buf[512];
  Deadline end = Deadline::AfterMs(timeout_ms);
  while (data.size() < cap && !g_stop && !end.passed()) {
    Deadline step = Deadline::AfterMs(std::min(500, std::max(1, end.remaining_ms())));
    orvel::net::IoResult r = orvel::net::ReadSome(fd, buf, sizeof buf, step);
    if (r.status == orvel::net::IoStatus::kTimedOut) continue;
    if (r.status != orvel::net::IoStatus::kOk) break;
    data.append(buf, r.bytes);
  }
  return data;
}

void ServeColourPeer(UniqueFd peer, MonitorState* state) {
  std::string data = ReadAll(peer.get(), kMaxLineBytes * 16, kPeerTimeoutMs);
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

// Accepts colouring connections, at most kMaxColourPeers served at once.
void ColourLoop(int lfd, MonitorState* state) {
  std::mutex mu;
  std::condition_variable freed;
  int active = 0;
  while (!g_stop) {
    {
      std::unique_lock<std::mutex> l(mu);
      if (!freed.wait_for(l, std::chrono::milliseconds(200),
                          [&] { return active < kMaxColourPeers; }))
        continue;
    }
    pollfd p{lfd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EMFILE || errno == ENFILE) ::usleep(100000);
      continue;
    }
    {
      std::lock_guard<std::mutex> l(mu);
      active++;
    }
    std::thread([&, c] {
      ServeColourPeer(UniqueFd(c), state);
      std::lock_guard<std::mutex> l(mu);
      active--;
      freed.notify_all();
    }).detach();
  }
  // Readers end within kPeerTimeoutMs (sooner: they see g_stop); wait for
  // them, since they use this frame.
  std::unique_lock<std::mutex> l(mu);
  freed.wait(l, [&] { return active == 0; });
}

// The page's server.  Returns false when it cannot listen.
class PageServer {
 public:
  explicit PageServer(MonitorState* state) : state_(state) {
    server_.new_task_queue = [] { return new httplib::ThreadPool(kHttpThreads); };
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
      for (const auto& c : s.searches.back().choices) {
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
  if (!opt.coords_path.empty()) LoadCoordinatesFile(&state, opt.coords_path);
  status = Serve(opt, &state);
  if (status == 0) orvel::cli::Log(orvel::cli::LogLevel::kNotice, "stopped");
  return status;
}
