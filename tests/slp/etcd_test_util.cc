// etcd_test_util.cc: etcd and agents for the tests of --etcd.
#include "slp/etcd_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "etcd_client.h"
#include "testutil/net_util.h"

namespace orvel::slp::etcdtest {
namespace {

using slpdtest::MakeMessage;
using slpdtest::TcpExchange;

// A registration waits for etcd: allow it a few seconds.
bool UdpExchange(int port, const Message& m, Message* reply, int wait_ms = 4000) {
  return slpdtest::UdpExchange(port, m, reply, wait_ms);
}

}  // namespace

std::string EtcdBinary() {
  for (const char* p : {"/usr/bin/etcd", "/usr/local/bin/etcd"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return std::string();
}

EtcdServer::EtcdServer()
    : client_port_(::testutil::FreeLoopbackPort()), peer_port_(::testutil::FreeLoopbackPort()) {
  while (peer_port_ == client_port_) peer_port_ = ::testutil::FreeLoopbackPort();
}

EtcdServer::~EtcdServer() { Kill(); }

std::string EtcdServer::url() const { return "http://127.0.0.1:" + std::to_string(client_port_); }

bool EtcdServer::Start(int timeout_ms) {
  Kill();
  std::string peer = "http://127.0.0.1:" + std::to_string(peer_port_);
  child_ = std::make_unique<::testutil::Child>(std::vector<std::string>{
      EtcdBinary(), "--name", "t", "--data-dir", dir_.path() + "/data", "--listen-client-urls",
      url(), "--advertise-client-urls", url(), "--listen-peer-urls", peer,
      "--initial-advertise-peer-urls", peer, "--initial-cluster", "t=" + peer, "--logger", "zap",
      "--log-level", "error"});
  etcd::Client probe({url()}, 500);
  return ::testutil::WaitUntil(
      [&] { return probe.Range("/", etcd::PrefixEnd("/"), nullptr, true).ok(); }, timeout_ms);
}

void EtcdServer::Kill() {
  if (!child_) return;
  child_->Signal(SIGKILL);
  child_->Wait(5000);
  old_output_ += child_->Output();
  child_.reset();
}

std::string EtcdServer::Output() const { return old_output_ + (child_ ? child_->Output() : ""); }

int64_t EtcdServer::CompactAll() {
  etcd::Client c({url()}, 2000);
  etcd::Result r = c.Range("/", etcd::PrefixEnd("/"), nullptr, true);
  if (!r.ok()) return 0;
  std::string body = "{\"revision\":\"" + std::to_string(r.revision) + "\",\"physical\":true}";
  std::string req =
      "POST /v3/kv/compaction HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
      "Content-Type: application/json\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  std::string resp = testutil::Exchange(client_port_, req, false, 5000);
  return resp.find(" 200 ") != std::string::npos ? r.revision : 0;
}

EtcdCluster::EtcdCluster(int members) : members_(static_cast<size_t>(members)) {
  std::vector<uint16_t> used;
  auto fresh = [&used] {
    uint16_t p;
    do {
      p = ::testutil::FreeLoopbackPort();
    } while (std::find(used.begin(), used.end(), p) != used.end());
    used.push_back(p);
    return p;
  };
  for (size_t i = 0; i < members_.size(); ++i) {
    members_[i].client_port = fresh();
    members_[i].peer_port = fresh();
    if (i) initial_cluster_ += ',';
    initial_cluster_ +=
        "m" + std::to_string(i) + "=http://127.0.0.1:" + std::to_string(members_[i].peer_port);
  }
}

EtcdCluster::~EtcdCluster() {
  for (size_t i = 0; i < members_.size(); ++i) KillMember(static_cast<int>(i));
}

std::string EtcdCluster::url(int i) const {
  return "http://127.0.0.1:" + std::to_string(members_[static_cast<size_t>(i)].client_port);
}

std::string EtcdCluster::urls(int first) const {
  std::string out;
  const int n = static_cast<int>(members_.size());
  for (int k = 0; k < n; ++k) out += (k ? "," : "") + url((first + k) % n);
  return out;
}

void EtcdCluster::StartMember(int i) {
  KillMember(i);
  Member& m = members_[static_cast<size_t>(i)];
  const std::string name = "m" + std::to_string(i);
  const std::string peer = "http://127.0.0.1:" + std::to_string(m.peer_port);
  // Short heartbeats so that a lost leader is replaced quickly on loopback.
  m.child =
      std::make_unique<::testutil::Child>(std::vector<std::string>{EtcdBinary(),
                                                                   "--name",
                                                                   name,
                                                                   "--data-dir",
                                                                   dir_.path() + "/" + name,
                                                                   "--listen-client-urls",
                                                                   url(i),
                                                                   "--advertise-client-urls",
                                                                   url(i),
                                                                   "--listen-peer-urls",
                                                                   peer,
                                                                   "--initial-advertise-peer-urls",
                                                                   peer,
                                                                   "--initial-cluster",
                                                                   initial_cluster_,
                                                                   "--initial-cluster-state",
                                                                   "new",
                                                                   "--initial-cluster-token",
                                                                   "orvel-test",
                                                                   "--heartbeat-interval",
                                                                   "50",
                                                                   "--election-timeout",
                                                                   "500",
                                                                   "--logger",
                                                                   "zap",
                                                                   "--log-level",
                                                                   "error"});
}

bool EtcdCluster::Start(int timeout_ms) {
  for (size_t i = 0; i < members_.size(); ++i) StartMember(static_cast<int>(i));
  etcd::Client probe(etcd::ParseEndpoints(urls()), 500);
  return ::testutil::WaitUntil(
      [&] { return probe.Range("/", etcd::PrefixEnd("/"), nullptr, true).ok(); }, timeout_ms);
}

void EtcdCluster::KillMember(int i) {
  Member& m = members_[static_cast<size_t>(i)];
  if (!m.child) return;
  m.child->Signal(SIGKILL);
  m.child->Wait(5000);
  old_output_ += m.child->Output();
  m.child.reset();
}

std::string EtcdCluster::Output() const {
  std::string out = old_output_;
  for (const Member& m : members_) {
    if (m.child) out += m.child->Output();
  }
  return out;
}

uint16_t Register(int port, const std::string& url, const std::string& attrs, uint16_t lifetime,
                  bool fresh, int wait_ms) {
  SrvReg r;
  r.entry = {lifetime, url, {}};
  r.service_type = "service:ZemProxy";
  r.scopes = "default";
  r.attrs = attrs;
  Message reply;
  if (!UdpExchange(port, MakeMessage(r, fresh ? kFlagFresh : 0), &reply, wait_ms)) return 0xffff;
  const SrvAck* ack = std::get_if<SrvAck>(&reply.body);
  return ack ? ack->error : 0xfffe;
}

uint16_t Deregister(int port, const std::string& url, const std::string& tags) {
  SrvDeReg d;
  d.scopes = "default";
  d.entry = {0, url, {}};
  d.tags = tags;
  Message reply;
  if (!UdpExchange(port, MakeMessage(d), &reply)) return 0xffff;
  const SrvAck* ack = std::get_if<SrvAck>(&reply.body);
  return ack ? ack->error : 0xfffe;
}

bool Found::Has(const std::string& url) const { return LifetimeOf(url) != 0; }

uint16_t Found::LifetimeOf(const std::string& url) const {
  for (const UrlEntry& e : urls) {
    if (e.url == url) return e.lifetime;
  }
  return 0;
}

Found Find(int port, const std::string& predicate) {
  SrvRqst q;
  q.service_type = "ZemProxy";
  q.scopes = "default";
  q.predicate = predicate;
  Message reply;
  Found f;
  if (!TcpExchange(port, MakeMessage(q), &reply)) return f;
  const SrvRply* r = std::get_if<SrvRply>(&reply.body);
  if (!r) return f;
  f.answered = true;
  f.error = r->error;
  f.urls = r->urls;
  return f;
}

std::string Attributes(int port, const std::string& url) {
  AttrRqst q;
  q.url = url;
  q.scopes = "default";
  Message reply;
  if (!TcpExchange(port, MakeMessage(q), &reply)) return "\x01";
  const AttrRply* r = std::get_if<AttrRply>(&reply.body);
  return r ? r->attrs : "\x01";
}

}  // namespace orvel::slp::etcdtest
