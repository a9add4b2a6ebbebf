// orvel-slpd against a standard-behaving SLPv2 client (standard_peer.h) on
// 127.0.0.1: every operation of the interoperability table in
// docs/orvel-slpd.md, agent discovery over TCP, large answers fetched by
// Length alone, and the UDP reply budget seen from outside.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "standard_peer.h"
#include "testutil/net_util.h"
#include "testutil/process_util.h"

namespace slptest {
namespace {

class Agent {
 public:
  explicit Agent(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv = {testutil::BuildPath("tools/orvel-slpd/orvel-slpd"), "--listen",
                                     "127.0.0.1", "--port", "0"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_ = std::make_unique<testutil::Child>(argv);
    const std::string mark = "listening on 127.0.0.1:";
    if (!child_->WaitForOutput(mark, 5000)) return;
    std::string out = child_->Output();
    port_ = std::atoi(out.c_str() + out.find(mark) + mark.size());
  }
  ~Agent() {
    if (port_ > 0) {
      child_->Signal(SIGTERM);
      child_->Wait(5000);
    }
  }
  int port() const { return port_; }
  testutil::Child& child() { return *child_; }

 private:
  std::unique_ptr<testutil::Child> child_;
  int port_ = 0;
};

// Reads from fd until the peer closes or ms pass; false on the time-out.
bool ReadUntilClose(int fd, int ms, std::string* in) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return false;
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
    in->append(buf, static_cast<size_t>(n));
  }
}

TEST(SlpdInterop, AgentDiscoveryOverTcpEndsWithTheClose) {
  Agent agent;
  ASSERT_GT(agent.port(), 0);
  StandardPeer peer(agent.port());
  double seconds = 0;
  PeerReply r = peer.DiscoverAgent(10000, &seconds);
  ASSERT_TRUE(r.ok) << "no close within " << seconds << " s";
  EXPECT_EQ(r.function, 8);
  EXPECT_EQ(r.agent_url, "service:directory-agent://127.0.0.1");
  EXPECT_EQ(r.list, "default");  // the scopes a client may use
  EXPECT_LT(seconds, 3.0);

  // Requests pipelined behind the discovery are all answered before the
  // close.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to = orvel::testutil::Loopback(static_cast<uint16_t>(agent.port()));
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  const std::string s = StandardPeer::Str("");
  std::string both =
      StandardPeer::Message(1, 1, 0, s + StandardPeer::Str("service:directory-agent") + s + s + s) +
      StandardPeer::Message(
          1, 2, 0, s + StandardPeer::Str("ZemProxy") + StandardPeer::Str("default") + s + s);
  ASSERT_EQ(::send(fd, both.data(), both.size(), MSG_NOSIGNAL), static_cast<ssize_t>(both.size()));
  std::string in;
  EXPECT_TRUE(ReadUntilClose(fd, 10000, &in));
  ::close(fd);
  ASSERT_GE(in.size(), 5u);
  size_t first = (size_t{static_cast<uint8_t>(in[2])} << 16) |
                 (size_t{static_cast<uint8_t>(in[3])} << 8) | static_cast<uint8_t>(in[4]);
  ASSERT_LT(first, in.size());
  EXPECT_EQ(StandardPeer::Parse(in.substr(0, first)).function, 8);
  PeerReply second = StandardPeer::Parse(in.substr(first));
  EXPECT_TRUE(second.ok);
  EXPECT_EQ(second.function, 2);
  EXPECT_EQ(second.xid, 2);
}

TEST(SlpdInterop, EveryOperationFromAStandardClient) {
  Agent agent;
  ASSERT_GT(agent.port(), 0);
  StandardPeer peer(agent.port());
  PeerReply r = peer.Register("service:printer:lpr://10.0.0.1/q", "service:printer:lpr",
                              "(color=true),(ppm=10)", 300, /*over_tcp=*/false);
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.function, 5);
  EXPECT_EQ(r.error, 0);
  r = peer.Register("ZemProxy://10.0.0.2:5000", "ZemProxy", "(addr=10.0.0.2),(ppm=20)", 300,
                    /*over_tcp=*/true);
  ASSERT_TRUE(r.ok && r.via_tcp);
  EXPECT_EQ(r.error, 0);

  // With and without "service:", and with predicates.
  EXPECT_EQ(peer.FindServices("service:printer", "default", "").urls,
            std::vector<std::string>{"service:printer:lpr://10.0.0.1/q"});
  EXPECT_EQ(peer.FindServices("printer", "default", "(ppm>=5)").urls,
            std::vector<std::string>{"service:printer:lpr://10.0.0.1/q"});
  EXPECT_EQ(peer.FindServices("ZemProxy", "default", "(&(addr=10.0.0.2)(ppm=20))").urls,
            std::vector<std::string>{"ZemProxy://10.0.0.2:5000"});
  EXPECT_TRUE(peer.FindServices("ZemProxy", "default", "(addr=10.0.0.9)").urls.empty());
  EXPECT_EQ(peer.FindServices("ZemProxy", "nowhere", "").error, 4);

  // Attributes by URL and by type, types, scopes.
  EXPECT_EQ(peer.FindAttributes("service:printer:lpr://10.0.0.1/q", "default", "").list,
            "(color=true),(ppm=10)");
  EXPECT_EQ(peer.FindAttributes("service:printer", "default", "ppm").list, "(ppm=10)");
  r = peer.FindTypes("default");
  EXPECT_EQ(r.list, "service:printer:lpr,ZemProxy");
  double seconds = 0;
  EXPECT_EQ(peer.DiscoverAgent(10000, &seconds).list, "default");

  // Deregistration over UDP and TCP.
  EXPECT_EQ(peer.Deregister("ZemProxy://10.0.0.2:5000", /*over_tcp=*/false).error, 0);
  EXPECT_EQ(peer.Deregister("service:printer:lpr://10.0.0.1/q", /*over_tcp=*/true).error, 0);
  r = peer.FindServices("service:printer", "default", "");
  EXPECT_TRUE(r.ok);
  EXPECT_TRUE(r.urls.empty());
  EXPECT_EQ(peer.FindTypes("default").list, "");
}

// A client that goes to TCP only when Length exceeds the datagram gets the
// whole answer, not the part that fitted; without waiting at 10000
// registrations.
TEST(SlpdInterop, LargeAnswersReachAClientThatReadsOnlyTheLength) {
  Agent agent;
  ASSERT_GT(agent.port(), 0);
  StandardPeer peer(agent.port());
  constexpr int kCount = 10000;
  for (int i = 0; i < kCount; ++i) {
    std::string host = "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1";
    PeerReply r = peer.Register("service:bulk://" + host + ":5000", "service:bulk",
                                "(host=" + host + ")", 600, false);
    ASSERT_EQ(r.error, 0) << i;
  }
  PeerReply all = peer.FindServices("bulk", "default", "");
  EXPECT_TRUE(all.via_tcp);
  EXPECT_GT(all.datagram_bytes, 0u);
  EXPECT_EQ(all.urls.size(), static_cast<size_t>(kCount));
  PeerReply attrs = peer.FindAttributes("service:bulk", "default", "");
  EXPECT_TRUE(attrs.via_tcp);
  EXPECT_EQ(attrs.list.compare(0, 20, "(host=10.0.0.1,10.0."), 0) << attrs.list.substr(0, 40);
  EXPECT_GT(attrs.list.size(), 60000u);
}

// A client of one host asking 20 times a second for three URLs and a
// 640-byte attribute list gets every answer whole, whether it reads a
// reply by its Length alone (TCP only past 1400 bytes) or by the flag.
TEST(SlpdInterop, OrdinaryClientsGetWholeAnswersHoweverTheyReadReplies) {
  Agent agent;
  ASSERT_GT(agent.port(), 0);
  const std::string attrs = "(location=" + std::string(620, 'a') + "),(ppm=10)";
  std::vector<std::string> urls;
  for (int i = 1; i <= 3; ++i) {
    urls.push_back("service:printer:lpr://10.0.0." + std::to_string(i) + "/q");
    ASSERT_EQ(StandardPeer(agent.port())
                  .Register(urls.back(), "service:printer:lpr", attrs, 300, /*over_tcp=*/true)
                  .error,
              0);
  }
  for (StandardPeer::Reading reading :
       {StandardPeer::Reading::kLengthPastMtu, StandardPeer::Reading::kFlag}) {
    StandardPeer peer(agent.port(), reading);
    int short_answers = 0;
    for (int i = 0; i < 40; ++i) {
      PeerReply found = peer.FindServices("service:printer", "default", "");
      PeerReply listed = peer.FindAttributes(urls[0], "default", "");
      if (found.urls != urls || found.via_tcp) ++short_answers;
      if (listed.list != attrs || listed.via_tcp) ++short_answers;
      usleep(50000);
    }
    EXPECT_EQ(short_answers, 0) << "reading " << static_cast<int>(reading);
  }
}

// One sender (or a forged one) draws at most about twice its bytes over
// UDP, while its look-ups still work.  Without the allowance the bound
// is strict.
TEST(SlpdInterop, UdpAmplificationIsBound) {
  Agent agent({"--udp-reply-allowance", "0"});
  ASSERT_GT(agent.port(), 0);
  StandardPeer peer(agent.port());
  for (int i = 0; i < 60; ++i) {
    ASSERT_EQ(peer.Register("service:kind-number-" + std::to_string(i) + "://10.0.0.1",
                            "service:kind-number-" + std::to_string(i), "", 600, true)
                  .error,
              0);
  }
  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in to = orvel::testutil::Loopback(static_cast<uint16_t>(agent.port()));
  std::string body =
      StandardPeer::Str("") + std::string("\xff\xff", 2) + StandardPeer::Str("default");
  size_t sent = 0, received = 0;
  for (int i = 0; i < 300; ++i) {
    std::string rq = StandardPeer::Message(9, static_cast<uint16_t>(i), 0, body);
    ::sendto(fd, rq.data(), rq.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    sent += rq.size();
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) continue;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) received += static_cast<size_t>(n);
  }
  ::close(fd);
  EXPECT_LE(received, 2 * sent) << "sent " << sent << ", received " << received;
  // The full answer still reaches a real client, over TCP.
  PeerReply types = peer.FindTypes("default");
  EXPECT_TRUE(types.via_tcp);
  EXPECT_NE(types.list.find("service:kind-number-59"), std::string::npos);
}

// TCP connections are bounded by descriptors, not by a small fixed count
// (it was 64): 150 connections open at once are all served.
TEST(SlpdInterop, ManyTcpConnectionsAtOnceAreServed) {
  Agent agent;
  ASSERT_GT(agent.port(), 0);
  sockaddr_in to = orvel::testutil::Loopback(static_cast<uint16_t>(agent.port()));
  std::vector<int> fds;
  for (int i = 0; i < 150; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  const std::string s = StandardPeer::Str("");
  int answered = 0;
  for (size_t i = 0; i < fds.size(); ++i) {
    std::string rq = StandardPeer::Message(
        1, static_cast<uint16_t>(i), 0,
        s + StandardPeer::Str("ZemProxy") + StandardPeer::Str("default") + s + s);
    if (::send(fds[i], rq.data(), rq.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(rq.size())) {
      continue;
    }
    pollfd p{fds[i], POLLIN, 0};
    char buf[512];
    if (::poll(&p, 1, 3000) > 0 && ::recv(fds[i], buf, sizeof buf, 0) >= 20) ++answered;
  }
  for (int fd : fds) ::close(fd);
  EXPECT_EQ(answered, 150);
}

TEST(SlpdInterop, StateFolderMustBeWritableAtStart) {
  testutil::TempDir dir;
  const std::string missing = dir.path() + "/no-such-folder/slpd.state";
  const std::string slpd = testutil::BuildPath("tools/orvel-slpd/orvel-slpd");
  testutil::ProgramRun a = testutil::RunProgram(
      {slpd, "--listen", "127.0.0.1", "--port", "0", "--state", missing}, 5000);
  ASSERT_GE(a.exit_code, 0) << a.output;
  EXPECT_NE(a.exit_code, 0);
  EXPECT_NE(a.output.find(missing), std::string::npos) << a.output;
  EXPECT_NE(a.output.find("No such file or directory"), std::string::npos) << a.output;
  EXPECT_EQ(a.output.find("listening"), std::string::npos) << a.output;

  const std::string plain = dir.path() + "/plain";
  std::ofstream(plain) << "not a folder\n";
  testutil::ProgramRun b = testutil::RunProgram(
      {slpd, "--listen", "127.0.0.1", "--port", "0", "--state", plain + "/slpd.state"}, 5000);
  ASSERT_GE(b.exit_code, 0) << b.output;
  EXPECT_NE(b.exit_code, 0);
  EXPECT_NE(b.output.find("Not a directory"), std::string::npos) << b.output;
}

}  // namespace
}  // namespace slptest
