// http_serve.cc: serving one request once it has been read (the document
// parsed, the handler called, the answer written, the socket closed), and
// the blocking calls of the public API that serve or read one connection on
// the caller's thread through the same steps (HTTPconn, readHTTPRequest,
// sendHTTPResponse, sendHTTPError).
#include <arpa/inet.h>
#include <libxml/parser.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "http/http_impl.h"
#include "http/refusal.h"
#include "http/server_stats.h"
#include "msg/doc_writer.h"
#include "net/socket_io.h"

using orvel::net::Deadline;

namespace orvel::http {

namespace {

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Content Too Large";
    case 414:
      return "URI Too Long";
    case 417:
      return "Expectation Failed";
    case 431:
      return "Request Header Fields Too Large";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Error";
  }
}

// One request on its way through the handler: where to answer, and how.
struct ServeContext {
  const ServerOptions& options;
  int sock;
  std::string type;  // the document's root element name, once known

  // Counts the request and answers it 400 (in standard framing: status 400
  // with reason).
  void Refuse(RequestResult result, std::string reason) const {
    ReportRequest(type.c_str(), result);
    SendRefusal(sock, options.parser, Refusal{400, std::move(reason)},
                Deadline::After(options.read_timeout_s));
  }
};

// The request message in req's body, or null when the body is no request
// document (then the line is printed, the request counted and refused).
std::unique_ptr<Msg> RequestMessage(ReqPtr req, ServeContext* ex) {
  orvel::msg::EnsureXmlInitialised();  // a no-op once startServerLoop() has run
  // The client counts the text's terminating zero byte; the parser gets the
  // text up to its first zero byte.
  size_t text_len = strnlen(req->body, req->content_length);
  xmlDocPtr doc = ParseBodyDocument(req->body, text_len);
  req.reset();
  if (doc == nullptr) {
    std::fputs("Request body is not a well-formed XML document\n", stderr);
    ex->Refuse(RequestResult::kMalformed, "body is not an XML document");
    return nullptr;
  }
  xmlNodePtr root = xmlDocGetRootElement(doc);
  if (root == nullptr) {
    xmlFreeDoc(doc);
    std::fputs("Request document has no root element\n", stderr);
    ex->Refuse(RequestResult::kMalformed, "body is not an XML document");
    return nullptr;
  }
  ex->type = reinterpret_cast<const char*>(root->name);
  bool unknown_type = true;
  std::unique_ptr<Msg> request(newRequestMsgFromDoc(doc, &unknown_type));
  if (!request) {
    if (unknown_type) {
      std::fputs("undefined request type\n", stderr);
      ex->Refuse(RequestResult::kUnknownType, "unknown request type " + ex->type);
    } else {
      std::fprintf(stderr, "Refused malformed %s request\n", ex->type.c_str());
      ex->Refuse(RequestResult::kMalformed, "malformed " + ex->type + " document");
    }
    return nullptr;
  }
  return request;
}

void ServeRequest(const ServerOptions& options, RecvCallbackT callback, int sock, uint32_t srcaddr,
                  uint16_t srcport, ReqPtr req) {
  ServeContext ex{options, sock, ""};
  if (callback == nullptr) {
    std::fputs("RecvCallback is NULL!\n", stderr);
    SendRefusal(sock, options.parser, Refusal{400, "no handler"},
                Deadline::After(options.read_timeout_s));
    return;
  }
  std::unique_ptr<Msg> request = RequestMessage(std::move(req), &ex);
  if (!request) return;
  request->setSrcAddr(srcaddr);
  request->setSrcPort(ntohs(srcport));
  request->sock = sock;

  (void)TakeRefusalReason();  // one left by an earlier call on this thread
  Msg* const answer = callback(request.get());
  std::string why = TakeRefusalReason();
  // A handler that hands its request back must not have it freed twice:
  // the reply takes it over.
  std::unique_ptr<Msg> reply(answer == request.get() ? request.release() : answer);
  request.reset();
  if (!reply) {
    std::fputs("RecvCallback returned NULL\n", stderr);
    ex.Refuse(RequestResult::kRefused, why.empty() ? ex.type + " refused" : why);
    return;
  }
  char* text = reply->getChars();
  if (text == nullptr) {
    std::fputs("Reply message has no document to send\n", stderr);
    ex.Refuse(RequestResult::kRefused, "the reply could not be written");
    return;
  }
  SendResponse(sock, text, Deadline::After(options.read_timeout_s));
  std::free(text);
  ReportRequest(ex.type.c_str(), RequestResult::kOk);
}

}  // namespace

void CloseConnection(int fd) {
  ::close(fd);
  ConnectionClosed();
}

void RefuseAndClose(const ServerOptions& options, int fd, const RequestReader& reader) {
  std::fputs("readHTTPRequest returned NULL\n", stderr);
  ReportRequest("", reader.timed_out() ? RequestResult::kTimeout : RequestResult::kMalformed);
  SendRefusal(fd, options.parser, reader.refusal(), Deadline::After(options.read_timeout_s));
  CloseConnection(fd);
}

void ServeAndClose(const ServerOptions& options, RecvCallbackT callback, int fd, uint32_t srcaddr,
                   uint16_t srcport, ReqPtr req) {
  // Handlers see the socket as it always was: blocking.
  (void)net::SetNonBlocking(fd, false);
  ServeRequest(options, callback, fd, srcaddr, srcport, std::move(req));
  CloseConnection(fd);
}

void SendResponse(int sock, const char* text, Deadline deadline) {
  if (text == nullptr) text = "";
  const size_t total = std::strlen(text);
  char head[128];
  int head_len = std::snprintf(head, sizeof head,
                               "%s 200 OK\r\nConnection: close\r\nContent-Length: %d\r\n\r\n",
                               "HTTP/1.1", static_cast<int>(total));
  // Head and body leave in one call, so a small reply is one segment.
  net::IoResult r =
      net::WriteAll2(sock, head, static_cast<size_t>(head_len), text, total, deadline);
  const size_t body_sent = r.bytes > static_cast<size_t>(head_len) ? r.bytes - head_len : 0;
  if (body_sent < total) {
    std::fprintf(stderr, "Warning: Could only write %zu bytes out of %zu total!\n", body_sent,
                 total);
  }
}

void SendRefusal(int sock, ParserMode mode, const Refusal& refusal, Deadline deadline) {
  if (mode == ParserMode::kStrict) {
    static const char kResponse[] = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";
    (void)net::WriteAll(sock, kResponse, sizeof kResponse - 1, deadline);
    return;
  }
  const std::string body =
      (refusal.reason.empty() ? std::string("bad request") : refusal.reason) + "\n";
  const std::string head = "HTTP/1.1 " + std::to_string(refusal.status) + " " +
                           StatusText(refusal.status) +
                           "\r\nConnection: close\r\nContent-Type: text/plain; "
                           "charset=utf-8\r\nContent-Length: " +
                           std::to_string(body.size()) + "\r\n\r\n";
  (void)net::WriteAll2(sock, head.data(), head.size(), body.data(), body.size(), deadline);
}

}  // namespace orvel::http

using namespace orvel::http;

void* HTTPconn(void* parameters) {
  // The counters take what this connection cost.
  ThreadCpuCharge charge;
  std::unique_ptr<Parameters> params(static_cast<Parameters*>(parameters));
  ServerOptions options;
  (void)ReadServerOptions(&options);  // an unusable setting keeps its default
  ConnectionOpened();
  RequestReader reader(options);
  if (reader.ReadBlocking(params->sock) == RequestReader::Step::kRefused) {
    RefuseAndClose(options, params->sock, reader);
  } else {
    ServeAndClose(options, params->RecvCallback, params->sock, params->srcaddr, params->srcport,
                  reader.TakeRequest());
  }
  return nullptr;
}

HTTPReq* readHTTPRequest(int sock) {
  if (sock < 0) return nullptr;
  ServerOptions options;
  (void)ReadServerOptions(&options);
  RequestReader reader(options);
  if (reader.ReadBlocking(sock) == RequestReader::Step::kRefused) return nullptr;
  return reader.TakeRequest().release();
}

void sendHTTPResponse(int sock, const char* text) {
  SendResponse(sock, text, Deadline::After(ReadTimeoutSeconds()));
}

void sendHTTPError(int sock) {
  SendRefusal(sock, ParserMode::kStrict, Refusal{}, Deadline::After(ReadTimeoutSeconds()));
}
