// orvel-slpd end to end on 127.0.0.1: raw SLPv2 over UDP and TCP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "slp/wire.h"
#include "slpd_test_util.h"
#include "testutil/net_util.h"
#include "testutil/process_util.h"

namespace orvel::slp {
namespace {

using slpdtest::MakeMessage;
using slpdtest::TcpExchange;
using slpdtest::UdpExchange;

// Every agent here logs one line per request.
class Agent : public slpdtest::SlpdProcess {
 public:
  explicit Agent(std::vector<std::string> extra) : SlpdProcess(Verbose(std::move(extra)), 5000) {}
  int Stop() { return SlpdProcess::Stop(5000); }

 private:
  static std::vector<std::string> Verbose(std::vector<std::string> extra) {
    extra.insert(extra.begin(), "--verbose");
    return extra;
  }
};

uint16_t RegisterUdp(int port, const std::string& url, const std::string& type,
                     const std::string& attrs, uint16_t lifetime = 300) {
  SrvReg r;
  r.entry = {lifetime, url, {}};
  r.service_type = type;
  r.scopes = "default";
  r.attrs = attrs;
  Message reply;
  if (!UdpExchange(port, MakeMessage(r, kFlagFresh), &reply)) return 0xffff;
  return std::get<SrvAck>(reply.body).error;
}

SrvRqst Query(const std::string& type, const std::string& pred) {
  SrvRqst q;
  q.service_type = type;
  q.scopes = "default";
  q.predicate = pred;
  return q;
}

TEST(SlpdEndToEnd, RegisterThenFindOverUdp) {
  Agent agent({});
  ASSERT_GT(agent.port(), 0) << agent.child().Output();
  ASSERT_EQ(RegisterUdp(agent.port(), "service:ZemProxy://10.0.0.5:5000", "service:ZemProxy",
                        "(addr=10.0.0.5),(mask=255.255.255.255)", 120),
            error::kOk);
  ASSERT_EQ(RegisterUdp(agent.port(), "service:CompResource://10.0.0.7", "CompResource",
                        "(x-PELM-coords=1 2 4)"),
            error::kOk);
  ASSERT_EQ(RegisterUdp(agent.port(), "service:CompResource://10.0.0.8", "CompResource",
                        "(x-PELM-coords=9 9 9)"),
            error::kOk);
  Message reply;
  ASSERT_TRUE(UdpExchange(
      agent.port(), MakeMessage(Query("ZemProxy", "(&(addr=10.0.0.5)(mask=255.255.255.255))")),
      &reply));
  const SrvRply& r = std::get<SrvRply>(reply.body);
  ASSERT_EQ(r.urls.size(), 1u);
  EXPECT_EQ(r.urls[0].url, "service:ZemProxy://10.0.0.5:5000");
  EXPECT_GE(r.urls[0].lifetime, 118);
  EXPECT_LE(r.urls[0].lifetime, 120);
  ASSERT_TRUE(UdpExchange(
      agent.port(),
      MakeMessage(Query("CompResource", "(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=1 2 3)))")),
      &reply));
  ASSERT_EQ(std::get<SrvRply>(reply.body).urls.size(), 1u);
  EXPECT_EQ(std::get<SrvRply>(reply.body).urls[0].url, "service:CompResource://10.0.0.7");
  EXPECT_TRUE(agent.child().WaitForOutput("SrvRqst type=CompResource found=1", 2000));
  // Standard output and the log share one file here: the address line
  // must end before the first log line.
  const std::string listening = "listening on 127.0.0.1:" + std::to_string(agent.port()) + "\n";
  EXPECT_NE(agent.child().Output().find(listening), std::string::npos) << agent.child().Output();
  EXPECT_EQ(agent.Stop(), 0);
}

TEST(SlpdEndToEnd, RestartWithStateKeepsRegistrations) {
  ::testutil::TempDir dir;
  const std::string state = dir.path() + "/slpd.state";
  {
    Agent agent({"--state", state});
    ASSERT_GT(agent.port(), 0);
    ASSERT_EQ(RegisterUdp(agent.port(), "service:ZemProxy://10.0.0.6:6000", "ZemProxy",
                          "(addr=10.0.0.6),(mask=255.255.255.255)", 600),
              error::kOk);
    ASSERT_EQ(RegisterUdp(agent.port(), "service:ZemProxy://10.0.0.9:6000", "ZemProxy", "", 1),
              error::kOk);
    int status = agent.Stop();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << agent.child().Output();
  }
  sleep(1);  // the one-second registration runs out while the agent is down
  Agent again({"--state", state});
  ASSERT_GT(again.port(), 0);
  EXPECT_TRUE(again.child().WaitForOutput("1 registrations restored", 1000))
      << again.child().Output();
  Message reply;
  ASSERT_TRUE(UdpExchange(again.port(), MakeMessage(Query("zemproxy", "")), &reply));
  const SrvRply& r = std::get<SrvRply>(reply.body);
  ASSERT_EQ(r.urls.size(), 1u);
  EXPECT_EQ(r.urls[0].url, "service:ZemProxy://10.0.0.6:6000");
  EXPECT_LE(r.urls[0].lifetime, 599);
  EXPECT_GE(r.urls[0].lifetime, 590);
}

TEST(SlpdEndToEnd, UnwritableStateIsReportedAndServingGoesOn) {
  ::testutil::TempDir dir;
  const std::string folder = dir.path() + "/state";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  Agent agent({"--state", folder + "/slpd.state"});
  ASSERT_GT(agent.port(), 0);
  // The folder goes away under the running agent.
  ASSERT_EQ(::unlink((folder + "/slpd.state").c_str()), 0);
  ASSERT_EQ(::rmdir(folder.c_str()), 0);
  ASSERT_EQ(RegisterUdp(agent.port(), "service:ZemProxy://10.0.0.6:1", "ZemProxy", ""), error::kOk);
  EXPECT_TRUE(agent.child().WaitForOutput("cannot save state", 3000)) << agent.child().Output();
  Message reply;
  ASSERT_TRUE(UdpExchange(agent.port(), MakeMessage(Query("ZemProxy", "")), &reply));
  EXPECT_EQ(std::get<SrvRply>(reply.body).urls.size(), 1u);
}

TEST(SlpdEndToEnd, OverflowedReplyIsAnsweredInFullOverTcp) {
  Agent agent({"--mtu", "576"});
  ASSERT_GT(agent.port(), 0);
  for (int i = 0; i < 30; ++i) {
    ASSERT_EQ(RegisterUdp(
                  agent.port(),
                  "service:CompResource://10.0.1." + std::to_string(i) + "/" + std::string(30, 'x'),
                  "CompResource", "(x-PELM-coords=" + std::to_string(i) + " 0)"),
              error::kOk);
  }
  Message q = MakeMessage(Query("CompResource", ""));
  Message udp, tcp;
  ASSERT_TRUE(UdpExchange(agent.port(), q, &udp));
  EXPECT_TRUE(udp.header.flags & kFlagOverflow);
  size_t partial = std::get<SrvRply>(udp.body).urls.size();
  EXPECT_GT(partial, 0u);
  EXPECT_LT(partial, 30u);
  ASSERT_TRUE(TcpExchange(agent.port(), q, &tcp));
  EXPECT_EQ(tcp.header.xid, q.header.xid);
  EXPECT_FALSE(tcp.header.flags & kFlagOverflow);
  EXPECT_EQ(std::get<SrvRply>(tcp.body).urls.size(), 30u);
  // The cut datagram announces the whole answer's length.
  EXPECT_EQ(udp.header.length, tcp.header.length);
}

TEST(SlpdEndToEnd, FloodOfMalformedDatagramsDoesNotStopLookups) {
  Agent agent({});
  ASSERT_GT(agent.port(), 0);
  ASSERT_EQ(RegisterUdp(agent.port(), "service:ZemProxy://10.0.0.5:5000", "ZemProxy",
                        "(addr=10.0.0.5),(mask=255.255.255.255)"),
            error::kOk);
  Message good = MakeMessage(Query("ZemProxy", "(&(addr=10.0.0.5)(mask=255.255.255.255))"));
  std::string bytes = Encode(good);
  testutil::TestFd flood(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in to = testutil::Loopback(static_cast<uint16_t>(agent.port()));
  uint32_t seed = 7;
  int answered = 0;
  for (int round = 0; round < 40; ++round) {
    for (int i = 0; i < 50; ++i) {
      seed = seed * 1103515245u + 12345u;
      std::string bad = bytes;
      bad[seed % bad.size()] = static_cast<char>(seed >> 16);
      if (i % 5 == 0) bad.assign(60000, static_cast<char>(seed >> 8));  // oversized garbage
      if (i % 7 == 0) bad.resize(seed % bad.size());
      ::sendto(flood.get(), bad.data(), bad.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    Message reply;
    Message q = MakeMessage(Query("ZemProxy", "(&(addr=10.0.0.5)(mask=255.255.255.255))"));
    // The look-up right behind a burst may find the socket's buffer full of
    // it and be dropped; a client asks again, soon and then more patiently.
    bool got = UdpExchange(agent.port(), q, &reply, 250) || UdpExchange(agent.port(), q, &reply);
    if (got && std::get<SrvRply>(reply.body).urls.size() == 1) {
      ++answered;
    }
  }
  EXPECT_EQ(answered, 40);
  EXPECT_TRUE(agent.child().Running());
}

TEST(SlpdEndToEnd, HelpDescribesNearestNodeAnswers) {
  const std::string slpd = ::testutil::BuildPath("tools/orvel-slpd/orvel-slpd");
  ::testutil::ProgramRun help = ::testutil::RunProgram({slpd, "--help"}, 5000);
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.output.find("x-PELM-clients"), std::string::npos);
  ::testutil::ProgramRun bad = ::testutil::RunProgram({slpd, "--allow-register", "x"}, 5000);
  EXPECT_EQ(bad.exit_code, 64);
  EXPECT_NE(bad.output.find("--allow-register needs A.B.C.D/LEN"), std::string::npos) << bad.output;
}

}  // namespace
}  // namespace orvel::slp
