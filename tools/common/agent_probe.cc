#include "agent_probe.h"

#include <poll.h>
#include <sys/socket.h>

#include <cstdint>

#include "net/socket_io.h"
#include "slp/agent_list.h"
#include "slp/wire.h"

namespace orvel::metrics {

AgentProbe::AgentProbe(const std::string& agents, std::chrono::milliseconds period,
                       std::chrono::milliseconds fresh)
    : period_(period), fresh_(fresh) {
  size_t pos = 0;
  while (pos <= agents.size()) {
    size_t comma = agents.find(',', pos);
    if (comma == std::string::npos) comma = agents.size();
    std::string item = slp::Trim(agents.substr(pos, comma - pos));
    if (!item.empty()) agents_.push_back(item);
    pos = comma + 1;
  }
  port::MutexLock lock(&mu_);
  answered_.assign(agents_.size(), Clock::time_point());
}

AgentProbe::~AgentProbe() {
  {
    port::MutexLock lock(&mu_);
    stopping_ = true;
    wake_.SignalAll();
  }
  if (thread_.joinable()) thread_.join();
}

void AgentProbe::Start() {
  if (agents_.empty() || thread_.joinable()) return;
  thread_ = std::thread([this] { Run(); });
}

bool AgentProbe::Ready() const {
  if (agents_.empty()) return true;
  const Clock::time_point now = Clock::now();
  port::MutexLock lock(&mu_);
  for (const Clock::time_point& t : answered_) {
    if (t != Clock::time_point() && now - t <= fresh_) return true;
  }
  return false;
}

std::string AgentProbe::NotReady() const {
  if (Ready()) return "";
  std::string why = "no directory agent answered lately:";
  for (const std::string& a : agents_) why += " " + a;
  return why;
}

void AgentProbe::Run() {
  for (;;) {
    const Clock::time_point next = Clock::now() + period_;
    Round();
    port::MutexLock lock(&mu_);
    while (!stopping_ && Clock::now() < next) wake_.WaitUntil(&lock, next);
    if (stopping_) return;
  }
}

// One request to every agent, then the replies that come within the period.
void AgentProbe::Round() {
  net::UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!s.valid()) return;
  slp::Message req;
  req.header.xid = slp::NewXid();
  slp::SrvRqst rq;
  rq.service_type = "service:directory-agent";
  req.body = rq;
  const std::string bytes = slp::Encode(req);
  std::vector<sockaddr_in> to(agents_.size());
  std::vector<bool> resolved(agents_.size(), false);
  for (size_t i = 0; i < agents_.size(); ++i) {
    resolved[i] = slp::ResolveAgent(agents_[i], slp::kDefaultPort, &to[i]);
    if (!resolved[i]) continue;
    (void)::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to[i]),
                   sizeof to[i]);
  }
  // Replies wait at most most of a period, so rounds keep their pace.
  const net::Deadline deadline = net::Deadline::AfterMs(period_.count() * 9 / 10);
  uint8_t buf[2048];
  while (!deadline.passed()) {
    pollfd p{s.get(), POLLIN, 0};
    if (::poll(&p, 1, deadline.remaining_ms()) <= 0) break;
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n =
        ::recvfrom(s.get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n <= 0) continue;
    slp::Message reply;
    bool header_ok = false;
    (void)slp::Decode(buf, static_cast<size_t>(n), &reply, &header_ok);
    if (!header_ok || reply.header.xid != req.header.xid) continue;
    const Clock::time_point now = Clock::now();
    port::MutexLock lock(&mu_);
    for (size_t i = 0; i < agents_.size(); ++i) {
      if (resolved[i] && slp::SameAddr(to[i], from)) answered_[i] = now;
    }
  }
}

}  // namespace orvel::metrics
