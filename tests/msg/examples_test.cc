// One document of every message type, written out by hand and reproduced
// byte for byte by the build constructors; docs/messages.md shows the same
// documents and is checked against them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "msg_test_util.h"

using msgtest::A;
using msgtest::Doc;
using msgtest::Dump;
using msgtest::Parse;

namespace {

struct Example {
  const char* name;
  std::function<std::unique_ptr<Msg>()> build;
  const char* body;  // the root element as one line
};

EndZone Zone(const char* addr, const char* mask, const char* ep) {
  EndZone z(A(addr), A(mask));
  z.setEP(A(ep));
  return z;
}

const Example kExamples[] = {
    {"ZemCommitOk", [] { return std::make_unique<ZemCommitOk>(1000, 1000); },
     "<ZemCommitOk><id>1000</id><version>1000</version></ZemCommitOk>"},
    {"ZemInitOk", [] { return std::make_unique<ZemInitOk>(1000, 1000, A("10.0.0.1"), 0); },
     "<ZemInitOk><id>1000</id><version>1000</version><data_addr>10.0.0.1</data_addr>"
     "<ttl>0</ttl></ZemInitOk>"},
    {"ZemInit", [] { return std::make_unique<ZemInit>(1000, 1000, 7560); },
     "<ZemInit><id>1000</id><version>1000</version><data_port>7560"
     "</data_port></ZemInit>"},
    {"ZemCommit",
     [] {
       std::vector<TransportEndPoint> members{{A("10.0.0.1"), 7560}, {A("10.0.0.2"), 7560}};
       return std::make_unique<ZemCommit>(1000, 1000, A("224.5.6.7"), 7560, 0, members);
     },
     "<ZemCommit><id>1000</id><version>1000</version><data_addr>224.5.6.7"
     "</data_addr><data_port>7560</data_port><ttl>0</ttl><memberlist num=\"2\">"
     "<member><addr>10.0.0.1</addr><port>7560</port></member><member><addr>"
     "10.0.0.2</addr><port>7560</port></member></memberlist></ZemCommit>"},
    {"SynthZemReq",
     [] {
       std::vector<EndPoint> eps{EndPoint(A("10.0.0.1")), EndPoint(A("10.0.0.2"))};
       std::vector<EndZone> zones{Zone("10.1.0.0", "255.255.0.0", "10.1.0.5")};
       return std::make_unique<SynthZemReq>(5, 7, eps, zones);
     },
     "<SynthZemReq><id>5</id><version>7</version><endpointlist num=\"2\">"
     "<endpoint>10.0.0.1</endpoint><endpoint>10.0.0.2</endpoint></endpointlist>"
     "<zonelist num=\"1\"><zone><addr>10.1.0.0</addr><mask>255.255.0.0</mask>"
     "<ep>83886346</ep></zone></zonelist></SynthZemReq>"},
    {"SynthZemOk",
     [] {
       std::vector<MulticastEndPoint> ept{{A("224.5.6.7"), 7560, 0}, {A("224.5.6.7"), 7560, 0}};
       std::vector<MulticastEndPoint> zt{{A("225.5.6.7"), 7560, 1}};
       return std::make_unique<SynthZemOk>(5, 7, ept, zt);
     },
     "<SynthZemOk><id>5</id><version>7</version><eptransportlist num=\"2\">"
     "<eptransport><addr>224.5.6.7</addr><port>7560</port><ttl>0</ttl>"
     "</eptransport><eptransport><addr>224.5.6.7</addr><port>7560</port>"
     "<ttl>0</ttl></eptransport></eptransportlist><zonetransportlist num=\"1\">"
     "<zonetransport><addr>225.5.6.7</addr><port>7560</port><ttl>1</ttl>"
     "</zonetransport></zonetransportlist></SynthZemOk>"},
    {"SynthVGWReq",
     [] {
       std::vector<vicSDREndPoint> vics{{"user1", A("10.0.0.5"), A("224.2.0.1"), 5004, 16}};
       std::vector<NetmeetingEndPoint> nms{{"user2", A("10.0.0.9")}};
       return std::make_unique<SynthVGWReq>(7, 8, A("224.2.0.1"), 5004, 16, vics, nms);
     },
     "<SynthVGWReq><id>7</id><version>8</version><vgwdataaddr>224.2.0.1"
     "</vgwdataaddr><vgwdataport>5004</vgwdataport><vgwttl>16</vgwttl>"
     "<vicsdrlist num=\"1\"><vicsdr><user>user1</user><addr>10.0.0.5</addr>"
     "<dataaddr>224.2.0.1</dataaddr><dataport>5004</dataport><ttl>16</ttl>"
     "</vicsdr></vicsdrlist><netmeetinglist num=\"1\"><netmeeting><user>user2"
     "</user><addr>10.0.0.9</addr></netmeeting></netmeetinglist></"
     "SynthVGWReq>"},
    {"SynthVGWOk", [] { return std::make_unique<SynthVGWOk>(7, 8); },
     "<SynthVGWOk><id>7</id><version>8</version></SynthVGWOk>"},
    {"SynthIPMZReq",
     [] {
       std::vector<EndPoint> eps{EndPoint(A("10.1.0.5")), EndPoint(A("10.2.3.4"))};
       return std::make_unique<SynthIPMZReq>(7, 8, eps);
     },
     "<SynthIPMZReq><id>7</id><version>8</version><endpointlist num=\"2\"><endpoint>"
     "10.1.0.5</endpoint><endpoint>10.2.3.4</endpoint></endpointlist></SynthIPMZReq>"},
    {"SynthIPMZOk",
     [] {
       std::vector<EndZone> zones{EndZone(A("10.1.0.0"), A("255.255.0.0")),
                                  EndZone(A("10.2.3.0"), A("255.255.255.0"))};
       return std::make_unique<SynthIPMZOk>(7, 9, zones, std::vector<uint32_t>{0, 0, 1});
     },
     "<SynthIPMZOk><id>7</id><version>9</version><zonelist num=\"2\"><zone>"
     "<addr>10.1.0.0</addr><mask>255.255.0.0</mask></zone><zone><addr>10.2.3.0"
     "</addr><mask>255.255.255.0</mask></zone></zonelist><idxlist num=\"3\">"
     "<idx>0</idx><idx>0</idx><idx>1</idx></idxlist></SynthIPMZOk>"},
    {"SynthInit",
     [] {
       std::vector<VCEndPoint> vic{{"user1", A("10.0.0.5")}};
       std::vector<VCEndPoint> wb{{"user2", A("10.0.0.9")}};
       std::vector<VCEndPoint> none;
       return std::make_unique<SynthInit>(7, 8, vic, none, none, none, wb, "intro");
     },
     "<SynthInit><id>7</id><version>8</version><viclist num=\"1\"><vic><user>"
     "user1</user><addr>10.0.0.5</addr></vic></viclist><mcviclist num=\"0\"/>"
     "<nmlist num=\"0\"/><hhlist num=\"0\"/><wblist num=\"1\"><wb><user>user2"
     "</user><addr>10.0.0.9</addr></wb></wblist><moviename>intro</moviename>"
     "</SynthInit>"},
    {"SynthInitOk", [] { return std::make_unique<SynthInitOk>(7, 8); },
     "<SynthInitOk><id>7</id><version>8</version></SynthInitOk>"},
    {"DynamicInit",
     [] {
       return std::make_unique<DynamicInit>(7, 8, std::vector<std::string>{"proxy", "5000"});
     },
     "<DynamicInit><id>7</id><version>8</version><argv num=\"2\"><arg>proxy"
     "</arg><arg>5000</arg></argv></DynamicInit>"},
    {"DynamicInitResp", [] { return std::make_unique<DynamicInitResp>(7, 9, -2); },
     "<DynamicInitResp><id>7</id><version>9</version><status>-2</status>"
     "</DynamicInitResp>"},
    {"PELMQueryReq",
     [] {
       std::vector<PELMNode> clients{PELMNode(std::vector<double>{12.5, -3.25})};
       std::vector<PELMNode> candidates{PELMNode(std::vector<double>{10.0, 0.0}),
                                        PELMNode(std::vector<double>{40.0, 7.125})};
       return std::make_unique<PELMQueryReq>(7, 8, 0, 1, clients, candidates,
                                             std::vector<int32_t>{10, 4},
                                             std::vector<int32_t>{1, 3});
     },
     "<PELMQueryReq><id>7</id><version>8</version><sol_rank>0</sol_rank>"
     "<num_proxy>1</num_proxy><clientlist num=\"1\"><client num=\"2\"><coord>"
     "12.500000</coord><coord>-3.250000</coord></client></clientlist>"
     "<candidatelist num=\"2\"><candidate num=\"2\"><coord>10.000000</coord>"
     "<coord>0.000000</coord></candidate><candidate num=\"2\"><coord>40.000000"
     "</coord><coord>7.125000</coord></candidate></candidatelist>"
     "<capacitylist num=\"2\"><capacity>10</capacity><capacity>4</capacity>"
     "</capacitylist><costlist num=\"2\"><cost>1</cost><cost>3</cost>"
     "</costlist></PELMQueryReq>"},
    {"PELMQueryResp",
     [] { return std::make_unique<PELMQueryResp>(7, 9, std::vector<int32_t>{0}, 2.75); },
     "<PELMQueryResp><id>7</id><version>9</version><idxlist num=\"1\"><idx>0"
     "</idx></idxlist><fitness>2.750000</fitness></PELMQueryResp>"},
};

void PrintTo(const Example& c, std::ostream* os) { *os << c.name; }

class ExampleTest : public testing::TestWithParam<Example> {};

// Builds without letting trace lines into the log.
std::unique_ptr<Msg> BuildQuietly(const Example& e) {
  testing::internal::CaptureStdout();
  std::unique_ptr<Msg> m = e.build();
  fflush(stdout);
  testing::internal::GetCapturedStdout();
  return m;
}

TEST_P(ExampleTest, BuildWritesTheExampleBytes) {
  EXPECT_EQ(Dump(*BuildQuietly(GetParam())), Doc(GetParam().body));
}

INSTANTIATE_TEST_SUITE_P(All, ExampleTest, testing::ValuesIn(kExamples),
                         [](const testing::TestParamInfo<Example>& info) {
                           return std::string(info.param.name);
                         });

// The xml blocks of the integrators' reference, by root element.
std::map<std::string, std::string> ReferenceBlocks(std::vector<std::string>* twice) {
  std::ifstream in(ORVEL_MESSAGES_MD);
  std::map<std::string, std::string> blocks;
  std::string line, text;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!inside) {
      inside = line == "```xml";
      text.clear();
      continue;
    }
    if (line != "```") {
      text += line + "\n";
      continue;
    }
    inside = false;
    size_t open = text.find("\n<");
    size_t end = text.find_first_of("> /", open + 2);
    std::string root = open == std::string::npos ? "" : text.substr(open + 2, end - open - 2);
    if (!blocks.emplace(root, text).second) twice->push_back(root);
  }
  return blocks;
}

TEST(Reference, ShowsEveryTypeAsTheLibraryWritesIt) {
  const std::set<std::string> types = {
      Msg::SynthInit,   Msg::SynthZemReq,     Msg::SynthVGWReq,  Msg::SynthIPMZReq,
      Msg::ZemInit,     Msg::ZemCommit,       Msg::DynamicInit,  Msg::SynthInitOk,
      Msg::SynthZemOk,  Msg::SynthVGWOk,      Msg::SynthIPMZOk,  Msg::ZemInitOk,
      Msg::ZemCommitOk, Msg::DynamicInitResp, Msg::PELMQueryReq, Msg::PELMQueryResp};
  ASSERT_EQ(types.size(), 16u);
  std::set<std::string> built;
  for (const Example& e : kExamples) built.insert(e.name);
  EXPECT_EQ(built, types) << "one example per document type";

  std::vector<std::string> twice;
  const auto blocks = ReferenceBlocks(&twice);
  EXPECT_TRUE(twice.empty()) << "shown twice: " << testing::PrintToString(twice);
  for (const Example& e : kExamples) {
    const std::string want = Dump(*BuildQuietly(e));
    auto it = blocks.find(e.name);
    if (it == blocks.end()) {
      ADD_FAILURE() << ORVEL_MESSAGES_MD << " lacks the " << e.name << " example:\n```xml\n"
                    << want << "```";
      continue;
    }
    EXPECT_EQ(it->second, want) << e.name << " in " << ORVEL_MESSAGES_MD;
  }
  for (const auto& [root, text] : blocks)
    EXPECT_TRUE(types.count(root)) << "a block whose root is not a document type: " << text;
}

TEST(SynthZemReqTrace, SetAndGetLines) {
  std::vector<EndZone> zones{Zone("10.1.0.0", "255.255.0.0", "10.1.0.5"),
                             Zone("10.0.0.0", "255.255.255.0", "10.0.0.200")};
  testing::internal::CaptureStdout();
  SynthZemReq req(5, 7, {}, zones);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "orvel: setEP 83886346 -> 83886346\n"
            "orvel: setEP -939524086 -> -939524086\n");
  std::string text = Dump(req);
  EXPECT_NE(text.find("<ep>-939524086</ep>"), std::string::npos);

  testing::internal::CaptureStdout();
  SynthZemReq back(Parse(text));
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "orvel: getEP 83886346 -> 83886346\n"
            "orvel: getEP -939524086 -> -939524086\n");
  ASSERT_EQ(back.getZoneVec().size(), 2u);
  EXPECT_EQ(back.getZoneVec()[1].getEP(), A("10.0.0.200"));
  EXPECT_EQ(back.getZoneVec()[0].getEP(), A("10.1.0.5"));
}

// Lines collected by the hook below (one test thread).
std::vector<std::string>* g_traced = nullptr;
void Collect(const char* line) { g_traced->push_back(line); }

TEST(SynthZemReqTrace, LinesGoThroughTheHook) {
  ASSERT_EQ(getMsgTraceHook(), &stdoutMsgTrace) << "standard output is the default";
  std::vector<std::string> lines;
  g_traced = &lines;
  std::vector<EndZone> zones{Zone("10.1.0.0", "255.255.0.0", "10.1.0.5")};
  testing::internal::CaptureStdout();
  setMsgTraceHook(Collect);
  SynthZemReq req(5, 7, {}, zones);
  SynthZemReq back(Parse(Dump(req)));
  setMsgTraceHook(nullptr);  // dropped
  SynthZemReq quiet(5, 7, {}, zones);
  SynthZemReq quiet_back(Parse(Dump(quiet)));
  setMsgTraceHook(stdoutMsgTrace);
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "a hook replaces standard output";
  EXPECT_EQ(lines, (std::vector<std::string>{"orvel: setEP 83886346 -> 83886346\n",
                                             "orvel: getEP 83886346 -> 83886346\n"}));
  EXPECT_EQ(quiet_back.getZoneVec()[0].getEP(), A("10.1.0.5")) << "dropping lines changes no value";
  g_traced = nullptr;
}

TEST(SynthZemReqTrace, NoZonesNoLines) {
  testing::internal::CaptureStdout();
  SynthZemReq req(1, 2, {EndPoint(A("10.0.0.1"))}, {});
  SynthZemReq back(Parse(Dump(req)));
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_NE(Dump(req).find("<zonelist num=\"0\"/>"), std::string::npos);
  EXPECT_TRUE(back.getZoneVec().empty());
}

TEST(SynthZemReqTrace, NonNumericEpReadsZero) {
  testing::internal::CaptureStdout();
  SynthZemReq back(
      Parse("<SynthZemReq><id>1</id><version>2</version><endpointlist num=\"0\"/>"
            "<zonelist num=\"1\"><zone><addr>10.1.0.0</addr><mask>bad</mask>"
            "<ep>abc</ep></zone></zonelist></SynthZemReq>"));
  fflush(stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "orvel: getEP abc -> 0\n");
  ASSERT_TRUE(back.isValid());
  EXPECT_EQ(back.getZoneVec()[0].getEP(), 0u);
  EXPECT_EQ(back.getZoneVec()[0].getMask(), 0u);
}

}  // namespace
