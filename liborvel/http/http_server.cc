// http_server.cc: the one-request-per-connection server.
//
// Who owns a connection when:
//   1. An event thread (one per core, each running a net::EventLoop) accepts
//      it and owns it while the request arrives: a Connection record of a
//      few dozen bytes, the descriptor in the loop, and a read time-out.
//      Nothing else is held while the peer is silent.
//   2. The head comes in one read (strict framing) or in as many as it
//      takes (standard framing), into the event thread's own head buffer,
//      and is parsed as it comes; the request record and its body buffer
//      are allocated then, and the body is read as it arrives.
//   3. Once the whole request is in (or the peer closed early), the loop
//      lets go of the descriptor and hands the connection to a handler
//      thread from the worker pool, which grows without a cap.  That thread
//      parses the document, calls the handler (which may block for as long
//      as it likes), writes the response, closes the socket and frees the
//      record.
//   A refused or timed-out request is answered and closed on the event
//   thread itself: its few bytes always fit the fresh socket's buffer.
//   HTTPconn takes the same steps on its caller's thread.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "http/http_impl.h"
#include "http/server_stats.h"
#include "http/server_stop.h"
#include "http/worker_pool.h"
#include "msg/doc_writer.h"
#include "net/acceptor.h"
#include "net/address.h"
#include "net/event_loop.h"

using orvel::net::Deadline;
using orvel::net::EventLoop;
using orvel::net::UniqueFd;

namespace orvel::http {

namespace {

std::atomic<ThreadCreateFn> g_thread_create{nullptr};

constexpr int kAcceptBackoffMs = 100;
constexpr int kAcceptsPerEvent = 64;

// Never destroyed: workers may still be finishing at exit.  The ones that
// have ended are joined then, so none is left behind unjoined.  One pool
// serves every server of the process; the first to start sets its keep.
WorkerPool& ConnectionWorkers(
    std::chrono::milliseconds idle_keep = ServerOptions().idle_thread_keep) {
  static WorkerPool* pool = [idle_keep] {
    auto* p = new WorkerPool(kConnectionStackBytes, idle_keep, kMaxIdleWorkers);
    atexit([] { ConnectionWorkers().ReapEnded(); });
    return p;
  }();
  return *pool;
}

class EventThread;

// One server: its listening socket, shared by its event threads.
struct Server {
  ServerOptions options;
  ThreadParam param;
  int listener = -1;
  std::vector<std::unique_ptr<EventThread>> threads;
  std::atomic<bool> accept_ended{false};
  std::atomic<size_t> listener_users{0};  // event threads still watching it
};

// One connection while its request is read.  Freed by whoever closes it.
class Connection final : public EventLoop::Watcher, public EventLoop::Timer {
 public:
  Connection(EventThread* owner, const ServerOptions& options, int fd, const sockaddr_in& peer)
      : owner_(owner),
        reader_(options),
        fd_(fd),
        srcaddr_(peer.sin_addr.s_addr),
        srcport_(peer.sin_port) {}

  void OnEvents(uint32_t events) override;
  void OnTimer() override;
  // Body of the handler thread: serves the request read and closes.
  static void* Serve(void* connection);

 private:
  // Lets go of the loop; the request goes to a handler thread.
  void HandOff();
  // Answers the refusal on this thread and frees the connection.
  void Refuse();
  void Detach();

  EventThread* const owner_;
  RequestReader reader_;
  ReqPtr req_;  // the request read, on its way to a handler thread
  const int fd_;
  const uint32_t srcaddr_;  // network byte order
  const uint16_t srcport_;  // network byte order
};

// One event thread: its loop, its head buffer and its acceptor on the
// listener it shares with the server's other event threads.
class EventThread final {
 public:
  EventThread(Server* server, std::unique_ptr<EventLoop> loop)
      : server_(server),
        loop_(std::move(loop)),
        acceptor_(
            loop_.get(), server->listener,
            [this](UniqueFd fd, const sockaddr_in& peer) { Accept(fd.release(), peer); },
            [this](int error, bool fatal) { AcceptFailed(error, fatal); }, AcceptorOptions()) {}

  EventLoop* loop() { return loop_.get(); }
  Server* server() { return server_; }
  char* head_buffer() { return head_; }
  bool StartAccepting();
  void Run();

 private:
  static net::Acceptor::Options AcceptorOptions() {
    net::Acceptor::Options o;
    // Exclusive: one connection wakes one event thread, not all of them.
    o.watch_events = EPOLLIN | EPOLLEXCLUSIVE;
    o.max_per_event = kAcceptsPerEvent;
    o.shortage_backoff = std::chrono::milliseconds(kAcceptBackoffMs);
    return o;
  }
  void StopAccepting() { acceptor_.Stop(); }
  void Accept(int fd, const sockaddr_in& peer);
  void AcceptFailed(int error, bool fatal);
  friend void LetGoOfListener(Server* server);

  Server* const server_;
  std::unique_ptr<EventLoop> loop_;
  net::Acceptor acceptor_;
  char head_[kHeadReadBytes + 1] = {};
};

// Every server started in this process; they live until it ends.
port::Mutex g_servers_mu;
std::vector<Server*> g_servers GUARDED_BY(g_servers_mu);

// Every event thread of server lets go of its listener; the last one closes
// it, so no thread accepts on a descriptor number that was reused.  Call
// after setting accept_ended.
void LetGoOfListener(Server* server) {
  SetServerAccepting(false);
  for (auto& t : server->threads) {
    EventThread* other = t.get();
    other->loop()->Post([other] {
      other->StopAccepting();
      Server* s = other->server();
      if (s->listener_users.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        ::close(s->listener);
      }
    });
  }
}

bool EventThread::StartAccepting() {
  if (server_->accept_ended.load(std::memory_order_acquire)) return false;
  if (acceptor_.Start()) return true;
  std::perror("epoll_ctl");
  return false;
}

// The acceptor has skipped the connection, or backs off after a shortage of
// descriptors or memory; a fatal failure ends accepting for every thread.
void EventThread::AcceptFailed(int error, bool fatal) {
  if (server_->accept_ended.load(std::memory_order_acquire)) return;
  errno = error;
  if (!fatal) {
    std::perror("accept");
    return;
  }
  if (server_->accept_ended.exchange(true, std::memory_order_acq_rel)) return;
  std::perror("accept");
  std::fputs("serverThread terminating now...\n", stderr);
  LetGoOfListener(server_);
}

void EventThread::Accept(int fd, const sockaddr_in& peer) {
  ConnectionOpened();
  auto* conn = new Connection(this, server_->options, fd, peer);
  if (!loop_->Watch(fd, EPOLLIN, conn)) {
    std::perror("epoll_ctl");
    CloseConnection(fd);
    delete conn;
    return;
  }
  loop_->Arm(conn, Deadline::After(server_->options.read_timeout_s).at());
}

void EventThread::Run() {
  // The counters take the CPU time spent reading requests here as well as
  // the handler threads' own.
  long utime0 = 0;
  long stime0 = 0;
  ThreadCpuTimes(&utime0, &stime0);
  for (;;) {
    if (loop_->RunOnce(-1) == 0) continue;
    long utime = 0;
    long stime = 0;
    ThreadCpuTimes(&utime, &stime);
    if (utime != utime0 || stime != stime0) global_time_add(utime - utime0, stime - stime0);
    utime0 = utime;
    stime0 = stime;
  }
}

void Connection::OnEvents(uint32_t) {
  switch (reader_.Read(fd_, owner_->head_buffer())) {
    case RequestReader::Step::kMore:
      return;
    case RequestReader::Step::kDone:
      HandOff();
      return;
    case RequestReader::Step::kRefused:
      Refuse();
      return;
  }
}

void Connection::OnTimer() {
  reader_.TimedOut();
  Refuse();
}

void Connection::Detach() {
  owner_->loop()->Unwatch(fd_, this);
  owner_->loop()->Disarm(this);
}

void Connection::Refuse() {
  Detach();
  RefuseAndClose(owner_->server()->options, fd_, reader_);
  delete this;
}

void Connection::HandOff() {
  Detach();
  req_ = reader_.TakeRequest();
  int rc = ConnectionWorkers().Run(Serve, this, g_thread_create.load());
  if (rc != 0) {
    // One connection refused is better than the whole service lost.
    errno = rc;
    std::perror("pthread_create");
    std::fputs("Can't create thread... refusing this connection\n", stderr);
    const ServerOptions& options = owner_->server()->options;
    ReportRequest("", RequestResult::kNoThread);
    SendRefusal(fd_, options.parser, Refusal{503, "no thread free to serve the request; try again"},
                Deadline::After(options.read_timeout_s));
    CloseConnection(fd_);
    delete this;
  }
}

void* Connection::Serve(void* connection) {
  ThreadCpuCharge charge;
  std::unique_ptr<Connection> conn(static_cast<Connection*>(connection));
  Server* server = conn->owner_->server();
  ServeAndClose(server->options, server->param.RecvCallback, conn->fd_, conn->srcaddr_,
                conn->srcport_, std::move(conn->req_));
  return nullptr;
}

}  // namespace

void SetThreadCreateForTesting(ThreadCreateFn fn) {
  g_thread_create = fn;
  ConnectionWorkers().RetireIdle();
}

size_t ConnectionThreads() { return ConnectionWorkers().threads(); }

size_t BusyConnectionThreadsForTesting() {
  WorkerPool& pool = ConnectionWorkers();
  size_t threads = pool.threads();
  size_t idle = pool.idle();
  return CurrentServerGauges().connections_open + (threads > idle ? threads - idle : 0);
}

size_t StopAcceptingConnections() {
  std::vector<Server*> servers;
  {
    port::MutexLock lock(&g_servers_mu);
    servers = g_servers;
  }
  for (Server* s : servers) {
    if (!s->accept_ended.exchange(true, std::memory_order_acq_rel)) LetGoOfListener(s);
  }
  // Once every listener is closed nothing more is accepted, and the count
  // is the connections in flight.
  for (Server* s : servers) {
    while (s->listener_users.load(std::memory_order_acquire) != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  return OpenConnections();
}

size_t OpenConnections() { return CurrentServerGauges().connections_open; }

}  // namespace orvel::http

using namespace orvel::http;

namespace orvel::http {

int OpenListener(uint32_t addr, unsigned short port) {
  int err = 0;
  const char* failed_call = "socket";
  // A burst of connects beyond the backlog has its SYNs dropped, and the
  // clients retry only after a second: take as many as the kernel allows.
  UniqueFd sock = net::ListenTcp(net::Ipv4(addr, port), SOMAXCONN, &err, &failed_call);
  if (!sock.valid()) {
    errno = err;
    std::perror(failed_call);
    return -1;
  }
  std::fprintf(stderr, "Listening on port %d\n", port);
  return sock.release();
}

void StartServer(const ServerOptions& options, unsigned short port, RecvCallbackT handler) {
  if (handler == nullptr) {
    std::fputs("RecvCallback is NULL!\n", stderr);
    std::exit(1);
  }
  // Writes use MSG_NOSIGNAL already; this also covers a handler's own writes.
  signal(SIGPIPE, SIG_IGN);
  // Before any handler thread parses.
  msg::EnsureXmlInitialised();
  (void)ConnectionWorkers(options.idle_thread_keep);
  // Lives as long as the process: its threads serve until then.
  // Bound before returning: a caller that announces the service (registers
  // it with a directory agent) must never do so for a port it did not get.
  auto* server = new Server;
  server->options = options;
  server->listener = OpenListener(options.listen_addr, port);
  server->param = ThreadParam{port, handler, server->listener};
  if (server->listener < 0) {
    std::fprintf(stderr, "Couldn't open server socket on port %d.\n", port);
    std::exit(1);
  }
  // Event threads accept until the queue is empty, and must not block then.
  (void)net::SetNonBlocking(server->listener, true);
  for (long i = 0; i < options.event_threads; ++i) {
    int err = 0;
    std::unique_ptr<EventLoop> loop = EventLoop::Create(&err);
    if (!loop) {
      errno = err;
      std::perror("epoll_create");
      std::exit(1);
    }
    server->threads.push_back(std::make_unique<EventThread>(server, std::move(loop)));
    if (!server->threads.back()->StartAccepting()) std::exit(1);
  }
  server->listener_users = server->threads.size();
  {
    orvel::port::MutexLock lock(&g_servers_mu);
    g_servers.push_back(server);
  }
  for (auto& t : server->threads) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, kConnectionStackBytes);
    pthread_t thread{};
    int rc = pthread_create(&thread, &attr, serverThread, t.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
      errno = rc;
      std::perror("pthread_create");
      std::fputs("Can't create thread... exit now!\n", stderr);
      std::exit(1);
    }
  }
  SetServerAccepting(true);
}

}  // namespace orvel::http

void startServerLoop(unsigned short port, RecvCallbackT handler) {
  ServerOptions options;
  orvel::Status st = ReadServerOptions(&options);
  if (!st.ok()) {
    std::fprintf(stderr, "%s\n", st.ToString().c_str());
    std::exit(1);
  }
  StartServer(options, port, handler);
}

int openServerSocket(unsigned short port) {
  ServerOptions options;
  orvel::Status st = ReadServerOptions(&options);
  if (!st.ok()) {
    std::fprintf(stderr, "%s\n", st.ToString().c_str());
    return -1;
  }
  return OpenListener(options.listen_addr, port);
}

void* serverThread(void* event_thread) {
  static_cast<EventThread*>(event_thread)->Run();
  return nullptr;
}
