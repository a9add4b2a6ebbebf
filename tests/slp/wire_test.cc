// SLPv2 codec: fixed byte strings of known messages, byte for byte, round trips of every message
// type, and rejection of malformed length fields.
#include "slp/wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvel {
namespace slp {
namespace {

std::string Bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

std::string ToHex(const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += kHex[c >> 4];
    out += kHex[c & 0xF];
    out += ' ';
  }
  return out;
}

// The SrvRqst dump: type service:test, scope default, predicate (a=1).
const std::string kSrvRqstDump =
    Bytes({0x02, 0x01, 0x00, 0x00, 0x32, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00,
           0x02, 0x65, 0x6e, 0x00, 0x00, 0x00, 0x0c, 0x73, 0x65, 0x72, 0x76, 0x69, 0x63,
           0x65, 0x3a, 0x74, 0x65, 0x73, 0x74, 0x00, 0x07, 0x64, 0x65, 0x66, 0x61, 0x75,
           0x6c, 0x74, 0x00, 0x05, 0x28, 0x61, 0x3d, 0x31, 0x29, 0x00, 0x00});

// The SrvRply dump: one entry service:test://127.0.0.1:5000, lifetime 300.
const std::string kSrvRplyDump =
    Bytes({0x02, 0x02, 0x00, 0x00, 0x37, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x02,
           0x65, 0x6e, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x2c, 0x00, 0x1d, 0x73, 0x65, 0x72,
           0x76, 0x69, 0x63, 0x65, 0x3a, 0x74, 0x65, 0x73, 0x74, 0x3a, 0x2f, 0x2f, 0x31, 0x32,
           0x37, 0x2e, 0x30, 0x2e, 0x30, 0x2e, 0x31, 0x3a, 0x35, 0x30, 0x30, 0x30, 0x00});

const std::string kSrvAckDump = Bytes({0x02, 0x05, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xab, 0xcd, 0x00, 0x02, 0x65, 0x6e, 0x00, 0x00});

Message WithBody(Body body, uint16_t xid = 0x1234, uint16_t flags = 0) {
  Message m;
  m.header.xid = xid;
  m.header.flags = flags;
  m.body = std::move(body);
  return m;
}

TEST(SlpWire, SrvRqstMatchesKnownBytes) {
  SrvRqst rq;
  rq.service_type = "service:test";
  rq.scopes = "default";
  rq.predicate = "(a=1)";
  EXPECT_EQ(ToHex(Encode(WithBody(rq))), ToHex(kSrvRqstDump));

  Message m;
  ASSERT_EQ(Decode(kSrvRqstDump, &m), WireStatus::kOk);
  EXPECT_EQ(m.header.function, Function::kSrvRqst);
  EXPECT_EQ(m.header.length, 50u);
  EXPECT_EQ(m.header.xid, 0x1234);
  EXPECT_EQ(m.header.lang, "en");
  const SrvRqst& got = std::get<SrvRqst>(m.body);
  EXPECT_EQ(got.prlist, "");
  EXPECT_EQ(got.service_type, "service:test");
  EXPECT_EQ(got.scopes, "default");
  EXPECT_EQ(got.predicate, "(a=1)");
  EXPECT_EQ(got.spi, "");
}

TEST(SlpWire, HostLookupRequestIs81Bytes) {
  SrvRqst rq;
  rq.service_type = "ZemProxy";
  rq.scopes = "default";
  rq.predicate = "(&(addr=10.0.0.1)(mask=255.255.255.255))";
  EXPECT_EQ(Encode(WithBody(rq)).size(), 81u);
}

TEST(SlpWire, SrvRplyMatchesKnownBytes) {
  SrvRply r;
  r.urls.push_back({300, "service:test://127.0.0.1:5000", {}});
  EXPECT_EQ(ToHex(Encode(WithBody(r))), ToHex(kSrvRplyDump));

  Message m;
  ASSERT_EQ(Decode(kSrvRplyDump, &m), WireStatus::kOk);
  const SrvRply& got = std::get<SrvRply>(m.body);
  EXPECT_EQ(got.error, 0);
  ASSERT_EQ(got.urls.size(), 1u);
  EXPECT_EQ(got.urls[0].lifetime, 300);
  EXPECT_EQ(got.urls[0].url, "service:test://127.0.0.1:5000");
  EXPECT_TRUE(got.urls[0].auths.empty());
}

TEST(SlpWire, SrvAckMatchesKnownBytes) {
  EXPECT_EQ(ToHex(Encode(WithBody(SrvAck{}, 0xabcd))), ToHex(kSrvAckDump));
  Message m;
  ASSERT_EQ(Decode(kSrvAckDump, &m), WireStatus::kOk);
  EXPECT_EQ(std::get<SrvAck>(m.body).error, 0);
  EXPECT_EQ(m.header.xid, 0xabcd);
}

TEST(SlpWire, FlagsAreTheHighBitsOfByteFive) {
  std::string b = Encode(WithBody(SrvAck{}, 1, kFlagOverflow | kFlagFresh | kFlagRequestMcast));
  EXPECT_EQ(static_cast<unsigned char>(b[5]), 0xE0);
  EXPECT_EQ(static_cast<unsigned char>(b[6]), 0x00);
}

// A valid auth block: BSD 2, length 14, timestamp, SPI "ab", 2 bytes.
AuthBlock SampleAuth() {
  return {Bytes({0x00, 0x02, 0x00, 0x0e, 0, 0, 0, 1, 0x00, 0x02, 'a', 'b', 0x55, 0x66})};
}

std::vector<Message> OneOfEachType() {
  std::vector<Message> all;
  SrvRqst rq{"10.0.0.1,10.0.0.2", "service:printer", "default,other", "(&(a=1)(b=*))", "spi"};
  all.push_back(WithBody(rq, 1, kFlagRequestMcast));
  SrvRply rp;
  rp.urls.push_back({65535, "service:a://1.2.3.4", {SampleAuth()}});
  rp.urls.push_back({1, "ZemProxy://10.0.0.5:5000", {}});
  all.push_back(WithBody(rp, 2, kFlagOverflow));
  SrvReg reg;
  reg.entry = {600, "service:x://h:1", {}};
  reg.service_type = "service:x";
  reg.scopes = "DEFAULT";
  reg.attrs = "(addr=10.0.0.1),(mask=255.255.255.255),x-abone";
  reg.attr_auths.push_back(SampleAuth());
  all.push_back(WithBody(reg, 3, kFlagFresh));
  SrvDeReg dr;
  dr.scopes = "DEFAULT";
  dr.entry = {0, "service:x://h:1", {}};
  dr.tags = "addr,m*";
  all.push_back(WithBody(dr, 4));
  all.push_back(WithBody(SrvAck{error::kInvalidUpdate}, 5));
  all.push_back(WithBody(AttrRqst{"", "service:x", "DEFAULT", "a,b", ""}, 6));
  all.push_back(WithBody(AttrRply{0, "(a=1),(b=x y)", {}}, 7));
  DAAdvert ad{
      0,  123456, "service:directory-agent://127.0.0.1", "DEFAULT", "(min-refresh-interval=1)",
      "", {}};
  all.push_back(WithBody(ad, 0));
  SrvTypeRqst all_types;
  all_types.prlist = "1.1.1.1";
  all_types.scopes = "DEFAULT";
  all.push_back(WithBody(all_types, 9));
  SrvTypeRqst iana;
  iana.all_authorities = false;
  iana.scopes = "DEFAULT";
  all.push_back(WithBody(iana, 10));
  SrvTypeRqst acme = iana;
  acme.naming_authority = "acme";
  all.push_back(WithBody(acme, 11));
  all.push_back(WithBody(SrvTypeRply{0, "service:a,service:b.acme"}, 12));
  all.push_back(WithBody(SAAdvert{"service:service-agent://1.2.3.4", "DEFAULT", "", {}}, 13));
  Message ext = WithBody(SrvAck{}, 14);
  ext.extensions.push_back({0x0002, "abc"});
  ext.extensions.push_back({0x8001, ""});
  all.push_back(ext);
  return all;
}

// Compares via re-encoding: equal bytes means every field came back.
TEST(SlpWire, EveryMessageTypeRoundTrips) {
  std::vector<Message> all = OneOfEachType();
  std::vector<bool> seen(12, false);
  for (const Message& m : all) {
    std::string bytes = Encode(m);
    ASSERT_FALSE(bytes.empty());
    Message back;
    ASSERT_EQ(Decode(bytes, &back), WireStatus::kOk) << ToHex(bytes);
    EXPECT_EQ(back.header.function, FunctionOf(m.body));
    EXPECT_EQ(back.header.flags, m.header.flags);
    EXPECT_EQ(back.header.xid, m.header.xid);
    EXPECT_EQ(back.header.length, bytes.size());
    EXPECT_EQ(back.body.index(), m.body.index());
    EXPECT_EQ(back.extensions.size(), m.extensions.size());
    EXPECT_EQ(ToHex(Encode(back)), ToHex(bytes));
    seen[static_cast<size_t>(back.header.function)] = true;
  }
  for (int f = 1; f <= 11; ++f) EXPECT_TRUE(seen[f]) << "function " << f;
}

TEST(SlpWire, SrvTypeRqstNamingAuthorityForms) {
  for (const Message& m : OneOfEachType()) {
    const SrvTypeRqst* t = std::get_if<SrvTypeRqst>(&m.body);
    if (!t) continue;
    Message back;
    ASSERT_EQ(Decode(Encode(m), &back), WireStatus::kOk);
    const SrvTypeRqst& b = std::get<SrvTypeRqst>(back.body);
    EXPECT_EQ(b.all_authorities, t->all_authorities);
    EXPECT_EQ(b.naming_authority, t->naming_authority);
    EXPECT_EQ(b.scopes, "DEFAULT");
  }
}

TEST(SlpWire, ErrorReplyMayEndAfterErrorCode) {
  struct Case {
    Function f;
  } cases[] = {
      {Function::kSrvRply}, {Function::kAttrRply}, {Function::kSrvTypeRply}, {Function::kDAAdvert}};
  for (const Case& c : cases) {
    std::string b = Bytes({0x02, static_cast<int>(c.f), 0x00, 0x00, 0x12, 0, 0, 0, 0, 0, 0x00, 0x07,
                           0x00, 0x02, 'e', 'n', 0x00, 0x04});
    Message m;
    EXPECT_EQ(Decode(b, &m), WireStatus::kOk) << static_cast<int>(c.f);
    // The same short body without an error is a truncated message.
    b[17] = 0;
    EXPECT_NE(Decode(b, &m), WireStatus::kOk) << static_cast<int>(c.f);
  }
}

// Both agents take the reply to a request from one map: every request has
// exactly one reply whose error body carries the code, a SrvRqst may also
// be answered by a DAAdvert, and nothing else is ever answered.
TEST(SlpWire, RequestReplyMap) {
  struct Case {
    Function request, reply;
  } requests[] = {{Function::kSrvRqst, Function::kSrvRply},
                  {Function::kSrvReg, Function::kSrvAck},
                  {Function::kSrvDeReg, Function::kSrvAck},
                  {Function::kAttrRqst, Function::kAttrRply},
                  {Function::kSrvTypeRqst, Function::kSrvTypeRply}};
  for (const Case& c : requests) {
    Function reply;
    ASSERT_TRUE(ReplyFunction(c.request, &reply));
    EXPECT_EQ(reply, c.reply);
    Message m;
    m.header.lang = "en";
    ASSERT_TRUE(ErrorReplyBody(c.request, error::kScopeNotSupported, &m.body));
    EXPECT_EQ(FunctionOf(m.body), c.reply);
    Message back;
    ASSERT_EQ(Decode(Encode(m), &back), WireStatus::kOk);
    uint16_t code = 0xFFFF;
    if (auto* r = std::get_if<SrvRply>(&back.body)) code = r->error;
    if (auto* r = std::get_if<SrvAck>(&back.body)) code = r->error;
    if (auto* r = std::get_if<AttrRply>(&back.body)) code = r->error;
    if (auto* r = std::get_if<SrvTypeRply>(&back.body)) code = r->error;
    EXPECT_EQ(code, error::kScopeNotSupported);
    EXPECT_TRUE(AnswersRequest(c.request, c.reply));
    EXPECT_EQ(AnswersRequest(c.request, Function::kDAAdvert), c.request == Function::kSrvRqst);
  }
  for (Function f : {Function::kSrvRply, Function::kSrvAck, Function::kAttrRply,
                     Function::kDAAdvert, Function::kSrvTypeRply, Function::kSAAdvert,
                     static_cast<Function>(0), static_cast<Function>(12)}) {
    Function reply;
    Body body;
    EXPECT_FALSE(ReplyFunction(f, &reply)) << static_cast<int>(f);
    EXPECT_FALSE(ErrorReplyBody(f, error::kParseError, &body));
    EXPECT_FALSE(AnswersRequest(f, Function::kSrvRply));
  }
}

TEST(SlpWire, EveryTruncationIsRejected) {
  for (const Message& m : OneOfEachType()) {
    std::string bytes = Encode(m);
    for (size_t n = 0; n < bytes.size(); ++n) {
      Message out;
      // Cut short as received, and with Length adjusted to the cut so the
      // fields themselves overrun.
      EXPECT_NE(Decode(bytes.substr(0, n), &out), WireStatus::kOk);
      if (n >= 5) {
        std::string cut = bytes.substr(0, n);
        cut[2] = 0;
        cut[3] = static_cast<char>(n >> 8);
        cut[4] = static_cast<char>(n & 0xFF);
        EXPECT_NE(Decode(cut, &out), WireStatus::kOk)
            << "type " << m.body.index() << " cut at " << n;
      }
    }
  }
}

std::string SetLength(std::string b, uint32_t len) {
  b[2] = static_cast<char>(len >> 16);
  b[3] = static_cast<char>(len >> 8);
  b[4] = static_cast<char>(len);
  return b;
}

TEST(SlpWire, MalformedLengthsAreRejected) {
  const std::string rq = kSrvRqstDump;
  const std::string rp = kSrvRplyDump;
  auto patch = [](std::string b, size_t at, std::initializer_list<int> v) {
    for (int x : v) b[at++] = static_cast<char>(x);
    return b;
  };
  struct Case {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"length beyond datagram", SetLength(rq, 60)},
      {"length zero", SetLength(rq, 0)},
      {"length below header", SetLength(rq, 15)},
      {"language tag past end", patch(rq, 12, {0xFF, 0xFF})},
      {"prlist past end", patch(rq, 0x10, {0xFF, 0xFF})},
      {"service type past end", patch(rq, 0x12, {0x00, 0x30})},
      {"scope past end", patch(rq, 0x20, {0x00, 0x20})},
      {"predicate past end", patch(rq, 0x29, {0xFF, 0xFF})},
      {"spi past end", patch(rq, 0x30, {0x00, 0x01})},
      {"url length 0xffff", patch(rp, 0x17, {0xFF, 0xFF})},
      {"url count too large", patch(rp, 0x12, {0x00, 0x02})},
      {"url count huge", patch(rp, 0x12, {0xFF, 0xFF})},
      {"auth count without blocks", patch(rp, 0x36, {0x01})},
      {"bad version", patch(rq, 0, {0x01})},
      {"unknown function", patch(rq, 1, {0x0c})},
      {"function zero", patch(rq, 1, {0x00})},
      {"extension into header", patch(rq, 7, {0x00, 0x00, 0x05})},
      {"extension beyond length", patch(rq, 7, {0x00, 0x00, 0x40})},
      {"extension too close to end", patch(rq, 7, {0x00, 0x00, 0x2f})},
  };
  for (const Case& c : cases) {
    Message m;
    EXPECT_NE(Decode(c.bytes, &m), WireStatus::kOk) << c.what;
  }
}

TEST(SlpWire, LengthShorterThanDatagramIgnoresTheRest) {
  Message m;
  ASSERT_EQ(Decode(kSrvAckDump + "garbage", &m), WireStatus::kOk);
  EXPECT_EQ(m.header.length, 18u);
}

TEST(SlpWire, HeaderSurvivesBodyError) {
  std::string b = kSrvRqstDump;
  b[0x12] = 0x7F;  // service type length runs off the end
  Message m;
  EXPECT_EQ(Decode(b, &m), WireStatus::kBadLength);
  EXPECT_EQ(m.header.xid, 0x1234);
  EXPECT_EQ(m.header.lang, "en");
  EXPECT_EQ(WireStatusToError(WireStatus::kBadLength), error::kParseError);
  b[0] = 3;
  EXPECT_EQ(Decode(b, &m), WireStatus::kBadVersion);
  EXPECT_EQ(WireStatusToError(WireStatus::kBadVersion), error::kVerNotSupported);
}

// Builds a SrvAck followed by raw extension bytes whose offsets the test
// chooses.
std::string AckWithExtensions(uint32_t first, const std::string& ext_bytes) {
  std::string b = kSrvAckDump + ext_bytes;
  b = SetLength(b, static_cast<uint32_t>(b.size()));
  b[7] = static_cast<char>(first >> 16);
  b[8] = static_cast<char>(first >> 8);
  b[9] = static_cast<char>(first);
  return b;
}

TEST(SlpWire, ExtensionChainsMustRiseStrictly) {
  // Two extensions at 18 and 23.
  std::string two = Bytes({0x00, 0x01, 0x00, 0x00, 23, 0x00, 0x02, 0, 0, 0});
  Message m;
  ASSERT_EQ(Decode(AckWithExtensions(18, two), &m), WireStatus::kOk);
  ASSERT_EQ(m.extensions.size(), 2u);
  EXPECT_EQ(m.extensions[0].id, 1);
  EXPECT_EQ(m.extensions[1].id, 2);

  struct Case {
    const char* what;
    std::string ext;
  } bad[] = {
      {"points at itself", Bytes({0x00, 0x01, 0x00, 0x00, 18})},
      {"points back", Bytes({0x00, 0x01, 0x00, 0x00, 23, 0x00, 0x02, 0, 0, 18})},
      {"next inside the header of this one", Bytes({0x00, 0x01, 0x00, 0x00, 20, 0, 0, 0, 0, 0})},
      {"next beyond length", Bytes({0x00, 0x01, 0x00, 0x01, 0x00})},
  };
  for (const Case& c : bad) {
    EXPECT_EQ(Decode(AckWithExtensions(18, c.ext), &m), WireStatus::kBadExtension) << c.what;
  }
}

TEST(SlpWire, AuthBlockLengthRules) {
  SrvRply rp;
  rp.urls.push_back({10, "u://1.2.3.4", {SampleAuth()}});
  std::string good = Encode(WithBody(rp));
  Message m;
  ASSERT_EQ(Decode(good, &m), WireStatus::kOk);
  // Auth block starts after header(16) + error/count(4) + entry head(5) +
  // url(11) + count(1).
  size_t at = 16 + 4 + 5 + 11 + 1;
  struct Case {
    const char* what;
    int len;
    int spi_len;
  } cases[] = {{"block shorter than 10", 8, 0},
               {"block shorter than 10 + SPI", 11, 2},
               {"block longer than what remains", 40, 2}};
  for (const Case& c : cases) {
    std::string b = good;
    b[at + 3] = static_cast<char>(c.len);
    b[at + 9] = static_cast<char>(c.spi_len);
    EXPECT_NE(Decode(b, &m), WireStatus::kOk) << c.what;
  }
}

TEST(SlpWire, SrvTypeRqstAllAuthoritiesHasNoStringBytes) {
  SrvTypeRqst t;
  t.scopes = "DEFAULT";
  std::string b = Encode(WithBody(t));
  // header 16 + prlist 2 + 0xFFFF 2 + scopes 2+7
  ASSERT_EQ(b.size(), 29u);
  EXPECT_EQ(static_cast<unsigned char>(b[18]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(b[19]), 0xFF);
  // Reading 0xFFFF as a byte count would run far past the end.
  Message m;
  ASSERT_EQ(Decode(b, &m), WireStatus::kOk);
  EXPECT_TRUE(std::get<SrvTypeRqst>(m.body).all_authorities);
}

TEST(SlpWire, OversizeFieldsRefuseToEncode) {
  SrvRqst rq;
  rq.service_type = std::string(70000, 'x');
  std::string out;
  EXPECT_EQ(Encode(WithBody(rq), &out), WireStatus::kTooLarge);
  EXPECT_TRUE(Encode(WithBody(rq)).empty());
  SrvTypeRqst t;
  t.all_authorities = false;
  t.naming_authority = std::string(0xFFFF, 'a');
  EXPECT_EQ(Encode(WithBody(t), &out), WireStatus::kTooLarge);
}

TEST(SlpWire, PeekLengthForStreams) {
  EXPECT_EQ(PeekLength(reinterpret_cast<const uint8_t*>(kSrvRplyDump.data()), 5), 55u);
  EXPECT_EQ(PeekLength(reinterpret_cast<const uint8_t*>(kSrvRplyDump.data()), 4), 0u);
}

}  // namespace
}  // namespace slp
}  // namespace orvel
