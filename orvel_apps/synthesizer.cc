// synthesizer.cc: locating, launching and initialising the proxies of one
// synthesis request, one after another or N at once.
#include "synthesizer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace orvel::zem {
namespace {

constexpr unsigned short kDataPort = 7560;
constexpr const char* kEPGroup = "224.5.6.7";
constexpr unsigned char kEPGroupTTL = 0;
constexpr const char* kZoneGroup = "225.5.6.7";
constexpr unsigned char kZoneGroupTTL = 1;
constexpr unsigned char kAboneTTL = 255;
constexpr const char* kAboneClient = "/abone/sc.linux -f anee2";
constexpr const char* kHostMask = "255.255.255.255";

// Monitor colours.
constexpr int kClientColour = 1;
constexpr int kSelectedColour = 5;
constexpr int kResetColour = 0;

const std::string kRule(53, '=');

std::string Format(const char* fmt, const std::string& a) {
  char buf[512];
  std::snprintf(buf, sizeof buf, fmt, a.c_str());
  return buf;
}

// Runs fn(0) ... fn(n - 1) on at most max_threads threads (the caller's
// among them), handing out indices in increasing order.  Fewer threads run
// when the system refuses more.
void ParallelFor(size_t n, int max_threads, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i; (i = next.fetch_add(1)) < n;) fn(i);
  };
  const size_t threads = std::min(n, static_cast<size_t>(std::max(1, max_threads)));
  std::vector<std::thread> pool;
  pool.reserve(threads - 1);
  for (size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& t : pool) t.join();
}

// Removes the peer's own address from a transport reason: the member name
// already carries it ("connect 127.0.0.1:7103: Connection refused" becomes
// "connect: Connection refused").
std::string WithoutPeer(std::string reason, const std::string& peer) {
  if (reason.rfind(peer + ": ", 0) == 0) return reason.substr(peer.size() + 2);
  const size_t at = reason.find(" " + peer);
  if (at != std::string::npos) reason.erase(at, peer.size() + 1);
  return reason;
}

std::string Peer(const TransportEndPoint& p) {
  return p.getAddrStr() + ":" + std::to_string(p.getPort());
}

}  // namespace

std::string MemberName(size_t index, const EndPoint& host) {
  return "member " + std::to_string(index) + " (end host " + host.getAddrStr() + ")";
}

std::string MemberName(size_t index, const EndZone& zone) {
  return "member " + std::to_string(index) + " (zone " + zone.getAddrStr() + "/" +
         zone.getMaskStr() + ")";
}

std::string MemberName(size_t index, const TransportEndPoint& proxy) {
  if (proxy.isAboneNode())
    return "member " + std::to_string(index) + " (ABone node " + proxy.getAddrStr() + ")";
  return "member " + std::to_string(index) + " (proxy " + Peer(proxy) + ")";
}

// The output of one member.  One after another, text goes out exactly as
// given; concurrently, every line is whole and starts with the member's
// name, and one call's lines stay together.
class Synthesizer::MemberOut {
 public:
  MemberOut(SynthesisObserver* observer, bool concurrent, std::string name)
      : observer_(observer), concurrent_(concurrent), name_(std::move(name)) {}

  void Print(Stream stream, const std::string& text) {
    if (!concurrent_) {
      observer_->Print(stream, text);
      return;
    }
    std::string lines;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines += name_ + ": " + text.substr(start, end - start) + "\n";
      start = end + 1;
    }
    observer_->Print(stream, lines);
  }
  // A line that names the member in either mode.
  void Named(Stream stream, const std::string& reason) {
    observer_->Print(stream, name_ + ": " + reason + "\n");
  }
  const std::string& name() const { return name_; }

 private:
  SynthesisObserver* observer_;
  bool concurrent_;
  std::string name_;
};

// Fallback searches that pause take their turns in request order: member i
// starts its own once every earlier member has finished its search.
class Synthesizer::Turns {
 public:
  explicit Turns(size_t n) : done_(n, false) {}
  void WaitFor(size_t index) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return first_open_ >= index; });
  }
  void Done(size_t index) {
    std::lock_guard<std::mutex> lock(mu_);
    done_[index] = true;
    while (first_open_ < done_.size() && done_[first_open_]) ++first_open_;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<bool> done_;
  size_t first_open_ = 0;
};

struct Synthesizer::Located {
  TransportEndPoint proxy;
  std::string why;  // when proxy has address 0
  bool lookup_failed = false;
};

struct Synthesizer::Members {
  std::vector<TransportEndPoint> all;  // end-host proxies, then zones
  size_t hosts = 0;
  bool IsHost(size_t i) const { return i < hosts; }
  // Every member but i, in order; none for member 0.
  std::vector<TransportEndPoint> PeersOf(size_t i) const {
    if (i == 0) return {};
    std::vector<TransportEndPoint> peers;
    peers.reserve(all.size() - 1);
    for (size_t j = 0; j < all.size(); ++j)
      if (j != i) peers.push_back(all[j]);
    return peers;
  }
  MulticastEndPoint TransportOf(size_t i) const {
    if (all[i].isAboneNode()) return MulticastEndPoint(all[i].getAddr(), kDataPort, kAboneTTL);
    return IsHost(i) ? MulticastEndPoint(inet_ADDR(kEPGroup), kDataPort, kEPGroupTTL)
                     : MulticastEndPoint(inet_ADDR(kZoneGroup), kDataPort, kZoneGroupTTL);
  }
};

// One member's failure.
struct Synthesizer::Failure {
  bool failed = false;
  std::string stage;
  std::string label;
  std::string reason;
};

namespace {

// The bounded metric label of a transport failure: its code's name
// ("unavailable", "timed_out", "protocol", ...).
const char* ExchangeLabel(const Status& s) { return s.CodeName(); }

Synthesizer::Failure Fail(const char* stage, const char* label, std::string reason) {
  return Synthesizer::Failure{true, stage, label, std::move(reason)};
}

}  // namespace

Synthesizer::Synthesizer(const ServiceConfig& config, ProxyDirectory* directory,
                         ProxyControl* control, SynthesisObserver* observer)
    : config_(config), directory_(directory), control_(control), observer_(observer) {}

// ---- Location ---------------------------------------------------------------

TransportEndPoint Synthesizer::LocateHost(const EndPoint& host, std::string* why) {
  MemberOut out(observer_, /*concurrent=*/false, "");
  Located r = Locate(0, &host, nullptr, out, nullptr);
  if (why != nullptr) *why = r.why;
  return r.proxy;
}

TransportEndPoint Synthesizer::LocateZone(const EndZone& zone, std::string* why) {
  MemberOut out(observer_, /*concurrent=*/false, "");
  Located r = Locate(0, nullptr, &zone, out, nullptr);
  if (why != nullptr) *why = r.why;
  return r.proxy;
}

Synthesizer::Located Synthesizer::Locate(size_t index, const EndPoint* host, const EndZone* zone,
                                         MemberOut& out, Turns* turns) {
  Located r;
  ServiceInstance si;
  // REQUIRES: exactly one of host and zone.
  const std::string addr = host != nullptr   ? host->getAddrStr()
                           : zone != nullptr ? zone->getAddrStr()
                                             : std::string();
  const std::string mask = host != nullptr   ? std::string(kHostMask)
                           : zone != nullptr ? zone->getMaskStr()
                                             : std::string();
  Status s = directory_->FindRegistered(addr, mask, &si);
  if (s.ok()) {
    r.proxy.setAddr(si.getAddr());
    r.proxy.setPort(si.getPort());
    return r;
  }
  std::string first = "no ZemProxy registered";
  if (!s.IsNotFound()) {
    out.Print(Stream::kOut, s.message() + "\n");
    first = s.message();
    r.lookup_failed = true;
  }
  if (host != nullptr) {
    if (turns != nullptr) turns->WaitFor(index);
    observer_->Colour(addr, kClientColour);
    out.Print(Stream::kOut, "CLIENT node highlighted on PELM monitor (press any key)\n");
    observer_->Pause();
  }

  // Zones fall back silently: no monitor, no pauses, and with the
  // coordinates of their representative host.
  const std::string coords =
      directory_->Coordinates(host != nullptr ? host->getAddr() : zone->getEP());
  if (coords.empty()) {
    out.Print(Stream::kOut, "coordinates not found, returning now...\n");
    r.why = first + " and no coordinates known";
    return r;
  }
  out.Print(Stream::kOut, Format("coordinates: [%s]\n", coords));
  s = directory_->FindNearest(coords, &si);
  if (!s.ok()) {
    // For an end host the client stays coloured on the monitor.
    if (!s.IsNotFound()) {
      out.Print(Stream::kOut, s.message() + "\n");
      r.lookup_failed = true;
      r.why = first + " and " + s.message();
    } else {
      r.why = first + " and no CompResource near [" + coords + "]";
    }
    return r;
  }
  if (host != nullptr) {
    out.Print(Stream::kOut, "CANDIDATE nodes highlighted on PELM monitor (press any key)\n");
    observer_->Pause();
    observer_->Colour(si.getAddrStr(), kSelectedColour);
  }
  r.proxy.setAddr(si.getAddr());
  r.proxy.setPort(static_cast<unsigned short>(0));
  r.proxy.setAboneNode();
  if (host != nullptr) {
    out.Print(Stream::kOut, "SELECTED node highlighted on PELM monitor (press any key)\n");
    observer_->Pause();
    observer_->Colour("RESET", kResetColour);
  }
  return r;
}

void Synthesizer::LocateAll(const std::vector<EndPoint>& hosts, const std::vector<EndZone>& zones,
                            std::vector<Located>* located) {
  const size_t n = hosts.size() + zones.size();
  located->assign(n, Located());
  const bool concurrent = config_.concurrency > 1 && n > 1;
  std::unique_ptr<Turns> turns;
  if (concurrent && observer_->PausesWait()) turns = std::make_unique<Turns>(n);
  auto one = [&](size_t i) {
    const bool is_host = i < hosts.size();
    const EndPoint* host = is_host ? &hosts[i] : nullptr;
    const EndZone* zone = is_host ? nullptr : &zones[i - hosts.size()];
    MemberOut out(observer_, concurrent, is_host ? MemberName(i, *host) : MemberName(i, *zone));
    if (!is_host) {
      // The representative host's address is shown as the signed 32-bit
      // number it is on the wire.
      char line[128];
      std::snprintf(line, sizeof line, "locating proxy for zone %s (ep %d)\n",
                    zone->getAddrStr().c_str(),
                    static_cast<int>(static_cast<uint32_t>(zone->getEP())));
      out.Print(Stream::kOut, line);
    }
    Located r = Locate(i, host, zone, out, turns.get());
    if (turns) turns->Done(i);
    out.Print(Stream::kOut, "got proxy " + r.proxy.getStr() + "\n");
    observer_->MemberLocated(/*zone=*/!is_host, r.proxy);
    (*located)[i] = std::move(r);
  };
  if (!concurrent) {
    for (size_t i = 0; i < n; ++i) one(i);
  } else {
    ParallelFor(n, config_.concurrency, one);
  }
}

// ---- Launch and initialisation ----------------------------------------------

InitResult Synthesizer::Initialise(const std::vector<TransportEndPoint>& ep_proxies,
                                   const std::vector<TransportEndPoint>& zone_proxies) {
  Members m;
  m.all = ep_proxies;
  m.all.insert(m.all.end(), zone_proxies.begin(), zone_proxies.end());
  m.hosts = ep_proxies.size();
  const unsigned long id = Msg::generateId();
  const unsigned long version = Msg::generateVersion();

  // A member with address 0 has no proxy (address 0 would reach this host
  // itself or hand 0.0.0.0 to the ABone client).  The synthesis cannot
  // succeed, so no proxy is contacted at all: one initialised now would
  // serve a session nobody uses.
  for (size_t i = 0; i < m.all.size(); ++i) {
    if (m.all[i].getAddr() != 0) continue;
    char line[96];
    std::snprintf(line, sizeof line, "member %zu has no proxy address, returning now...\n", i);
    observer_->Print(Stream::kErr, line);
    InitResult r;
    r.status = Status::NotFound("member " + std::to_string(i) + ": no proxy address");
    r.stage = "locate";
    r.reason_label = "no_proxy";
    r.member = i;
    r.id = id;
    r.version = version;
    return r;
  }
  InitResult r = config_.concurrency > 1 && m.all.size() > 1 ? InitConcurrently(m, id, version)
                                                             : InitInOrder(m, id, version);
  r.id = id;
  r.version = version;
  return r;
}

namespace {

void SetFailure(InitResult* r, size_t member, const std::string& name,
                const Synthesizer::Failure& f) {
  r->ok = false;
  r->member = member;
  r->stage = f.stage;
  r->reason_label = f.label;
  const std::string text = name + ": " + f.reason;
  if (f.label == "timed_out") {
    r->status = Status::TimedOut(text);
  } else if (f.label == "not_configured") {
    r->status = Status::Unavailable(text);
  } else {
    r->status = Status::Refused(text);
  }
}

}  // namespace

Synthesizer::Failure Synthesizer::RunCommand(const std::string& command, MemberOut& out) {
  Status s = control_->RunCommand(command);
  if (s.ok()) return Failure();
  if (s.code() == Status::Code::kIOError) {
    out.Print(Stream::kErr, s.message() + "\n");  // "system: ..."
  } else {
    out.Print(Stream::kOut, s.message() + ", returning now...\n");
  }
  return Fail("launch", "command_failed", s.message());
}

Synthesizer::Failure Synthesizer::Load(size_t i, const Members& m, MemberOut& out) {
  if (!config_.has_orvel_path) {
    out.Print(Stream::kOut, "ORVEL_PATH not set, returning now...\n");
    return Fail("launch", "not_configured", "ORVEL_PATH not set");
  }
  const std::string addr = m.all[i].getAddrStr();
  out.Print(Stream::kOut, "loading proxy to " + addr + "...\n");
  return RunCommand(config_.orvel_path + kAboneClient + std::string(" ") + addr +
                        " LOAD X=" + config_.proxy_code_url + " S=-C",
                    out);
}

Synthesizer::Failure Synthesizer::Start(size_t i, const Members& m, MemberOut& out) {
  if (!config_.has_viewer_args) {
    out.Print(Stream::kOut, "ORVEL_ABONEVIEWERARGS not set, returning now...\n");
    return Fail("launch", "not_configured", "ORVEL_ABONEVIEWERARGS not set");
  }
  const std::string addr = m.all[i].getAddrStr();
  std::string abcmd = config_.orvel_path + kAboneClient + std::string(" ") + addr +
                      " LOAD X=" + config_.viewer_code_url + " O=out.txt R=err.txt C=VanoruProxy " +
                      config_.viewer_args + " ";
  // Every member but the first joins the first one.
  if (i > 0) abcmd += "S=-m" + m.all[0].getAddrStr() + " ";
  out.Print(Stream::kOut,
            "invoking proxy using command line:\n" + kRule + "\n" + abcmd + "\n" + kRule + "\n");
  return RunCommand(abcmd, out);
}

Synthesizer::Failure Synthesizer::SendInit(size_t i, const Members& m, unsigned long id,
                                           unsigned long version, MemberOut& out) {
  const TransportEndPoint& member = m.all[i];
  const std::string addr = member.getAddrStr();
  out.Print(Stream::kErr, "sending ZemInit to " + Peer(member) + "...");
  if (member.getPort() == 0) {
    out.Named(Stream::kErr, "no port to connect to");
    return Fail("init", "no_port", "no port to connect to");
  }
  ZemInit init(id, version, kDataPort);
  std::unique_ptr<Msg> reply;
  Status s = control_->Exchange(addr, member.getPort(), init, &reply);
  if (!s.ok()) return Fail("init", ExchangeLabel(s), WithoutPeer(s.ToString(), Peer(member)));
  if (reply->getType() != Msg::ZemInitOk) {
    const std::string why = "answered " + reply->getType() + " to ZemInit";
    out.Named(Stream::kErr, why);
    return Fail("init", "wrong_reply", why);
  }
  out.Print(Stream::kOut, "got ZemInitOk\n");
  return Failure();
}

Synthesizer::Failure Synthesizer::SendCommit(size_t i, const Members& m, unsigned long id,
                                             unsigned long version, MemberOut& out) {
  const TransportEndPoint& member = m.all[i];
  const MulticastEndPoint transport = m.TransportOf(i);
  std::unique_ptr<Msg> reply;
  Status s;
  {
    ZemCommit commit(id, version, transport.getAddr(), kDataPort, transport.getTTL(), m.PeersOf(i));
    out.Print(Stream::kOut, "sending ZemCommit...");
    s = control_->Exchange(member.getAddrStr(), member.getPort(), commit, &reply);
  }
  if (!s.ok()) return Fail("commit", ExchangeLabel(s), WithoutPeer(s.ToString(), Peer(member)));
  if (reply->getType() != Msg::ZemCommitOk) {
    const std::string why = "answered " + reply->getType() + " to ZemCommit";
    out.Named(Stream::kErr, why);
    return Fail("commit", "wrong_reply", why);
  }
  out.Print(Stream::kOut, "got ZemCommitOk\n");
  return Failure();
}

InitResult Synthesizer::InitInOrder(const Members& m, unsigned long id, unsigned long version) {
  InitResult r;
  for (size_t i = 0; i < m.all.size(); ++i) {
    MemberOut out(observer_, /*concurrent=*/false, MemberName(i, m.all[i]));
    Failure f;
    if (m.all[i].isAboneNode()) {
      f = Load(i, m, out);
      if (!f.failed) {
        control_->WaitForLoad(config_.load_wait_seconds);
        f = Start(i, m, out);
      }
    } else {
      f = SendInit(i, m, id, version, out);
      // The transport counts from ZemInitOk on, as it always has.
      if (!f.failed) {
        (m.IsHost(i) ? r.ep_transports : r.zone_transports).push_back(m.TransportOf(i));
        f = SendCommit(i, m, id, version, out);
        if (f.failed) {
          SetFailure(&r, i, out.name(), f);
          return r;
        }
        continue;
      }
    }
    if (f.failed) {
      SetFailure(&r, i, out.name(), f);
      return r;
    }
    (m.IsHost(i) ? r.ep_transports : r.zone_transports).push_back(m.TransportOf(i));
  }
  r.ok = true;
  return r;
}

InitResult Synthesizer::InitConcurrently(const Members& m, unsigned long id,
                                         unsigned long version) {
  const size_t n = m.all.size();
  std::vector<MemberOut> outs;
  outs.reserve(n);
  for (size_t i = 0; i < n; ++i)
    outs.emplace_back(observer_, /*concurrent=*/true, MemberName(i, m.all[i]));
  std::vector<Failure> failures(n);
  InitResult r;
  // The first failure in member order is the one reported.
  auto first_failure = [&]() -> bool {
    for (size_t i = 0; i < n; ++i) {
      if (failures[i].failed) {
        SetFailure(&r, i, outs[i].name(), failures[i]);
        return true;
      }
    }
    return false;
  };

  // Settings an ABone launch needs are checked before anything is sent.
  bool any_abone = false;
  for (size_t i = 0; i < n && !any_abone; ++i) {
    if (!m.all[i].isAboneNode()) continue;
    any_abone = true;
    if (!config_.has_orvel_path) {
      failures[i] = Load(i, m, outs[i]);
    } else if (!config_.has_viewer_args) {
      failures[i] = Start(i, m, outs[i]);
    }
  }
  if (first_failure()) return r;

  // Every ZemInit and every load command at once.
  ParallelFor(n, config_.concurrency, [&](size_t i) {
    failures[i] =
        m.all[i].isAboneNode() ? Load(i, m, outs[i]) : SendInit(i, m, id, version, outs[i]);
  });
  if (first_failure()) return r;
  if (any_abone) control_->WaitForLoad(config_.load_wait_seconds);

  // Member 0's start command first: the others' viewers join it.
  size_t from = 0;
  if (m.all[0].isAboneNode()) {
    failures[0] = Start(0, m, outs[0]);
    if (first_failure()) return r;
    from = 1;
  }
  ParallelFor(n - from, config_.concurrency, [&](size_t k) {
    const size_t i = from + k;
    failures[i] =
        m.all[i].isAboneNode() ? Start(i, m, outs[i]) : SendCommit(i, m, id, version, outs[i]);
  });
  if (first_failure()) return r;
  for (size_t i = 0; i < n; ++i)
    (m.IsHost(i) ? r.ep_transports : r.zone_transports).push_back(m.TransportOf(i));
  r.ok = true;
  return r;
}

// ---- The whole request -------------------------------------------------------

std::unique_ptr<Msg> Synthesizer::Synthesize(Msg& request, SynthesisReport* report) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  auto seconds_since = [](Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
  };
  *report = SynthesisReport();
  report->type = request.getType();
  report->id = request.getId();
  report->version = request.getVersion();
  report->peer = request.getSrcAddrStr() + ":" + std::to_string(request.getSrcPort());
  auto finish = [&](std::unique_ptr<Msg> reply) {
    report->ok = reply != nullptr;
    report->seconds = seconds_since(start);
    observer_->Finished(*report);
    return reply;
  };

  auto* req = dynamic_cast<SynthZemReq*>(&request);
  if (request.getType() != Msg::SynthZemReq || req == nullptr) {
    observer_->Print(Stream::kOut, "Not getting the right request!\n");
    report->stage = "request";
    report->reason_label = "wrong_request";
    report->status = Status::InvalidArgument("unknown request type " + request.getType());
    return finish(nullptr);
  }
  char line[128];
  std::snprintf(line, sizeof line, "Got SynthZemReq from %s:%d\n", req->getSrcAddrStr().c_str(),
                static_cast<int>(req->getSrcPort()));
  observer_->Print(Stream::kOut, line);

  const std::vector<EndPoint>& hosts = req->getEPVec();
  const std::vector<EndZone>& zones = req->getZoneVec();
  report->hosts = hosts.size();
  report->zones = zones.size();
  std::vector<Located> located;
  LocateAll(hosts, zones, &located);
  observer_->StageDone(Stage::kLocate, seconds_since(start));

  std::vector<TransportEndPoint> ep_proxies, zone_proxies;
  for (size_t i = 0; i < located.size(); ++i)
    (i < hosts.size() ? ep_proxies : zone_proxies).push_back(located[i].proxy);
  const Clock::time_point init_start = Clock::now();
  InitResult init = Initialise(ep_proxies, zone_proxies);
  observer_->StageDone(Stage::kInit, seconds_since(init_start));
  observer_->StageDone(Stage::kWhole, seconds_since(start));
  if (!init.ok) {
    observer_->Print(Stream::kOut, "Zem init failed!?\n");
    report->stage = init.stage;
    report->reason_label = init.reason_label;
    report->status = init.status;
    if (init.reason_label == "no_proxy" && init.member < located.size()) {
      // The locate step knows why there is none.
      const size_t i = init.member;
      const Located& l = located[i];
      const std::string name =
          i < hosts.size() ? MemberName(i, hosts[i]) : MemberName(i, zones[i - hosts.size()]);
      if (l.lookup_failed) report->reason_label = "lookup_failed";
      report->status = Status::NotFound(name + ": " + l.why);
    }
    return finish(nullptr);
  }
  // The reply carries the request's id and version, in request order.
  return finish(std::make_unique<SynthZemOk>(req->getId(), req->getVersion(), init.ep_transports,
                                             init.zone_transports));
}

}  // namespace orvel::zem
