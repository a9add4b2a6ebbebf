// Deadline-bounded reads and writes over socket pairs.
#include "net/socket_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace orvel::net {
namespace {

struct Pair {
  Pair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
  UniqueFd a, b;
};

TEST(UniqueFd, ClosesOnResetAndMoveAndNotOnRelease) {
  Pair p;
  const int fd = p.a.get();
  UniqueFd moved(std::move(p.a));
  EXPECT_FALSE(p.a.valid());
  EXPECT_EQ(moved.get(), fd);
  UniqueFd other;
  other = std::move(moved);
  EXPECT_GE(fcntl(fd, F_GETFD), 0);
  other.reset();
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(errno, EBADF);

  const int kept = p.b.release();
  EXPECT_FALSE(p.b.valid());
  EXPECT_GE(fcntl(kept, F_GETFD), 0);
  close(kept);
}

TEST(Deadline, NeverAfterAndAt) {
  Deadline never = Deadline::Never();
  EXPECT_TRUE(never.infinite());
  EXPECT_FALSE(never.passed());
  EXPECT_EQ(never.remaining_ms(), -1);
  EXPECT_EQ(never.at(), Deadline::Clock::time_point::max());

  Deadline past = Deadline::At(Deadline::Clock::now() - std::chrono::seconds(1));
  EXPECT_TRUE(past.passed());
  EXPECT_EQ(past.remaining_ms(), 0);
  EXPECT_EQ(Deadline::After(-5).remaining_ms(), 0);

  Deadline later = Deadline::After(100);
  EXPECT_FALSE(later.passed());
  EXPECT_GT(later.remaining_ms(), 99000);
  EXPECT_LE(later.remaining_ms(), 100001);
  // Huge values are clamped instead of overflowing the clock.
  EXPECT_FALSE(Deadline::After(1e300).passed());
  EXPECT_GT(Deadline::AfterMs(2000).remaining_ms(), 1000);
}

TEST(SocketIo, ReadSomeReportsDataClosingAndTimeOut) {
  Pair p;
  char buf[16];
  IoResult r = ReadSome(p.a.get(), buf, sizeof buf, Deadline::AfterMs(20));
  EXPECT_EQ(r.status, IoStatus::kTimedOut);
  EXPECT_EQ(r.error, ETIMEDOUT);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_TRUE(r.ToStatus("read").IsTimedOut());

  ASSERT_EQ(write(p.b.get(), "hello", 5), 5);
  r = ReadSome(p.a.get(), buf, sizeof buf, Deadline::After(10));
  EXPECT_EQ(r.status, IoStatus::kOk);
  EXPECT_EQ(std::string(buf, r.bytes), "hello");

  p.b.reset();
  r = ReadSome(p.a.get(), buf, sizeof buf, Deadline::After(10));
  EXPECT_EQ(r.status, IoStatus::kClosed);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.ToStatus("peer").ToString(), "peer: closed by the peer");

  const int stale = p.a.get();
  p.a.reset();  // a descriptor no longer open
  r = ReadSome(stale, buf, sizeof buf, Deadline::After(10));
  EXPECT_EQ(r.status, IoStatus::kError);
  EXPECT_EQ(r.error, EBADF);
  EXPECT_EQ(r.ToStatus("read").sys_errno(), EBADF);
}

TEST(SocketIo, ReadExactGathersSegmentsAndCountsAShortOne) {
  Pair p;
  std::thread writer([&] {
    (void)!write(p.b.get(), "abc", 3);
    usleep(10 * 1000);
    (void)!write(p.b.get(), "defg", 4);
    p.b.reset();
  });
  char buf[16] = {};
  IoResult r = ReadExact(p.a.get(), buf, 6, Deadline::After(10));
  EXPECT_EQ(r.status, IoStatus::kOk);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_EQ(std::string(buf, 6), "abcdef");
  r = ReadExact(p.a.get(), buf, 5, Deadline::After(10));
  writer.join();
  EXPECT_EQ(r.status, IoStatus::kClosed);
  EXPECT_EQ(r.bytes, 1u);
  EXPECT_EQ(buf[0], 'g');
}

TEST(SocketIo, WriteAllOutlastsAFullBufferAndReportsWhatWentOut) {
  Pair p;
  const std::string big(4 << 20, 'x');
  std::string got;
  std::thread reader([&] {
    std::vector<char> chunk(65536);
    for (;;) {
      IoResult r = ReadSome(p.b.get(), chunk.data(), chunk.size(), Deadline::After(30));
      if (r.status != IoStatus::kOk) break;
      got.append(chunk.data(), r.bytes);
    }
  });
  IoResult w = WriteAll2(p.a.get(), "head:", 5, big.data(), big.size(), Deadline::After(30));
  EXPECT_EQ(w.status, IoStatus::kOk);
  EXPECT_EQ(w.bytes, big.size() + 5);
  p.a.reset();
  reader.join();
  EXPECT_EQ(got.size(), big.size() + 5);
  EXPECT_EQ(got.substr(0, 6), "head:x");

  // Nobody reads: the write stops at the deadline and tells how far it got.
  Pair q;
  w = WriteAll(q.a.get(), big.data(), big.size(), Deadline::AfterMs(50));
  EXPECT_EQ(w.status, IoStatus::kTimedOut);
  EXPECT_GT(w.bytes, 0u);
  EXPECT_LT(w.bytes, big.size());

  // A vanished peer: an error, not SIGPIPE.
  q.b.reset();
  w = WriteAll(q.a.get(), "x", 1, Deadline::After(1));
  EXPECT_EQ(w.status, IoStatus::kError);
  EXPECT_EQ(w.error, EPIPE);
}

TEST(SocketIo, NonBlockingSwitch) {
  Pair p;
  ASSERT_TRUE(SetNonBlocking(p.a.get(), true));
  EXPECT_TRUE(fcntl(p.a.get(), F_GETFL) & O_NONBLOCK);
  ASSERT_TRUE(SetNonBlocking(p.a.get(), false));
  EXPECT_FALSE(fcntl(p.a.get(), F_GETFL) & O_NONBLOCK);
  EXPECT_FALSE(SetNonBlocking(-1, true));
  EXPECT_EQ(WaitReady(p.a.get(), POLLOUT, Deadline::After(1)), 0);
  EXPECT_EQ(WaitReady(p.a.get(), POLLIN, Deadline::AfterMs(10)), ETIMEDOUT);
}

TEST(SocketIo, EnvironmentNumbers) {
  setenv("ORVEL_NET_TEST_VALUE", "2.5", 1);
  EXPECT_EQ(EnvSeconds("ORVEL_NET_TEST_VALUE", 7), 2.5);
  EXPECT_EQ(EnvInteger("ORVEL_NET_TEST_VALUE", 7), 7);  // not a plain integer
  setenv("ORVEL_NET_TEST_VALUE", "-1", 1);
  EXPECT_EQ(EnvSeconds("ORVEL_NET_TEST_VALUE", 7), 7);
  EXPECT_EQ(EnvInteger("ORVEL_NET_TEST_VALUE", 7), 7);
  setenv("ORVEL_NET_TEST_VALUE", "123", 1);
  EXPECT_EQ(EnvInteger("ORVEL_NET_TEST_VALUE", 7), 123);
  setenv("ORVEL_NET_TEST_VALUE", "99999999999999999999999", 1);
  EXPECT_EQ(EnvInteger("ORVEL_NET_TEST_VALUE", 7), 7);
  setenv("ORVEL_NET_TEST_VALUE", "nan", 1);
  EXPECT_EQ(EnvSeconds("ORVEL_NET_TEST_VALUE", 7), 7);
  unsetenv("ORVEL_NET_TEST_VALUE");
  EXPECT_EQ(EnvSeconds("ORVEL_NET_TEST_VALUE", 3), 3);
}

}  // namespace
}  // namespace orvel::net
