// Every message type through the real HTTP server and client, over
// loopback: the server builds each request class from its document, the
// client each reply class, and a reply sent as a request is answered 400.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <thread>
#include <typeinfo>

#include "http/http_impl.h"
#include "msg_test_util.h"
#include "orvel/http.h"

using msgtest::A;
using msgtest::Dump;

namespace {

// What the handler saw, for the test thread to check.
struct Seen {
  std::string type;
  std::string class_name;
  std::string text;
  std::string src_addr;
};
std::mutex g_seen_mutex;
Seen g_seen;

// Answers each request with a reply of its pair, carrying its id and
// version.
Msg* Answer(Msg* request) {
  {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_seen =
        Seen{request->getType(), typeid(*request).name(), Dump(*request), request->getSrcAddrStr()};
  }
  unsigned long id = request->getId(), ver = request->getVersion();
  const std::string t = request->getType();
  if (t == Msg::SynthZemReq) {
    return new SynthZemOk(id, ver, {MulticastEndPoint(A("224.5.6.7"), 7560, 0)}, {});
  }
  if (t == Msg::SynthVGWReq) return new SynthVGWOk(id, ver);
  if (t == Msg::SynthIPMZReq) return new SynthIPMZOk(id, ver, {}, {1, 2});
  if (t == Msg::SynthInit) return new SynthInitOk(id, ver);
  if (t == Msg::ZemInit) return new ZemInitOk(id, ver, A("224.5.6.7"), 16);
  if (t == Msg::ZemCommit) return new ZemCommitOk(id, ver);
  if (t == Msg::DynamicInit) {
    return new DynamicInitResp(id, ver, DynamicInitResp::PortInUse);
  }
  if (t == Msg::PELMQueryReq) return new PELMQueryResp(id, ver, {3}, 0.5);
  return nullptr;
}

// A listener on 127.0.0.1 whose connections are served one at a time by
// the transport's own connection routine.
class Loopback {
 public:
  Loopback() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      close(fd_);
      fd_ = -1;
    }
    port_ = ntohs(addr.sin_port);
  }
  ~Loopback() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  unsigned short port() const { return port_; }

  // Accepts one connection and serves it on a thread.
  std::thread ServeOne() {
    return std::thread([this] {
      sockaddr_in peer{};
      socklen_t len = sizeof(peer);
      int sock = accept(fd_, reinterpret_cast<sockaddr*>(&peer), &len);
      if (sock < 0) return;
      HTTPconn(new Parameters{Answer, sock, peer.sin_addr.s_addr, peer.sin_port});
    });
  }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

struct Pair {
  const char* request_name;
  std::function<Msg*()> build;
  std::function<bool(Msg*)> is_request_class;
  std::function<bool(Msg*)> is_reply_class;
};

template <typename Req, typename Rep>
Pair Make(const char* name, std::function<Msg*()> build) {
  return Pair{name, build, [](Msg* m) { return dynamic_cast<Req*>(m) != nullptr; },
              [](Msg* m) { return dynamic_cast<Rep*>(m) != nullptr; }};
}

std::vector<Pair> Pairs() {
  return {
      Make<SynthZemReq, SynthZemOk>("SynthZemReq",
                                    [] {
                                      EndZone z(A("10.1.0.0"), A("255.255.0.0"));
                                      z.setEP(A("10.1.0.5"));
                                      return new SynthZemReq(5, 7, {EndPoint(A("10.0.0.1"))}, {z});
                                    }),
      Make<SynthVGWReq, SynthVGWOk>(
          "SynthVGWReq",
          [] {
            return new SynthVGWReq(6, 8, A("224.2.0.1"), 5004, 16,
                                   {vicSDREndPoint("R&D", A("10.0.0.5"), A("224.2.0.1"), 5004, 16)},
                                   {NetmeetingEndPoint("n", A("10.0.0.9"))});
          }),
      Make<SynthIPMZReq, SynthIPMZOk>(
          "SynthIPMZReq", [] { return new SynthIPMZReq(7, 9, {EndPoint(A("10.0.0.1"))}); }),
      Make<SynthInit, SynthInitOk>("SynthInit",
                                   [] {
                                     std::vector<VCEndPoint> v{VCEndPoint("u", A("10.0.0.5"))};
                                     return new SynthInit(8, 10, v, {}, {}, {}, v, "intro");
                                   }),
      Make<ZemInit, ZemInitOk>("ZemInit", [] { return new ZemInit(9, 11, 7560); }),
      Make<ZemCommit, ZemCommitOk>("ZemCommit",
                                   [] {
                                     return new ZemCommit(10, 12, A("224.5.6.7"), 7560, 0,
                                                          {TransportEndPoint(A("10.0.0.1"), 7560)});
                                   }),
      Make<DynamicInit, DynamicInitResp>("DynamicInit",
                                         [] {
                                           return new DynamicInit(11, 13, {"proxy", "5000"});
                                         }),
      Make<PELMQueryReq, PELMQueryResp>("PELMQueryReq",
                                        [] {
                                          return new PELMQueryReq(
                                              12, 14, 0, 1, {PELMNode(std::vector<double>{1.5})},
                                              {}, {4}, {-1});
                                        }),
  };
}

void PrintTo(const Pair& p, std::ostream* os) { *os << p.request_name; }

class Transport : public testing::TestWithParam<Pair> {};

TEST_P(Transport, ServerBuildsRequestClassClientBuildsReplyClass) {
  Loopback server;
  ASSERT_TRUE(server.ok());
  testing::internal::CaptureStdout();  // SynthZemReq traces its zones
  std::unique_ptr<Msg> request(GetParam().build());
  std::thread serving = server.ServeOne();
  int sock = sendRequestMsg("127.0.0.1", server.port(), request.get());
  ASSERT_GE(sock, 0);
  std::unique_ptr<Msg> reply(getResponseMsg(sock));
  serving.join();
  fflush(stdout);
  testing::internal::GetCapturedStdout();

  Seen seen;
  {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    seen = g_seen;
  }
  EXPECT_EQ(seen.type, GetParam().request_name);
  EXPECT_EQ(seen.text, Dump(*request)) << "the server read another document";
  EXPECT_EQ(seen.src_addr, "127.0.0.1");
  ASSERT_NE(reply, nullptr);
  EXPECT_TRUE(GetParam().is_reply_class(reply.get())) << reply->getType();
  EXPECT_EQ(reply->getId(), request->getId());
  EXPECT_EQ(reply->getVersion(), request->getVersion());
  // The handler got the request as its own class.
  std::unique_ptr<Msg> same(newRequestMsgFromDoc(msgtest::Parse(seen.text)));
  ASSERT_NE(same, nullptr);
  EXPECT_TRUE(GetParam().is_request_class(same.get()));
  EXPECT_EQ(seen.class_name, typeid(*same).name());
}

INSTANTIATE_TEST_SUITE_P(EightPairs, Transport, testing::ValuesIn(Pairs()),
                         [](const testing::TestParamInfo<Pair>& info) {
                           return std::string(info.param.request_name);
                         });

// Raw response bytes of one exchange.
std::string ExchangeRaw(const Loopback& server, Msg* msg) {
  int sock = sendRequestMsg("127.0.0.1", server.port(), msg);
  if (sock < 0) return std::string();
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(sock, buf, sizeof(buf))) > 0) {
    out.append(buf, static_cast<size_t>(n));
  }
  close(sock);
  return out;
}

TEST(TransportRefusal, ReplyTypeSentAsRequestIsAnswered400) {
  Loopback server;
  ASSERT_TRUE(server.ok());
  ZemInitOk wrong_way(1, 2, A("224.5.6.7"), 1);
  std::thread serving = server.ServeOne();
  std::string response = ExchangeRaw(server, &wrong_way);
  serving.join();
  EXPECT_EQ(response.compare(0, 12, "HTTP/1.1 400"), 0) << response;
}

// A message whose document claims a huge list: the server refuses it with
// 400 instead of allocating billions of entries.
class HugeCount : public Msg {
 public:
  HugeCount() : Msg(Msg::SynthIPMZReq, 1, 2) {
    xmlNodePtr root = writeEnvelope();
    xmlNodePtr list = xmlNewChild(root, nullptr, BAD_CAST "endpointlist", nullptr);
    xmlNewProp(list, BAD_CAST "num", BAD_CAST "4294967295");
  }
};

TEST(TransportRefusal, OversizedCountIsAnswered400) {
  Loopback server;
  ASSERT_TRUE(server.ok());
  HugeCount huge;
  std::thread serving = server.ServeOne();
  std::string response = ExchangeRaw(server, &huge);
  serving.join();
  EXPECT_EQ(response.compare(0, 12, "HTTP/1.1 400"), 0) << response;
}

}  // namespace
