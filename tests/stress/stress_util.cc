// stress_util.cc: see stress_util.h.
#include "stress/stress_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

namespace stress {

long RaiseDescriptorLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
  r.rlim_cur = r.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &r) != 0) return -1;
  return static_cast<long>(r.rlim_cur);
}

long RssKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

namespace {

// Entries of a /proc directory, or -1.
int CountEntries(const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  int n = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') ++n;
  }
  closedir(d);
  return n;
}

}  // namespace

int DescriptorCount(pid_t pid) { return CountEntries("/proc/" + std::to_string(pid) + "/fd"); }

int ThreadCount(pid_t pid) { return CountEntries("/proc/" + std::to_string(pid) + "/task"); }

namespace {

struct Conn {
  int fd = -1;
  size_t sent = 0;
  bool connecting = true;
};

// Starts a non-blocking connect for every slot; how many are under way.
size_t ConnectAll(uint16_t port, std::vector<Conn>* conns) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  size_t open = 0;
  for (Conn& c : *conns) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int rc = connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (rc != 0 && errno != EINPROGRESS) {
      close(fd);
      continue;
    }
    c.fd = fd;
    ++open;
  }
  return open;
}

// One step of a ready connection: finish the connect, send more of the
// request, or read more of the reply.  True when the connection is over.
bool Step(Conn* c, ConnResult* r, const std::string& request) {
  bool done = false;
  if (c->connecting) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      done = true;
    } else {
      c->connecting = false;
      r->connected = true;
    }
  }
  if (!done && !c->connecting && c->sent < request.size()) {
    ssize_t w = send(c->fd, request.data() + c->sent, request.size() - c->sent, MSG_NOSIGNAL);
    if (w > 0) {
      c->sent += static_cast<size_t>(w);
    } else if (errno != EAGAIN && errno != EINTR) {
      r->closed = true;
      done = true;
    }
  } else if (!done && !c->connecting) {
    char buf[4096];
    ssize_t got = recv(c->fd, buf, sizeof buf, 0);
    if (got > 0) {
      r->reply.append(buf, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      r->closed = true;
      done = true;
    }
  }
  return done;
}

}  // namespace

std::vector<ConnResult> Burst(uint16_t port, size_t count, const std::string& request,
                              int timeout_ms) {
  std::vector<ConnResult> results(count);
  std::vector<Conn> conns(count);
  size_t open = ConnectAll(port, &conns);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::vector<pollfd> pfds;
  std::vector<size_t> index;
  while (open > 0 && std::chrono::steady_clock::now() < deadline) {
    pfds.clear();
    index.clear();
    for (size_t i = 0; i < count; ++i) {
      if (conns[i].fd < 0) continue;
      short ev = (conns[i].connecting || conns[i].sent < request.size()) ? POLLOUT : POLLIN;
      pfds.push_back(pollfd{conns[i].fd, ev, 0});
      index.push_back(i);
    }
    int n = poll(pfds.data(), pfds.size(), 100);
    if (n <= 0) continue;
    for (size_t k = 0; k < pfds.size(); ++k) {
      if (pfds[k].revents == 0) continue;
      Conn& c = conns[index[k]];
      if (Step(&c, &results[index[k]], request)) {
        close(c.fd);
        c.fd = -1;
        --open;
      }
    }
  }
  for (Conn& c : conns) {
    if (c.fd >= 0) close(c.fd);
  }
  return results;
}

int HttpStatus(const std::string& reply) {
  if (reply.rfind("HTTP/1.", 0) != 0 || reply.size() < 12) return -1;
  return std::atoi(reply.substr(9, 3).c_str());
}

}  // namespace stress
