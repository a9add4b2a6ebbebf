// The message base: envelope, id/version rewriting, counters, utilities and
// the number reading every peer relies on.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <ctime>
#include <set>
#include <thread>
#include <vector>

#include "msg/doc_reader.h"
#include "msg_test_util.h"

using msgtest::A;
using msgtest::Doc;
using msgtest::Dump;
using msgtest::Parse;

namespace {

// Gives the tests a fresh run's counters.
struct Counters : Msg {
  static void Reset() {
    sId = 0;
    sVersion = 0;
  }
};

TEST(Envelope, ZemCommitOkExampleByteForByte) {
  ZemCommitOk ok(1234, 1235);
  EXPECT_EQ(Dump(ok), Doc("<ZemCommitOk><id>1234</id><version>1235</version>"
                          "</ZemCommitOk>"));
  EXPECT_EQ(ok.getType(), "ZemCommitOk");
}

TEST(Envelope, SetIdAndVersionRewriteFieldAndDocument) {
  ZemCommitOk ok(1, 2);
  ok.setId(1234);
  ok.setVersion(1235);
  EXPECT_EQ(ok.getId(), 1234u);
  EXPECT_EQ(ok.getVersion(), 1235u);
  EXPECT_EQ(Dump(ok), Doc("<ZemCommitOk><id>1234</id><version>1235</version>"
                          "</ZemCommitOk>"));
  // Written as signed 32-bit; the field keeps 32 bits.
  ok.setId(0x1ffffffffUL);
  EXPECT_EQ(ok.getId(), 4294967295u);
  EXPECT_NE(Dump(ok).find("<id>-1</id>"), std::string::npos);
}

TEST(Envelope, SetIdOnPrettyPrintedDocumentRewritesTheIdElement) {
  ZemInit msg(
      Parse("<ZemInit>\n  <!-- c -->\n  <id>1</id>\n  <version>2"
            "</version>\n  <data_port>7</data_port>\n</ZemInit>"));
  ASSERT_TRUE(msg.isValid());
  msg.setId(10);
  msg.setVersion(11);
  ZemInit back(Parse(Dump(msg)));
  EXPECT_EQ(back.getId(), 10u);
  EXPECT_EQ(back.getVersion(), 11u);
  EXPECT_EQ(back.getPort(), 7);
}

TEST(Counters, FirstIdIsTimeVersionFollowsId) {
  Counters::Reset();
  EXPECT_EQ(Msg::generateVersion(), 0u);
  EXPECT_EQ(Msg::generateVersion(), 0u);
  unsigned long before = static_cast<unsigned long>(time(nullptr));
  unsigned long id = Msg::generateId();
  unsigned long after = static_cast<unsigned long>(time(nullptr));
  EXPECT_GE(id, before);
  EXPECT_LE(id, after);
  EXPECT_EQ(Msg::generateId(), id + 1);
  EXPECT_EQ(Msg::generateVersion(), id + 1);
  EXPECT_EQ(Msg::generateVersion(), id + 2);
  EXPECT_EQ(Msg::generateId(), id + 2);
}

TEST(Counters, ConcurrentCallersGetDistinctValues) {
  Counters::Reset();
  constexpr int kThreads = 8;
  constexpr int kCalls = 10000;
  std::vector<std::vector<unsigned long>> ids(kThreads), versions(kThreads);
  std::vector<std::thread> threads;
  Msg::generateId();  // let the version sequence start
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        ids[t].push_back(Msg::generateId());
        versions[t].push_back(Msg::generateVersion());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<unsigned long> all_ids, all_versions;
  for (int t = 0; t < kThreads; ++t) {
    all_ids.insert(ids[t].begin(), ids[t].end());
    all_versions.insert(versions[t].begin(), versions[t].end());
  }
  EXPECT_EQ(all_ids.size(), size_t{kThreads * kCalls});
  EXPECT_EQ(all_versions.size(), size_t{kThreads * kCalls});
}

TEST(Utilities, InetAddr) {
  EXPECT_EQ(inet_ADDR("10.0.0.1"), htonl(0x0a000001));
  EXPECT_EQ(inet_ADDR("300.1.1.1"), 0u);
  EXPECT_EQ(inet_ADDR("not an address"), 0u);
  EXPECT_EQ(inet_ADDR(""), 0u);
  EXPECT_EQ(inet_ADDR(nullptr), 0u);
  EXPECT_EQ(inet_ADDR("10.1"), htonl(0x0a000001));  // short form
  EXPECT_EQ(inet_ADDR("0x7f.1"), htonl(0x7f000001));
}

// Whatever form it takes, an address reads as inet_aton reads it.
TEST(Utilities, InetAddrAgreesWithInetAton) {
  const char* texts[] = {"10.0.0.1",   "255.255.255.255", "0.0.0.0",  "010.0.0.1",  "1.2.3.04",
                         "0x0a.0.0.1", "1.2.3.4 ",        "1.2.3.4x", "1.2.3.256",  "1.2.3",
                         "1",          "4294967295",      "1..2.3",   ".1.2.3",     "1.2.3.4.",
                         "1234.1.1.1", "00.0.0.0",        " 1.2.3.4", "1.2.3.0000", "99.99.99.99"};
  for (const char* t : texts) {
    struct in_addr in;
    unsigned long want = inet_aton(t, &in) ? in.s_addr : 0;
    EXPECT_EQ(inet_ADDR(t), want) << '"' << t << '"';
  }
}

TEST(Utilities, InetNtos) {
  EXPECT_EQ(inet_NTOS(0), "0.0.0.0");
  EXPECT_EQ(inet_NTOS(htonl(0xe0050607)), "224.5.6.7");
  EXPECT_EQ(inet_NTOS(0xffffffffUL), "255.255.255.255");
  // Only the low 32 bits count.
  EXPECT_EQ(inet_NTOS(0x100000000UL | htonl(0x7f000001)), "127.0.0.1");
}

// The C library's inet_ntoa may keep one buffer for the whole process (musl
// does; glibc's is per thread, which would hide the fault here).  This one
// does, and pauses inside so that concurrent calls overlap: an inet_NTOS
// built on inet_ntoa mixes up the results of concurrent calls.
extern "C" char* inet_ntoa(struct in_addr in) noexcept {
  static char shared[INET_ADDRSTRLEN];
  const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
  std::snprintf(shared, sizeof shared, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  std::this_thread::sleep_for(std::chrono::microseconds(50));
  return shared;
}

TEST(Utilities, InetNtosIsThreadSafe) {
  std::vector<std::thread> threads;
  std::vector<int> bad(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      unsigned long addr = htonl(0x0a000000u | static_cast<unsigned>(t + 1));
      std::string want = "10.0.0." + std::to_string(t + 1);
      for (int i = 0; i < 2000; ++i) {
        if (inet_NTOS(addr) != want) ++bad[t];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

TEST(Utilities, Mask2int) {
  const struct {
    const char* mask;
    int bits;
  } cases[] = {{"0.0.0.0", 0},          {"255.255.255.128", 25}, {"255.255.255.0", 24},
               {"255.255.255.255", 32}, {"255.0.0.0", 8},        {"255.0.255.0", 24},
               {"128.0.0.0", 1}};
  for (const auto& c : cases) EXPECT_EQ(mask2int(A(c.mask)), c.bits) << c.mask;
}

TEST(NumberReading, UnsignedDecimal) {
  const struct {
    const char* text;
    uint32_t value;
  } cases[] = {
      {"", 0},
      {"abc", 0},
      {"  42", 42},
      {"\t\n7x", 7},
      {"+7", 7},
      {"-", 0},
      {"- 5", 0},
      {"0x10", 0},
      {"-1", 4294967295u},
      {"-2", 4294967294u},
      {"-4294967295", 1},
      {"4294967295", 4294967295u},
      {"4294967296", 4294967295u},
      {"18446744073709551617", 4294967295u},
      {"-4294967296", 4294967295u},
      {"99999999999999999999999999999", 4294967295u},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(orvel::msg::ParseUnsigned(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(orvel::msg::ParseUnsigned(nullptr), 0u);
}

TEST(NumberReading, SignedDecimal) {
  const struct {
    const char* text;
    int32_t value;
  } cases[] = {{"-2", -2},
               {"17", 17},
               {"junk", 0},
               {"2147483647", INT32_MAX},
               {"2147483648", INT32_MAX},
               {"99999999999", INT32_MAX},
               {"-2147483648", INT32_MIN},
               {"-2147483649", INT32_MIN},
               {"-99999999999", INT32_MIN}};
  for (const auto& c : cases) {
    EXPECT_EQ(orvel::msg::ParseSigned(c.text), c.value) << c.text;
  }
}

// The same rules seen through the messages: narrowing keeps the low bits.
TEST(NumberReading, NarrowingThroughDocuments) {
  ZemInitOk ok(
      Parse("<ZemInitOk><id>-1</id><version>4294967296</version>"
            "<data_addr>1.2.3.4</data_addr><ttl>300</ttl>"
            "</ZemInitOk>"));
  ASSERT_TRUE(ok.isValid());
  EXPECT_EQ(ok.getId(), 4294967295u);
  EXPECT_EQ(ok.getVersion(), 4294967295u);
  EXPECT_EQ(ok.getTTL(), 44);
  ZemInit init(
      Parse("<ZemInit><id>1</id><version>2</version>"
            "<data_port>-1</data_port></ZemInit>"));
  EXPECT_EQ(init.getPort(), 65535);
}

}  // namespace
