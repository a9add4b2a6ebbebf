// tcp_server.h: orvel-slpd's TCP side on one event loop thread.
//
// Each connection is read into a buffer; every whole frame (its Length
// checked before anything is kept) is answered by the handler on the loop's
// thread and the answers are written without blocking.  While an answer is
// still being written nothing more is read from that connection, so one
// peer holds at most one frame and one answer in memory.  Idle connections
// are closed after idle_seconds, a started frame must arrive within
// frame_seconds.  After an agent-discovery request the connection is closed
// as soon as the peer has nothing more in flight.  The number of
// connections is bounded by the descriptors the process may open.
//
// Start, Stop and the destructor are called from one thread (main);
// everything else runs on the loop's thread.
#ifndef ORVEL_TOOLS_ORVEL_SLPD_TCP_SERVER_H_
#define ORVEL_TOOLS_ORVEL_SLPD_TCP_SERVER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

#include "net/acceptor.h"
#include "net/event_loop.h"
#include "slp/da_handler.h"

namespace orvel::slpd {

struct TcpOptions {
  bool verbose = false;
  double idle_seconds = 60;
  double frame_seconds = 10;
  size_t max_frame = size_t{256} * 1024;
  // 0: the descriptor limit (RLIMIT_NOFILE) less a reserve.
  size_t max_connections = 0;
  // The handler's sink answers registrations later (etcd): the loop goes
  // on serving other connections meanwhile.
  bool async_sink = false;
};

class TcpServer {
 public:
  // listen_fd is borrowed and must stay open until Stop(); the handler
  // must outlive the server.
  TcpServer(int listen_fd, slp::DaHandler* handler, const TcpOptions& options);
  ~TcpServer();
  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Starts the loop thread; "" or what failed.
  std::string Start();
  // Closes every connection and ends the loop thread.
  void Stop();
  size_t max_connections() const { return options_.max_connections; }

 private:
  class Conn;
  // Takes one accepted connection, or drops it at the cap.
  void Accept(net::UniqueFd fd, const sockaddr_in& from);
  void Close(Conn* c);

  int listen_fd_;
  slp::DaHandler* handler_;
  TcpOptions options_;
  std::unique_ptr<net::EventLoop> loop_;
  std::unique_ptr<net::Acceptor> acceptor_;
  std::unordered_map<Conn*, std::unique_ptr<Conn>> conns_;  // loop thread only
  uint64_t next_conn_id_ = 1;                               // loop thread only
  std::thread thread_;
};

}  // namespace orvel::slpd

#endif  // ORVEL_TOOLS_ORVEL_SLPD_TCP_SERVER_H_
