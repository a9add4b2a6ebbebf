// Predicate evaluation and attribute lists.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "slp/attr.h"
#include "slp/predicate.h"

namespace orvel::slp {
namespace {

const char kHost[] = "(addr=10.0.0.1),(mask=255.255.255.255),(port=5000)";
const char kZone[] = "(addr=10.1.0.0),(mask=255.255.0.0)";
const char kNode[] = "(x-num=1),(x-clients=1 2 3),(cpu=4),(os=Linux),(proto=tcp,udp),x-abone";
const char kPelm[] = "(x-PELM-coords=1 2 3),(cpu=8)";

AttrList Attrs(const char* text) {
  AttrList list;
  EXPECT_EQ(AttrList::Parse(text, /*strict=*/true, &list), AttrError::kOk) << text;
  return list;
}

struct EvalCase {
  const char* predicate;
  const char* attrs;
  bool match;
};

void PrintTo(const EvalCase& c, std::ostream* os) {
  *os << c.predicate << " against " << c.attrs << (c.match ? ": match" : ": no match");
}

class PredicateEval : public ::testing::TestWithParam<EvalCase> {};

TEST_P(PredicateEval, MatchesExpectedOutcome) {
  const EvalCase& c = GetParam();
  std::string err;
  std::optional<Predicate> p = Predicate::Parse(c.predicate, &err);
  ASSERT_TRUE(p) << c.predicate << ": " << err;
  EXPECT_EQ(p->Matches(Attrs(c.attrs)), c.match) << c.predicate << " against " << c.attrs;
}

INSTANTIATE_TEST_SUITE_P(
    Table, PredicateEval,
    ::testing::Values(
        // The locator's host and zone lookups.
        EvalCase{"(&(addr=10.0.0.1)(mask=255.255.255.255))", kHost, true},
        EvalCase{"(&(addr=10.0.0.1)(mask=255.255.255.255))", kZone, false},
        EvalCase{"(&(addr=10.1.0.0)(mask=255.255.0.0))", kZone, true},
        EvalCase{"(&(addr=10.1.0.0)(mask=255.255.255.255))", kZone, false},
        // The CompResource form evaluated literally (no agent context).
        EvalCase{"(|(foo=bar)(&(x-num=1)(x-clients=1 2 3)))", kNode, true},
        EvalCase{"(|(foo=bar)(&(x-num=1)(x-clients=1 2 4)))", kNode, false},
        // Case and whitespace folding of tags and values.
        EvalCase{"(X-CLIENTS=1   2 3)", kNode, true},
        EvalCase{"( x-clients = 1 2 3 )", kNode, true}, EvalCase{"(os=LINUX)", kNode, true},
        // Values of one attribute may mix types; each keeps its own.
        EvalCase{"(mix=5)", "(mix=5,this,true)", true},
        EvalCase{"(mix=THIS)", "(mix=5,this,true)", true},
        EvalCase{"(mix=true)", "(mix=5,this,true)", true},
        EvalCase{"(mix>=6)", "(mix=5,this,true)", false}, EvalCase{"(x=y)", "(x=1),(x=y)", true},
        // Integers compare as integers; dotted quads as strings.
        EvalCase{"(cpu>=2)", kNode, true}, EvalCase{"(cpu>=10)", kNode, false},
        EvalCase{"(cpu<=4)", kNode, true}, EvalCase{"(x-num=01)", kNode, true},
        EvalCase{"(cpu~=4)", kNode, true}, EvalCase{"(mask<=255.255.255.0)", kHost, false},
        EvalCase{"(mask>=255.255.255.0)", kHost, true},
        // Substrings only match strings.
        EvalCase{"(os=lin*)", kNode, true}, EvalCase{"(os=*NU*)", kNode, true},
        EvalCase{"(os=l*x)", kNode, true}, EvalCase{"(os=l*z)", kNode, false},
        EvalCase{"(cpu=4*)", kNode, false},
        // Presence, keywords, types that disagree.
        EvalCase{"(x-abone=*)", kNode, true}, EvalCase{"(x-abone=true)", kNode, false},
        EvalCase{"(missing=*)", kNode, false}, EvalCase{"(cpu=true)", kNode, false},
        // Multi-valued attributes and negation per value.
        EvalCase{"(proto=udp)", kNode, true}, EvalCase{"(!(proto=tcp))", kNode, true},
        EvalCase{"(!(os=linux))", kNode, false}, EvalCase{"(!(foo=bar))", kNode, false},
        EvalCase{"(!(&(os=linux)(cpu=5)))", kNode, true}, EvalCase{"(!(missing=*))", kNode, true},
        // and / or.
        EvalCase{"(&(os=linux)(cpu=4)(proto=tcp))", kNode, true},
        EvalCase{"(&(os=linux)(cpu=5))", kNode, false},
        EvalCase{"(|(x=33)(os=linux))", kNode, true},
        // Escapes in values.
        EvalCase{"(v=a\\28b\\29)", "(v=a\\28b\\29)", true}, EvalCase{"(v=a\\2a)", "(v=a*)", true},
        // The empty predicate matches anything, even no attributes.
        EvalCase{"", kHost, true}, EvalCase{"", "", true}, EvalCase{"(x=*)", "", false}));

TEST(PredicateParse, RefusesMalformedFilters) {
  const char* bad[] = {
      "(",       "()",        "(a=1",  "a=1",  "(a=1))",    "(&)",      "(!)",     "(!(a=1)(b=2))",
      "(a>=1*)", "(a~=*x)",   "(a=)",  "(=1)", "(a:dn:=x)", "(a=\\zz)", "(a=\\2)", "(&(a=1)(b=2)",
      "(a=(b))", "(|(a=1)x)", "(a<1)",
  };
  for (const char* text : bad) {
    EXPECT_FALSE(Predicate::Parse(text)) << text;
  }
}

TEST(PredicateParse, BoundsDepthLengthAndTermCount) {
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "(&";
  deep += "(a=1)";
  for (int i = 0; i < 40; ++i) deep += ")";
  EXPECT_FALSE(Predicate::Parse(deep));
  std::string ok_depth;
  for (int i = 0; i < 10; ++i) ok_depth += "(&";
  ok_depth += "(a=1)";
  for (int i = 0; i < 10; ++i) ok_depth += ")";
  EXPECT_TRUE(Predicate::Parse(ok_depth));

  std::string wide = "(|";
  for (int i = 0; i < 1000; ++i) wide += "(a=" + std::to_string(i) + ")";
  wide += ")";
  std::optional<Predicate> p = Predicate::Parse(wide);
  ASSERT_TRUE(p);
  EXPECT_TRUE(p->Matches(Attrs("(a=999)")));
  EXPECT_FALSE(p->Matches(Attrs("(a=1000)")));

  EXPECT_FALSE(Predicate::Parse("(a=" + std::string(Predicate::kMaxLength, 'x') + ")"));
}

TEST(PredicateNearest, DetectsTheLocatorForm) {
  std::optional<Predicate> p =
      Predicate::Parse("(|(foo=bar)(&(x-PELM-num=1)(x-PELM-clients=1 2 3)))");
  ASSERT_TRUE(p);
  ASSERT_EQ(p->nearest_terms().size(), 1u);
  EXPECT_EQ(p->nearest_terms()[0].k, 1u);
  EXPECT_EQ(p->nearest_terms()[0].coords, (std::vector<double>{1, 2, 3}));
  // The agent decides membership; the literal attributes do not matter.
  AttrList node = Attrs(kPelm);
  Predicate::NearestFn yes = [](size_t) { return true; };
  Predicate::NearestFn no = [](size_t) { return false; };
  EXPECT_TRUE(p->Matches(node, &yes));
  EXPECT_FALSE(p->Matches(node, &no));
  EXPECT_TRUE(p->MatchesNearestRest(0, node));

  // Extra conjuncts must hold for a candidate.
  std::optional<Predicate> q = Predicate::Parse("(&(cpu>=16)(x-PELM-num=2)(x-PELM-clients=1 2 3))");
  ASSERT_TRUE(q);
  ASSERT_EQ(q->nearest_terms().size(), 1u);
  EXPECT_FALSE(q->MatchesNearestRest(0, node));

  // Coordinates that are not numbers make an ordinary term.
  std::optional<Predicate> r = Predicate::Parse("(&(x-PELM-num=1)(x-PELM-clients=a b))");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->nearest_terms().empty());
}

TEST(AttrListParse, TypesEscapesAndFormatting) {
  AttrList l = Attrs("(a=1,2),(b=x\\2cy),kw,(o=\\FF\\00\\01),(t=TRUE),(s= Two  Words )");
  ASSERT_EQ(l.attributes().size(), 6u);
  EXPECT_EQ(l.Find("a")->values[1].type, AttrType::kInteger);
  EXPECT_EQ(l.Find("a")->values[1].integer, 2);
  EXPECT_EQ(l.Find("b")->values[0].key, "x,y");
  EXPECT_TRUE(l.Find("kw")->keyword());
  EXPECT_EQ(l.Find("o")->values[0].type, AttrType::kOpaque);
  EXPECT_EQ(l.Find("o")->values[0].key, std::string("\0\1", 2));
  EXPECT_EQ(l.Find("t")->values[0].type, AttrType::kBoolean);
  EXPECT_EQ(l.Find("s")->values[0].key, "two words");
  // Registered text comes back unchanged.
  EXPECT_EQ(l.Format(), "(a=1,2),(b=x\\2cy),kw,(o=\\FF\\00\\01),(t=TRUE),(s= Two  Words )");
  EXPECT_EQ(l.Format({"a", "k*"}), "(a=1,2),kw");
  EXPECT_EQ(EscapeValue("a(b),c\\"), "a\\28b\\29\\2Cc\\5C");
}

TEST(AttrListParse, RefusesMalformedLists) {
  struct Bad {
    const char* text;
    AttrError error;
  } cases[] = {
      {"(a=1", AttrError::kParse},        {"(a)", AttrError::kParse},
      {"(a=1),", AttrError::kParse},      {"(a=1)x", AttrError::kParse},
      {"(a=\\zz)", AttrError::kParse},    {"(a=x\\)", AttrError::kParse},
      {"(a=1,,2)", AttrError::kParse},    {"(a=b=c)", AttrError::kParse},
      {"(=1)", AttrError::kParse},        {"(a=\\41)", AttrError::kParse},
      {"(a=\\FF\\0)", AttrError::kParse},
  };
  for (const Bad& c : cases) {
    AttrList l;
    EXPECT_EQ(AttrList::Parse(c.text, /*strict=*/true, &l), c.error) << c.text;
    EXPECT_TRUE(l.empty());
  }
  std::string many;
  for (size_t i = 0; i <= AttrList::kMaxValues; ++i) many += (i ? ",k" : "k") + std::to_string(i);
  AttrList l;
  EXPECT_EQ(AttrList::Parse(many, true, &l), AttrError::kTooLarge);
}

TEST(AttrListEdit, MergeUnionAndRemove) {
  AttrList stored = Attrs("(A=1),(B=2),(C=3)");
  stored.Merge(Attrs("(C=30),(D=40)"));
  EXPECT_EQ(stored.Format(), "(A=1),(B=2),(C=30),(D=40)");
  stored.RemoveTags({"a", "c*"});
  EXPECT_EQ(stored.Format(), "(B=2),(D=40)");
  AttrList u = Attrs("(p=tcp),(q=1)");
  u.Union(Attrs("(P=TCP,udp),r"));
  EXPECT_EQ(u.Format(), "(p=tcp,udp),(q=1),r");
}

TEST(Folding, WhitespaceAndWildcards) {
  EXPECT_EQ(FoldWhitespace("  Some\t\r\n String  "), "Some String");
  EXPECT_EQ(FoldWhitespace(" \t "), "");
  EXPECT_EQ(FoldKey("SOME    STRING"), "some string");
  EXPECT_TRUE(WildcardMatch("x-*-coords", "x-pelm-coords"));
  EXPECT_FALSE(WildcardMatch("x-*-coords", "x-pelm-coord"));
  EXPECT_TRUE(WildcardMatch("*", ""));
  EXPECT_EQ(ParseCoordinates(" 1  2.5\t-3 "), (std::vector<double>{1, 2.5, -3}));
  EXPECT_FALSE(ParseCoordinates("1 x 3"));
  EXPECT_FALSE(ParseCoordinates("  "));
}

}  // namespace
}  // namespace orvel::slp
