// http_server.cc: the threaded one-request-per-connection server.
#include <arpa/inet.h>
#include <errno.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "http/http_impl.h"
#include "http/server_stats.h"
#include "http/worker_pool.h"
#include "msg/doc_writer.h"

using orvel::net::Deadline;
using orvel::net::IoStatus;
using orvel::net::UniqueFd;

namespace orvel::http {

namespace {

std::atomic<ThreadCreateFn> g_thread_create{nullptr};

// Never destroyed: workers may still be finishing at exit.  The ones that
// have ended are joined then, so none is left behind unjoined.
WorkerPool& ConnectionWorkers() {
  static WorkerPool* pool = [] {
    auto* p = new WorkerPool(kConnectionStackBytes, std::chrono::milliseconds(kIdleWorkerKeepMs),
                             kMaxIdleWorkers);
    atexit([] { ConnectionWorkers().ReapEnded(); });
    return p;
  }();
  return *pool;
}

struct ReqDeleter {
  void operator()(HTTPReq* req) const { freeHTTPReq(req); }
};
using ReqPtr = std::unique_ptr<HTTPReq, ReqDeleter>;

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

// Errors of accept() that concern one pending connection or a passing
// shortage; the listening socket itself is still fine.
bool AcceptErrorPasses(int err) {
  switch (err) {
    case EINTR: case ECONNABORTED: case EAGAIN: case EPROTO: case EPERM:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET:
    case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
      return true;
    default:
      return false;
  }
}

bool IsResourceShortage(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

int CreateDetachedThread(void* (*body)(void*), void* arg,
                         ThreadCreateFn create) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread{};
  int rc = (create != nullptr ? create : pthread_create)(&thread, &attr, body,
                                                         arg);
  pthread_attr_destroy(&attr);
  return rc;
}

// Reads the rest of a declared body after what the head read delivered.
// False when the peer timed out (already reported).
bool ReadBodyRest(int sock, HTTPReq* req, size_t* received,
                  Deadline deadline, double timeout_s) {
  const size_t declared = static_cast<size_t>(req->content_length);
  while (*received < declared) {
    net::IoResult r = net::ReadSome(sock, req->body + *received,
                                    declared - *received, deadline);
    if (r.status == IoStatus::kTimedOut) {
      NoteReadTimedOut();
      std::fprintf(stderr,
                   "Timed out after %g s: received %zu bytes of message body "
                   "out of %d expected.\n",
                   timeout_s, *received, req->content_length);
      return false;
    }
    if (r.status != IoStatus::kOk) break;
    *received += r.bytes;
  }
  return true;
}

HTTPReq* ReadRequest(int sock, double timeout_s, long long max_body_bytes) {
  Deadline deadline = Deadline::After(timeout_s);
  // Not zero-filled: a connection that waits for its first bytes then holds
  // no touched head pages, which is most of what a silent client costs.
  std::unique_ptr<char, FreeDeleter> head(
      static_cast<char*>(std::malloc(kHeadReadBytes + 1)));
  if (!head) {
    std::fputs("Out of memory for a request head\n", stderr);
    return nullptr;
  }
  net::IoResult r = net::ReadSome(sock, head.get(), kHeadReadBytes, deadline);
  if (r.status == IoStatus::kTimedOut) {
    NoteReadTimedOut();
    std::fprintf(stderr, "Timed out after %g s waiting for request from client\n",
                 timeout_s);
    return nullptr;
  }
  const size_t got = r.status == IoStatus::kOk ? r.bytes : 0;
  head.get()[got] = '\0';  // the lines below print it as text

  RequestHead parsed;
  const HeadStatus head_status = ParseRequestHead(head.get(), got, max_body_bytes, &parsed);
  switch (head_status) {
    case HeadStatus::kOk:
      break;
    case HeadStatus::kBadFirstLine:
      std::fprintf(stderr, "Unexpected header from client:\n%s\n", head.get());
      return nullptr;
    case HeadStatus::kLengthNotPositive:
    case HeadStatus::kLengthTooLarge:
      PrintLengthRefusal(head_status, parsed.length, "client", max_body_bytes);
      return nullptr;
    default:
      std::fprintf(stderr, "Unexpected content-length from client:\n%s\n",
                   head.get());
      return nullptr;
  }

  ReqPtr req(new HTTPReq{});
  std::snprintf(req->method, sizeof req->method, "%s", parsed.method.c_str());
  req->uri = static_cast<char*>(std::calloc(kMaxUriChars + 1, 1));
  req->content_length = static_cast<int>(parsed.length.value);
  req->body = static_cast<char*>(std::calloc(parsed.length.value + 1, 1));
  if (req->uri == nullptr || req->body == nullptr) {
    std::fprintf(stderr, "Out of memory for a body of %d bytes\n",
                 req->content_length);
    return nullptr;
  }
  std::memcpy(req->uri, parsed.uri.data(), parsed.uri.size());

  // Bytes past the declared length in the first read are dropped.
  size_t received = got - parsed.body_offset;
  if (received > static_cast<size_t>(req->content_length)) {
    received = req->content_length;
  }
  std::memcpy(req->body, head.get() + parsed.body_offset, received);
  if (!ReadBodyRest(sock, req.get(), &received, deadline, timeout_s)) {
    return nullptr;
  }
  if (received < static_cast<size_t>(req->content_length)) {
    std::fprintf(stderr,
                 "Only received %zu bytes of message body out of %d expected.\n",
                 received, req->content_length);
  }
  return req.release();
}

// Steps 1 to 8 of one connection: read, dispatch, answer.
void ServeConnection(const Parameters& params) {
  const int sock = params.sock;
  TakeReadTimedOut();  // a flag left by another use of this thread
  ReqPtr req(readHTTPRequest(sock));
  if (!req) {
    std::fputs("readHTTPRequest returned NULL\n", stderr);
    ReportRequest("", TakeReadTimedOut() ? RequestResult::kTimeout : RequestResult::kMalformed);
    sendHTTPError(sock);
    return;
  }
  if (params.RecvCallback == nullptr) {
    std::fputs("RecvCallback is NULL!\n", stderr);
    sendHTTPError(sock);
    return;
  }
  orvel::msg::EnsureXmlInitialised();  // a no-op once startServerLoop() has run
  // The client counts the text's terminating zero byte; the parser gets the
  // text up to its first zero byte.
  size_t text_len = strnlen(req->body, req->content_length);
  xmlDocPtr doc = ParseBodyDocument(req->body, text_len);
  req.reset();
  if (doc == nullptr) {
    std::fputs("Request body is not a well-formed XML document\n", stderr);
    ReportRequest("", TakeReadTimedOut() ? RequestResult::kTimeout : RequestResult::kMalformed);
    sendHTTPError(sock);
    return;
  }
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr) {
    xmlFreeDoc(doc);
    std::fputs("Request document has no root element\n", stderr);
    ReportRequest("", RequestResult::kMalformed);
    sendHTTPError(sock);
    return;
  }
  std::string root_name = reinterpret_cast<const char*>(root->name);
  bool unknown_type = true;
  std::unique_ptr<Msg> request(newRequestMsgFromDoc(doc, &unknown_type));
  if (!request) {
    if (unknown_type) {
      std::fputs("undefined request type\n", stderr);
    } else {
      std::fprintf(stderr, "Refused malformed %s request\n", root_name.c_str());
    }
    ReportRequest(root_name.c_str(),
                  unknown_type ? RequestResult::kUnknownType : RequestResult::kMalformed);
    sendHTTPError(sock);
    return;
  }
  request->setSrcAddr(params.srcaddr);
  request->setSrcPort(ntohs(params.srcport));
  request->sock = sock;

  Msg* const answer = params.RecvCallback(request.get());
  // A handler that hands its request back must not have it freed twice:
  // the reply takes it over.
  std::unique_ptr<Msg> reply(answer == request.get() ? request.release() : answer);
  request.reset();
  if (!reply) {
    std::fputs("RecvCallback returned NULL\n", stderr);
    ReportRequest(root_name.c_str(), RequestResult::kRefused);
    sendHTTPError(sock);
    return;
  }
  char* text = reply->getChars();
  if (text == nullptr) {
    std::fputs("Reply message has no document to send\n", stderr);
    ReportRequest(root_name.c_str(), RequestResult::kRefused);
    sendHTTPError(sock);
    return;
  }
  sendHTTPResponse(sock, text);
  std::free(text);
  ReportRequest(root_name.c_str(), RequestResult::kOk);
}

}  // namespace

void SetThreadCreateForTesting(ThreadCreateFn fn) {
  g_thread_create = fn;
  ConnectionWorkers().RetireIdle();
}

size_t BusyConnectionThreadsForTesting() {
  WorkerPool& pool = ConnectionWorkers();
  size_t threads = pool.threads();
  size_t idle = pool.idle();
  return threads > idle ? threads - idle : 0;
}

size_t ConnectionThreads() { return ConnectionWorkers().threads(); }

}  // namespace orvel::http

using namespace orvel::http;

void startServerLoop(unsigned short port, RecvCallbackT handler) {
  if (handler == nullptr) {
    std::fputs("RecvCallback is NULL!\n", stderr);
    std::exit(1);
  }
  // Writes use MSG_NOSIGNAL already; this also covers a handler's own writes.
  signal(SIGPIPE, SIG_IGN);
  // Before any connection thread parses.
  orvel::msg::EnsureXmlInitialised();
  // Bound before returning: a caller that announces the service (registers
  // it with a directory agent) must never do so for a port it did not get.
  int listener = openServerSocket(port);
  if (listener < 0) {
    std::fprintf(stderr, "Couldn't open server socket on port %d.\n", port);
    std::exit(1);
  }
  std::unique_ptr<ThreadParam> param(new ThreadParam{port, handler, listener});
  int rc = CreateDetachedThread(serverThread, param.get(), nullptr);
  if (rc != 0) {
    errno = rc;
    std::perror("pthread_create");
    std::fputs("Can't create thread... exit now!\n", stderr);
    std::exit(1);
  }
  (void)param.release();  // the accept thread owns it now
}

int openServerSocket(unsigned short port) {
  UniqueFd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    std::perror("socket");
    return -1;
  }
  int one = 1;
  (void)setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(sock.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    std::perror("bind");
    return -1;
  }
  // A burst of connects beyond the backlog has its SYNs dropped, and the
  // clients retry only after a second: take as many as the kernel allows.
  if (listen(sock.get(), /*backlog=*/SOMAXCONN) < 0) {
    std::perror("listen");
    return -1;
  }
  std::fprintf(stderr, "Listening on port %d\n", port);
  return sock.release();
}

void* serverThread(void* thread_param) {
  std::unique_ptr<ThreadParam> param(static_cast<ThreadParam*>(thread_param));
  UniqueFd listener(param->listensock >= 0 ? param->listensock
                                           : openServerSocket(param->listenport));
  if (!listener.valid()) {
    std::fprintf(stderr, "Couldn't open server socket on port %d.\n",
                 param->listenport);
    std::exit(1);
  }
  SetServerAccepting(true);
  for (;;) {
    sockaddr_in peer{};
    socklen_t peer_len = sizeof peer;
    int fd = accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer),
                     &peer_len, SOCK_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      std::perror("accept");
      if (AcceptErrorPasses(err)) {
        // Out of descriptors or memory: give closing connections a moment
        // instead of spinning on the same error.
        if (IsResourceShortage(err)) usleep(100 * 1000);
        continue;
      }
      std::fputs("serverThread terminating now...\n", stderr);
      SetServerAccepting(false);
      return nullptr;
    }
    UniqueFd conn_sock(fd);
    std::unique_ptr<Parameters> conn(new Parameters{
        param->RecvCallback, fd, peer.sin_addr.s_addr,
        peer.sin_port});
    int rc = ConnectionWorkers().Run(HTTPconn, conn.get(), g_thread_create.load());
    if (rc != 0) {
      // One connection lost is better than the whole service.
      errno = rc;
      std::perror("pthread_create");
      std::fputs("Can't create thread... closing this connection\n", stderr);
      continue;
    }
    conn_sock.release();  // the connection thread owns both now
    (void)conn.release();
  }
}

void* HTTPconn(void* parameters) {
  // The counters take what this connection cost.  The whole process's
  // times, added at every connection end, would count all CPU again each
  // time; and getrusage(RUSAGE_SELF) walks every thread of the process.
  long utime0 = 0;
  long stime0 = 0;
  ThreadCpuTimes(&utime0, &stime0);
  std::unique_ptr<Parameters> params(static_cast<Parameters*>(parameters));
  ConnectionOpened();
  {
    UniqueFd sock(params->sock);
    ServeConnection(*params);
  }
  ConnectionClosed();
  params.reset();
  long utime = 0;
  long stime = 0;
  ThreadCpuTimes(&utime, &stime);
  global_time_add(utime - utime0, stime - stime0);
  return nullptr;
}

HTTPReq* readHTTPRequest(int sock) {
  if (sock < 0) return nullptr;
  return ReadRequest(sock, ReadTimeoutSeconds(), MaxBodyBytes());
}

void sendHTTPResponse(int sock, const char* text) {
  if (text == nullptr) text = "";
  Deadline deadline = Deadline::After(ReadTimeoutSeconds());
  const size_t total = std::strlen(text);
  char head[128];
  int head_len = std::snprintf(
      head, sizeof head,
      "%s 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n",
      "HTTP/1.1", static_cast<int>(total));
  // Head and body leave in one call, so a small reply is one segment.
  orvel::net::IoResult r = orvel::net::WriteAll2(
      sock, head, static_cast<size_t>(head_len), text, total, deadline);
  const size_t body_sent =
      r.bytes > static_cast<size_t>(head_len) ? r.bytes - head_len : 0;
  if (body_sent < total) {
    std::fprintf(stderr, "Warning: Could only write %zu bytes out of %zu total!\n",
                 body_sent, total);
  }
}

void sendHTTPError(int sock) {
  static const char kResponse[] =
      "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
  (void)orvel::net::WriteAll(sock, kResponse, sizeof kResponse - 1,
                             Deadline::After(ReadTimeoutSeconds()));
}
