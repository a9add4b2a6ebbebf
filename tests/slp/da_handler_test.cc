// Directory agent request handling from bytes: wire dumps, access control,
// overflow, multicast rules and malformed input.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "slp/da_handler.h"
#include "slp/da_store.h"
#include "slp/wire.h"

namespace orvel::slp {
namespace {

constexpr uint32_t kLocal = 0x7f000001;   // 127.0.0.1
constexpr uint32_t kRemote = 0x0a010203;  // 10.1.2.3, only ever a fake source

std::string Hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

Message MessageOf(Body body) {
  Message m;
  m.body = std::move(body);
  return m;
}

// A registration of url as type in the default scope, for 300 seconds.
SrvReg Registration(const std::string& url, const std::string& type) {
  SrvReg r;
  r.entry = {300, url, {}};
  r.service_type = type;
  r.scopes = "default";
  return r;
}

// The deregistration of url from the default scope.
SrvDeReg Deregistration(const std::string& url) {
  SrvDeReg d;
  d.scopes = "default";
  d.entry.url = url;
  return d;
}

class FrozenClock : public DaClock {
 public:
  std::chrono::steady_clock::time_point Now() const override { return now; }
  std::chrono::steady_clock::time_point now{std::chrono::hours(100)};
};

class HandlerTest : public ::testing::Test {
 protected:
  std::string Send(Body body, uint16_t flags = 0, uint32_t source = kLocal, bool tcp = false,
                   uint16_t xid = 0x1234) {
    Message m;
    m.header.xid = xid;
    m.header.flags = flags;
    m.body = std::move(body);
    std::string bytes = Encode(m);
    EXPECT_FALSE(bytes.empty());
    return handler.Handle(bytes, source, tcp);
  }
  uint16_t Register(const std::string& url, const std::string& type, const std::string& attrs,
                    uint32_t source = kLocal) {
    SrvReg r = Registration(url, type);
    r.attrs = attrs;
    Message reply;
    EXPECT_EQ(Decode(Send(r, kFlagFresh, source), &reply), WireStatus::kOk);
    EXPECT_EQ(reply.header.xid, 0x1234);
    return std::get<SrvAck>(reply.body).error;
  }
  SrvRply Lookup(const std::string& type, const std::string& pred, Header* header = nullptr,
                 bool tcp = false) {
    SrvRqst q;
    q.service_type = type;
    q.scopes = "default";
    q.predicate = pred;
    Message reply;
    EXPECT_EQ(Decode(Send(q, 0, kLocal, tcp), &reply), WireStatus::kOk);
    if (header) *header = reply.header;
    return std::get<SrvRply>(reply.body);
  }

  FrozenClock clock;
  RegistrationStore store{"default", &clock};
  DaHandler handler{&store, DaConfig{}};
};

TEST_F(HandlerTest, ServiceRequestAndRegistrationAnsweredWithExactBytes) {
  ASSERT_EQ(Register("service:test://127.0.0.1:5000", "service:test", "(a=1)"), error::kOk);
  const std::string request = Hex(
      "02 01 00 00 32 00 00 00 00 00 12 34 00 02 65 6e 00 00 00 0c 73 65 72 76 69 63 65 3a 74 65"
      " 73 74 00 07 64 65 66 61 75 6c 74 00 05 28 61 3d 31 29 00 00");
  const std::string reply = Hex(
      "02 02 00 00 37 00 00 00 00 00 12 34 00 02 65 6e 00 00 00 01 00 01 2c 00 1d 73 65 72 76 69"
      " 63 65 3a 74 65 73 74 3a 2f 2f 31 32 37 2e 30 2e 30 2e 31 3a 35 30 30 30 00");
  ASSERT_EQ(request.size(), 50u);
  EXPECT_EQ(handler.Handle(request, kLocal, false), reply);
  // A SrvAck: the 16-byte header (language "en") and error code 0.
  SrvReg r = Registration("service:test://127.0.0.1:5001", "service:test");
  EXPECT_EQ(Send(r, kFlagFresh), Hex("02 05 00 00 12 00 00 00 00 00 12 34 00 02 65 6e 00 00"));
}

TEST_F(HandlerTest, FreshFlagDecidesBetweenNewAndIncrementalRegistration) {
  SrvReg r = Registration("service:x://h", "service:x");
  r.attrs = "(a=1)";
  Message reply;
  ASSERT_EQ(Decode(Send(r, /*flags=*/0), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kInvalidUpdate);
  ASSERT_EQ(Decode(Send(r, kFlagFresh), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kOk);
  r.attrs = "(b=2)";
  ASSERT_EQ(Decode(Send(r, 0), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kOk);
  EXPECT_EQ(Lookup("x", "(&(a=1)(b=2))").urls.size(), 1u);
  r.entry.lifetime = 0;
  ASSERT_EQ(Decode(Send(r, kFlagFresh), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kInvalidRegistration);
}

TEST_F(HandlerTest, RegistrationOnlyFromAllowedNetworks) {
  SrvReg remote = Registration("service:ZemProxy://10.9.9.9:1", "ZemProxy");
  Message reply;
  ASSERT_EQ(Decode(Send(remote, kFlagFresh, kRemote, /*tcp=*/true), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kAuthenticationFailed);
  EXPECT_TRUE(Lookup("ZemProxy", "").urls.empty());
  ASSERT_EQ(Register("service:ZemProxy://10.9.9.9:1", "ZemProxy", ""), error::kOk);
  SrvDeReg d = Deregistration("service:ZemProxy://10.9.9.9:1");
  ASSERT_EQ(Decode(Send(d, 0, kRemote, /*tcp=*/true), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kAuthenticationFailed);
  EXPECT_EQ(Lookup("ZemProxy", "").urls.size(), 1u);

  DaConfig wide;
  wide.allow_register = {*ParseIpv4Net("10.1.0.0/16")};
  DaHandler other(&store, wide);
  SrvReg r = Registration("service:ZemProxy://10.1.2.3:9", "ZemProxy");
  Message m;
  m.header.flags = kFlagFresh;
  m.body = r;
  ASSERT_EQ(Decode(other.Handle(Encode(m), kRemote, false), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kOk);
  ASSERT_EQ(Decode(other.Handle(Encode(m), kLocal, true), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kAuthenticationFailed);
}

// A forged UDP source must not be sent anything: registrations and
// deregistrations from a network that may not register, well-formed or cut
// short, get no reply and change nothing.
TEST_F(HandlerTest, RefusedRegistrationOverUdpGetsNoReply) {
  SrvReg r = Registration("service:ZemProxy://10.9.9.9:1", "ZemProxy");
  Message m;
  m.header.xid = 9;
  m.header.flags = kFlagFresh;
  m.body = r;
  const std::string reg = Encode(m);
  SrvDeReg d = Deregistration("service:ZemProxy://10.9.9.9:1");
  m.body = d;
  const std::string dereg = Encode(m);
  for (const std::string& bytes : {reg, dereg}) {
    EXPECT_EQ(handler.Handle(bytes, kRemote, false), "");
    // Cut short after the header: still nothing towards the source.
    EXPECT_EQ(handler.Handle(bytes.substr(0, bytes.size() - 3), kRemote, false), "");
  }
  EXPECT_TRUE(Lookup("ZemProxy", "").urls.empty());
  // From an allowed source the same bytes are answered.
  Message reply;
  ASSERT_EQ(Decode(handler.Handle(reg, kLocal, false), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(reply.body).error, error::kOk);
}

// An overflowing UDP reply must send both kinds of client to TCP: those
// that read the overflow flag (and may use the whole entries that came)
// and those that only compare Length with what arrived.
TEST_F(HandlerTest, OversizeUdpReplyServesBothReadingsOfOverflow) {
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(
        Register(
            "service:CompResource://10.0." + std::to_string(i) + ".1/" + std::string(40, 'p'),
            "CompResource",
            "(n=" + std::to_string(i) + "),(pad=" + std::string(40, 'p') + std::to_string(i) + ")"),
        error::kOk);
  }
  SrvRqst q;
  q.service_type = "CompResource";
  q.scopes = "default";
  const std::string datagram = Send(q);
  const std::string whole = Send(q, 0, kLocal, /*tcp=*/true);
  ASSERT_LE(datagram.size(), handler.max_udp_reply());
  // Length-only reading: the header announces the whole answer.
  EXPECT_EQ(PeekLength(reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size()),
            whole.size());
  // Flag reading: flagged, and what came decodes to whole entries.
  Message udp, tcp;
  ASSERT_EQ(Decode(datagram, &udp), WireStatus::kOk);
  EXPECT_TRUE(udp.header.flags & kFlagOverflow);
  const SrvRply& part = std::get<SrvRply>(udp.body);
  EXPECT_GT(part.urls.size(), 10u);
  EXPECT_LT(part.urls.size(), 100u);
  ASSERT_EQ(Decode(whole, &tcp), WireStatus::kOk);
  EXPECT_FALSE(tcp.header.flags & kFlagOverflow);
  const SrvRply& all = std::get<SrvRply>(tcp.body);
  ASSERT_EQ(all.urls.size(), 100u);
  for (size_t i = 0; i < part.urls.size(); ++i) EXPECT_EQ(part.urls[i].url, all.urls[i].url);

  // The same for attribute and type lists, cut at an element boundary.
  AttrRqst a;
  a.url = "CompResource";
  a.scopes = "default";
  const std::string attr_datagram = Send(a);
  const std::string attr_whole = Send(a, 0, kLocal, /*tcp=*/true);
  ASSERT_LE(attr_datagram.size(), handler.max_udp_reply());
  EXPECT_EQ(PeekLength(reinterpret_cast<const uint8_t*>(attr_datagram.data()), 5),
            attr_whole.size());
  ASSERT_EQ(Decode(attr_datagram, &udp), WireStatus::kOk);
  EXPECT_TRUE(udp.header.flags & kFlagOverflow);
  const std::string& cut = std::get<AttrRply>(udp.body).attrs;
  EXPECT_EQ(cut.back(), ')');
  ASSERT_EQ(Decode(attr_whole, &tcp), WireStatus::kOk);
  EXPECT_EQ(std::get<AttrRply>(tcp.body).attrs.compare(0, cut.size(), cut), 0);
}

// SLPv2 lengths allow 16 MiB over TCP: a 10000-URL answer arrives whole;
// an attribute union past the 16-bit list field comes cut and flagged
// instead of failing; a URL count past 16 bits is refused by name.
TEST_F(HandlerTest, LargeAnswersOverTcp) {
  StoreLimits limits;
  limits.max_entries = 70000;
  RegistrationStore big("default", &clock, limits);
  DaHandler h(&big, DaConfig{});
  for (int i = 0; i < 10000; ++i) {
    RegistrationInput in;
    in.url =
        "service:big://10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1:5000";
    in.lang = "en";
    in.service_type = "big";
    in.scopes = "default";
    in.attrs =
        "(host=" + in.url.substr(14) + "),(serial=" + std::string(8, 'a') + std::to_string(i) + ")";
    in.lifetime = 300;
    ASSERT_EQ(big.Register(in), error::kOk);
  }
  Message m;
  m.header.xid = 9;
  m.body = SrvRqst{"", "big", "default", "", ""};
  Message reply;
  ASSERT_EQ(Decode(h.Handle(Encode(m), kLocal, /*over_tcp=*/true), &reply), WireStatus::kOk);
  EXPECT_GT(reply.header.length, 65536u);
  EXPECT_EQ(std::get<SrvRply>(reply.body).urls.size(), 10000u);

  m.body = AttrRqst{"", "big", "default", "", ""};
  std::string log;
  ASSERT_EQ(Decode(h.Handle(Encode(m), kLocal, true, &log), &reply), WireStatus::kOk);
  const AttrRply& attrs = std::get<AttrRply>(reply.body);
  EXPECT_EQ(attrs.error, error::kOk);
  EXPECT_GT(attrs.attrs.size(), 60000u);
  EXPECT_TRUE(reply.header.flags & kFlagOverflow);
  EXPECT_NE(log.find("union cut"), std::string::npos) << log;

  for (int i = 10000; i < 65536; ++i) {
    RegistrationInput in;
    in.url = "service:big://h" + std::to_string(i);
    in.lang = "en";
    in.service_type = "big";
    in.scopes = "default";
    in.lifetime = 300;
    ASSERT_EQ(big.Register(in), error::kOk);
  }
  m.body = SrvRqst{"", "big", "default", "", ""};
  ASSERT_EQ(Decode(h.Handle(Encode(m), kLocal, true, &log), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvRply>(reply.body).error, error::kInternalError);
  EXPECT_NE(log.find("answer too large (65536 URLs"), std::string::npos) << log;
}

// A large answer asked again over TCP comes from the kept bytes, with its
// own XID and the lifetimes of now; any change shows in the next answer.
TEST_F(HandlerTest, RepeatedLargeTcpAnswerIsKeptUntilTheRegistrationsChange) {
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(Register("service:bulk://10.0.0." + std::to_string(i), "service:bulk", ""),
              error::kOk);
  }
  auto ask = [&](uint16_t xid, std::string* log) {
    Message m;
    m.header.xid = xid;
    m.body = SrvRqst{"", "bulk", "default", "", ""};
    Message reply;
    EXPECT_EQ(Decode(handler.Handle(Encode(m), kLocal, /*over_tcp=*/true, log), &reply),
              WireStatus::kOk);
    EXPECT_EQ(reply.header.xid, xid);
    return std::get<SrvRply>(reply.body);
  };
  std::string log;
  EXPECT_EQ(ask(1, &log).urls.size(), 40u);
  EXPECT_EQ(log.find("kept answer"), std::string::npos) << log;
  clock.now += std::chrono::milliseconds(7500);
  SrvRply again = ask(2, &log);
  EXPECT_NE(log.find("kept answer"), std::string::npos) << log;
  ASSERT_EQ(again.urls.size(), 40u);
  for (const UrlEntry& e : again.urls) EXPECT_EQ(e.lifetime, 293) << e.url;  // 292.5 rounded up

  // A new registration, a refresh with another lifetime, a deregistration.
  ASSERT_EQ(Register("service:bulk://10.0.0.99", "service:bulk", ""), error::kOk);
  SrvRply added = ask(3, &log);
  EXPECT_EQ(added.urls.size(), 41u);
  EXPECT_EQ(log.find("kept answer"), std::string::npos) << log;
  SrvReg shorter = Registration("service:bulk://10.0.0.5", "service:bulk");
  shorter.entry.lifetime = 20;
  Send(shorter, kFlagFresh);
  ask(4, &log);
  SrvRply refreshed = ask(5, &log);
  EXPECT_NE(log.find("kept answer"), std::string::npos) << log;
  for (const UrlEntry& e : refreshed.urls) {
    const uint16_t want = e.url == "service:bulk://10.0.0.5"    ? 20
                          : e.url == "service:bulk://10.0.0.99" ? 300
                                                                : 293;
    EXPECT_EQ(e.lifetime, want) << e.url;
  }
  Send(Deregistration("service:bulk://10.0.0.7"));
  SrvRply removed = ask(6, &log);
  EXPECT_EQ(removed.urls.size(), 40u);
  for (const UrlEntry& e : removed.urls) EXPECT_NE(e.url, "service:bulk://10.0.0.7");
  // The short registration runs out: gone from the next answer.
  clock.now += std::chrono::seconds(21);
  SrvRply expired = ask(7, &log);
  EXPECT_EQ(expired.urls.size(), 39u);
  EXPECT_EQ(log.find("kept answer"), std::string::npos) << log;
}

// A forged source must not draw more than a small multiple of what it
// sends.  Past the budget an answer that fits a datagram goes whole or not
// at all (a client reading only the Length must never see a short answer);
// a longer one goes as the overflow flag alone with the whole answer's
// Length, which sends every client to TCP.
TEST_F(HandlerTest, UdpReplyBytesAreBoundPerSourceNetwork) {
  const ReplyBudgetConfig budget;
  auto flood = [&](uint32_t source, const std::string& want_types, size_t* limited) {
    SrvTypeRqst t;
    t.scopes = "default";
    size_t sent = 0, received = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3000; ++i) {
      Message m;
      m.header.xid = static_cast<uint16_t>(i);
      m.body = t;
      std::string request = Encode(m);
      HandleInfo info;
      std::string reply = handler.Handle(request, source, false, nullptr, &info);
      sent += request.size();
      received += reply.size();
      if (reply.empty()) continue;
      Message r;
      EXPECT_EQ(Decode(reply, &r), WireStatus::kOk);
      const std::string& types = std::get<SrvTypeRply>(r.body).types;
      if (!info.rate_limited) {
        if (!(r.header.flags & kFlagOverflow)) {
          EXPECT_EQ(types, want_types);
        }
        continue;
      }
      ++*limited;
      EXPECT_TRUE(r.header.flags & kFlagOverflow);
      EXPECT_EQ(types, "");
      EXPECT_GT(r.header.length, reply.size());
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LE(received, budget.factor * sent + budget.burst +
                            static_cast<size_t>(seconds * static_cast<double>(budget.allowance)) +
                            1400)
        << "sent " << sent << " in " << seconds << " s";
    return received;
  };
  std::string types;
  for (int i = 0; i < 40; ++i) {
    std::string type = "service:type-number-" + std::to_string(i);
    ASSERT_EQ(Register("service:type" + std::to_string(i) + "://10.0.0.1:1", type, "(a=1)"),
              error::kOk);
    types += (i ? "," : "") + type;
  }
  // Fits a datagram: past the budget the answers are dropped, never cut.
  size_t flagged = 0;
  EXPECT_GT(flood(kRemote, types, &flagged), 0u);
  EXPECT_EQ(flagged, 0u);
  EXPECT_GT(handler.reply_budget().limited(), 1500u);
  EXPECT_NE(handler.reply_budget().TakeLogLine(std::chrono::steady_clock::now()), "");
  // Longer than a datagram, from a network of its own.
  for (int i = 40; i < 100; ++i) {
    ASSERT_EQ(Register("service:type" + std::to_string(i) + "://10.0.0.1:1",
                       "service:type-number-" + std::to_string(i), "(a=1)"),
              error::kOk);
  }
  flood(kRemote + 0x200, "", &flagged);
  EXPECT_GT(flagged, 1500u);

  // Ordinary look-ups (one URL for a longer request), from a network that
  // did not flood, are never limited.
  HandleInfo info;
  Message m;
  SrvRqst q{"", "service:type-number-7", "default", "(a=1)", ""};
  for (uint32_t source : {kLocal, kRemote + 0x100}) {
    for (int i = 0; i < 100; ++i) {
      m.body = q;
      Message r;
      ASSERT_EQ(Decode(handler.Handle(Encode(m), source, false, nullptr, &info), &r),
                WireStatus::kOk);
      EXPECT_FALSE(info.rate_limited);
      EXPECT_EQ(std::get<SrvRply>(r.body).urls.size(), 1u);
    }
  }
}

// Work whose size a sender chooses is bounded: a union over more values
// than kMaxUnionValues stops there and says so.
TEST_F(HandlerTest, AttributeUnionWorkIsBounded) {
  std::string many;
  for (int v = 0; v < 4000; ++v) many += (v ? "," : "(v=") + std::to_string(v % 10);
  many += ")";
  const size_t regs = RegistrationStore::kMaxUnionValues / 4000 + 2;
  for (size_t i = 0; i < regs; ++i) {
    ASSERT_EQ(Register("service:u://h" + std::to_string(i), "u", many), error::kOk);
  }
  AttrRqst a{"", "u", "default", "", ""};
  Message reply;
  ASSERT_EQ(Decode(Send(a, 0, kLocal, /*tcp=*/true), &reply), WireStatus::kOk);
  EXPECT_TRUE(reply.header.flags & kFlagOverflow);
  EXPECT_EQ(std::get<AttrRply>(reply.body).attrs, "(v=0,1,2,3,4,5,6,7,8,9)");
}

TEST_F(HandlerTest, MulticastAndScopeRules) {
  Register("service:ZemProxy://10.0.0.1:1", "ZemProxy", "");
  SrvRqst q;
  q.service_type = "ZemProxy";
  q.scopes = "default";
  EXPECT_EQ(Send(q, kFlagRequestMcast), "");  // a DA does not answer multicast searches
  q.scopes = "elsewhere";
  EXPECT_EQ(Send(q, kFlagRequestMcast), "");
  Message reply;
  ASSERT_EQ(Decode(Send(q), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvRply>(reply.body).error, error::kScopeNotSupported);

  SrvRqst da;
  da.service_type = "service:directory-agent";
  da.scopes = "DEFAULT";
  HandleInfo info;
  EXPECT_FALSE(handler.Handle(Encode(MessageOf(da)), kLocal, true, nullptr, &info).empty());
  EXPECT_TRUE(info.agent_discovery);
  handler.Handle(Encode(MessageOf(q)), kLocal, true, nullptr, &info);
  EXPECT_FALSE(info.agent_discovery);
  ASSERT_EQ(Decode(Send(da, kFlagRequestMcast, kLocal, false, 77), &reply), WireStatus::kOk);
  ASSERT_TRUE(std::holds_alternative<DAAdvert>(reply.body));
  EXPECT_EQ(reply.header.xid, 77);
  EXPECT_EQ(std::get<DAAdvert>(reply.body).url, "service:directory-agent://127.0.0.1");
  da.scopes = "elsewhere";
  EXPECT_EQ(Send(da, kFlagRequestMcast), "");

  Message adv;
  ASSERT_EQ(Decode(handler.UnsolicitedAdvert(false), &adv), WireStatus::kOk);
  EXPECT_EQ(adv.header.xid, 0);
  EXPECT_EQ(std::get<DAAdvert>(adv.body).scopes, "default");

  q.scopes = "default";
  q.spi = "some-spi";
  ASSERT_EQ(Decode(Send(q), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvRply>(reply.body).error, error::kAuthenticationUnknown);
  q.spi.clear();
  q.predicate = "(&(a=1)";
  ASSERT_EQ(Decode(Send(q), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvRply>(reply.body).error, error::kParseError);
}

TEST_F(HandlerTest, AttributeAndTypeRequestsFromBytes) {
  Register("service:ZemProxy://10.0.0.1:1", "service:ZemProxy",
           "(addr=10.0.0.1),(mask=255.255.255.255)");
  AttrRqst a;
  a.url = "service:ZemProxy://10.0.0.1:1";
  a.scopes = "default";
  a.tags = "addr";
  Message reply;
  ASSERT_EQ(Decode(Send(a), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<AttrRply>(reply.body).attrs, "(addr=10.0.0.1)");
  SrvTypeRqst t;
  t.scopes = "default";
  ASSERT_EQ(Decode(Send(t), &reply), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvTypeRply>(reply.body).types, "service:ZemProxy");
}

TEST_F(HandlerTest, MalformedInputNeverBreaksTheAgent) {
  Register("service:ZemProxy://10.0.0.1:5000", "ZemProxy",
           "(addr=10.0.0.1),(mask=255.255.255.255)");
  SrvRqst q;
  q.service_type = "ZemProxy";
  q.scopes = "default";
  q.predicate = "(&(addr=10.0.0.1)(mask=255.255.255.255))";
  Message m;
  m.header.xid = 0x4242;
  m.body = q;
  const std::string good = Encode(m);

  // Every truncation: nothing, or a PARSE_ERROR reply with the same XID.
  for (size_t len = 0; len < good.size(); ++len) {
    std::string reply =
        handler.Handle(reinterpret_cast<const uint8_t*>(good.data()), len, kLocal, false);
    if (reply.empty()) continue;
    Message r;
    ASSERT_EQ(Decode(reply, &r), WireStatus::kOk) << len;
    EXPECT_EQ(r.header.xid, 0x4242);
    EXPECT_EQ(std::get<SrvRply>(r.body).error, error::kParseError) << len;
  }
  // Length fields that lie: header Length beyond the datagram, string
  // lengths past the end, a naming-authority length of 0xFFFF with bytes.
  std::string lie = good;
  lie[4] = static_cast<char>(lie[4] + 10);
  EXPECT_EQ(handler.Handle(lie, kLocal, false), "");
  lie = good;
  lie[18] = '\xff';  // service-type length high byte
  Message r;
  ASSERT_EQ(Decode(handler.Handle(lie, kLocal, false), &r), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvRply>(r.body).error, error::kParseError);

  // Random corruption of real requests, then the real lookup still works.
  std::mt19937 rng(12345);
  for (int i = 0; i < 20000; ++i) {
    std::string bad = good;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] = static_cast<char>(rng());
    if (rng() % 3 == 0) bad.resize(rng() % (bad.size() + 1));
    std::string reply = handler.Handle(bad, kLocal, rng() % 2 == 0);
    if (!reply.empty()) {
      Message rr;
      EXPECT_EQ(Decode(reply, &rr), WireStatus::kOk);
      EXPECT_LE(reply.size(), handler.max_udp_reply() + 65536);
    }
  }
  SrvRply ok = Lookup("ZemProxy", "(&(addr=10.0.0.1)(mask=255.255.255.255))");
  ASSERT_EQ(ok.urls.size(), 1u);
  EXPECT_EQ(ok.urls[0].url, "service:ZemProxy://10.0.0.1:5000");
}

TEST(Ipv4NetParse, AcceptsPrefixesOnly) {
  auto n = ParseIpv4Net("127.0.0.0/8");
  ASSERT_TRUE(n);
  EXPECT_TRUE(n->Contains(0x7f000001));
  EXPECT_FALSE(n->Contains(0x80000001));
  EXPECT_TRUE(ParseIpv4Net("0.0.0.0/0")->Contains(0x0a000001));
  EXPECT_TRUE(ParseIpv4Net("10.1.2.3")->Contains(0x0a010203));
  EXPECT_FALSE(ParseIpv4Net("10.1.2.3")->Contains(0x0a010204));
  for (const char* bad : {"10.0.0.0/33", "10.0.0/8", "x/8", "10.0.0.0/", "10.0.0.0/-1"}) {
    EXPECT_FALSE(ParseIpv4Net(bad)) << bad;
  }
}

}  // namespace
}  // namespace orvel::slp
