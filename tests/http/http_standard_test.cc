// The standard framing (ORVEL_HTTP_PARSER=standard) against the strict
// default, over loopback with raw sockets: what a standard client sends is
// served with the strict mode's bytes, and refusals carry their reason.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "http/http_impl.h"
#include "http/http_test_util.h"
#include "orvel/http.h"
#include "testutil/net_util.h"

namespace orvel::httptest {
namespace {

using testutil::StderrCapture;
using testutil::TestFd;

std::string InitText(unsigned long id) { return Text(ZemInit(id, id + 1, 7560)); }
std::string InitOkText(unsigned long id) {
  return Text(ZemInitOk(id, id + 1, htonl(INADDR_LOOPBACK), 7));
}

std::string Refusal(const std::string& status, const std::string& reason) {
  return "HTTP/1.1 " + status + "\r\nConnection: close\r\nContent-Type: text/plain; " +
         "charset=utf-8\r\nContent-Length: " + std::to_string(reason.size() + 1) + "\r\n\r\n" +
         reason + "\n";
}

// A head as a standard client writes it: the given fields, then the body.
std::string Head(const std::string& fields, const std::string& body,
                 const std::string& line = "POST /query HTTP/1.1") {
  return line + "\r\n" + fields + "\r\n" + body;
}

std::string Length(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n";
}

TEST(HttpStandard, StandardClientsServedStrictModeRefusesThem) {
  const std::string text = InitText(2000);
  const std::string ok = OkResponse(InitOkText(2000));
  struct {
    const char* name;
    std::string request;
  } rows[] = {
      {"curl", Head("Host: 127.0.0.1:7000\r\nUser-Agent: curl/8.5.0\r\nAccept: */*\r\n"
                    "Content-Type: application/xml\r\n" +
                        Length(text),
                    text)},
      {"http.client", Head("Host: 127.0.0.1:7000\r\nAccept-Encoding: identity\r\n" + Length(text) +
                               "Content-Type: application/xml\r\n",
                           text)},
      {"lower-case names", Head("host: a\r\ncontent-length: " + std::to_string(text.size()) +
                                    "\r\nconnection: keep-alive\r\n",
                                text)},
      {"bare LF lines",
       "POST / HTTP/1.1\nHost: a\nContent-Length: " + std::to_string(text.size()) + "\n\n" + text},
      {"repeated equal lengths",
       Head("Content-Length: " + std::to_string(text.size()) + ", " + std::to_string(text.size()) +
                "\r\nHost: a\r\n" + Length(text),
            text)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StderrCapture err;
    EXPECT_EQ(testutil::Exchange(StandardServerPort(), row.request), ok);
    EXPECT_EQ(testutil::Exchange(TestServerPort(), row.request), kBadRequest);
  }
  // Our own client's framing reads the same in both.
  EXPECT_EQ(testutil::Exchange(StandardServerPort(), Request(text)), ok);
}

// The head in two writes, the second sent only after the server's first
// read took the first alone.
TEST(HttpStandard, HeadSplitAcrossReadsIsServed) {
  const std::string text = InitText(2100);
  TestFd s = testutil::ConnectLoopback(StandardServerPort());
  ASSERT_TRUE(SendAndWaitForHeadRead(s.get(), "POST /query HTTP/1.1\r\nHost: a\r\nConte"));
  ASSERT_TRUE(
      testutil::SendAll(s.get(), "nt-Length: " + std::to_string(text.size()) + "\r\n\r\n" + text));
  EXPECT_EQ(testutil::ReadUntilClosed(s.get()), OkResponse(InitOkText(2100)));
}

TEST(HttpStandard, ExpectContinueAnsweredBeforeTheBody) {
  const std::string text = InitText(2200);
  TestFd s = testutil::ConnectLoopback(StandardServerPort());
  ASSERT_TRUE(testutil::SendAll(s.get(), Head("Expect: 100-continue\r\n" + Length(text), "")));
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
  std::string got;
  char buf[64];
  while (got.size() < interim.size()) {
    ssize_t n = read(s.get(), buf, interim.size() - got.size());
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, interim);
  ASSERT_TRUE(testutil::SendAll(s.get(), text));
  EXPECT_EQ(testutil::ReadUntilClosed(s.get()), OkResponse(InitOkText(2200)));
}

TEST(HttpStandard, RefusalsSayWhy) {
  const std::string commit = Text(
      ZemCommit(5, 6, htonl(0xe0050607), 7560, 0, {TransportEndPoint(htonl(0x0a000001), 7560)}));
  const std::string query = Text(PELMQueryReq(7, 8, 1, 1, {}, {}, {}, {}));
  const std::string big_field = "X-Filler: " + std::string(9000, 'f') + "\r\n";
  struct {
    const char* name;
    std::string request;
    std::string response;
  } rows[] = {
      {"no Content-Length", Head("Host: a\r\n", ""),
       Refusal("411 Length Required", "Content-Length required")},
      {"chunked", Head("Transfer-Encoding: chunked\r\n", "5\r\nhello\r\n0\r\n\r\n"),
       Refusal("411 Length Required",
               "Transfer-Encoding is not read: send the body with Content-Length")},
      {"length zero", Head("Content-Length: 0\r\n", ""),
       Refusal("400 Bad Request", "Content-Length 0: no document")},
      {"conflicting lengths", Head("Content-Length: 5\r\nContent-Length: 6\r\n", "hello"),
       Refusal("400 Bad Request", "Content-Length is not one decimal number")},
      {"space before colon", Head("Content-Length : 5\r\n", "hello"),
       Refusal("400 Bad Request", "header line is not NAME: VALUE")},
      {"head above 8 KiB", Head(big_field + "Content-Length: 5\r\n", "hello"),
       Refusal("431 Request Header Fields Too Large", "request head larger than 8192 bytes")},
      {"HTTP/2.0", Head("Content-Length: 5\r\n", "hello", "POST / HTTP/2.0"),
       Refusal("505 HTTP Version Not Supported", "HTTP/2.0 is not supported; send HTTP/1.1")},
      {"other expectation", Head("Expect: magic\r\nContent-Length: 5\r\n", "hello"),
       Refusal("417 Expectation Failed", "Expect: magic is not supported")},
      {"not XML", Head(Length("this is not <xml"), "this is not <xml"),
       Refusal("400 Bad Request", "body is not an XML document")},
      {"reply type", Head(Length(InitOkText(1)), InitOkText(1)),
       Refusal("400 Bad Request", "unknown request type ZemInitOk")},
      {"handler's reason", Head(Length(commit), commit),
       Refusal("400 Bad Request", "no commits here")},
      {"handler without a reason", Head(Length(query), query),
       Refusal("400 Bad Request", "PELMQueryReq refused")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    StderrCapture err;
    EXPECT_EQ(testutil::Exchange(StandardServerPort(), row.request), row.response);
    EXPECT_EQ(testutil::Exchange(TestServerPort(), row.request), kBadRequest);
  }
}

}  // namespace
}  // namespace orvel::httptest
