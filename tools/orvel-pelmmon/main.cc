// orvel-pelmmon: the coordinate monitor.  Receives "NODE COLOUR\n" lines on
// TCP (port 5646 by default), places nodes from the coordinates file and shows
// the colours live in the terminal and, with --http, on a web page.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "monitor_state.h"
#include "page.h"

namespace {

using pelmmon::MonitorState;
using pelmmon::Snapshot;

// Largest colouring line accepted; the service's lines are a dotted quad and
// a number.
constexpr size_t kMaxLineBytes = 1024;
constexpr int kPeerTimeoutMs = 5000;

std::atomic<bool> g_stop{false};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { if (fd_ >= 0) ::close(fd_); }
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
 private:
  int fd_;
};

struct Options {
  std::string listen_addr = "127.0.0.1";
  int port = 5646;
  std::string coords_path;
  std::string http_addr;
  int http_port = 0;
  bool tty_view = true;
};

void Usage(FILE* out) {
  std::fprintf(out,
      "Usage: orvel-pelmmon [options]\n"
      "Coordinate monitor: colours nodes as the synthesis service reports them.\n"
      "\n"
      "  --listen ADDR     address for colouring lines (default 127.0.0.1)\n"
      "  --port N          TCP port for colouring lines (default 5646)\n"
      "  --coords FILE     coordinates file (default $ORVEL_PATH/pelm.coords)\n"
      "  --http ADDR:PORT  serve the live page, e.g. --http 127.0.0.1:8080\n"
      "  --no-view         do not print the terminal view\n"
      "  --help            this text\n"
      "\n"
      "Each line \"NODE COLOUR\" colours NODE (1 client, 5 selected proxy);\n"
      "\"RESET 0\" clears all colours.  The page at / shows the nodes in their\n"
      "first two coordinates; /state gives the state as JSON.\n");
}

bool ParseHostPort(const std::string& s, std::string* host, int* port) {
  size_t c = s.rfind(':');
  if (c == std::string::npos) return false;
  *host = s.substr(0, c);
  char* end = nullptr;
  long p = std::strtol(s.c_str() + c + 1, &end, 10);
  if (*end != '\0' || p < 0 || p > 65535) return false;
  *port = static_cast<int>(p);
  return true;
}

Fd Listen(const std::string& addr, int port, int* bound_port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return Fd();
  int one = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (::inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
    std::fprintf(stderr, "orvel-pelmmon: not an IPv4 address: %s\n", addr.c_str());
    return Fd();
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ||
      ::listen(fd.get(), 64) < 0) {
    std::fprintf(stderr, "orvel-pelmmon: cannot listen on %s:%d: %s\n",
                 addr.c_str(), port, std::strerror(errno));
    return Fd();
  }
  socklen_t len = sizeof sa;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len);
  *bound_port = ntohs(sa.sin_port);
  return fd;
}

// Reads what the peer sends until it closes, the time-out or the size cap.
std::string ReadAll(int fd, size_t cap, int timeout_ms) {
  std::string data;
  char buf[512];
  while (data.size() < cap) {
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return data;
}

bool WriteAll(int fd, const std::string& s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = ::send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

void ServeColourPeer(Fd peer, MonitorState* state) {
  std::string data = ReadAll(peer.get(), kMaxLineBytes * 16, kPeerTimeoutMs);
  size_t start = 0;
  while (start < data.size()) {
    size_t nl = data.find('\n', start);
    std::string line = data.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    if (line.size() <= kMaxLineBytes && !state->ApplyLine(line) && !line.empty())
      std::fprintf(stderr, "orvel-pelmmon: ignored line \"%s\"\n", line.c_str());
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

void AcceptLoop(int lfd, void (*serve)(Fd, MonitorState*), MonitorState* state) {
  while (!g_stop) {
    pollfd p{lfd, POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    int c = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EMFILE || errno == ENFILE) ::usleep(100000);
      continue;
    }
    std::thread(serve, Fd(c), state).detach();
  }
}

void ServeHttpPeer(Fd peer, MonitorState* state) {
  std::string head;
  char buf[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < 8192) {
    pollfd p{peer.get(), POLLIN, 0};
    if (::poll(&p, 1, kPeerTimeoutMs) <= 0) return;
    ssize_t n = ::read(peer.get(), buf, sizeof buf);
    if (n <= 0) return;
    head.append(buf, static_cast<size_t>(n));
  }
  char method[8] = {0}, path[256] = {0};
  if (std::sscanf(head.c_str(), "%7s %255s", method, path) != 2) return;
  std::string p = path;
  if (p == "/" || p == "/index.html") {
    std::string body = pelmmon::kPageHtml;
    WriteAll(peer.get(), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
             "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body);
  } else if (p == "/state") {
    std::string body = pelmmon::SnapshotJson(state->Take());
    WriteAll(peer.get(), "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
             "Cache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
             std::to_string(body.size()) + "\r\n\r\n" + body);
  } else if (p == "/events") {
    if (!WriteAll(peer.get(), "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                  "Cache-Control: no-store\r\nConnection: close\r\n\r\n"))
      return;
    uint64_t seen = ~uint64_t{0};
    while (!g_stop) {
      Snapshot s = state->WaitNewer(seen, 15000);
      std::string ev = s.version == seen ? ": keep-alive\n\n"
                                         : "data: " + pelmmon::SnapshotJson(s) + "\n\n";
      seen = s.version;
      if (!WriteAll(peer.get(), ev)) return;
    }
  } else {
    WriteAll(peer.get(), "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
  }
}

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
                  n.colour == 1 ? " (client)" : n.colour == 5 ? " (selected)" : "");
    }
    if (!coloured) std::printf("(no coloured nodes)\n");
    std::fflush(stdout);
  }
}

void OnSignal(int) { g_stop = true; }

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  if (const char* p = std::getenv("ORVEL_PATH")) opt.coords_path = std::string(p) + "/pelm.coords";
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto need = [&](const char* what) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "orvel-pelmmon: %s needs a value\n", what);
        std::exit(64);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    } else if (a == "--listen") {
      opt.listen_addr = need("--listen");
    } else if (a == "--port") {
      opt.port = std::atoi(need("--port").c_str());
    } else if (a == "--coords") {
      opt.coords_path = need("--coords");
    } else if (a == "--http") {
      if (!ParseHostPort(need("--http"), &opt.http_addr, &opt.http_port)) {
        std::fprintf(stderr, "orvel-pelmmon: --http wants ADDR:PORT\n");
        return 64;
      }
    } else if (a == "--no-view") {
      opt.tty_view = false;
    } else {
      std::fprintf(stderr, "orvel-pelmmon: unknown option %s (try --help)\n", a.c_str());
      return 64;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);

  MonitorState state;
  if (!opt.coords_path.empty()) {
    int placed = state.LoadCoordinates(opt.coords_path);
    if (placed < 0)
      std::fprintf(stderr, "orvel-pelmmon: cannot read %s; nodes appear unplaced\n",
                   opt.coords_path.c_str());
    else
      std::fprintf(stderr, "orvel-pelmmon: %d nodes placed from %s\n", placed,
                   opt.coords_path.c_str());
  }

  int colour_port = 0;
  Fd colour_fd = Listen(opt.listen_addr, opt.port, &colour_port);
  if (colour_fd.get() < 0) return 1;
  std::fprintf(stderr, "orvel-pelmmon: colouring lines on %s:%d\n", opt.listen_addr.c_str(),
               colour_port);
  Fd http_fd;
  if (!opt.http_addr.empty()) {
    int http_port = 0;
    http_fd = Listen(opt.http_addr, opt.http_port, &http_port);
    if (http_fd.get() < 0) return 1;
    std::fprintf(stderr, "orvel-pelmmon: page at http://%s:%d/\n", opt.http_addr.c_str(),
                 http_port);
  }

  std::thread view;
  if (opt.tty_view) view = std::thread(TerminalView, &state);
  std::thread http;
  if (http_fd.get() >= 0) http = std::thread(AcceptLoop, http_fd.get(), ServeHttpPeer, &state);
  AcceptLoop(colour_fd.get(), ServeColourPeer, &state);
  if (http.joinable()) http.join();
  if (view.joinable()) view.join();
  std::fprintf(stderr, "orvel-pelmmon: stopped\n");
  std::fflush(nullptr);
  // Detached peer threads (event streams) may still wait on the state; end
  // the process without running destructors under them.
  std::_Exit(0);
}
