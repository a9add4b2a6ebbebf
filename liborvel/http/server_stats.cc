#include "http/server_stats.h"

#include <atomic>

namespace orvel::http {
namespace {

std::atomic<RequestObserver> g_observer{nullptr};
std::atomic<size_t> g_open{0};
std::atomic<int> g_accepting{0};

}  // namespace

const char* RequestResultName(RequestResult r) {
  switch (r) {
    case RequestResult::kOk:
      return "ok";
    case RequestResult::kRefused:
      return "refused";
    case RequestResult::kMalformed:
      return "malformed";
    case RequestResult::kUnknownType:
      return "unknown_type";
    case RequestResult::kTimeout:
      return "timeout";
    case RequestResult::kNoThread:
      return "no_thread";
  }
  return "unknown";
}

std::vector<std::string> RequestResultNames() {
  std::vector<std::string> names;
  for (size_t i = 0; i < kRequestResults; ++i) {
    names.push_back(RequestResultName(static_cast<RequestResult>(i)));
  }
  return names;
}

void SetRequestObserver(RequestObserver observer) { g_observer.store(observer); }

void ReportRequest(const char* type, RequestResult result) {
  RequestObserver o = g_observer.load(std::memory_order_acquire);
  if (o != nullptr) o(type, result);
}

bool ServerAccepting() { return g_accepting.load() > 0; }
void SetServerAccepting(bool accepting) { g_accepting.fetch_add(accepting ? 1 : -1); }

void ConnectionOpened() { g_open.fetch_add(1, std::memory_order_acq_rel); }
void ConnectionClosed() { g_open.fetch_sub(1, std::memory_order_acq_rel); }

ServerGauges CurrentServerGauges() {
  ServerGauges g;
  g.connections_open = g_open.load(std::memory_order_acquire);
  g.handler_threads = ConnectionThreads();
  return g;
}

}  // namespace orvel::http
