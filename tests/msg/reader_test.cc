// Reading received documents: list counts, names, layout, refusal of
// incomplete or oversized documents, and the mended writer faults.
#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cmath>
#include <cstdlib>

#include "msg_test_util.h"

using msgtest::A;
using msgtest::Doc;
using msgtest::Dump;
using msgtest::Parse;
using msgtest::Reparse;

namespace {

const char kEnv[] = "<id>1</id><version>2</version>";

std::string Wrap(const std::string& root, const std::string& body) {
  return "<" + root + ">" + kEnv + body + "</" + root + ">";
}

TEST(ListRules, NumDecidesTheEntryCount) {
  // num 3 with two entries: the third is a default entry.
  SynthZemReq more(Parse(Wrap("SynthZemReq",
                              "<endpointlist num=\"3\"><endpoint>10.0.0.1"
                              "</endpoint><endpoint>10.0.0.2</endpoint>"
                              "</endpointlist><zonelist num=\"0\"/>")));
  ASSERT_TRUE(more.isValid());
  ASSERT_EQ(more.getEPVec().size(), 3u);
  EXPECT_EQ(more.getEPVec()[1].getAddr(), A("10.0.0.2"));
  EXPECT_EQ(more.getEPVec()[2].getAddr(), 0u);
  // num 1 with two entries: the surplus is ignored.
  SynthVGWReq fewer(
      Parse(Wrap("SynthVGWReq",
                 "<a>224.2.0.1</a><b>5004</b><c>16</c><vicsdrlist num=\"3\"><vicsdr>"
                 "<user>u1</user><addr>10.0.0.5</addr><dataaddr>224.2.0.1</dataaddr>"
                 "<dataport>5004</dataport><ttl>16</ttl></vicsdr></vicsdrlist>"
                 "<netmeetinglist num=\"1\"><netmeeting><user>n1</user><addr>10.0.0.9"
                 "</addr></netmeeting><netmeeting><user>n2</user><addr>10.0.0.10</addr>"
                 "</netmeeting></netmeetinglist>")));
  ASSERT_TRUE(fewer.isValid());
  ASSERT_EQ(fewer.getVicVec().size(), 3u);
  EXPECT_EQ(fewer.getVicVec()[0].getUsername(), "u1");
  EXPECT_EQ(fewer.getVicVec()[2].getTTL(), 64);  // vicSDREndPoint default
  EXPECT_EQ(fewer.getVicVec()[2].getUsername(), "");
  ASSERT_EQ(fewer.getNMVec().size(), 1u);
  EXPECT_EQ(fewer.getNMVec()[0].getUsername(), "n1");
}

TEST(ListRules, CoordinateNodesCarryTheirOwnCounts) {
  PELMQueryReq q(Parse(Wrap("PELMQueryReq",
                            "<r>99999999999</r><n>4294967295</n><clientlist num=\"2\"><client "
                            "num=\"3\">"
                            "<coord>1.5</coord><coord>2.5</coord></client><client num=\"2\">"
                            "<coord>7</coord><coord>8</coord><coord>9</coord></client></clientlist>"
                            "<candidatelist num=\"1\"><candidate num=\"0\"/></candidatelist>"
                            "<capacitylist num=\"3\"><capacity>-3</capacity><capacity>"
                            "4294967296</capacity></capacitylist>"
                            "<costlist num=\"0\"/>")));
  ASSERT_TRUE(q.isValid());
  // Beyond 32 bits saturates at 4294967295 before narrowing (not the low
  // bits of the wide value).
  EXPECT_EQ(q.getSolutionRank(), -1);
  EXPECT_EQ(q.getNumProxiesPerSolution(), -1);
  ASSERT_EQ(q.getClientVec().size(), 2u);
  EXPECT_EQ(q.getClientVec()[0].getCoordinates(), (std::vector<double>{1.5, 2.5, 0.0}));
  EXPECT_EQ(q.getClientVec()[1].getCoordinates(), (std::vector<double>{7.0, 8.0}));
  EXPECT_EQ(q.getCandidateVec()[0].size(), 0);
  EXPECT_EQ(q.getCapacityVec(), (std::vector<int32_t>{-3, -1, 0}));
}

TEST(ListRules, CountAtTheLimitIsHonoured) {
  SynthIPMZReq r(Parse(Wrap("SynthIPMZReq", "<endpointlist num=\"65536\"/>")));
  ASSERT_TRUE(r.isValid());
  EXPECT_EQ(r.getEPVec().size(), 65536u);
}

TEST(Layout, WrongNamesAtTheRightPositions) {
  ZemCommit c(
      Parse("<ZemCommit><x>9</x><y>10</y><p>224.5.6.7</p><q>80</q>"
            "<r>3</r><s num=\"1\"><t><u>10.0.0.1</u><v>7560</v></t>"
            "</s></ZemCommit>"));
  ASSERT_TRUE(c.isValid());
  EXPECT_EQ(c.getId(), 9u);
  EXPECT_EQ(c.getVersion(), 10u);
  EXPECT_EQ(c.getAddrStr(), "224.5.6.7");
  EXPECT_EQ(c.getPort(), 80);
  EXPECT_EQ(c.getTTL(), 3);
  ASSERT_EQ(c.getMemberVec().size(), 1u);
  EXPECT_EQ(c.getMemberVec()[0].getStr(), "10.0.0.1:7560");
}

TEST(Layout, PrettyPrintedDocumentWithCommentsReadsLikeCompact) {
  std::vector<VCEndPoint> vic{{"user1", A("10.0.0.5")}, {"user2", A("10.0.0.6")}};
  SynthInit built(7, 8, vic, {}, vic, {}, {}, "intro");
  // Reformat the way another peer's library would, with comments mixed in.
  xmlChar* pretty = nullptr;
  int size = 0;
  xmlDocPtr doc = Parse(Dump(built));
  xmlDocDumpFormatMemory(doc, &pretty, &size, /*format=*/1);
  xmlFreeDoc(doc);
  std::string text(reinterpret_cast<char*>(pretty), static_cast<size_t>(size));
  xmlFree(pretty);
  ASSERT_NE(text.find("\n  <id>"), std::string::npos);
  size_t at = text.find("<viclist");
  text.insert(at, "<!-- participants -->\n  ");
  at = text.find("<user>user2");
  text.insert(at, "<!-- second -->\n      ");

  SynthInit back(Parse(text));
  ASSERT_TRUE(back.isValid());
  EXPECT_EQ(back.getId(), 7u);
  EXPECT_EQ(back.getVersion(), 8u);
  ASSERT_EQ(back.getVicVec().size(), 2u);
  EXPECT_EQ(back.getVicVec()[1].getUsername(), "user2");
  EXPECT_EQ(back.getVicVec()[1].getAddr(), A("10.0.0.6"));
  EXPECT_EQ(back.getNMVec().size(), 2u);
  EXPECT_EQ(back.getMovieName(), "intro");
}

TEST(Factories, RootElementChoosesTheClass) {
  bool unknown = true;
  std::unique_ptr<Msg> m(
      newRequestMsgFromDoc(Parse("<?xml version=\"1.0\"?><!-- first --><ZemInit>" +
                                 std::string(kEnv) + "<p>7560</p></ZemInit>"),
                           &unknown));
  ASSERT_NE(m, nullptr);
  EXPECT_FALSE(unknown);
  EXPECT_NE(dynamic_cast<ZemInit*>(m.get()), nullptr);

  // A DOCTYPE is no obstacle while no entity of it is used.
  std::unique_ptr<Msg> typed(
      newRequestMsgFromDoc(Parse("<!DOCTYPE ZemInit [<!ENTITY unused \"x\">]><ZemInit>" +
                                 std::string(kEnv) + "<p>&amp;7</p></ZemInit>")));
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->getId(), 1u);

  EXPECT_EQ(newRequestMsgFromDoc(Parse("<Unknown/>"), &unknown), nullptr);
  EXPECT_TRUE(unknown);
  EXPECT_EQ(newReplyMsgFromDoc(nullptr, &unknown), nullptr);
  EXPECT_TRUE(unknown);
  EXPECT_EQ(newRequestMsgFromDoc(xmlNewDoc(BAD_CAST "1.0"), &unknown), nullptr);
  EXPECT_TRUE(unknown);
}

// Documents a class must refuse: it never reads through a missing node, and
// never allocates what a count claims beyond the limits.
struct Refusal {
  const char* name;
  std::string xml;
  bool request;
};

void PrintTo(const Refusal& c, std::ostream* os) { *os << c.name; }

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, FactoryReturnsNullAndMessageIsInvalid) {
  const Refusal& r = GetParam();
  bool unknown = true;
  Msg* m = r.request ? newRequestMsgFromDoc(Parse(r.xml), &unknown)
                     : newReplyMsgFromDoc(Parse(r.xml), &unknown);
  EXPECT_EQ(m, nullptr);
  EXPECT_FALSE(unknown) << "refused by its class, not an unknown type";
  delete m;
}

std::string ManyCoordNodes(int nodes) {
  std::string list;
  for (int i = 0; i < nodes; ++i) list += "<client num=\"65536\"/>";
  return Wrap("PELMQueryReq", "<r>0</r><n>1</n><clientlist num=\"" + std::to_string(nodes) + "\">" +
                                  list +
                                  "</clientlist><candidatelist num=\"0\"/>"
                                  "<capacitylist num=\"0\"/><costlist num=\"0\"/>");
}

// A document's own DTD entity referenced many times: expanded, it would
// be hundreds of times the document's size.
std::string EntityAmplification() {
  std::string args;
  for (int i = 0; i < 1000; ++i) args += "<arg>&big;</arg>";
  return "<!DOCTYPE DynamicInit [<!ENTITY big \"" + std::string(10000, 'x') + "\">]>" +
         Wrap("DynamicInit", "<argv num=\"1000\">" + args + "</argv>");
}

const Refusal kRefusals[] = {
    {"NoVersion", "<ZemCommitOk><id>1</id></ZemCommitOk>", false},
    {"EmptyRoot", "<SynthVGWOk/>", false},
    {"MissingScalar", Wrap("ZemInit", ""), true},
    {"MissingTtl", Wrap("ZemInitOk", "<a>1.2.3.4</a>"), false},
    {"MissingList", Wrap("SynthZemReq", "<endpointlist num=\"0\"/>"), true},
    {"MissingListAfterWhitespace",
     Wrap("SynthZemOk", "<eptransportlist num=\"0\"/>\n  <!-- none -->\n"), false},
    {"MissingNum", Wrap("ZemCommit", "<a>1.2.3.4</a><p>1</p><t>1</t><memberlist/>"), true},
    {"ScalarInsteadOfList", Wrap("DynamicInit", "text"), true},
    {"EntryWithoutField",
     Wrap("ZemCommit",
          "<a>1.2.3.4</a><p>1</p><t>1</t><memberlist num=\"1\"><member><addr>"
          "10.0.0.1</addr></member></memberlist>"),
     true},
    {"ZoneWithoutEp",
     Wrap("SynthZemReq",
          "<endpointlist num=\"0\"/><zonelist num=\"1\"><zone><addr>10.1.0.0"
          "</addr><mask>255.255.0.0</mask></zone></zonelist>"),
     true},
    {"NegativeCount", Wrap("SynthIPMZReq", "<endpointlist num=\"-1\"/>"), true},
    {"HugeCount", Wrap("SynthIPMZReq", "<endpointlist num=\"4294967295\"/>"), true},
    {"CountBeyond32Bits", Wrap("SynthIPMZReq", "<endpointlist num=\"99999999999\"/>"), true},
    {"CountOverLimit", Wrap("SynthIPMZReq", "<endpointlist num=\"65537\"/>"), true},
    {"IndexCountOverLimit", Wrap("PELMQueryResp", "<idxlist num=\"2147483647\"/><f>1</f>"), false},
    {"NodeCountOverLimit",
     Wrap("PELMQueryReq",
          "<r>0</r><n>1</n><clientlist num=\"1\"><client num=\"65537\"/>"
          "</clientlist><candidatelist num=\"0\"/><capacitylist num=\"0\"/>"
          "<costlist num=\"0\"/>"),
     true},
    {"NodeWithoutNum",
     Wrap("PELMQueryReq",
          "<r>0</r><n>1</n><clientlist num=\"1\"><client/></clientlist>"
          "<candidatelist num=\"0\"/><capacitylist num=\"0\"/>"
          "<costlist num=\"0\"/>"),
     true},
    {"CountsOverDocumentBudget", ManyCoordNodes(17), true},
    {"EntityReferenceInText", EntityAmplification(), true},
    {"EntityReferenceInNestedText",
     "<!DOCTYPE SynthInit [<!ENTITY e \"x\">]>" +
         Wrap("SynthInit",
              "<a num=\"0\"/><b num=\"0\"/><c num=\"0\"/><d num=\"0\"/>"
              "<e num=\"0\"/><m><i>&e;</i></m>"),
     true},
    {"EntityReferenceInNum",
     "<!DOCTYPE SynthIPMZReq [<!ENTITY n \"1\">]>" +
         Wrap("SynthIPMZReq", "<endpointlist num=\"&n;\"/>"),
     true},
};

INSTANTIATE_TEST_SUITE_P(Documents, Refused, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& info) {
                           return std::string(info.param.name);
                         });

TEST(Refusal, DirectConstructionKeepsTheDocumentAndTheFieldsRead) {
  ZemInitOk m(Parse(Wrap("ZemInitOk", "<a>1.2.3.4</a>")));
  EXPECT_FALSE(m.isValid());
  EXPECT_EQ(m.getId(), 1u);
  EXPECT_EQ(m.getAddrStr(), "1.2.3.4");
  EXPECT_EQ(m.getTTL(), 0);
  EXPECT_FALSE(Dump(m).empty());  // still owns what it was given
  ZemCommit null_doc(nullptr);
  EXPECT_FALSE(null_doc.isValid());
  EXPECT_EQ(null_doc.getChars(), nullptr);
}

TEST(Refusal, SixteenNodesAtTheLimitStayWithinTheBudget) {
  std::unique_ptr<Msg> m(newRequestMsgFromDoc(Parse(ManyCoordNodes(15))));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(static_cast<PELMQueryReq*>(m.get())->getClientVec()[14].size(), 65536);
}

// Ampersands in string fields: references resolve as the XML library does,
// any other "&" is kept, and the neighbouring fields stay intact.
TEST(Strings, AmpersandsAndMarkupReadBack) {
  const struct {
    const char* written;
    const char* read;
  } cases[] = {
      {"R&D", "R&D"},
      {"a && b", "a && b"},
      {"&", "&"},
      {"x&", "x&"},
      {"&foo;", "&foo;"},
      {"&#0;", "&#0;"},
      {"&#;", "&#;"},
      {"&#x;", "&#x;"},
      {"&amp;", "&"},
      {"&lt;b&gt;", "<b>"},
      {"&#38;&#x26;", "&&"},
      {"&quot;&apos;", "\"'"},
      {"<user> & </user>", "<user> & </user>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.written);
    std::vector<NetmeetingEndPoint> nm{{c.written, A("10.0.0.9")}};
    SynthVGWReq built(1, 2, A("224.2.0.1"), 5004, 16, {}, nm);
    std::unique_ptr<SynthVGWReq> back = Reparse<SynthVGWReq>(built);
    ASSERT_TRUE(back->isValid());
    ASSERT_EQ(back->getNMVec().size(), 1u);
    EXPECT_EQ(back->getNMVec()[0].getUsername(), c.read);
    EXPECT_EQ(back->getNMVec()[0].getAddr(), A("10.0.0.9"));
  }
  DynamicInit args(1, 2, {"--name=R&D", "&nbsp;"});
  std::unique_ptr<DynamicInit> back = Reparse<DynamicInit>(args);
  EXPECT_EQ(back->getARGV(), (std::vector<std::string>{"--name=R&D", "&nbsp;"}));
  SynthInit movie(1, 2, {}, {}, {}, {}, {}, "Tom & Jerry");
  EXPECT_EQ(Reparse<SynthInit>(movie)->getMovieName(), "Tom & Jerry");
}

TEST(Strings, EmptyValuesAreChildlessElements) {
  DynamicInit args(1, 2, {"", "x"});
  EXPECT_NE(Dump(args).find("<argv num=\"2\"><arg/><arg>x</arg></argv>"), std::string::npos);
  EXPECT_EQ(Reparse<DynamicInit>(args)->getARGV(), (std::vector<std::string>{"", "x"}));
  SynthInit none(1, 2, {}, {}, {}, {}, {}, "");
  EXPECT_NE(Dump(none).find("<moviename/>"), std::string::npos);
  EXPECT_EQ(Reparse<SynthInit>(none)->getMovieName(), "");
}

TEST(Doubles, SixDecimalsAndLongTextsInFull) {
  PELMNode n(std::vector<double>{1234.56789, 0.0000004, 1e300, -1e300});
  EXPECT_EQ(n.coordAt(0), "1234.567890");
  EXPECT_EQ(n.coordAt(1), "0.000000");
  EXPECT_GT(n.coordAt(2).size(), 300u);
  PELMQueryReq req(1, 2, 0, 1, {n}, {}, {}, {});
  std::unique_ptr<PELMQueryReq> back = Reparse<PELMQueryReq>(req);
  ASSERT_TRUE(back->isValid());
  const std::vector<double>& c = back->getClientVec()[0].getCoordinates();
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(c[0], 1234.56789 - 1234.56789 + 1234.567890);
  EXPECT_EQ(c[1], 0.0);
  EXPECT_EQ(c[2], 1e300);
  EXPECT_EQ(c[3], -1e300);
  PELMQueryResp resp(1, 2, {}, 1e300);
  EXPECT_EQ(Reparse<PELMQueryResp>(resp)->getFitness(), 1e300);
}

TEST(PELMNodes, IndexAndCountBounds) {
  PELMNode n(std::vector<std::string>{"1.5", "x", "-2e1"});
  EXPECT_EQ(n.getCoordinates(), (std::vector<double>{1.5, 0.0, -20.0}));
  n.setCoordAt(-1, 9.0);
  n.setCoordAt(3, 9.0);
  EXPECT_EQ(n.getCoordinates(), (std::vector<double>{1.5, 0.0, -20.0}));
  n.setCoordAt(2, 9.0);
  EXPECT_EQ(n.DcoordAt(2), 9.0);
  EXPECT_EQ(n.DcoordAt(3), 0.0);
  EXPECT_EQ(n.coordAt(-1), "");
  EXPECT_TRUE(n.allocCoordVec(0));
  EXPECT_EQ(n.size(), 0);
  EXPECT_TRUE(n.allocCoordVec(2));
  EXPECT_EQ(n.getCoordinates(), (std::vector<double>{0.0, 0.0}));
  EXPECT_FALSE(n.allocCoordVec(-1));
  EXPECT_EQ(n.size(), 0);
  EXPECT_FALSE(n.allocCoordVec(kMaxListEntries + 1));
  EXPECT_EQ(n.size(), 0);
}

TEST(Widths, PortsTtlsAndIndices) {
  ZemCommit c(Parse(Wrap("ZemCommit",
                         "<a>1.2.3.4</a><p>65537</p><t>256</t>"
                         "<memberlist num=\"0\"/>")));
  ASSERT_TRUE(c.isValid());
  EXPECT_EQ(c.getPort(), 1);
  EXPECT_EQ(c.getTTL(), 0);
  EXPECT_TRUE(c.getMemberVec().empty());
  ZemInit i(Parse(Wrap("ZemInit", "<p>65537</p>")));
  EXPECT_EQ(i.getPort(), 1);
  SynthVGWReq v(Parse(Wrap("SynthVGWReq",
                           "<a>bad</a><p>70000</p><t>300</t>"
                           "<l num=\"0\"/><m num=\"0\"/>")));
  ASSERT_TRUE(v.isValid());
  EXPECT_EQ(v.getVGWDataAddr(), 0u);
  EXPECT_EQ(v.getVGWDataPort(), 4464);
  EXPECT_EQ(v.getVGWTTL(), 44);
  SynthIPMZOk ok(1, 2, {}, {4294967295u});
  EXPECT_NE(Dump(ok).find("<idx>-1</idx>"), std::string::npos);
  EXPECT_EQ(Reparse<SynthIPMZOk>(ok)->getIdxVec()[0], 4294967295u);
  DynamicInitResp st(Parse(Wrap("DynamicInitResp", "<s>-2</s>")));
  EXPECT_EQ(st.getStatus(), -2);
}

}  // namespace
