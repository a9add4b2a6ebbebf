// http_client.cc: one-shot exchanges, one fresh connection per message.
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

namespace {

void PrintUnexpected(const char* head) {
  std::fprintf(stderr, "Unexpected response from server:\n%s\n", head);
}

void PrintTimeout(double timeout_s) {
  std::fprintf(stderr, "Timed out after %g s waiting for the reply from server\n", timeout_s);
}

// Reads and checks the reply's head; false (with its line printed) when
// there is no usable 200 answer.
bool ReadReplyHead(int sock, double timeout_s, long long max_body_bytes, Deadline deadline,
                   std::vector<char>* head, size_t* got, ResponseHead* parsed, int* http_status) {
  net::IoResult r = net::ReadSome(sock, head->data(), kHeadReadBytes, deadline);
  if (r.status == IoStatus::kTimedOut) {
    PrintTimeout(timeout_s);
    return false;
  }
  *got = r.status == IoStatus::kOk ? r.bytes : 0;
  HeadStatus head_status = ParseResponseHead(head->data(), *got, max_body_bytes, parsed);
  if (http_status != nullptr &&
      (head_status == HeadStatus::kOk || head_status == HeadStatus::kNotOk ||
       head_status == HeadStatus::kLengthNotPositive || head_status == HeadStatus::kLengthTooLarge))
    *http_status = parsed->status;
  switch (head_status) {
    case HeadStatus::kOk:
      return true;
    case HeadStatus::kNotOk:
      std::fprintf(stderr, "Error %d %s\n", parsed->status, parsed->reason.c_str());
      return false;
    case HeadStatus::kLengthNotPositive:
    case HeadStatus::kLengthTooLarge:
      PrintLengthRefusal(head_status, parsed->length, "server", max_body_bytes);
      return false;
    default:
      PrintUnexpected(head->data());
      return false;
  }
}

// After a whole body: anything more the peer sends is reported, and a peer
// that keeps the connection open only costs the wait.
void ReportSurplus(int sock, double timeout_s, Deadline deadline) {
  std::vector<char> extra(kSurplusReadBytes, '\0');
  net::IoResult r = net::ReadSome(sock, extra.data(), extra.size(), deadline);
  if (r.status == IoStatus::kTimedOut) PrintTimeout(timeout_s);
  if (r.status == IoStatus::kOk) {
    std::fprintf(stderr, "%zu extra bytes read!\n#", r.bytes);
    std::fwrite(extra.data(), 1, r.bytes, stderr);
    std::fputs("#\n", stderr);
  }
}

Msg* MsgFromBody(const char* body, size_t count) {
  orvel::msg::EnsureXmlInitialised();
  xmlDocPtr doc = ParseBodyDocument(body, count);
  if (doc == nullptr) {
    std::fputs("Reply body is not a well-formed XML document\n", stderr);
    return nullptr;
  }
  if (xmlDocGetRootElement(doc) == nullptr) {
    xmlFreeDoc(doc);
    std::fputs("Reply document has no root element\n", stderr);
    return nullptr;
  }
  // Unknown types (request types included) give null silently; a refused
  // document is null too, since its fields cannot be trusted.
  return newReplyMsgFromDoc(doc, nullptr);
}

// Reads and builds the reply; the caller closes the socket.
Msg* ReadReply(int sock, double timeout_s, long long max_body_bytes, int* http_status) {
  Deadline deadline = Deadline::After(timeout_s);
  std::vector<char> head(kHeadReadBytes + 1, '\0');
  size_t got = 0;
  ResponseHead parsed;
  if (!ReadReplyHead(sock, timeout_s, max_body_bytes, deadline, &head, &got, &parsed, http_status))
    return nullptr;
  const size_t declared = static_cast<size_t>(parsed.length.value);
  std::vector<char> body(declared + 1, '\0');
  // What came with the head counts up to its first zero byte; anything past
  // the declared length is dropped.
  const char* first = head.data() + parsed.body_offset;
  size_t count = strnlen(first, got - parsed.body_offset);
  if (count > declared) count = declared;
  std::memcpy(body.data(), first, count);
  if (!ReadBodyRest(sock, body.data(), declared, &count, deadline)) {
    PrintTimeout(timeout_s);
    return nullptr;
  }
  body[count] = '\0';
  if (count < declared) {
    PrintShortBody(count, declared);
  } else {
    ReportSurplus(sock, timeout_s, deadline);
  }
  return MsgFromBody(body.data(), count);
}

}  // namespace

UniqueFd ConnectClient(const char* host, unsigned short port, Deadline deadline) {
  if (host == nullptr || port == 0) return UniqueFd();
  uint32_t addr = 0;
  std::string why;
  if (!net::ResolveIpv4(host, &addr, &why)) {
    std::fprintf(stderr, "%s: %s\n", host, why.c_str());
    return UniqueFd();
  }
  if (addr == 0) {
    std::fprintf(stderr, "%s: refusing to connect to 0.0.0.0\n", host);
    return UniqueFd();
  }
  int err = 0;
  const char* failed_call = "connect";
  UniqueFd sock = net::ConnectTcp(net::Ipv4(addr, port), deadline, &err,
                                  /*nonblocking=*/false, &failed_call);
  if (!sock.valid()) {
    errno = err;
    std::perror(failed_call);
  }
  return sock;
}

// A first cut over the public pair; the reasons get finer as the client's
// steps learn to return a Status of their own.
Status Exchange(const std::string& host, unsigned short port, Msg& request,
                std::unique_ptr<Msg>* reply) {
  reply->reset();
  const std::string peer = host + ":" + std::to_string(port);
  if (port == 0) return Status::InvalidArgument(peer + ": no port to connect to");
  int sock = sendRequestMsg(host.c_str(), port, &request);
  if (sock == -1) return Status::Unavailable("connect " + peer + ": failed");
  int http_status = 0;
  reply->reset(getResponseMsgStatus(sock, &http_status));
  if (*reply) return Status::OK();
  if (http_status != 0 && http_status != 200)
    return Status::Refused(peer + ": answered HTTP " + std::to_string(http_status));
  return Status::Protocol(peer + ": no usable reply");
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
  std::string head =
      std::string(req->method) + " " + (req->uri != nullptr ? req->uri : "") + " HTTP/1.1\r\n";
  head += has_body ? "Content-Length: " + std::to_string(req->content_length)
                   : std::string("Content-Length: 0");
  head += "\r\n\r\n";
  // Head and body in one segment where they fit: the server reads them in
  // one go.  A failed write shows when the response is read.
  (void)orvel::net::WriteAll2(sock.get(), head.data(), head.size(), req->body,
                              has_body ? static_cast<size_t>(req->content_length) : 0, deadline);
  return sock.release();
}

Msg* getResponseMsg(int sock) { return getResponseMsgStatus(sock, nullptr); }

Msg* getResponseMsgStatus(int sock, int* http_status) {
  if (http_status != nullptr) *http_status = 0;
  if (sock < 0) return nullptr;
  UniqueFd owned(sock);
  return ReadReply(sock, ClientTimeoutSeconds(), MaxBodyBytes(), http_status);
}

int sendRequestMsg(const char* host, unsigned short port, Msg* msg) {
  if (msg == nullptr || host == nullptr) return -1;
  char port_text[20];
  std::snprintf(port_text, sizeof port_text, "%d", port);
  std::string uri = std::string("http://") + host + ":" + port_text + "/query";
  ReqPtr req(newHTTPReq("POST", uri));
  if (!req) return -1;
  MallocText text(msg->getChars());
  setBody(req.get(), text.get());
  text.reset();
  return sendHTTPReq(req.get(), host, port);
}
