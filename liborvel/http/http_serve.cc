// http_serve.cc: serving one request once it has been read: the document
// parsed, the handler called, the answer written; and the blocking calls of
// the public API that serve or read one connection on the caller's thread
// (HTTPconn, readHTTPRequest, sendHTTPResponse, sendHTTPError).
#include <arpa/inet.h>
#include <libxml/parser.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "http/http_impl.h"
#include "http/server_stats.h"
#include "msg/doc_writer.h"
#include "net/socket_io.h"

using orvel::net::Deadline;
using orvel::net::IoStatus;
using orvel::net::UniqueFd;

namespace orvel::http {

// The blocking read of one request (readHTTPRequest and HTTPconn).
HTTPReq* ReadRequest(int sock, double timeout_s, long long max_body_bytes) {
  Deadline deadline = Deadline::After(timeout_s);
  // Not zero-filled: only what the read delivers is ever looked at.
  MallocText head(static_cast<char*>(std::malloc(kHeadReadBytes + 1)));
  if (!head) {
    std::fputs("Out of memory for a request head\n", stderr);
    return nullptr;
  }
  net::IoResult r = net::ReadSome(sock, head.get(), kHeadReadBytes, deadline);
  if (r.status == IoStatus::kTimedOut) {
    NoteReadTimedOut();
    PrintHeadTimeout(timeout_s);
    return nullptr;
  }
  size_t received = 0;
  ReqPtr req(RequestFromHead(head.get(), r.status == IoStatus::kOk ? r.bytes : 0, max_body_bytes,
                             &received));
  head.reset();
  if (!req) return nullptr;
  const size_t declared = static_cast<size_t>(req->content_length);
  if (!ReadBodyRest(sock, req->body, declared, &received, deadline)) {
    NoteReadTimedOut();
    PrintBodyTimeout(timeout_s, received, req->content_length);
    return nullptr;
  }
  if (received < declared) PrintShortBody(received, declared);
  return req.release();
}

// The request message in req's body, or null when the body is no request
// document (then the line is printed, the request counted and 400 sent).
// *root_name gets the document's root element name.
static std::unique_ptr<Msg> RequestMessage(ReqPtr req, int sock, std::string* root_name) {
  orvel::msg::EnsureXmlInitialised();  // a no-op once startServerLoop() has run
  // The client counts the text's terminating zero byte; the parser gets the
  // text up to its first zero byte.
  size_t text_len = strnlen(req->body, req->content_length);
  xmlDocPtr doc = ParseBodyDocument(req->body, text_len);
  req.reset();
  if (doc == nullptr) {
    std::fputs("Request body is not a well-formed XML document\n", stderr);
    ReportRequest("", RequestResult::kMalformed);
    sendHTTPError(sock);
    return nullptr;
  }
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr) {
    xmlFreeDoc(doc);
    std::fputs("Request document has no root element\n", stderr);
    ReportRequest("", RequestResult::kMalformed);
    sendHTTPError(sock);
    return nullptr;
  }
  *root_name = reinterpret_cast<const char*>(root->name);
  bool unknown_type = true;
  std::unique_ptr<Msg> request(newRequestMsgFromDoc(doc, &unknown_type));
  if (!request) {
    if (unknown_type) {
      std::fputs("undefined request type\n", stderr);
    } else {
      std::fprintf(stderr, "Refused malformed %s request\n", root_name->c_str());
    }
    ReportRequest(root_name->c_str(),
                  unknown_type ? RequestResult::kUnknownType : RequestResult::kMalformed);
    sendHTTPError(sock);
    return nullptr;
  }
  return request;
}

// Parses, dispatches and answers one request that has been read whole
// (req null: it was refused, and why has been printed).
void ServeRequest(RecvCallbackT callback, int sock, uint32_t srcaddr, uint16_t srcport,
                  ReqPtr req) {
  if (!req) {
    std::fputs("readHTTPRequest returned NULL\n", stderr);
    ReportRequest("", TakeReadTimedOut() ? RequestResult::kTimeout : RequestResult::kMalformed);
    sendHTTPError(sock);
    return;
  }
  if (callback == nullptr) {
    std::fputs("RecvCallback is NULL!\n", stderr);
    sendHTTPError(sock);
    return;
  }
  std::string root_name;
  std::unique_ptr<Msg> request = RequestMessage(std::move(req), sock, &root_name);
  if (!request) return;
  request->setSrcAddr(srcaddr);
  request->setSrcPort(ntohs(srcport));
  request->sock = sock;

  Msg* const answer = callback(request.get());
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

}  // namespace orvel::http

using namespace orvel::http;

void* HTTPconn(void* parameters) {
  // The counters take what this connection cost.
  ThreadCpuCharge charge;
  std::unique_ptr<Parameters> params(static_cast<Parameters*>(parameters));
  ConnectionOpened();
  TakeReadTimedOut();  // a flag left by another use of this thread
  {
    UniqueFd sock(params->sock);
    ReqPtr req(readHTTPRequest(params->sock));
    ServeRequest(params->RecvCallback, params->sock, params->srcaddr, params->srcport,
                 std::move(req));
  }
  ConnectionClosed();
  params.reset();
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
  int head_len = std::snprintf(head, sizeof head,
                               "%s 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n",
                               "HTTP/1.1", static_cast<int>(total));
  // Head and body leave in one call, so a small reply is one segment.
  orvel::net::IoResult r =
      orvel::net::WriteAll2(sock, head, static_cast<size_t>(head_len), text, total, deadline);
  const size_t body_sent = r.bytes > static_cast<size_t>(head_len) ? r.bytes - head_len : 0;
  if (body_sent < total) {
    std::fprintf(stderr, "Warning: Could only write %zu bytes out of %zu total!\n", body_sent,
                 total);
  }
}

void sendHTTPError(int sock) {
  static const char kResponse[] = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
  (void)orvel::net::WriteAll(sock, kResponse, sizeof kResponse - 1,
                             Deadline::After(ReadTimeoutSeconds()));
}
