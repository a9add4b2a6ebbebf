// Every message class: build, serialise, parse, construct through the
// transports' factory, and compare every field.
#include <gtest/gtest.h>

#include <functional>

#include "msg_test_util.h"

using msgtest::A;
using msgtest::Dump;
using msgtest::Parse;

namespace {

void ExpectSame(const EndPoint& a, const EndPoint& b) { EXPECT_EQ(a.getAddr(), b.getAddr()); }
void ExpectSame(const EndZone& a, const EndZone& b, bool with_ep) {
  EXPECT_EQ(a.getAddr(), b.getAddr());
  EXPECT_EQ(a.getMask(), b.getMask());
  if (with_ep) {
    EXPECT_EQ(a.getEP(), b.getEP());
  }
}
void ExpectSame(const TransportEndPoint& a, const TransportEndPoint& b) {
  EXPECT_EQ(a.getAddr(), b.getAddr());
  EXPECT_EQ(a.getPort(), b.getPort());
  EXPECT_FALSE(b.isAboneNode());  // the flag does not travel
}
void ExpectSame(const MulticastEndPoint& a, const MulticastEndPoint& b) {
  ExpectSame(static_cast<const TransportEndPoint&>(a), b);
  EXPECT_EQ(a.getTTL(), b.getTTL());
}
void ExpectSame(const vicSDREndPoint& a, const vicSDREndPoint& b) {
  EXPECT_EQ(a.getUsername(), b.getUsername());
  EXPECT_EQ(a.getAddr(), b.getAddr());
  EXPECT_EQ(a.getDataAddr(), b.getDataAddr());
  EXPECT_EQ(a.getDataPort(), b.getDataPort());
  EXPECT_EQ(a.getTTL(), b.getTTL());
}
void ExpectSame(const NetmeetingEndPoint& a, const NetmeetingEndPoint& b) {
  EXPECT_EQ(a.getUsername(), b.getUsername());
  EXPECT_EQ(a.getAddr(), b.getAddr());
}
void ExpectSame(const VCEndPoint& a, const VCEndPoint& b) {
  EXPECT_EQ(a.getUsername(), b.getUsername());
  EXPECT_EQ(a.getAddr(), b.getAddr());
}
void ExpectSame(const PELMNode& a, const PELMNode& b) {
  EXPECT_EQ(a.getCoordinates(), b.getCoordinates());
}

template <typename T>
void ExpectSameList(const std::vector<T>& a, const std::vector<T>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    ExpectSame(a[i], b[i]);
  }
}

struct Case {
  std::string name;
  bool request;
  std::function<std::unique_ptr<Msg>()> build;
  std::function<void(Msg& built, Msg& parsed)> compare;
};

template <typename T>
Case Make(
    const char* name, bool request, std::function<std::unique_ptr<T>()> build,
    std::function<void(T&, T&)> compare = [](T&, T&) {}) {
  return Case{name, request, [build] { return std::unique_ptr<Msg>(build()); },
              [compare](Msg& built, Msg& parsed) {
                T* b = dynamic_cast<T*>(&built);
                T* p = dynamic_cast<T*>(&parsed);
                ASSERT_NE(b, nullptr);
                ASSERT_NE(p, nullptr) << "factory built the wrong class";
                compare(*b, *p);
              }};
}

EndZone Zone(const char* addr, const char* mask, const char* ep) {
  EndZone z(A(addr), A(mask));
  z.setEP(A(ep));
  return z;
}

const std::vector<VCEndPoint> kVC{
    {"alice <a>", A("10.0.0.5")}, {"R&D", A("192.168.200.255")}, {"", 0}};

// One row per message type with every field set; a table, so longer than
// a function should be.
std::vector<Case> Cases() {
  return {
      Make<ZemInit>(
          "ZemInit", true, [] { return std::make_unique<ZemInit>(1, 2, 65535); },
          [](ZemInit& b, ZemInit& p) {
            EXPECT_EQ(b.getPort(), p.getPort());
            EXPECT_EQ(p.getPortStr(), "65535");
          }),
      Make<ZemInitOk>(
          "ZemInitOk", false,
          [] { return std::make_unique<ZemInitOk>(3, 4, A("239.255.0.200"), 255); },
          [](ZemInitOk& b, ZemInitOk& p) {
            EXPECT_EQ(b.getAddr(), p.getAddr());
            EXPECT_EQ(p.getAddrStr(), "239.255.0.200");
            EXPECT_EQ(b.getTTL(), p.getTTL());
          }),
      Make<ZemCommit>(
          "ZemCommit", true,
          [] {
            std::vector<TransportEndPoint> m{{A("10.0.0.1"), 7560}, {A("10.0.0.250"), 65535}};
            m[0].setAboneNode();
            return std::make_unique<ZemCommit>(5, 6, A("224.5.6.7"), 7560, 0, m);
          },
          [](ZemCommit& b, ZemCommit& p) {
            EXPECT_EQ(b.getAddr(), p.getAddr());
            EXPECT_EQ(b.getPort(), p.getPort());
            EXPECT_EQ(b.getTTL(), p.getTTL());
            ExpectSameList(b.getMemberVec(), p.getMemberVec());
          }),
      Make<ZemCommitOk>("ZemCommitOk", false, [] { return std::make_unique<ZemCommitOk>(7, 8); }),
      Make<SynthZemReq>(
          "SynthZemReq", true,
          [] {
            return std::make_unique<SynthZemReq>(
                9, 10,
                std::vector<EndPoint>{EndPoint(A("10.0.0.1")), EndPoint(A("255.255.255.255"))},
                std::vector<EndZone>{Zone("10.1.0.0", "255.255.0.0", "10.1.0.5"),
                                     Zone("10.0.0.0", "255.255.255.0", "10.0.0.200"),
                                     Zone("0.0.0.0", "0.0.0.0", "255.255.255.255")});
          },
          [](SynthZemReq& b, SynthZemReq& p) {
            ExpectSameList(b.getEPVec(), p.getEPVec());
            ASSERT_EQ(b.getZoneVec().size(), p.getZoneVec().size());
            for (size_t i = 0; i < b.getZoneVec().size(); ++i) {
              ExpectSame(b.getZoneVec()[i], p.getZoneVec()[i], true);
            }
          }),
      Make<SynthZemOk>(
          "SynthZemOk", false,
          [] {
            return std::make_unique<SynthZemOk>(
                11, 12,
                std::vector<MulticastEndPoint>{{A("224.5.6.7"), 7560, 0},
                                               {A("224.5.6.8"), 7562, 255}},
                std::vector<MulticastEndPoint>{{A("225.5.6.7"), 1, 1}});
          },
          [](SynthZemOk& b, SynthZemOk& p) {
            ExpectSameList(b.getEPTVec(), p.getEPTVec());
            ExpectSameList(b.getZoneTVec(), p.getZoneTVec());
          }),
      Make<SynthVGWReq>(
          "SynthVGWReq", true,
          [] {
            return std::make_unique<SynthVGWReq>(
                13, 14, A("224.2.0.1"), 65535, 255,
                std::vector<vicSDREndPoint>{{"user1", A("10.0.0.5"), A("224.2.0.1"), 5004, 16},
                                            {"x&y <z>", A("10.0.0.6"), A("224.2.0.2"), 0, 0}},
                std::vector<NetmeetingEndPoint>{{"user2", A("10.0.0.9")}});
          },
          [](SynthVGWReq& b, SynthVGWReq& p) {
            EXPECT_EQ(b.getVGWDataAddr(), p.getVGWDataAddr());
            EXPECT_EQ(p.getVGWDataAddrStr(), "224.2.0.1");
            EXPECT_EQ(b.getVGWDataPort(), p.getVGWDataPort());
            EXPECT_EQ(b.getVGWTTL(), p.getVGWTTL());
            ExpectSameList(b.getVicVec(), p.getVicVec());
            ExpectSameList(b.getNMVec(), p.getNMVec());
          }),
      Make<SynthVGWOk>("SynthVGWOk", false, [] { return std::make_unique<SynthVGWOk>(15, 16); }),
      Make<SynthIPMZReq>(
          "SynthIPMZReq", true,
          [] {
            return std::make_unique<SynthIPMZReq>(
                17, 18, std::vector<EndPoint>{EndPoint(A("10.0.0.1")), EndPoint(0)});
          },
          [](SynthIPMZReq& b, SynthIPMZReq& p) { ExpectSameList(b.getEPVec(), p.getEPVec()); }),
      Make<SynthIPMZOk>(
          "SynthIPMZOk", false,
          [] {
            return std::make_unique<SynthIPMZOk>(
                19, 20, std::vector<EndZone>{Zone("10.1.0.0", "255.255.0.0", "10.1.0.5")},
                std::vector<uint32_t>{0, 4294967295u, 2147483648u, 7});
          },
          [](SynthIPMZOk& b, SynthIPMZOk& p) {
            ASSERT_EQ(p.getZoneVec().size(), 1u);
            ExpectSame(b.getZoneVec()[0], p.getZoneVec()[0], false);
            EXPECT_EQ(p.getZoneVec()[0].getEP(), 0u);  // not carried
            EXPECT_EQ(b.getIdxVec(), p.getIdxVec());
          }),
      Make<SynthInit>(
          "SynthInit", true,
          [] {
            std::vector<VCEndPoint> one{kVC[0]}, other{kVC[1]}, none;
            return std::make_unique<SynthInit>(21, 22, kVC, one, none, other, kVC, "intro & outro");
          },
          [](SynthInit& b, SynthInit& p) {
            ExpectSameList(b.getVicVec(), p.getVicVec());
            ExpectSameList(b.getMCVicVec(), p.getMCVicVec());
            ExpectSameList(b.getNMVec(), p.getNMVec());
            ExpectSameList(b.getHHVec(), p.getHHVec());
            ExpectSameList(b.getWBVec(), p.getWBVec());
            EXPECT_EQ(b.getMovieName(), p.getMovieName());
          }),
      Make<SynthInitOk>("SynthInitOk", false, [] { return std::make_unique<SynthInitOk>(23, 24); }),
      Make<DynamicInit>(
          "DynamicInit", true,
          [] {
            return std::make_unique<DynamicInit>(
                25, 26, std::vector<std::string>{"proxy", "", "a b", "-x=<1>"});
          },
          [](DynamicInit& b, DynamicInit& p) { EXPECT_EQ(b.getARGV(), p.getARGV()); }),
      Make<DynamicInitResp>(
          "DynamicInitResp", false,
          [] { return std::make_unique<DynamicInitResp>(27, 28, DynamicInitResp::PortInUse); },
          [](DynamicInitResp& b, DynamicInitResp& p) { EXPECT_EQ(b.getStatus(), p.getStatus()); }),
      Make<PELMQueryReq>(
          "PELMQueryReq", true,
          [] {
            std::vector<PELMNode> clients{PELMNode(std::vector<double>{12.5, -3.25}), PELMNode()};
            std::vector<PELMNode> candidates{PELMNode(std::vector<double>{1.0, 2.0, 3.0}),
                                             PELMNode(std::vector<double>{-0.5})};
            return std::make_unique<PELMQueryReq>(29, 30, -1, -7, clients, candidates,
                                                  std::vector<int32_t>{10, -4},
                                                  std::vector<int32_t>{INT32_MIN});
          },
          [](PELMQueryReq& b, PELMQueryReq& p) {
            EXPECT_EQ(b.getSolutionRank(), p.getSolutionRank());
            EXPECT_EQ(b.getNumProxiesPerSolution(), p.getNumProxiesPerSolution());
            ExpectSameList(b.getClientVec(), p.getClientVec());
            ExpectSameList(b.getCandidateVec(), p.getCandidateVec());
            EXPECT_EQ(b.getCapacityVec(), p.getCapacityVec());
            EXPECT_EQ(b.getCostVec(), p.getCostVec());
          }),
      Make<PELMQueryResp>(
          "PELMQueryResp", false,
          [] {
            return std::make_unique<PELMQueryResp>(4294967295u, 0, std::vector<int32_t>{0, -1, 5},
                                                   -2.75);
          },
          [](PELMQueryResp& b, PELMQueryResp& p) {
            EXPECT_EQ(b.getIndexVec(), p.getIndexVec());
            EXPECT_EQ(b.getFitness(), p.getFitness());
          }),
  };
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class RoundTrip : public testing::TestWithParam<Case> {};

TEST_P(RoundTrip, EveryFieldSurvives) {
  const Case& c = GetParam();
  testing::internal::CaptureStdout();  // SynthZemReq traces its zones
  std::unique_ptr<Msg> built = c.build();
  std::string text = Dump(*built);
  bool unknown = true;
  std::unique_ptr<Msg> parsed(c.request ? newRequestMsgFromDoc(Parse(text), &unknown)
                                        : newReplyMsgFromDoc(Parse(text), &unknown));
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(parsed, nullptr);
  EXPECT_FALSE(unknown);
  EXPECT_EQ(parsed->getType(), c.name);
  EXPECT_EQ(parsed->getId(), built->getId());
  EXPECT_EQ(parsed->getVersion(), built->getVersion());
  c.compare(*built, *parsed);
  // The document it was read from is the one it now serialises.
  EXPECT_EQ(Dump(*parsed), text);
}

TEST_P(RoundTrip, OtherFactoryDoesNotKnowTheType) {
  const Case& c = GetParam();
  testing::internal::CaptureStdout();
  std::string text = Dump(*c.build());
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  bool unknown = false;
  Msg* other = c.request ? newReplyMsgFromDoc(Parse(text), &unknown)
                         : newRequestMsgFromDoc(Parse(text), &unknown);
  EXPECT_EQ(other, nullptr);
  EXPECT_TRUE(unknown);
  delete other;
}

INSTANTIATE_TEST_SUITE_P(AllSixteen, RoundTrip, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

}  // namespace
