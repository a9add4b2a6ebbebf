// The accept loop every server shares: out of descriptors it lets the loop
// go on (no polling of the listener, no sleep) and accepts the waiting
// connection once one is free; a paused acceptor takes nothing.
#include "net/acceptor.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "net/address.h"
#include "testutil/process_util.h"

namespace orvel::net {
namespace {

struct Fixture {
  std::unique_ptr<EventLoop> loop;
  UniqueFd listener;
  uint16_t port = 0;
  int accepted = 0;
  int shortages = 0;
  int other_errors = 0;
};

std::string OpenListener(Fixture* f) {
  int err = 0;
  f->loop = EventLoop::Create(&err);
  f->listener = ListenTcp(Ipv4(htonl(INADDR_LOOPBACK), 0), 16, &err);
  if (!f->loop || !f->listener.valid()) return "setup failed";
  f->port = LocalPort(f->listener.get());
  return "";
}

Acceptor::AcceptFn Count(Fixture* f) {
  return [f](UniqueFd, const sockaddr_in&) { ++f->accepted; };
}
Acceptor::ErrorFn CountErrors(Fixture* f) {
  return
      [f](int error, bool) { ++(Acceptor::ShortageError(error) ? f->shortages : f->other_errors); };
}

// Takes every free descriptor (the soft limit lowered first, so a few
// hundred at most).
std::vector<UniqueFd> ExhaustDescriptors() {
  rlimit rl{};
  getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 256);
  setrlimit(RLIMIT_NOFILE, &rl);
  std::vector<UniqueFd> held;
  for (;;) {
    UniqueFd fd(::dup(0));
    if (!fd.valid()) break;
    held.push_back(std::move(fd));
  }
  return held;
}

// Runs rounds until done() or `rounds` have passed.
template <typename F>
bool RunUntil(EventLoop* loop, int rounds, F done) {
  for (int i = 0; i < rounds && !done(); ++i) loop->RunOnce(50);
  return done();
}

// In a fresh process: an acceptor with the given back-off, every free
// descriptor taken, a client waiting in the backlog and the shortage seen
// once; then `then` with the descriptors held (clearing them frees them).
std::string InShortage(
    std::chrono::milliseconds backoff,
    const std::function<std::string(Fixture&, Acceptor&, std::vector<UniqueFd>& held)>& then) {
  return testutil::RunInFreshProcess([&]() -> std::string {
    Fixture f;
    std::string why = OpenListener(&f);
    if (!why.empty()) return why;
    Acceptor::Options options;
    options.shortage_backoff = backoff;
    Acceptor acceptor(f.loop.get(), f.listener.get(), Count(&f), CountErrors(&f), options);
    if (!acceptor.Start()) return "start failed";
    UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    std::vector<UniqueFd> held = ExhaustDescriptors();
    sockaddr_in to = Ipv4(htonl(INADDR_LOOPBACK), f.port);
    if (::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
      return "connect failed";
    if (!RunUntil(f.loop.get(), 100, [&] { return f.shortages > 0; })) return "no shortage seen";
    return then(f, acceptor, held);
  });
}

// The sanitizers' runtime tests memory through a pipe of its own, which a
// process without a free descriptor cannot open: it then reports errors
// that are not there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST(Acceptor, OutOfDescriptorsStopsPollingAndAcceptsOnceOneIsFree) {
  if (kSanitized) GTEST_SKIP() << "no descriptor left for the sanitizer runtime";
  std::string result =
      InShortage(std::chrono::milliseconds(20),
                 [](Fixture& f, Acceptor& acceptor, std::vector<UniqueFd>& held) -> std::string {
                   // Backing off: the listener is not watched, so the loop does not
                   // wake for the waiting connection again and again.
                   if (acceptor.watching() || !acceptor.backing_off())
                     return "still watching the listener";
                   if (f.accepted != 0) return "accepted without a descriptor";
                   held.clear();
                   if (!RunUntil(f.loop.get(), 200, [&] { return f.accepted == 1; }))
                     return "waiting connection not accepted once descriptors were free";
                   if (!acceptor.watching() || acceptor.backing_off()) return "not watching again";
                   if (f.other_errors != 0) return "unexpected accept errors";
                   return "";
                 });
  EXPECT_EQ(result, "");
}

TEST(Acceptor, ShortageDoesNotWakeTheLoopUntilTheBackOffEnds) {
  if (kSanitized) GTEST_SKIP() << "no descriptor left for the sanitizer runtime";
  std::string result =
      InShortage(std::chrono::hours(1), [](Fixture& f, Acceptor& acceptor, std::vector<UniqueFd>&) {
        // A loop that kept the listener watched would run its callback (and
        // fail accept() again) in every one of these rounds.
        int callbacks = 0;
        for (int i = 0; i < 20; ++i) callbacks += f.loop->RunOnce(0);
        if (callbacks != 0 || f.shortages != 1) {
          return "the listener woke the loop " + std::to_string(callbacks) + " times in back-off";
        }
        // Stopping ends the back-off too.
        acceptor.Stop();
        if (acceptor.backing_off() || acceptor.Resume())
          return std::string("stopped acceptor resumed");
        return std::string();
      });
  EXPECT_EQ(result, "");
}

TEST(Acceptor, PausedTakesNothingUntilResumed) {
  Fixture f;
  ASSERT_EQ(OpenListener(&f), "");
  Acceptor* self = nullptr;
  Acceptor acceptor(f.loop.get(), f.listener.get(), [&](UniqueFd, const sockaddr_in&) {
    // At the cap after one connection, as a server with a limit does.
    if (++f.accepted == 1) self->Pause();
  });
  self = &acceptor;
  ASSERT_TRUE(acceptor.Start());
  int err = 0;
  std::vector<UniqueFd> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(ConnectTcp(Ipv4(htonl(INADDR_LOOPBACK), f.port), Deadline::After(5), &err));
    ASSERT_TRUE(clients.back().valid());
  }
  ASSERT_TRUE(RunUntil(f.loop.get(), 100, [&] { return f.accepted == 1; }));
  for (int i = 0; i < 5; ++i) f.loop->RunOnce(0);
  EXPECT_EQ(f.accepted, 1);
  EXPECT_FALSE(acceptor.watching());
  ASSERT_TRUE(acceptor.Resume());
  EXPECT_TRUE(RunUntil(f.loop.get(), 100, [&] { return f.accepted == 3; }));
}

}  // namespace
}  // namespace orvel::net
