// The client against scripted fake peers and against our own server.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/client.h"
#include "http/http_test_util.h"
#include "orvel/http.h"
#include "testutil/net_util.h"

namespace orvel::httptest {
namespace {

using testutil::FakePeer;
using testutil::StderrCapture;

std::string InitOkText(unsigned long id) {
  return Text(ZemInitOk(id, id + 1, htonl(0x0a000005), 9));
}

// A peer that reads the request, then writes each segment with a pause in
// between, then closes (or lingers linger_ms first).  Records the request.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<std::string> segments, int linger_ms = 0)
      : segments_(std::move(segments)), peer_([this, linger_ms](int fd) {
          std::string got = testutil::ReadHttpRequest(fd);
          {
            std::lock_guard<std::mutex> lock(mu_);
            request_ = got;
          }
          for (size_t i = 0; i < segments_.size(); ++i) {
            if (i > 0) usleep(100 * 1000);
            testutil::SendAll(fd, segments_[i]);
          }
          if (linger_ms > 0) usleep(linger_ms * 1000);
        }) {}
  uint16_t port() const { return peer_.port(); }
  std::string request() {
    std::lock_guard<std::mutex> lock(mu_);
    return request_;
  }

 private:
  std::vector<std::string> segments_;
  std::mutex mu_;
  std::string request_;
  FakePeer peer_;
};

std::unique_ptr<Msg> Roundtrip(uint16_t port, const Msg& msg, const char* host = "127.0.0.1") {
  int sock = sendRequestMsg(host, port, const_cast<Msg*>(&msg));
  if (sock < 0) return nullptr;
  return std::unique_ptr<Msg>(getResponseMsg(sock));
}

TEST(HttpClient, WritesTheAbcExampleByteForByte) {
  ScriptedPeer peer({});
  std::string uri = "http://127.0.0.1:" + std::to_string(peer.port()) + "/query";
  std::unique_ptr<HTTPReq, void (*)(HTTPReq*)> req(newHTTPReq("POST", uri), freeHTTPReq);
  setBody(req.get(), "abc");
  EXPECT_EQ(req->content_length, 4);
  int sock = sendHTTPReq(req.get(), "127.0.0.1", peer.port());
  ASSERT_GE(sock, 0);
  EXPECT_TRUE(fcntl(sock, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(getResponseMsg(sock), nullptr);
  EXPECT_EQ(peer.request(),
            "POST " + uri + " HTTP/1.1\r\nContent-Length: 4\r\n\r\nabc" + std::string(1, '\0'));
}

TEST(HttpClient, RecordWithoutBodySendsLengthZero) {
  ScriptedPeer peer({});
  std::unique_ptr<HTTPReq, void (*)(HTTPReq*)> req(newHTTPReq("POST", "/x"), freeHTTPReq);
  EXPECT_EQ(req->content_length, -1);
  int sock = sendHTTPReq(req.get(), "127.0.0.1", peer.port());
  ASSERT_GE(sock, 0);
  EXPECT_EQ(getResponseMsg(sock), nullptr);
  EXPECT_EQ(peer.request(), "POST /x HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
}

TEST(HttpClient, PostsAMessageAndReadsItsReply) {
  ZemInit init(10, 11, 7560);
  ScriptedPeer peer({OkResponse(InitOkText(10))});
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), init);
  ASSERT_NE(reply, nullptr);
  auto* ok = dynamic_cast<ZemInitOk*>(reply.get());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->getId(), 10u);
  EXPECT_EQ(ok->getAddrStr(), "10.0.0.5");
  EXPECT_EQ(ok->getTTL(), 9);
  EXPECT_EQ(peer.request(),
            Request(Text(init),
                    "POST http://127.0.0.1:" + std::to_string(peer.port()) + "/query HTTP/1.1"));
}

TEST(HttpClient, ResolvesAHostName) {
  ScriptedPeer peer({OkResponse(InitOkText(20))});
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(20, 21, 1), "localhost");
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getType(), Msg::ZemInitOk);
  EXPECT_NE(peer.request().find("http://localhost:"), std::string::npos);
}

TEST(HttpClient, BodyInSeveralSegments) {
  std::string text = InitOkText(30);
  std::string head =
      "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(text.size()) +
      "\r\n\r\n";
  ScriptedPeer peer({head, text.substr(0, 15), text.substr(15, 20), text.substr(35)});
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(30, 31, 1));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getId(), 30u);
}

TEST(HttpClient, ShortBodyParsedAfterItsLine) {
  std::string text = InitOkText(40);
  StderrCapture err;
  ScriptedPeer peer({"HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " +
                     std::to_string(text.size() + 30) + "\r\n\r\n" + text});
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(40, 41, 1));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getId(), 40u);
  EXPECT_NE(err.Text().find("Only received " + std::to_string(text.size()) +
                            " bytes of message body out of " + std::to_string(text.size() + 30) +
                            " expected.\n"),
            std::string::npos);
}

TEST(HttpClient, SurplusAfterTheBodyReported) {
  std::string text = InitOkText(50);
  StderrCapture err;
  ScriptedPeer peer({OkResponse(text), "EXTRA"});
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(50, 51, 1));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getId(), 50u);
  EXPECT_NE(err.Text().find("5 extra bytes read!\n#EXTRA#\n"), std::string::npos);
}

struct BadReply {
  const char* name;
  std::string response;
  std::string printed;  // empty: nothing at all must be printed
  std::string reason;   // in the Status that Exchange gives
};

TEST(HttpClient, UnusableRepliesGiveNull) {
  const std::string ok_text = InitOkText(60);
  const std::string init_text = Text(ZemInit(60, 61, 1));
  const std::string unexpected = "Unexpected response from server:\n";
  const BadReply rows[] = {
      {"nothing at all", "", unexpected + "\n", "closed the connection without a reply"},
      {"two fields", "HTTP/1.1 200\r\n\r\n", unexpected + "HTTP/1.1 200\r\n\r\n\n",
       "without a readable status line"},
      {"version of ten", "HTTP/1.100 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx",
       unexpected, "without a readable status line"},
      {"reason of 500",
       "HTTP/1.1 200 " + std::string(500, 'R') +
           "\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx",
       unexpected, "without a readable status line"},
      {"404", "HTTP/1.1 404 Not Found\r\n\r\n", "Error 404 Not\n", "answered HTTP 404"},
      {"no Content-Length among other fields", "HTTP/1.1 200 OK\r\nServer: x\r\n\r\nhello",
       unexpected, "without Connection and Content-Length"},
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       unexpected, "without Connection and Content-Length"},
      {"no Content-Length", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nhello", unexpected,
       "without Connection and Content-Length"},
      {"length zero", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
       "Body length is: 0\n", "declares Content-Length 0"},
      {"length negative", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: -3\r\n\r\n",
       "Body length is: -3\n", "declares Content-Length -3"},
      {"length overflowing int",
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 3000000000\r\n\r\nx",
       "Content-Length 3000000000 from server is above the limit of 16777216 bytes\n",
       "Content-Length 3000000000, above the limit"},
      {"body not XML", OkResponse("<ZemInitOk><id>"),
       "Reply body is not a well-formed XML document\n", "not a well-formed XML document"},
      {"request type as reply", OkResponse(init_text), "", "answered ZemInit, not a reply type"},
      {"refused reply document", OkResponse("<ZemInitOk><id>1</id></ZemInitOk>"), "",
       "answered an unusable ZemInitOk document"},
  };
  for (const BadReply& row : rows) {
    SCOPED_TRACE(row.name);
    StderrCapture err;
    ScriptedPeer peer({row.response});
    EXPECT_EQ(Roundtrip(peer.port(), ZemInit(60, 61, 1)), nullptr);
    if (row.printed.empty()) {
      EXPECT_EQ(err.Text(), "");
    } else {
      EXPECT_NE(err.Text().find(row.printed), std::string::npos) << err.Text();
    }
    // Exchange prints the very same lines and says why, naming the peer.
    const std::string pair_lines = err.Text();
    StderrCapture exchange_err;
    ScriptedPeer again({row.response});
    ZemInit init(60, 61, 1);
    std::unique_ptr<Msg> reply;
    Status s = http::Exchange("127.0.0.1", again.port(), init, &reply);
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(reply, nullptr);
    EXPECT_EQ(exchange_err.Text(), pair_lines);
    EXPECT_EQ(s.message().rfind("127.0.0.1:" + std::to_string(again.port()) + ": ", 0), 0u)
        << s.ToString();
    EXPECT_NE(s.message().find(row.reason), std::string::npos) << s.ToString();
  }
}

// What a standard HTTP server or a proxy in front of ours sends: the
// length wherever it stands, in any letter case.
TEST(HttpClient, StandardRepliesRead) {
  const std::string text = InitOkText(80);
  const std::string length = std::to_string(text.size());
  const std::string heads[] = {
      "HTTP/1.1 200 OK\r\nServer: nginx\r\nDate: Fri, 11 Dec 2026 17:00:00 GMT\r\n"
      "Content-Type: text/xml\r\nContent-Length: " +
          length + "\r\nConnection: close\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\nConnection: close\r\n\r\n",
      "HTTP/1.1 200 OK\r\nconnection: close\r\ncontent-length: " + length + "\r\n\r\n",
      "HTTP/1.0 200 OK\nCONTENT-LENGTH: " + length + "\n\n",
  };
  for (const std::string& head : heads) {
    SCOPED_TRACE(head);
    ScriptedPeer peer({head + text});
    std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(80, 81, 1));
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(Text(*reply), text);
  }
}

TEST(HttpClient, SurplusInTheFirstSegmentIsDropped) {
  std::string text = InitOkText(70);
  ScriptedPeer peer({OkResponse(text) + "<more/>"});
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(70, 71, 1));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getId(), 70u);
}

TEST(HttpClient, SilentOrLingeringPeerTimesOut) {
  ScopedEnv timeout("ORVEL_HTTP_CLIENT_TIMEOUT", "0.3");
  const char* line = "Timed out after 0.3 s waiting for the reply from server\n";
  {
    StderrCapture err;
    ScriptedPeer peer({}, /*linger_ms=*/1000);
    EXPECT_EQ(Roundtrip(peer.port(), ZemInit(80, 81, 1)), nullptr);
    EXPECT_NE(err.Text().find(line), std::string::npos);
  }
  {
    // The body is cut short and the peer stays: nothing usable.
    StderrCapture err;
    std::string text = InitOkText(80);
    std::string head = OkResponse(text).substr(0, OkResponse(text).size() - text.size());
    ScriptedPeer peer({head + text.substr(0, text.size() / 2)}, /*linger_ms=*/1000);
    EXPECT_EQ(Roundtrip(peer.port(), ZemInit(80, 81, 1)), nullptr);
    EXPECT_NE(err.Text().find(line), std::string::npos);
  }
}

// The whole declared body arrived, then the peer lingered: the reply is
// used, and the time-out still has its line.
TEST(HttpClient, WholeReplyKeptWhenPeerLingers) {
  ScopedEnv timeout("ORVEL_HTTP_CLIENT_TIMEOUT", "0.3");
  StderrCapture err;
  ScriptedPeer peer({OkResponse(InitOkText(82))}, /*linger_ms=*/1000);
  std::unique_ptr<Msg> reply = Roundtrip(peer.port(), ZemInit(82, 83, 1));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getType(), Msg::ZemInitOk);
  EXPECT_EQ(reply->getId(), 82u);
  EXPECT_NE(err.Text().find("Timed out after 0.3 s waiting for the reply from server\n"),
            std::string::npos);
}

// A listener that never accepts: its queue fills, and further connects
// hang until the client's own time-out ends them.
TEST(HttpClient, ConnectBoundedByTimeOut) {
  ScopedEnv timeout("ORVEL_HTTP_CLIENT_TIMEOUT", "0.3");
  testutil::TestFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(listener.get(), 0), 0);
  socklen_t len = sizeof a;
  getsockname(listener.get(), reinterpret_cast<sockaddr*>(&a), &len);
  StderrCapture err;
  std::vector<int> opened;
  for (int i = 0; i < 8; ++i) {
    int fd = openClientSocket("127.0.0.1", ntohs(a.sin_port));
    if (fd < 0) break;
    opened.push_back(fd);
  }
  for (int fd : opened) close(fd);
  EXPECT_LT(opened.size(), 8u);
  EXPECT_NE(err.Text().find("connect: Connection timed out\n"), std::string::npos);
}

// A peer that reads nothing: writing a large body ends at the time-out, and
// the reply read then gives null.
TEST(HttpClient, WritesBoundedByTimeOut) {
  ScopedEnv timeout("ORVEL_HTTP_CLIENT_TIMEOUT", "0.3");
  FakePeer peer([](int) { usleep(1500 * 1000); });
  std::unique_ptr<HTTPReq, void (*)(HTTPReq*)> req(newHTTPReq("POST", "/query"), freeHTTPReq);
  const std::string big(16 * 1024 * 1024, 'x');
  setBody(req.get(), big.c_str());
  StderrCapture err;
  int sock = sendHTTPReq(req.get(), "127.0.0.1", peer.port());
  ASSERT_GE(sock, 0);
  EXPECT_EQ(getResponseMsg(sock), nullptr);
  EXPECT_NE(err.Text().find("Timed out after 0.3 s"), std::string::npos);
}

TEST(HttpClient, OurServerRoundTripAnd400) {
  uint16_t port = TestServerPort();
  std::unique_ptr<Msg> reply = Roundtrip(port, ZemInit(90, 91, 5));
  ASSERT_NE(reply, nullptr);
  EXPECT_EQ(reply->getType(), Msg::ZemInitOk);
  EXPECT_EQ(reply->getId(), 90u);
  EXPECT_EQ(reply->getVersion(), 91u);

  StderrCapture err;
  std::unique_ptr<HTTPReq, void (*)(HTTPReq*)> req(newHTTPReq("POST", "/query"), freeHTTPReq);
  int sock = sendHTTPReq(req.get(), "127.0.0.1", port);
  ASSERT_GE(sock, 0);
  EXPECT_EQ(getResponseMsg(sock), nullptr);
  EXPECT_NE(err.Text().find("Error 400 Bad\n"), std::string::npos);
}

TEST(HttpClient, RefusedAddresses) {
  StderrCapture err;
  EXPECT_EQ(openClientSocket(nullptr, 80), -1);
  EXPECT_EQ(openClientSocket("127.0.0.1", 0), -1);
  EXPECT_EQ(err.Text(), "");
  EXPECT_EQ(openClientSocket("0.0.0.0", TestServerPort()), -1);
  EXPECT_NE(err.Text().find("refusing to connect to 0.0.0.0"), std::string::npos);
  EXPECT_EQ(sendHTTPReq(nullptr, "127.0.0.1", 80), -1);
  EXPECT_EQ(getResponseMsg(-1), nullptr);
}

TEST(HttpClient, ConnectRefusedReported) {
  StderrCapture err;
  uint16_t port = testutil::FreePort();
  EXPECT_EQ(sendRequestMsg("127.0.0.1", port, nullptr), -1);
  ZemInit init(1, 2, 3);
  EXPECT_EQ(sendRequestMsg("127.0.0.1", port, &init), -1);
  EXPECT_NE(err.Text().find("connect: Connection refused\n"), std::string::npos);
}

// Exchange against peers that fail in the ways an operator must tell apart;
// each prints what the public pair prints.
TEST(HttpExchange, SaysWhyWithThePairsLines) {
  ZemInit init(100, 101, 1);
  std::unique_ptr<Msg> reply;
  {
    uint16_t port = testutil::FreePort();
    StderrCapture err;
    Status s = http::Exchange("127.0.0.1", port, init, &reply);
    EXPECT_EQ(s.ToString(), "connect 127.0.0.1:" + std::to_string(port) + ": Connection refused");
    EXPECT_EQ(s.sys_errno(), ECONNREFUSED);
    EXPECT_EQ(err.Text(), "connect: Connection refused\n");
  }
  {
    ScopedEnv timeout("ORVEL_HTTP_CLIENT_TIMEOUT", "0.3");
    ScriptedPeer silent({}, /*linger_ms=*/1000);
    StderrCapture err;
    Status s = http::Exchange("127.0.0.1", silent.port(), init, &reply);
    EXPECT_TRUE(s.IsTimedOut());
    EXPECT_EQ(s.ToString(),
              "127.0.0.1:" + std::to_string(silent.port()) + ": no reply within 0.3 s");
    EXPECT_EQ(err.Text(), "Timed out after 0.3 s waiting for the reply from server\n");
  }
  {
    // Settings given by the holder, not read from the environment.
    http::ClientOptions options;
    options.timeout_s = 0.2;
    ScriptedPeer silent({}, /*linger_ms=*/1000);
    StderrCapture err;
    Status s = http::Exchange("127.0.0.1", silent.port(), init, &reply, options);
    EXPECT_NE(s.ToString().find("no reply within 0.2 s"), std::string::npos) << s.ToString();
  }
  {
    StderrCapture err;
    Status s = http::Exchange("127.0.0.1", 0, init, &reply);
    EXPECT_EQ(s.code(), Status::Code::kInvalidArgument);
    EXPECT_EQ(err.Text(), "127.0.0.1:0: no port to connect to\n");
  }
  {
    uint16_t port = TestServerPort();
    Status s = http::Exchange("127.0.0.1", port, init, &reply);
    ASSERT_TRUE(s.ok()) << s.ToString();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->getType(), Msg::ZemInitOk);
    EXPECT_EQ(reply->getId(), 100u);
  }
}

}  // namespace
}  // namespace orvel::httptest
