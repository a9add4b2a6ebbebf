// The direct document writer against xmlDocDumpMemory, byte for byte, over
// random trees and over documents it must leave to libxml2.
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "msg/doc_text.h"
#include "msg/doc_writer.h"

namespace {

using orvel::msg::DirectDocumentTextForTesting;
using orvel::msg::DocumentText;

struct DocFree {
  void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};
using DocPtr = std::unique_ptr<xmlDoc, DocFree>;

std::string Libxml(xmlDocPtr doc) {
  xmlChar* buf = nullptr;
  int n = 0;
  xmlDocDumpMemory(doc, &buf, &n);
  std::string s(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  xmlFree(buf);
  return s;
}

std::string Ours(xmlDocPtr doc) {
  int n = -1;
  char* text = DocumentText(doc, &n);
  if (text == nullptr) return "<null>";
  std::string s(text, static_cast<size_t>(n));
  EXPECT_EQ(s.size(), std::strlen(text));
  std::free(text);
  return s;
}

// Random text: mostly printable ASCII with the characters that need
// escaping; with `wide`, also tabs, newlines, carriage returns and UTF-8.
std::string RandomText(std::mt19937& rng, bool wide) {
  static const char* const kPieces[] = {"a", "Z", "0",     " ",   "<", ">", "&", "\"",
                                        "'", ";", "&amp;", "]]>", "=", "#", "~", "/"};
  static const char* const kWide[] = {"\t",       "\n",           "\r",
                                      "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x98\x80"};
  std::string s;
  const int len = static_cast<int>(rng() % 12);
  for (int i = 0; i < len; ++i) {
    if (wide && rng() % 4 == 0) {
      s += kWide[rng() % (sizeof kWide / sizeof *kWide)];
    } else {
      s += kPieces[rng() % (sizeof kPieces / sizeof *kPieces)];
    }
  }
  return s;
}

std::string RandomName(std::mt19937& rng) {
  static const char kFirst[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_";
  static const char kRest[] = "abcxyzXYZ0123456789_-.";
  std::string s(1, kFirst[rng() % (sizeof kFirst - 1)]);
  const int len = static_cast<int>(rng() % 8);
  for (int i = 0; i < len; ++i) s += kRest[rng() % (sizeof kRest - 1)];
  return s;
}

void Grow(std::mt19937& rng, xmlNodePtr parent, int depth, bool wide) {
  const int attrs = static_cast<int>(rng() % 3);
  for (int i = 0; i < attrs; ++i) {
    const std::string name = RandomName(rng) + std::to_string(i);  // distinct
    xmlNewProp(parent, BAD_CAST name.c_str(), BAD_CAST RandomText(rng, wide).c_str());
  }
  const int kids = depth > 4 ? 0 : static_cast<int>(rng() % 4);
  for (int i = 0; i < kids; ++i) {
    switch (rng() % 4) {
      case 0:  // text straight under the element, next to elements
        xmlAddChild(parent, xmlNewText(BAD_CAST RandomText(rng, wide).c_str()));
        break;
      case 1:
        xmlNewTextChild(parent, nullptr, BAD_CAST RandomName(rng).c_str(),
                        BAD_CAST RandomText(rng, wide).c_str());
        break;
      case 2:
        xmlNewChild(parent, nullptr, BAD_CAST RandomName(rng).c_str(), nullptr);
        break;
      default:
        Grow(rng, xmlNewChild(parent, nullptr, BAD_CAST RandomName(rng).c_str(), nullptr),
             depth + 1, wide);
    }
  }
}

TEST(DocText, RandomTreesMatchLibxml2ByteForByte) {
  std::mt19937 rng(20261209);
  int direct = 0;
  for (int i = 0; i < 3000; ++i) {
    const bool wide = i % 2 == 1;
    DocPtr doc(orvel::msg::NewDocument());
    xmlNodePtr root = xmlNewDocNode(doc.get(), nullptr, BAD_CAST RandomName(rng).c_str(), nullptr);
    xmlDocSetRootElement(doc.get(), root);
    Grow(rng, root, 0, wide);
    const std::string want = Libxml(doc.get());
    std::string got;
    if (DirectDocumentTextForTesting(doc.get(), &got)) {
      ++direct;
      ASSERT_EQ(got, want) << "tree " << i;
    } else {
      // Printable ASCII trees are all the direct writer's.
      ASSERT_TRUE(wide) << "tree " << i << " left to libxml2: " << want;
    }
    ASSERT_EQ(Ours(doc.get()), want) << "tree " << i;
  }
  EXPECT_GE(direct, 1500);  // every ASCII tree, and the wide ones that drew no wide text
  EXPECT_TRUE(orvel::msg::DirectWriterEnabledForTesting());
}

TEST(DocText, DocumentsLeftToLibxml2AreWrittenAsItWrites) {
  const char* const kTexts[] = {
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>caf\xc3\xa9</a>",
      "<?xml version=\"1.0\" standalone=\"yes\"?><a/>",
      "<?xml version=\"1.0\"?><!-- c --><a><!-- inner --><b/></a>",
      "<?xml version=\"1.0\"?><x:a xmlns:x=\"urn:x\"><x:b x:c=\"1\"/></x:a>",
      "<?xml version=\"1.0\"?><a><![CDATA[<raw>&]]></a>",
      "<?xml version=\"1.0\"?><a><?pi data?></a>",
      "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>",
      "<?xml version=\"1.0\"?><a b=\"tab&#9;nl&#10;cr&#13;\">\r\n&#1234;</a>",
      "<?xml version=\"1.0\"?><a>&lt;&amp;&gt;\"'</a>",
  };
  for (const char* text : kTexts) {
    DocPtr doc(xmlReadMemory(text, static_cast<int>(std::strlen(text)), nullptr, nullptr,
                             XML_PARSE_NONET));
    ASSERT_TRUE(doc) << text;
    EXPECT_EQ(Ours(doc.get()), Libxml(doc.get())) << text;
  }
  // Deeper than the direct writer recurses.
  DocPtr deep(orvel::msg::NewDocument());
  xmlNodePtr n = xmlNewDocNode(deep.get(), nullptr, BAD_CAST "d", nullptr);
  xmlDocSetRootElement(deep.get(), n);
  for (int i = 0; i < 400; ++i) n = xmlNewChild(n, nullptr, BAD_CAST "d", nullptr);
  std::string unused;
  EXPECT_FALSE(DirectDocumentTextForTesting(deep.get(), &unused));
  EXPECT_EQ(Ours(deep.get()), Libxml(deep.get()));
  // A document without a root.
  DocPtr empty(orvel::msg::NewDocument());
  EXPECT_EQ(Ours(empty.get()), Libxml(empty.get()));
  EXPECT_EQ(DocumentText(nullptr, nullptr), nullptr);
}

}  // namespace
