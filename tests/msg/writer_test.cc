// The document writer's number and address texts against the C library's
// "%d" and inet_ntop, and text with and without references.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <cstdio>
#include <memory>
#include <random>
#include <string>

#include "msg/doc_writer.h"

namespace {

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

// The text of the one element the call adds, as serialised.
template <typename Add>
std::string Written(Add add) {
  std::unique_ptr<xmlDoc, DocFree> doc(orvel::msg::NewDocument());
  xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, BAD_CAST "r", nullptr);
  xmlDocSetRootElement(doc.get(), root);
  add(root);
  xmlBufferPtr buf = xmlBufferCreate();
  xmlNodeDump(buf, doc.get(), root->children, 0, 0);
  std::string out(reinterpret_cast<const char*>(xmlBufferContent(buf)));
  xmlBufferFree(buf);
  return out;
}

std::string PrintfInt(unsigned long v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", static_cast<int32_t>(static_cast<uint32_t>(v)));
  return buf;
}

std::string NtopAddr(unsigned long v) {
  in_addr in;
  in.s_addr = static_cast<in_addr_t>(v & 0xffffffffUL);
  char buf[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &in, buf, sizeof buf);
  return buf;
}

TEST(Writer, NumbersAndAddressesMatchTheCLibrary) {
  std::vector<unsigned long> values = {0,
                                       1,
                                       9,
                                       10,
                                       99,
                                       100,
                                       255,
                                       256,
                                       0x7fffffff,
                                       0x80000000,
                                       0xffffffff,
                                       0x100000000UL,
                                       0x1ffffffffUL,
                                       htonl(0x0a000064),
                                       htonl(0x01020304),
                                       htonl(0xe0020001)};
  std::mt19937_64 rng(42);
  for (int i = 0; i < 2000; ++i) values.push_back(rng());
  for (unsigned long v : values) {
    EXPECT_EQ(Written([&](xmlNodePtr r) { orvel::msg::AddInt(r, "n", v); }),
              "<n>" + PrintfInt(v) + "</n>")
        << v;
    EXPECT_EQ(Written([&](xmlNodePtr r) { orvel::msg::AddAddress(r, "a", v); }),
              "<a>" + NtopAddr(v) + "</a>")
        << v;
  }
  EXPECT_EQ(Written([](xmlNodePtr r) { orvel::msg::AddList(r, "l", 65536); }),
            "<l num=\"65536\"/>");
}

TEST(Writer, TextKeepsReferencesAndEscapesTheRest) {
  using orvel::msg::AddString;
  using orvel::msg::AddText;
  EXPECT_EQ(Written([](xmlNodePtr r) { AddText(r, "t", "a<b>\"c\""); }), "<t>a&lt;b&gt;\"c\"</t>");
  EXPECT_EQ(Written([](xmlNodePtr r) { AddText(r, "t", nullptr); }), "<t/>");
  EXPECT_EQ(Written([](xmlNodePtr r) { AddText(r, "t", ""); }), "<t/>");
  EXPECT_EQ(Written([](xmlNodePtr r) { AddString(r, "t", "x &amp; y & z &#65;"); }),
            "<t>x &amp; y &amp; z A</t>");
  EXPECT_EQ(Written([](xmlNodePtr r) { AddString(r, "t", ""); }), "<t/>");
}

}  // namespace
