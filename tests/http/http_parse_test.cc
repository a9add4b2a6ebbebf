// Head readers driven from byte buffers, without sockets.
#include <gtest/gtest.h>

#include <string>

#include "http/http_impl.h"

namespace orvel::http {
namespace {

constexpr long long kLimit = 1000;

struct RequestCase {
  const char* name;
  std::string head;
  HeadStatus status;
  long long length;        // checked when status is kOk
  std::string body_start;  // text at body_offset, checked when kOk
};

TEST(HttpRequestParser, ReadsLikeTheScanfPatterns) {
  const std::string long_uri(kMaxUriChars, 'u');
  const RequestCase cases[] = {
      {"plain", "POST /q HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello", HeadStatus::kOk, 5, "hello"},
      {"no space after colon", "POST /q HTTP/1.1\r\nContent-Length:5\r\n\r\nab", HeadStatus::kOk, 5,
       "ab"},
      {"white space after number eats leading body spaces",
       "POST /q HTTP/1.1\r\nContent-Length: 3\r\n\r\n  x", HeadStatus::kOk, 3, "x"},
      {"tokens on separate lines", "GET\n/\nHTTP/1.0\nContent-Length: 1\n\nz", HeadStatus::kOk, 1,
       "z"},
      {"six-character method, nine-character version",
       "DELETE / HTTP/1.10\r\nContent-Length: 2\r\n\r\nab", HeadStatus::kOk, 2, "ab"},
      {"longest URI", "POST " + long_uri + " V\r\nContent-Length: 1\r\n\r\nq", HeadStatus::kOk, 1,
       "q"},
      {"limit itself", "POST / V\r\nContent-Length: 1000\r\n\r\n", HeadStatus::kOk, 1000, ""},
      {"no digits", "POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n", HeadStatus::kNoContentLength, 0,
       ""},
      {"beyond int", "POST / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
       HeadStatus::kLengthTooLarge, 0, ""},
  };
  for (const RequestCase& c : cases) {
    SCOPED_TRACE(c.name);
    RequestHead head;
    HeadStatus status = ParseRequestHead(c.head.data(), c.head.size(), kLimit, &head);
    ASSERT_EQ(status, c.status);
    if (status == HeadStatus::kOk) {
      EXPECT_EQ(head.length.value, c.length);
      EXPECT_EQ(c.head.substr(head.body_offset), c.body_start);
    }
  }
}

TEST(HttpRequestParser, StopsAtFirstZeroByte) {
  const std::string head("POST / HTTP/1.1\0Content-Length: 1\r\n\r\nx", 39);
  RequestHead parsed;
  EXPECT_EQ(ParseRequestHead(head.data(), head.size(), kLimit, &parsed),
            HeadStatus::kNoContentLength);
}

TEST(HttpRequestParser, OverflowingLengthKeepsItsText) {
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: -99999999999\r\n\r\n";
  RequestHead parsed;
  EXPECT_EQ(ParseRequestHead(head.data(), head.size(), kLimit, &parsed),
            HeadStatus::kLengthNotPositive);
  EXPECT_FALSE(parsed.length.fits_int());
  EXPECT_EQ(parsed.length.text, "-99999999999");
}

// Every prefix of a valid head is refused or read without running past it.
TEST(HttpRequestParser, TruncationAtEveryLength) {
  const std::string full = "POST /q HTTP/1.1\r\nContent-Length: 12\r\n\r\n<a>body</a>";
  for (size_t n = 0; n <= full.size(); ++n) {
    std::string cut = full.substr(0, n);
    RequestHead head;
    HeadStatus status = ParseRequestHead(cut.data(), cut.size(), kLimit, &head);
    if (status == HeadStatus::kOk) {
      EXPECT_LE(head.body_offset, n);
    }
    if (n < 35) {
      EXPECT_NE(status, HeadStatus::kOk) << n;
    }
  }
}

struct ResponseCase {
  const char* name;
  std::string head;
  HeadStatus status;
  int code;
  long long length;
};

TEST(HttpResponseParser, ReadsLikeTheScanfPatterns) {
  const ResponseCase cases[] = {
      {"400 without Connection line", "HTTP/1.1 404 Not Found\r\n\r\n", HeadStatus::kNotOk, 404, 0},
      {"status not a number", "HTTP/1.1 OK fine\r\n", HeadStatus::kBadFirstLine, 0, 0},
      {"status beyond int", "HTTP/1.1 99999999999 OK\r\n", HeadStatus::kBadFirstLine, 0, 0},
      {"reason of 499",
       "HTTP/1.1 200 " + std::string(499, 'R') +
           "\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx",
       HeadStatus::kOk, 200, 1},
      {"other letter case", "HTTP/1.1 200 OK\r\nconnection: close\r\nContent-Length: 1\r\n\r\nx",
       HeadStatus::kOk, 200, 1},
      {"length first", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nx",
       HeadStatus::kOk, 200, 2},
      {"fields cut short",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nServer:", HeadStatus::kNoContentLength, 200, 0},
      {"length zero elsewhere", "HTTP/1.1 200 OK\r\nServer: a\r\ncontent-length: 0\r\n\r\n",
       HeadStatus::kLengthNotPositive, 200, 0},
  };
  for (const ResponseCase& c : cases) {
    SCOPED_TRACE(c.name);
    ResponseHead head;
    HeadStatus status = ParseResponseHead(c.head.data(), c.head.size(), kLimit, &head);
    ASSERT_EQ(status, c.status);
    if (status == HeadStatus::kOk || status == HeadStatus::kNotOk) {
      EXPECT_EQ(head.status, c.code);
    }
    if (status == HeadStatus::kOk) {
      EXPECT_EQ(head.length.value, c.length);
    }
  }
}

TEST(HttpStandardParser, ReadsRfc9112Heads) {
  struct {
    const char* name;
    std::string head;
    StandardStatus status;
    int refusal;             // when refused
    long long length;        // when kOk
    std::string body_start;  // when kOk
  } cases[] = {
      {"fields in any order and case",
       "POST /q HTTP/1.1\r\nHost: a\r\ncOnTeNt-LeNgTh:\t5 \r\n\r\nhello", StandardStatus::kOk, 0, 5,
       "hello"},
      {"leading empty line", "\r\nPOST / HTTP/1.1\r\nContent-Length: 1\r\n\r\n z",
       StandardStatus::kOk, 0, 1, " z"},
      {"no empty line yet", "POST / HTTP/1.1\r\nContent-Length: 1\r\n", StandardStatus::kIncomplete,
       0, 0, ""},
      {"request line only", "POST / HTTP/1.1", StandardStatus::kIncomplete, 0, 0, ""},
      {"folded line", "POST / HTTP/1.1\r\nX: a\r\n b\r\nContent-Length: 1\r\n\r\nz",
       StandardStatus::kRefused, 400, 0, ""},
      {"bare CR", "POST / HTTP/1.1\r\nX: a\rb\r\nContent-Length: 1\r\n\r\nz",
       StandardStatus::kRefused, 400, 0, ""},
      {"length not a number", "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello",
       StandardStatus::kRefused, 400, 0, ""},
      {"above the limit", "POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n",
       StandardStatus::kRefused, 413, 0, ""},
      {"method of seven", "CONNECT / HTTP/1.1\r\nContent-Length: 1\r\n\r\nz",
       StandardStatus::kRefused, 501, 0, ""},
      {"two tokens", "POST HTTP/1.1\r\nContent-Length: 1\r\n\r\nz", StandardStatus::kRefused, 400,
       0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandardHead head;
    ASSERT_EQ(ParseStandardRequestHead(c.head.data(), c.head.size(), kLimit, &head), c.status);
    if (c.status == StandardStatus::kRefused) {
      EXPECT_EQ(head.refusal.status, c.refusal);
    }
    if (c.status == StandardStatus::kOk) {
      EXPECT_EQ(head.head.length.value, c.length);
      EXPECT_EQ(c.head.substr(head.head.body_offset), c.body_start);
    }
  }
}

// Every prefix of a valid head waits for more, or is read without running
// past what arrived; only the whole head is taken.
TEST(HttpStandardParser, TruncationAtEveryLength) {
  const std::string full = "POST /q HTTP/1.1\r\nHost: a\r\ncontent-length: 11\r\n\r\n<a>body</a>";
  const size_t head_end = full.find("\r\n\r\n") + 4;
  for (size_t n = 0; n <= full.size(); ++n) {
    std::string cut = full.substr(0, n);
    StandardHead head;
    StandardStatus status = ParseStandardRequestHead(cut.data(), cut.size(), kLimit, &head);
    EXPECT_EQ(status, n < head_end ? StandardStatus::kIncomplete : StandardStatus::kOk) << n;
    if (status == StandardStatus::kOk) {
      EXPECT_EQ(head.head.body_offset, head_end);
    }
  }
}

TEST(HttpBodyParser, RefusesExternalEntitiesAndNonsense) {
  EXPECT_EQ(ParseBodyDocument("not xml", 7), nullptr);
  EXPECT_EQ(ParseBodyDocument("", 0), nullptr);
  const std::string xxe =
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e SYSTEM "
      "\"file:///etc/hostname\">]><r>&e;</r>";
  xmlDocPtr doc = ParseBodyDocument(xxe.data(), xxe.size());
  ASSERT_NE(doc, nullptr);
  xmlChar* text = xmlNodeGetContent(xmlDocGetRootElement(doc));
  // Left unsubstituted, the external entity contributes nothing.
  EXPECT_STREQ(reinterpret_cast<const char*>(text), "");
  xmlFree(text);
  xmlFreeDoc(doc);
}

}  // namespace
}  // namespace orvel::http
