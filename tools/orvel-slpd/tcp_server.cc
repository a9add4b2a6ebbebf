// tcp_server.cc: orvel-slpd's TCP connections on an event loop.
#include "tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log.h"
#include "slp/wire.h"

namespace orvel::slpd {
namespace {

// Descriptors kept free for the UDP socket, the state file, etcd and logs.
constexpr size_t kReservedDescriptors = 64;

size_t DescriptorBound() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 1024;
  size_t cur = static_cast<size_t>(rl.rlim_cur);
  return cur > 2 * kReservedDescriptors ? cur - kReservedDescriptors : cur / 2;
}

}  // namespace

class TcpServer::Conn final : public net::EventLoop::Watcher, public net::EventLoop::Timer {
 public:
  Conn(TcpServer* server, net::UniqueFd fd, uint32_t peer, uint64_t id)
      : server_(server), fd_(std::move(fd)), peer_(peer), id_(id) {}
  int fd() const { return fd_.get(); }
  uint64_t id() const { return id_; }

  // The answer of a registration the sink recorded (loop thread).
  void Answered(std::string reply) {
    out_ = std::move(reply);
    out_pos_ = 0;
    if (!server_->loop_->Watch(fd_.get(), EPOLLIN, this) || !Flush() || !Serve()) {
      server_->Close(this);
    }
  }

  void OnEvents(uint32_t events) override {
    if (events & EPOLLOUT) {
      if (!Flush()) return server_->Close(this);
    }
    if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) && out_.empty()) {
      if (!Fill()) return server_->Close(this);
    }
    if (!Serve()) return server_->Close(this);
  }
  void OnTimer() override { server_->Close(this); }

 private:
  // Reads what is there; false when the connection failed.  A peer that
  // closed its side (eof_) still gets the answers to what it sent.
  bool Fill() {
    char buf[16384];
    for (;;) {
      ssize_t n = ::recv(fd_.get(), buf, sizeof buf, 0);
      if (n > 0) {
        in_.append(buf, static_cast<size_t>(n));
        // A frame never needs more than max_frame bytes of buffer.
        if (in_.size() >= server_->options_.max_frame) return true;
        continue;
      }
      if (n == 0) {
        eof_ = true;
        return true;
      }
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
  }

  // Writes what is pending; false on a failed peer.
  bool Flush() {
    while (out_pos_ < out_.size()) {
      ssize_t n = ::send(fd_.get(), out_.data() + out_pos_, out_.size() - out_pos_, MSG_NOSIGNAL);
      if (n > 0) {
        out_pos_ += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
      return false;
    }
    out_.clear();
    out_pos_ = 0;
    return true;
  }

  // Answers the whole frames in the buffer, then decides what to wait for;
  // false when the connection should close.
  bool Serve() {
    while (out_.empty() && in_.size() >= 5) {
      uint32_t length = slp::PeekLength(reinterpret_cast<const uint8_t*>(in_.data()), 5);
      // The Length field frames the stream: refuse nonsense before keeping it.
      if (length < slp::kHeaderFixedBytes || length > server_->options_.max_frame) return false;
      if (in_.size() < length) break;
      std::string log;
      slp::HandleInfo info;
      out_ = server_->handler_->Handle(reinterpret_cast<const uint8_t*>(in_.data()), length, peer_,
                                       /*over_tcp=*/true,
                                       server_->options_.verbose ? &log : nullptr, &info, Later());
      if (server_->options_.verbose)
        orvel::cli::Log(orvel::cli::LogLevel::kInfo, "%s", log.c_str());
      in_.erase(0, length);
      frame_started_ = false;
      close_when_idle_ = close_when_idle_ || info.agent_discovery;
      if (info.deferred) {
        // Nothing more is read until the answer is in; the frame time-out
        // still bounds the wait.
        server_->loop_->Unwatch(fd_.get(), this);
        server_->loop_->Arm(this, net::Deadline::After(server_->options_.frame_seconds).at());
        return true;
      }
      if (!Flush()) return false;
    }
    net::EventLoop& loop = *server_->loop_;
    if (!out_.empty()) {
      loop.Change(fd_.get(), EPOLLOUT, this);
      loop.Arm(this, net::Deadline::After(server_->options_.frame_seconds).at());
      return true;
    }
    if (eof_) return false;
    // Standard clients discover agents over TCP and read until the
    // connection closes; requests already sent behind it are still served.
    if (close_when_idle_ && in_.empty()) {
      pollfd p{fd_.get(), POLLIN, 0};
      if (::poll(&p, 1, 0) <= 0) return false;
    }
    loop.Change(fd_.get(), EPOLLIN, this);
    const bool in_frame = !in_.empty();
    if (!in_frame || !frame_started_) {
      loop.Arm(this, net::Deadline::After(in_frame ? server_->options_.frame_seconds
                                                   : server_->options_.idle_seconds)
                         .at());
    }
    frame_started_ = in_frame;
    return true;
  }

  // Posts a deferred answer back to the loop, to this connection if it is
  // still there.
  slp::LaterReply Later() {
    if (!server_->options_.async_sink) return slp::LaterReply();
    TcpServer* server = server_;
    Conn* self = this;
    uint64_t id = id_;
    return [server, self, id](std::string reply) {
      server->loop_->Post([server, self, id, reply = std::move(reply)]() mutable {
        auto it = server->conns_.find(self);
        if (it != server->conns_.end() && self->id() == id) self->Answered(std::move(reply));
      });
    };
  }

  TcpServer* server_;
  net::UniqueFd fd_;
  uint32_t peer_;
  uint64_t id_;
  std::string in_;
  std::string out_;
  size_t out_pos_ = 0;
  bool close_when_idle_ = false;
  bool frame_started_ = false;  // the frame deadline is armed
  bool eof_ = false;
};

TcpServer::TcpServer(int listen_fd, slp::DaHandler* handler, const TcpOptions& options)
    : listen_fd_(listen_fd), handler_(handler), options_(options) {
  if (options_.max_connections == 0) options_.max_connections = DescriptorBound();
}

TcpServer::~TcpServer() { Stop(); }

std::string TcpServer::Start() {
  int err = 0;
  loop_ = net::EventLoop::Create(&err);
  if (!loop_) return std::string("event loop: ") + std::strerror(err);
  int flags = ::fcntl(listen_fd_, F_GETFL);
  if (flags < 0 || ::fcntl(listen_fd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return std::string("listening socket: ") + std::strerror(errno);
  }
  acceptor_ = std::make_unique<net::Acceptor>(
      loop_.get(), listen_fd_,
      [this](net::UniqueFd fd, const sockaddr_in& from) { Accept(std::move(fd), from); });
  if (!acceptor_->Start()) {
    return std::string("listening socket: ") + std::strerror(errno);
  }
  thread_ = std::thread([this] { loop_->Run(); });
  return std::string();
}

void TcpServer::Stop() {
  if (!thread_.joinable()) return;
  loop_->Post([this] {
    acceptor_->Stop();
    while (!conns_.empty()) Close(conns_.begin()->first);
    loop_->Stop();
  });
  thread_.join();
}

void TcpServer::Accept(net::UniqueFd fd, const sockaddr_in& from) {
  if (conns_.size() >= options_.max_connections) return;  // closed by fd's destructor
  auto conn =
      std::make_unique<Conn>(this, std::move(fd), ntohl(from.sin_addr.s_addr), next_conn_id_++);
  Conn* c = conn.get();
  if (!loop_->Watch(c->fd(), EPOLLIN, c)) return;
  loop_->Arm(c, net::Deadline::After(options_.idle_seconds).at());
  conns_.emplace(c, std::move(conn));
}

void TcpServer::Close(Conn* c) {
  loop_->Unwatch(c->fd(), c);
  loop_->Disarm(c);
  conns_.erase(c);
}

}  // namespace orvel::slpd
