// http_client.cc: one-shot exchanges, one fresh connection per message.
//
// Exchange() and the public pair (sendRequestMsg, getResponseMsg) run the
// same steps below, so they print the same lines on the same streams; the
// steps return a Status so Exchange can also say why it failed.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "http/client.h"
#include "http/http_impl.h"
#include "msg/doc_writer.h"
#include "net/address.h"

using orvel::net::Deadline;
using orvel::net::IoStatus;
using orvel::net::UniqueFd;

namespace orvel::http {

static_assert(ClientOptions().timeout_s == kDefaultClientTimeoutSeconds &&
                  ClientOptions().max_body_bytes == kDefaultMaxBodyBytes,
              "client.h states the defaults of http_impl.h");

ClientOptions ClientOptions::FromEnvironment() {
  ClientOptions o;
  o.timeout_s = ClientTimeoutSeconds();
  o.max_body_bytes = MaxBodyBytes();
  return o;
}

namespace {

std::string PeerText(const char* host, unsigned short port) {
  return std::string(host != nullptr ? host : "(null)") + ":" + std::to_string(port);
}

std::string Seconds(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", s);
  return text;
}

void PrintUnexpected(const char* head) {
  std::fprintf(stderr, "Unexpected response from server:\n%s\n", head);
}

void PrintTimeout(double timeout_s) {
  std::fprintf(stderr, "Timed out after %g s waiting for the reply from server\n", timeout_s);
}

// Connects as openClientSocket does, with its lines (none for a null host
// or port 0).
Status Connect(const char* host, unsigned short port, Deadline deadline, UniqueFd* sock) {
  if (host == nullptr || port == 0)
    return Status::InvalidArgument(PeerText(host, port) + ": no host or port to connect to");
  uint32_t addr = 0;
  std::string why;
  if (!net::ResolveIpv4(host, &addr, &why)) {
    std::fprintf(stderr, "%s: %s\n", host, why.c_str());
    return Status::Unavailable("resolve " + std::string(host) + ": " + why);
  }
  if (addr == 0) {
    std::fprintf(stderr, "%s: refusing to connect to 0.0.0.0\n", host);
    return Status::InvalidArgument(PeerText(host, port) + ": refusing to connect to 0.0.0.0");
  }
  Status s = net::Connect(net::Ipv4(addr, port), deadline, sock);
  if (!s.ok()) {
    // The line names only the call, as perror does.
    const bool no_socket = s.message().compare(0, 6, "socket") == 0;
    errno = s.sys_errno();
    std::perror(no_socket ? "socket" : "connect");
  }
  return s;
}

// Writes the head and body (with its terminating zero byte) in one go
// where they fit the socket buffer: the server reads them in one read.
Status WriteRequest(int sock, const char* method, const char* uri, const char* body,
                    size_t body_bytes, const std::string& peer, Deadline deadline) {
  std::string head;
  head.reserve(64 + std::strlen(uri));
  head.append(method).append(" ").append(uri).append(" HTTP/1.1\r\nContent-Length: ");
  head.append(std::to_string(body_bytes)).append("\r\n\r\n");
  return net::WriteAll2(sock, head.data(), head.size(), body, body_bytes, deadline)
      .ToStatus(peer + ": write");
}

// Connects and posts msg's text (terminator included) to host:port.
Status PostMessage(const char* host, unsigned short port, const Msg& msg, Deadline deadline,
                   UniqueFd* sock, Status* write_status) {
  MallocText text(msg.getChars());
  Status s = Connect(host, port, deadline, sock);
  if (!s.ok()) return s;
  char port_text[20];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  const std::string uri = std::string("http://") + host + ":" + port_text + "/query";
  // A failed write shows when the reply is read; its reason is kept for
  // when no reply comes.
  // A message without text goes out with "Content-Length: 0", as a request
  // record without a body does.
  *write_status =
      WriteRequest(sock->get(), "POST", uri.c_str(), text.get(),
                   text ? std::strlen(text.get()) + 1 : 0, PeerText(host, port), deadline);
  return Status::OK();
}

// Reads and checks the reply's head, printing the line of a refused one.
// head has room for kHeadReadBytes and a terminator.
Status ReadReplyHead(int sock, const ClientOptions& options, const std::string& peer,
                     Deadline deadline, char* head, size_t* got, ResponseHead* parsed,
                     int* http_status) {
  net::IoResult r = net::ReadSome(sock, head, kHeadReadBytes, deadline);
  if (r.status == IoStatus::kTimedOut) {
    PrintTimeout(options.timeout_s);
    return Status::TimedOut(peer + ": no reply within " + Seconds(options.timeout_s));
  }
  *got = r.status == IoStatus::kOk ? r.bytes : 0;
  head[*got] = '\0';  // the lines below print it as text
  HeadStatus head_status = ParseResponseHead(head, *got, options.max_body_bytes, parsed);
  if (http_status != nullptr &&
      (head_status == HeadStatus::kOk || head_status == HeadStatus::kNotOk ||
       head_status == HeadStatus::kLengthNotPositive || head_status == HeadStatus::kLengthTooLarge))
    *http_status = parsed->status;
  switch (head_status) {
    case HeadStatus::kOk:
      return Status::OK();
    case HeadStatus::kNotOk:
      std::fprintf(stderr, "Error %d %s\n", parsed->status, parsed->reason.c_str());
      return Status::Refused(peer + ": answered HTTP " + std::to_string(parsed->status));
    case HeadStatus::kLengthNotPositive:
    case HeadStatus::kLengthTooLarge:
      PrintLengthRefusal(head_status, parsed->length, "server", options.max_body_bytes);
      return Status::Protocol(
          peer + ": reply declares Content-Length " + parsed->length.text +
          (head_status == HeadStatus::kLengthTooLarge
               ? ", above the limit of " + std::to_string(options.max_body_bytes)
               : std::string()));
    default:
      PrintUnexpected(head);
      if (r.status == IoStatus::kClosed)
        return Status::Protocol(peer + ": closed the connection without a reply");
      if (r.status != IoStatus::kOk) return r.ToStatus(peer + ": read");
      return Status::Protocol(peer + (head_status == HeadStatus::kBadFirstLine
                                          ? ": reply without a readable status line"
                                          : ": reply head without Connection and Content-Length"));
  }
}

// After a whole body: anything more the peer sends is reported, and a peer
// that keeps the connection open only costs the wait.
void ReportSurplus(int sock, double timeout_s, Deadline deadline) {
  char extra[kSurplusReadBytes];
  // The peer closes right after its answer, so the end is usually there
  // already: look before waiting.
  net::IoResult r{IoStatus::kOk, 0, 0};
  ssize_t n = ::recv(sock, extra, sizeof extra, MSG_DONTWAIT);
  if (n > 0) {
    r.bytes = static_cast<size_t>(n);
  } else if (n == 0) {
    r.status = IoStatus::kClosed;
  } else {
    r = net::ReadSome(sock, extra, sizeof extra, deadline);
  }
  if (r.status == IoStatus::kTimedOut) PrintTimeout(timeout_s);
  if (r.status == IoStatus::kOk) {
    std::fprintf(stderr, "%zu extra bytes read!\n#", r.bytes);
    std::fwrite(extra, 1, r.bytes, stderr);
    std::fputs("#\n", stderr);
  }
}

Status MsgFromBody(const char* body, size_t count, const std::string& peer,
                   std::unique_ptr<Msg>* reply) {
  orvel::msg::EnsureXmlInitialised();
  xmlDocPtr doc = ParseBodyDocument(body, count);
  if (doc == nullptr) {
    std::fputs("Reply body is not a well-formed XML document\n", stderr);
    return Status::Protocol(peer + ": reply body is not a well-formed XML document");
  }
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr) {
    xmlFreeDoc(doc);
    std::fputs("Reply document has no root element\n", stderr);
    return Status::Protocol(peer + ": reply document has no root element");
  }
  const std::string type = reinterpret_cast<const char*>(root->name);
  // Unknown types (request types included) give null silently; a refused
  // document is null too, since its fields cannot be trusted.
  bool unknown_type = false;
  reply->reset(newReplyMsgFromDoc(doc, &unknown_type));
  if (*reply) return Status::OK();
  return Status::Protocol(peer + (unknown_type ? ": answered " + type + ", not a reply type"
                                               : ": answered an unusable " + type + " document"));
}

// Reads and builds the reply; the caller closes the socket.
Status ReadReply(int sock, const ClientOptions& options, const std::string& peer, int* http_status,
                 std::unique_ptr<Msg>* reply) {
  Deadline deadline = Deadline::After(options.timeout_s);
  char head[kHeadReadBytes + 1];
  size_t got = 0;
  ResponseHead parsed;
  Status s = ReadReplyHead(sock, options, peer, deadline, head, &got, &parsed, http_status);
  if (!s.ok()) return s;
  const size_t declared = static_cast<size_t>(parsed.length.value);
  std::vector<char> body(declared + 1);
  // What came with the head counts up to its first zero byte; anything past
  // the declared length is dropped.
  const char* first = head + parsed.body_offset;
  size_t count = strnlen(first, got - parsed.body_offset);
  if (count > declared) count = declared;
  std::memcpy(body.data(), first, count);
  if (!ReadBodyRest(sock, body.data(), declared, &count, deadline)) {
    PrintTimeout(options.timeout_s);
    return Status::TimedOut(peer + ": reply body incomplete after " + Seconds(options.timeout_s) +
                            " (" + std::to_string(count) + " of " + std::to_string(declared) +
                            " bytes)");
  }
  body[count] = '\0';
  if (count < declared) {
    PrintShortBody(count, declared);
  } else {
    ReportSurplus(sock, options.timeout_s, deadline);
  }
  return MsgFromBody(body.data(), count, peer, reply);
}

}  // namespace

UniqueFd ConnectClient(const char* host, unsigned short port, Deadline deadline) {
  UniqueFd sock;
  (void)Connect(host, port, deadline, &sock);
  return sock;
}

Status Exchange(const std::string& host, unsigned short port, Msg& request,
                std::unique_ptr<Msg>* reply) {
  return Exchange(host, port, request, reply, ClientOptions::FromEnvironment());
}

Status Exchange(const std::string& host, unsigned short port, Msg& request,
                std::unique_ptr<Msg>* reply, const ClientOptions& options) {
  reply->reset();
  const std::string peer = PeerText(host.c_str(), port);
  if (port == 0) {
    // sendRequestMsg fails here without a word; say which peer had no port.
    std::fprintf(stderr, "%s: no port to connect to\n", peer.c_str());
    return Status::InvalidArgument(peer + ": no port to connect to");
  }
  UniqueFd sock;
  orvel::Status write_status;
  Status s = PostMessage(host.c_str(), port, request, Deadline::After(options.timeout_s), &sock,
                         &write_status);
  if (!s.ok()) return s;
  s = ReadReply(sock.get(), options, peer, nullptr, reply);
  // A reply that never came after a failed write: the write says why.
  if (!s.ok() && !write_status.ok() && s.code() != Status::Code::kRefused) return write_status;
  return s;
}

}  // namespace orvel::http

using namespace orvel::http;

HTTPReq* newHTTPReq(const char* method, const std::string& uri) {
  ReqPtr req(new HTTPReq{});
  std::snprintf(req->method, sizeof req->method, "%s", method != nullptr ? method : "");
  req->uri = strdup(uri.c_str());
  if (req->uri == nullptr) return nullptr;
  req->content_length = -1;
  req->body = nullptr;
  return req.release();
}

void setBody(HTTPReq* req, const char* text) {
  if (req == nullptr || text == nullptr) return;
  size_t len = std::strlen(text);
  char* copy = static_cast<char*>(std::malloc(len + 1));
  if (copy == nullptr) return;
  std::memcpy(copy, text, len + 1);
  std::free(req->body);
  req->body = copy;
  req->content_length = static_cast<int>(len + 1);
}

int openClientSocket(const char* host, unsigned short port) {
  return ConnectClient(host, port, Deadline::After(ClientTimeoutSeconds())).release();
}

int sendHTTPReq(HTTPReq* req, const char* host, unsigned short port) {
  if (req == nullptr) return -1;
  Deadline deadline = Deadline::After(ClientTimeoutSeconds());
  UniqueFd sock = ConnectClient(host, port, deadline);
  if (!sock.valid()) return -1;
  const bool has_body = req->content_length > 0 && req->body != nullptr;
  // A failed write shows when the response is read.
  (void)WriteRequest(sock.get(), req->method, req->uri != nullptr ? req->uri : "", req->body,
                     has_body ? static_cast<size_t>(req->content_length) : 0, PeerText(host, port),
                     deadline);
  return sock.release();
}

Msg* getResponseMsg(int sock) { return getResponseMsgStatus(sock, nullptr); }

Msg* getResponseMsgStatus(int sock, int* http_status) {
  if (http_status != nullptr) *http_status = 0;
  if (sock < 0) return nullptr;
  UniqueFd owned(sock);
  std::unique_ptr<Msg> reply;
  (void)ReadReply(sock, ClientOptions::FromEnvironment(), "server", http_status, &reply);
  return reply.release();
}

int sendRequestMsg(const char* host, unsigned short port, Msg* msg) {
  if (msg == nullptr || host == nullptr) return -1;
  // The message text goes out as getChars made it, without the copies a
  // request record would take.
  UniqueFd sock;
  orvel::Status write_status;
  if (!PostMessage(host, port, *msg, Deadline::After(ClientTimeoutSeconds()), &sock, &write_status)
           .ok())
    return -1;
  return sock.release();
}
