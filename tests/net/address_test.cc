// Names, connecting and listening, on loopback only.
#include "net/address.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace orvel::net {
namespace {

TEST(Address, DottedQuadsOnly) {
  uint32_t a = 0;
  EXPECT_TRUE(ParseDottedQuad("127.0.0.1", &a));
  EXPECT_EQ(a, htonl(INADDR_LOOPBACK));
  EXPECT_TRUE(ParseDottedQuad("255.255.255.255", &a));
  EXPECT_EQ(a, 0xffffffffu);
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4 ", "a.b.c.d", "1..2.3",
                          "0001.2.3.4", "-1.2.3.4"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(ParseDottedQuad(bad, &a));
  }
  EXPECT_FALSE(ParseDottedQuad(nullptr, &a));
}

// Every "HOST[:PORT]" of the programs is read here: split at the last
// colon, the port digits only and at most 65535, the host left to callers.
TEST(Address, HostPortSplitsAtTheLastColon) {
  struct Case {
    const char* text;
    bool ok;
    const char* host;
    bool has_port;
    uint16_t port;
  } cases[] = {
      {"10.1.2.3:7000", true, "10.1.2.3", true, 7000},
      {"10.1.2.3", true, "10.1.2.3", false, 0},
      {"agent.example:427", true, "agent.example", true, 427},
      {":9100", true, "", true, 9100},
      {"h:0", true, "h", true, 0},
      {"h:65535", true, "h", true, 65535},
      {"h:00080", true, "h", true, 80},
      {"h:65536", false, "h", true, 0},
      {"h:99999999999999999999", false, "h", true, 0},
      {"h:", false, "h", true, 0},
      {"h:-1", false, "h", true, 0},
      {"h: 80", false, "h", true, 0},
      {"h:80x", false, "h", true, 0},
      {"a:1:2", true, "a:1", true, 2},
      {"", true, "", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    HostPort hp;
    EXPECT_EQ(ParseHostPort(c.text, &hp), c.ok);
    EXPECT_EQ(hp.host, c.host);
    EXPECT_EQ(hp.has_port, c.has_port);
    if (c.ok) {
      EXPECT_EQ(hp.port, c.port);
    }
  }
}

// The message library's reading of address texts (inet_ADDR) and writing.
TEST(Address, AddressTextsAsInetAton) {
  EXPECT_EQ(AddressFromText("10.0.0.1"), htonl(0x0a000001));
  EXPECT_EQ(AddressFromText("10.1"), htonl(0x0a000001));        // short form
  EXPECT_EQ(AddressFromText("012.0.0.1"), htonl(0x0a000001));   // octal part
  EXPECT_EQ(AddressFromText("0x0a.0.0.1"), htonl(0x0a000001));  // hexadecimal part
  for (const char* bad : {"", "a.b.c.d", "256.0.0.1", "10.0.0.1:80", "localhost"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(AddressFromText(bad), 0u);
  }
  EXPECT_EQ(AddressFromText(nullptr), 0u);
  EXPECT_EQ(AddressText(htonl(0x7f000001)), "127.0.0.1");
  EXPECT_EQ(AddressText(0), "0.0.0.0");
}

TEST(Address, ResolvesQuadsAndLocalhost) {
  uint32_t a = 0;
  std::string why;
  EXPECT_TRUE(ResolveIpv4("127.0.0.2", &a, &why));
  EXPECT_EQ(a, htonl(0x7f000002));
  // From the hosts file: no query leaves the machine.
  a = 0;
  EXPECT_TRUE(ResolveIpv4("localhost", &a, &why)) << why;
  EXPECT_EQ(ntohl(a) >> 24, 127u);
  EXPECT_FALSE(ResolveIpv4("", &a, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(ResolveIpv4(nullptr, &a));
}

TEST(Address, ListenConnectAndLocalPort) {
  int err = 0;
  UniqueFd listener = ListenTcp(Ipv4(htonl(INADDR_LOOPBACK), 0), 16, &err);
  ASSERT_TRUE(listener.valid()) << err;
  EXPECT_TRUE(fcntl(listener.get(), F_GETFD) & FD_CLOEXEC);
  const uint16_t port = LocalPort(listener.get());
  ASSERT_NE(port, 0);

  UniqueFd blocking = ConnectTcp(Ipv4(htonl(INADDR_LOOPBACK), port), Deadline::After(10), &err);
  ASSERT_TRUE(blocking.valid()) << err;
  EXPECT_FALSE(fcntl(blocking.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_TRUE(fcntl(blocking.get(), F_GETFD) & FD_CLOEXEC);
  UniqueFd nonblocking = ConnectTcp(Ipv4(htonl(INADDR_LOOPBACK), port), Deadline::After(10), &err,
                                    /*nonblocking=*/true);
  ASSERT_TRUE(nonblocking.valid()) << err;
  EXPECT_TRUE(fcntl(nonblocking.get(), F_GETFL) & O_NONBLOCK);

  UniqueFd served(accept(listener.get(), nullptr, nullptr));
  ASSERT_TRUE(served.valid());
  ASSERT_EQ(WriteAll(blocking.get(), "ping", 4, Deadline::After(10)).status, IoStatus::kOk);
  char buf[8];
  IoResult r = ReadExact(served.get(), buf, 4, Deadline::After(10));
  EXPECT_EQ(r.status, IoStatus::kOk);
  EXPECT_EQ(std::string(buf, 4), "ping");

  // The same port again, while it is listened on.
  const char* call = nullptr;
  UniqueFd again = ListenTcp(Ipv4(htonl(INADDR_LOOPBACK), port), 16, &err, &call);
  EXPECT_FALSE(again.valid());
  EXPECT_EQ(err, EADDRINUSE);
  EXPECT_STREQ(call, "bind");
}

TEST(Address, ConnectRefusedWhenNothingListens) {
  int err = 0;
  UniqueFd listener = ListenTcp(Ipv4(htonl(INADDR_LOOPBACK), 0), 1, &err);
  ASSERT_TRUE(listener.valid());
  const uint16_t port = LocalPort(listener.get());
  listener.reset();
  UniqueFd s = ConnectTcp(Ipv4(htonl(INADDR_LOOPBACK), port), Deadline::After(10), &err);
  EXPECT_FALSE(s.valid());
  EXPECT_EQ(err, ECONNREFUSED);
  // The Status form names the call and the peer and keeps errno.
  Status st = Connect(Ipv4(htonl(INADDR_LOOPBACK), port), Deadline::After(10), &s);
  EXPECT_FALSE(s.valid());
  EXPECT_EQ(st.ToString(), "connect 127.0.0.1:" + std::to_string(port) + ": Connection refused");
  EXPECT_EQ(st.sys_errno(), ECONNREFUSED);
  EXPECT_EQ(st.code(), Status::Code::kIOError);
}

TEST(Address, StartedConnectionsFinishOrFailLater) {
  int err = 0;
  UniqueFd listener = ListenTcp(Ipv4(htonl(INADDR_LOOPBACK), 0), 4, &err);
  ASSERT_TRUE(listener.valid());
  const uint16_t port = LocalPort(listener.get());
  UniqueFd ok = ConnectStart(Ipv4(htonl(INADDR_LOOPBACK), port), &err);
  ASSERT_TRUE(ok.valid()) << err;
  EXPECT_TRUE(fcntl(ok.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(WaitConnected(ok.get(), Deadline::After(10)), 0);
  EXPECT_EQ(ConnectResult(ok.get()), 0);

  listener.reset();
  UniqueFd refused = ConnectStart(Ipv4(htonl(INADDR_LOOPBACK), port), &err);
  if (refused.valid()) {  // loopback may refuse at once or on the next look
    EXPECT_EQ(WaitReady(refused.get(), POLLOUT, Deadline::After(10)), 0);
    EXPECT_EQ(ConnectResult(refused.get()), ECONNREFUSED);
  } else {
    EXPECT_EQ(err, ECONNREFUSED);
  }
}

TEST(Address, UdpBindsAndReportsItsPort) {
  int err = 0;
  UniqueFd u = BindUdp(Ipv4(htonl(INADDR_LOOPBACK), 0), &err);
  ASSERT_TRUE(u.valid()) << err;
  EXPECT_NE(LocalPort(u.get()), 0);
  EXPECT_EQ(LocalPort(-1), 0);
}

}  // namespace
}  // namespace orvel::net
