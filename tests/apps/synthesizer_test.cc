// Tests of the Synthesizer in-process, with a fake directory, fake proxies
// and a recording observer: order of calls and lines, failures and their
// reasons, and the concurrent order (nothing committed on failure, the same
// document, bounded threads).
#include <arpa/inet.h>
#include <errno.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Zem.h"
#include "http/refusal.h"
#include "service_parts.h"
#include "synthesizer.h"

namespace {

using orvel::Status;
using orvel::zem::InitResult;
using orvel::zem::ServiceConfig;
using orvel::zem::Stream;
using orvel::zem::SynthesisReport;
using orvel::zem::Synthesizer;

unsigned long Addr(const char* text) { return inet_addr(text); }

// Counts calls in flight, to check the bound on concurrency.
class InFlight {
 public:
  void Enter() {
    std::lock_guard<std::mutex> lock(mu_);
    ++now_;
    peak_ = std::max(peak_, now_);
  }
  void Leave() {
    std::lock_guard<std::mutex> lock(mu_);
    --now_;
  }
  int peak() {
    std::lock_guard<std::mutex> lock(mu_);
    return peak_;
  }

 private:
  std::mutex mu_;
  int now_ = 0, peak_ = 0;
};

class FakeDirectory : public orvel::zem::ProxyDirectory {
 public:
  // "addr/mask" -> service URL; a URL of "FAIL" makes the look-up fail.
  std::map<std::string, std::string> registered;
  std::map<unsigned long, std::string> coords;
  std::map<std::string, std::string> nearest;  // coords -> URL
  std::map<std::string, int> delay_ms;         // "addr/mask" -> delay
  InFlight in_flight;

  Status FindRegistered(const std::string& addr, const std::string& mask,
                        ServiceInstance* found) override {
    in_flight.Enter();
    const std::string key = addr + "/" + mask;
    auto d = delay_ms.find(key);
    if (d != delay_ms.end()) std::this_thread::sleep_for(std::chrono::milliseconds(d->second));
    in_flight.Leave();
    return Answer(registered, key, found);
  }
  Status FindNearest(const std::string& c, ServiceInstance* found) override {
    return Answer(nearest, c, found);
  }
  std::string Coordinates(unsigned long addr) override {
    auto it = coords.find(addr);
    return it == coords.end() ? "" : it->second;
  }

 private:
  static Status Answer(const std::map<std::string, std::string>& table, const std::string& key,
                       ServiceInstance* found) {
    auto it = table.find(key);
    if (it == table.end()) return Status::NotFound("none");
    if (it->second == "FAIL")
      return Status::Unavailable("SLP lookup failed at agent 127.0.0.1:9: network error (-23)");
    *found = ServiceInstance(it->second, 65535);
    return Status::OK();
  }
};

// Proxies by port: each answers its type's Ok unless told otherwise.
class FakeControl : public orvel::zem::ProxyControl {
 public:
  std::map<unsigned short, std::string> wrong_type;  // port -> type answered
  std::map<unsigned short, Status> failing;          // port -> failure
  InFlight in_flight;

  Status Exchange(const std::string& host, unsigned short port, Msg& request,
                  std::unique_ptr<Msg>* reply) override {
    in_flight.Enter();
    Record(request.getType() + " " + host + ":" + std::to_string(port));
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    in_flight.Leave();
    if (failing.count(port)) return failing[port];
    std::string type = request.getType() == Msg::ZemInit ? Msg::ZemInitOk : Msg::ZemCommitOk;
    if (wrong_type.count(port)) type = wrong_type[port];
    if (type == Msg::ZemInitOk) {
      reply->reset(new ZemInitOk(1, 2, Addr("127.0.0.1"), 0));
    } else {
      reply->reset(new ZemCommitOk(1, 2));
    }
    return Status::OK();
  }
  Status RunCommand(const std::string& command) override {
    Record("run " + command);
    return Status::OK();
  }
  void WaitForLoad(double seconds) override { Record("wait " + std::to_string(seconds)); }

  void Reset() {
    wrong_type.clear();
    failing.clear();
    std::lock_guard<std::mutex> lock(mu_);
    calls_.clear();
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }
  size_t Count(const std::string& prefix) {
    size_t n = 0;
    for (const std::string& c : Calls()) n += c.rfind(prefix, 0) == 0;
    return n;
  }

 private:
  void Record(const std::string& call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
  }
  std::mutex mu_;
  std::vector<std::string> calls_;
};

class Recorder : public orvel::zem::SynthesisObserver {
 public:
  bool pauses_wait = false;

  void Print(Stream stream, const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    (stream == Stream::kOut ? out_ : err_) += text;
  }
  void Pause() override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back("pause");
  }
  bool PausesWait() override { return pauses_wait; }
  void Colour(const std::string& node, int colour) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(node + " " + std::to_string(colour));
  }
  void MemberLocated(bool, const TransportEndPoint&) override {}
  void StageDone(orvel::zem::Stage, double) override {}
  void Finished(const SynthesisReport& report) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++finished_;
    last_ = report;
  }
  std::string out() {
    std::lock_guard<std::mutex> lock(mu_);
    return out_;
  }
  std::string err() {
    std::lock_guard<std::mutex> lock(mu_);
    return err_;
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  int finished() {
    std::lock_guard<std::mutex> lock(mu_);
    return finished_;
  }

 private:
  std::mutex mu_;
  std::string out_, err_;
  std::vector<std::string> events_;
  int finished_ = 0;
  SynthesisReport last_;
};

std::string Text(const Msg& m) {
  char* text = const_cast<Msg&>(m).getChars();
  std::string s(text);
  free(text);
  return s;
}

class SynthesizerTest : public ::testing::Test {
 public:
  SynthesizerTest() {
    config_.has_orvel_path = true;
    config_.orvel_path = "/opt/orvel";
    config_.has_viewer_args = true;
    config_.viewer_args = "-v";
    config_.proxy_code_url = "http://code.test/executables/proxy";
    config_.viewer_code_url = "http://code.test/executables/viewer";
    config_.load_wait_seconds = 1;
  }

  // Hosts 10.0.0.1 .. 10.0.0.N, each with a proxy on port 7100 + i.
  void RegisterHosts(int n) {
    for (int i = 1; i <= n; ++i)
      dir_.registered["10.0.0." + std::to_string(i) + "/255.255.255.255"] =
          "service:ZemProxy://127.0.0.1:" + std::to_string(7100 + i);
  }
  static std::unique_ptr<SynthZemReq> Request(const std::vector<std::string>& hosts,
                                              const std::vector<EndZone>& zones = {}) {
    std::vector<EndPoint> eps;
    for (const std::string& h : hosts) eps.emplace_back(Addr(h.c_str()));
    return std::make_unique<SynthZemReq>(42, 7, eps, zones);
  }
  std::unique_ptr<Msg> Run(Msg& req, int concurrency, SynthesisReport* report) {
    config_.concurrency = concurrency;
    Synthesizer synth(config_, &dir_, &control_, &observer_);
    return synth.Synthesize(req, report);
  }

  ServiceConfig config_;
  FakeDirectory dir_;
  FakeControl control_;
  Recorder observer_;
};

// ---- One after another --------------------------------------------------------

TEST_F(SynthesizerTest, DefaultOrderServesEachMemberInTurnWithTheUsualLines) {
  RegisterHosts(1);
  // Host 10.0.0.4 falls back to a computing node; the zone is registered.
  dir_.coords[Addr("10.0.0.4")] = "1 2 3";
  dir_.nearest["1 2 3"] = "service:CompResource://127.0.0.5";
  dir_.registered["10.1.0.0/255.255.0.0"] = "service:ZemProxy://127.0.0.1:7200";
  EndZone zone(Addr("10.1.0.0"), Addr("255.255.0.0"));
  zone.setEP(Addr("10.1.0.5"));
  auto req = Request({"10.0.0.1", "10.0.0.4"}, {zone});
  SynthesisReport report;
  std::unique_ptr<Msg> reply = Run(*req, 1, &report);
  ASSERT_NE(reply, nullptr) << observer_.out() << observer_.err();
  const std::string rule(53, '=');
  const std::string start =
      "/opt/orvel/abone/sc.linux -f anee2 127.0.0.5 LOAD X=http://code.test/executables/viewer "
      "O=out.txt R=err.txt C=VanoruProxy -v S=-m127.0.0.1 ";
  EXPECT_EQ(observer_.out(),
            "Got SynthZemReq from 0.0.0.0:0\n"
            "got proxy 127.0.0.1:7101\n"
            "CLIENT node highlighted on PELM monitor (press any key)\n"
            "coordinates: [1 2 3]\n"
            "CANDIDATE nodes highlighted on PELM monitor (press any key)\n"
            "SELECTED node highlighted on PELM monitor (press any key)\n"
            "got proxy 127.0.0.5:0\n"
            "locating proxy for zone 10.1.0.0 (ep 83886346)\n"
            "got proxy 127.0.0.1:7200\n"
            "got ZemInitOk\nsending ZemCommit...got ZemCommitOk\n"
            "loading proxy to 127.0.0.5...\n"
            "invoking proxy using command line:\n" +
                rule + "\n" + start + "\n" + rule +
                "\n"
                "got ZemInitOk\nsending ZemCommit...got ZemCommitOk\n");
  EXPECT_EQ(observer_.err(),
            "sending ZemInit to 127.0.0.1:7101...sending ZemInit to 127.0.0.1:7200...");
  EXPECT_EQ(observer_.events(), (std::vector<std::string>{"10.0.0.4 1", "pause", "pause",
                                                          "127.0.0.5 5", "pause", "RESET 0"}));
  EXPECT_EQ(control_.Calls(),
            (std::vector<std::string>{"ZemInit 127.0.0.1:7101", "ZemCommit 127.0.0.1:7101",
                                      "run /opt/orvel/abone/sc.linux -f anee2 127.0.0.5 LOAD "
                                      "X=http://code.test/executables/proxy S=-C",
                                      "wait 1.000000", "run " + start, "ZemInit 127.0.0.1:7200",
                                      "ZemCommit 127.0.0.1:7200"}));
  auto* ok = dynamic_cast<SynthZemOk*>(reply.get());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->getId(), 42u);
  EXPECT_EQ(ok->getVersion(), 7u);
  ASSERT_EQ(ok->getEPTVec().size(), 2u);
  EXPECT_EQ(ok->getEPTVec()[0].getAddrStr(), "224.5.6.7");
  EXPECT_EQ(ok->getEPTVec()[1].getAddrStr(), "127.0.0.5");
  EXPECT_EQ(ok->getEPTVec()[1].getTTL(), 255);
  ASSERT_EQ(ok->getZoneTVec().size(), 1u);
  EXPECT_EQ(ok->getZoneTVec()[0].getAddrStr(), "225.5.6.7");
  EXPECT_TRUE(report.ok);
  EXPECT_EQ(observer_.finished(), 1);
}

// Each failure names its member and its reason, in the report and (for the
// two that the transport does not print) on standard error.
TEST_F(SynthesizerTest, FailuresNameTheMemberAndTheReason) {
  struct Case {
    const char* name;
    std::vector<std::string> hosts;
    std::function<void(SynthesizerTest*)> setup;
    const char* stage;
    const char* label;
    const char* reason;
    const char* err_line;  // "" when none is added
  };
  const std::vector<Case> cases = {
      {"NoProxyNoCoordinates",
       {"10.0.0.1", "10.0.0.77"},
       [](SynthesizerTest*) {},
       "locate",
       "no_proxy",
       "member 1 (end host 10.0.0.77): no ZemProxy registered and no coordinates known",
       "member 1 has no proxy address, returning now...\n"},
      {"LookUpFailed",
       {"10.0.0.9"},
       [](SynthesizerTest* t) { t->dir_.registered["10.0.0.9/255.255.255.255"] = "FAIL"; },
       "locate",
       "lookup_failed",
       "member 0 (end host 10.0.0.9): SLP lookup failed at agent 127.0.0.1:9: network error (-23) "
       "and no coordinates known",
       ""},
      {"WrongReplyType",
       {"10.0.0.1"},
       [](SynthesizerTest* t) { t->control_.wrong_type[7101] = Msg::ZemCommitOk; },
       "init",
       "wrong_reply",
       "member 0 (proxy 127.0.0.1:7101): answered ZemCommitOk to ZemInit",
       "member 0 (proxy 127.0.0.1:7101): answered ZemCommitOk to ZemInit\n"},
      {"ConnectRefused",
       {"10.0.0.1", "10.0.0.2", "10.0.0.3"},
       [](SynthesizerTest* t) {
         t->control_.failing[7103] = Status::FromErrno("connect 127.0.0.1:7103", ECONNREFUSED);
       },
       "init",
       "io_error",
       "member 2 (proxy 127.0.0.1:7103): connect: Connection refused",
       ""},
      {"CommitTimedOut",
       {"10.0.0.1"},
       [](SynthesizerTest* t) {
         t->control_.wrong_type[7101] = Msg::ZemInitOk;  // answers ZemInitOk to the commit
       },
       "commit",
       "wrong_reply",
       "member 0 (proxy 127.0.0.1:7101): answered ZemInitOk to ZemCommit",
       "member 0 (proxy 127.0.0.1:7101): answered ZemInitOk to ZemCommit\n"},
      {"PortZero",
       {"10.0.0.1"},
       [](SynthesizerTest* t) {
         t->dir_.registered["10.0.0.1/255.255.255.255"] = "service:ZemProxy://127.0.0.1";
       },
       "init",
       "no_port",
       "member 0 (proxy 127.0.0.1:0): no port to connect to",
       "member 0 (proxy 127.0.0.1:0): no port to connect to\n"},
  };
  for (int concurrency : {1, 4}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + " concurrency " + std::to_string(concurrency));
      SynthesizerTest* t = this;
      t->dir_.registered.clear();
      t->control_.Reset();
      RegisterHosts(3);
      c.setup(t);
      Recorder observer;
      config_.concurrency = concurrency;
      Synthesizer synth(config_, &dir_, &control_, &observer);
      auto req = Request(c.hosts);
      SynthesisReport report;
      EXPECT_EQ(synth.Synthesize(*req, &report), nullptr);
      EXPECT_FALSE(report.ok);
      EXPECT_EQ(report.stage, c.stage);
      EXPECT_EQ(report.reason_label, c.label);
      EXPECT_EQ(report.status.ToString(), c.reason);
      if (*c.err_line) {
        EXPECT_NE(observer.err().find(c.err_line), std::string::npos) << observer.err();
      }
      EXPECT_NE(observer.out().find("Zem init failed!?\n"), std::string::npos);
      EXPECT_EQ(observer.finished(), 1);
      const std::string line = orvel::zem::RequestLogLine(report);
      EXPECT_NE(line.find("id=42 version=7 peer=0.0.0.0:0 hosts=" + std::to_string(c.hosts.size()) +
                          " zones=0 outcome=failed"),
                std::string::npos)
          << line;
      EXPECT_NE(line.find(std::string("stage=") + c.stage + " reason=\"" + c.reason + "\""),
                std::string::npos)
          << line;
    }
  }
}

TEST_F(SynthesizerTest, OtherRequestTypesAreRefusedWithTheirType) {
  ZemInit req(1, 1, 7560);
  SynthesisReport report;
  EXPECT_EQ(Run(req, 1, &report), nullptr);
  EXPECT_EQ(observer_.out(), "Not getting the right request!\n");
  EXPECT_EQ(report.status.ToString(), "unknown request type ZemInit");
  EXPECT_EQ(report.stage, "request");
  EXPECT_TRUE(control_.Calls().empty());
  // The handler hands the reason to the server for the 400's body.
  (void)orvel::http::TakeRefusalReason();
  EXPECT_EQ(RecvCallback(&req), nullptr);
  EXPECT_EQ(orvel::http::TakeRefusalReason(), "unknown request type ZemInit");
}

// ---- Concurrently -------------------------------------------------------------

TEST_F(SynthesizerTest, ConcurrentRunGivesTheSameDocumentWithNamedWholeLines) {
  RegisterHosts(12);
  dir_.coords[Addr("10.0.0.40")] = "4 4 4";
  dir_.nearest["4 4 4"] = "service:CompResource://127.0.0.40";
  dir_.coords[Addr("10.0.0.41")] = "4 4 5";
  dir_.nearest["4 4 5"] = "service:CompResource://127.0.0.41";
  // Early members answer late, so completion order differs from request order.
  dir_.delay_ms["10.0.0.1/255.255.255.255"] = 30;
  std::vector<std::string> hosts = {"10.0.0.40"};
  for (int i = 1; i <= 12; ++i) hosts.push_back("10.0.0." + std::to_string(i));
  hosts.push_back("10.0.0.41");
  auto req = Request(hosts);
  SynthesisReport report;
  std::unique_ptr<Msg> one_by_one = Run(*req, 1, &report);
  ASSERT_NE(one_by_one, nullptr);
  control_.Reset();
  Recorder& obs = observer_;
  obs.Print(Stream::kOut, "--\n");
  std::unique_ptr<Msg> at_once = Run(*req, 4, &report);
  ASSERT_NE(at_once, nullptr) << obs.out();
  EXPECT_EQ(Text(*at_once), Text(*one_by_one));

  // Every line after the greeting names its member.
  const std::string out = obs.out().substr(obs.out().find("--\n") + 3);
  size_t pos = out.find('\n') + 1;  // "Got SynthZemReq ..."
  for (size_t end; (end = out.find('\n', pos)) != std::string::npos; pos = end + 1) {
    const std::string line = out.substr(pos, end - pos);
    if (line == "Zem init failed!?") continue;
    EXPECT_EQ(line.rfind("member ", 0), 0u) << line;
  }
  EXPECT_NE(out.find("member 13 (ABone node 127.0.0.41): loading proxy to 127.0.0.41...\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("member 3 (proxy 127.0.0.1:7103): sending ZemCommit...\n"), std::string::npos)
      << out;

  // Every ZemInit and load before any commit; one shared wait; member 0's
  // start before every other start and commit.
  std::vector<std::string> calls = control_.Calls();
  auto first = [&](const std::string& p) {
    return std::find_if(calls.begin(), calls.end(),
                        [&](const std::string& c) { return c.rfind(p, 0) == 0; }) -
           calls.begin();
  };
  auto last = [&](const std::string& p) {
    return calls.rend() -
           std::find_if(calls.rbegin(), calls.rend(),
                        [&](const std::string& c) { return c.rfind(p, 0) == 0; }) -
           1;
  };
  EXPECT_EQ(control_.Count("wait"), 1u);
  EXPECT_LT(last("ZemInit"), first("wait"));
  const std::string absc = "run /opt/orvel/abone/sc.linux -f anee2 ";
  for (const char* node : {"127.0.0.40", "127.0.0.41"})
    EXPECT_LT(last(absc + node + " LOAD X=http://code.test/executables/proxy"), first("wait"));
  const auto start0 = first(absc + "127.0.0.40 LOAD X=http://code.test/executables/viewer");
  EXPECT_EQ(start0, first("wait") + 1);
  EXPECT_LT(start0, first("ZemCommit"));
  EXPECT_EQ(control_.Count("ZemCommit"), 12u);
}

TEST_F(SynthesizerTest, ConcurrentFailureBeforeTheCommitsCommitsNoProxy) {
  RegisterHosts(6);
  control_.failing[7105] = Status::TimedOut("127.0.0.1:7105: reply timed out after 60 s");
  auto req = Request({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6"});
  SynthesisReport report;
  EXPECT_EQ(Run(*req, 3, &report), nullptr);
  EXPECT_EQ(report.status.ToString(),
            "member 4 (proxy 127.0.0.1:7105): reply timed out after 60 s");
  EXPECT_EQ(report.reason_label, "timed_out");
  EXPECT_EQ(control_.Count("ZemInit"), 6u);
  EXPECT_EQ(control_.Count("ZemCommit"), 0u);

  // A member without a proxy: nothing is contacted at all.
  control_.Reset();
  auto missing = Request({"10.0.0.1", "10.0.0.99", "10.0.0.3"});
  EXPECT_EQ(Run(*missing, 3, &report), nullptr);
  EXPECT_TRUE(control_.Calls().empty());
  EXPECT_EQ(report.status.ToString(),
            "member 1 (end host 10.0.0.99): no ZemProxy registered and no coordinates known");
}

// With a terminal, fallback searches pause in request order even when a
// later member is ready first.
TEST_F(SynthesizerTest, ConcurrentFallbackPausesTakeTurnsInRequestOrder) {
  observer_.pauses_wait = true;
  dir_.registered["10.0.0.1/255.255.255.255"] = "service:ZemProxy://127.0.0.1:7101";
  dir_.delay_ms["10.0.0.1/255.255.255.255"] = 50;
  dir_.delay_ms["10.0.0.2/255.255.255.255"] = 30;
  for (const char* h : {"10.0.0.2", "10.0.0.3"}) {
    dir_.coords[Addr(h)] = std::string("c ") + h;
    dir_.nearest[std::string("c ") + h] = std::string("service:CompResource://") + h;
  }
  auto req = Request({"10.0.0.1", "10.0.0.2", "10.0.0.3"});
  SynthesisReport report;
  ASSERT_NE(Run(*req, 3, &report), nullptr) << observer_.out();
  EXPECT_EQ(
      observer_.events(),
      (std::vector<std::string>{"10.0.0.2 1", "pause", "pause", "10.0.0.2 5", "pause", "RESET 0",
                                "10.0.0.3 1", "pause", "pause", "10.0.0.3 5", "pause", "RESET 0"}));
}

// A thousand members complete, never with more than N calls in flight.
TEST_F(SynthesizerTest, ThousandMembersCompleteWithinTheBound) {
  std::vector<std::string> hosts;
  for (int i = 0; i < 1000; ++i) {
    const std::string h = "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    dir_.registered[h + "/255.255.255.255"] =
        "service:ZemProxy://127.0.0.1:" + std::to_string(20000 + i);
    hosts.push_back(h);
  }
  auto req = Request(hosts);
  SynthesisReport report;
  std::unique_ptr<Msg> reply = Run(*req, 16, &report);
  ASSERT_NE(reply, nullptr) << report.status.ToString();
  auto* ok = dynamic_cast<SynthZemOk*>(reply.get());
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->getEPTVec().size(), 1000u);
  EXPECT_EQ(control_.Count("ZemCommit"), 1000u);
  EXPECT_LE(control_.in_flight.peak(), 16);
  EXPECT_LE(dir_.in_flight.peak(), 16);
  EXPECT_GT(control_.in_flight.peak(), 1);
}

// ABone members without the settings they need fail before any command
// runs when served at once.
TEST_F(SynthesizerTest, ConcurrentLaunchChecksItsSettingsFirst) {
  RegisterHosts(1);
  dir_.coords[Addr("10.0.0.4")] = "1 2 3";
  dir_.nearest["1 2 3"] = "service:CompResource://127.0.0.5";
  config_.has_viewer_args = false;
  auto req = Request({"10.0.0.1", "10.0.0.4"});
  SynthesisReport report;
  EXPECT_EQ(Run(*req, 2, &report), nullptr);
  EXPECT_TRUE(control_.Calls().empty());
  EXPECT_EQ(report.status.ToString(),
            "member 1 (ABone node 127.0.0.5): ORVEL_ABONEVIEWERARGS not set");
  EXPECT_NE(
      observer_.out().find(
          "member 1 (ABone node 127.0.0.5): ORVEL_ABONEVIEWERARGS not set, returning now...\n"),
      std::string::npos);
}

TEST(ServiceConfigTest, ConcurrencyAndLoadWaitAreReadOnceWithWarnings) {
  setenv("ORVEL_SYNTH_CONCURRENCY", "8", 1);
  setenv("ORVEL_ABONE_LOAD_WAIT", "2.5", 1);
  ServiceConfig c = ServiceConfig::FromEnvironment("127.0.0.1");
  EXPECT_EQ(c.concurrency, 8);
  EXPECT_EQ(c.load_wait_seconds, 2.5);
  EXPECT_TRUE(c.warnings.empty());
  for (const char* bad : {"0", "257", "4x", "-3"}) {
    setenv("ORVEL_SYNTH_CONCURRENCY", bad, 1);
    c = ServiceConfig::FromEnvironment("");
    EXPECT_EQ(c.concurrency, 1) << bad;
    ASSERT_EQ(c.warnings.size(), 1u) << bad;
  }
  unsetenv("ORVEL_SYNTH_CONCURRENCY");
  unsetenv("ORVEL_ABONE_LOAD_WAIT");
  EXPECT_EQ(ServiceConfig::FromEnvironment("").concurrency, 1);
}

}  // namespace
