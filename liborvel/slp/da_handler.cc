// da_handler.cc: directory agent message dispatch.
#include "slp/da_handler.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <utility>

#include "slp/attr.h"
#include "slp/predicate.h"

namespace orvel::slp {
namespace {

const char* FunctionName(Function f) {
  switch (f) {
    case Function::kSrvRqst:
      return "SrvRqst";
    case Function::kSrvRply:
      return "SrvRply";
    case Function::kSrvReg:
      return "SrvReg";
    case Function::kSrvDeReg:
      return "SrvDeReg";
    case Function::kSrvAck:
      return "SrvAck";
    case Function::kAttrRqst:
      return "AttrRqst";
    case Function::kAttrRply:
      return "AttrRply";
    case Function::kDAAdvert:
      return "DAAdvert";
    case Function::kSrvTypeRqst:
      return "SrvTypeRqst";
    case Function::kSrvTypeRply:
      return "SrvTypeRply";
    case Function::kSAAdvert:
      return "SAAdvert";
  }
  return "?";
}

std::string AddrText(uint32_t host_order) {
  in_addr a;
  a.s_addr = htonl(host_order);
  char buf[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

// Longest prefix of a comma-separated list that ends on an element
// boundary outside parentheses (so an attribute list is never cut inside
// an attribute) and holds at most max bytes.
std::string CutList(const std::string& list, size_t max) {
  if (list.size() <= max) return list;
  size_t best = 0;
  int depth = 0;
  for (size_t i = 0; i < list.size() && i <= max; ++i) {
    if (list[i] == '(') ++depth;
    if (list[i] == ')') --depth;
    if (list[i] == ',' && depth == 0) best = i;
  }
  return list.substr(0, best);
}

// Body bytes of the three replies whose size depends on the store.
size_t ListBodySize(const Body& body) {
  if (const auto* r = std::get_if<SrvRply>(&body)) {
    size_t n = 4;
    for (const UrlEntry& e : r->urls) n += EncodedSize(e);
    return n;
  }
  if (const auto* a = std::get_if<AttrRply>(&body)) {
    size_t n = 5 + a->attrs.size();
    for (const AuthBlock& b : a->auths) n += b.raw.size();
    return n;
  }
  if (const auto* t = std::get_if<SrvTypeRply>(&body)) return 4 + t->types.size();
  return 0;
}

// Cuts a list reply to whole elements within limit bytes of message.
void CutToFit(Body* body, size_t header, size_t limit) {
  if (auto* r = std::get_if<SrvRply>(body)) {
    size_t total = header + 4;
    size_t fit = 0;
    while (fit < r->urls.size() && total + EncodedSize(r->urls[fit]) <= limit) {
      total += EncodedSize(r->urls[fit]);
      ++fit;
    }
    r->urls.resize(fit);
  } else if (auto* a = std::get_if<AttrRply>(body)) {
    size_t fixed = header + 5;
    a->attrs = CutList(a->attrs, limit > fixed ? limit - fixed : 0);
  } else if (auto* t = std::get_if<SrvTypeRply>(body)) {
    size_t fixed = header + 4;
    t->types = CutList(t->types, limit > fixed ? limit - fixed : 0);
  }
}

// The same reply kind with no payload.
Body EmptyLike(const Body& body) {
  if (std::holds_alternative<AttrRply>(body)) return AttrRply{};
  if (std::holds_alternative<SrvTypeRply>(body)) return SrvTypeRply{};
  return SrvRply{};
}

// Why a reply cannot travel even over TCP ("" when it can): the URL count
// is a 16-bit field, lists are 16-bit strings, Length is 24 bits.
std::string TooLarge(const Body& body, size_t total) {
  if (const auto* r = std::get_if<SrvRply>(&body); r && r->urls.size() > 0xFFFF) {
    return std::to_string(r->urls.size()) + " URLs, at most 65535 fit a reply";
  }
  if (const auto* t = std::get_if<SrvTypeRply>(&body); t && t->types.size() > 0xFFFF) {
    return "type list of " + std::to_string(t->types.size()) + " bytes, at most 65535 fit";
  }
  if (total > kMaxMessageBytes) {
    return std::to_string(total) + " bytes, at most " + std::to_string(kMaxMessageBytes) + " fit";
  }
  return std::string();
}

bool InPrList(std::string_view prlist, uint32_t self) {
  if (self == 0) return false;
  size_t start = 0;
  while (start <= prlist.size()) {
    size_t comma = prlist.find(',', start);
    if (comma == std::string_view::npos) comma = prlist.size();
    std::string item = FoldWhitespace(prlist.substr(start, comma - start));
    in_addr a;
    if (inet_pton(AF_INET, item.c_str(), &a) == 1 && ntohl(a.s_addr) == self) return true;
    start = comma + 1;
  }
  return false;
}

bool HasMandatoryExtension(const Message& m) {
  for (const Extension& e : m.extensions) {
    if (e.id >= 0x4000 && e.id <= 0x7FFF) return true;
  }
  return false;
}

}  // namespace

const char* DaResultName(DaResult r) {
  switch (r) {
    case DaResult::kOk:
      return "ok";
    case DaResult::kError:
      return "error";
    case DaResult::kMalformed:
      return "malformed";
    case DaResult::kRefused:
      return "refused";
    case DaResult::kNoReply:
      return "no_reply";
  }
  return "?";
}

const char* DaFunctionLabel(size_t index) {
  if (index == 0 || index >= kDaFunctions) return "none";
  return FunctionName(static_cast<Function>(index));
}

std::optional<Ipv4Net> ParseIpv4Net(std::string_view text) {
  std::string t(text);
  size_t slash = t.find('/');
  int len = 32;
  if (slash != std::string::npos) {
    std::string l = t.substr(slash + 1);
    if (l.empty() || l.size() > 2 || l.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    len = std::stoi(l);
    if (len > 32) return std::nullopt;
    t.resize(slash);
  }
  in_addr a;
  if (inet_pton(AF_INET, t.c_str(), &a) != 1) return std::nullopt;
  Ipv4Net net;
  net.mask = len == 0 ? 0 : ~uint32_t{0} << (32 - len);
  net.addr = ntohl(a.s_addr) & net.mask;
  return net;
}

DaHandler::DaHandler(RegistrationStore* store, DaConfig config)
    : store_(store), config_(std::move(config)), budget_(config_.reply_budget) {}

bool DaHandler::MayRegister(uint32_t source) const {
  for (const Ipv4Net& n : config_.allow_register) {
    if (n.Contains(source)) return true;
  }
  return false;
}

DAAdvert DaHandler::Advert(uint16_t code) const {
  DAAdvert a;
  a.error = code;
  a.boot_timestamp = config_.boot_timestamp;
  a.url = "service:directory-agent://" + config_.advert_host;
  a.scopes = store_->scopes_text();
  return a;
}

std::string DaHandler::UnsolicitedAdvert(bool going_down) const {
  Message m;
  m.header.xid = 0;
  m.header.lang = "en";
  DAAdvert a = Advert(error::kOk);
  if (going_down) a.boot_timestamp = 0;
  m.body = std::move(a);
  return Encode(m);
}

struct DaHandler::Request {
  Header header;
  uint32_t source = 0;
  size_t size = 0;  // bytes received
  bool over_tcp = false;
  bool multicast = false;
  std::string note;
  HandleInfo info;
  bool header_read = false;
  std::optional<DaResult> result;  // unset: ok or no reply, by the reply
  bool overflow = false;           // the answer went out cut
  LaterReply later;                // set: the sink may answer later
};

void DaHandler::NoteRefusal(const Request& rq) {
  if (!config_.refusal_log) return;
  const auto now = std::chrono::steady_clock::now();
  uint64_t count = 0;
  {
    port::MutexLock lock(&refusal_mu_);
    ++refused_unlogged_;
    if (refusal_logged_ != std::chrono::steady_clock::time_point{} &&
        now - refusal_logged_ < std::chrono::seconds(1))
      return;
    count = refused_unlogged_;
    refused_unlogged_ = 0;
    refusal_logged_ = now;
  }
  config_.refusal_log(
      std::to_string(count) + " registration" + (count == 1 ? "" : "s") +
      " refused from sources outside --allow-register (last " + FunctionName(rq.header.function) +
      " from " + AddrText(rq.source) +
      (rq.over_tcp ? " over tcp, answered AUTHENTICATION_FAILED)" : " over udp, not answered)"));
}

std::string DaHandler::Reply(Request& rq, Body body, bool truncated) {
  Message m;
  m.header.xid = rq.header.xid;
  m.header.lang = rq.header.lang;
  const size_t header = HeaderSize(rq.header.lang);
  const size_t full = header + ListBodySize(body);
  // An answer cut by a bound of the store says so with the overflow flag,
  // over TCP too.
  if (truncated) m.header.flags |= kFlagOverflow;
  if (rq.over_tcp) {
    std::string why = TooLarge(body, full);
    if (!why.empty()) {
      rq.note += " answer too large (" + why + ")";
      rq.result = DaResult::kError;
      return ErrorReply(rq.header, error::kInternalError);
    }
  } else if (full > max_udp_reply()) {
    // Over UDP only whole elements go, with the overflow flag; Length
    // announces the whole answer, so clients that compare it with what
    // arrived fetch it over TCP, as do those that read the flag.
    CutToFit(&body, header, max_udp_reply());
    m.header.flags |= kFlagOverflow;
  }
  m.body = std::move(body);
  std::string out;
  if (Encode(m, &out) != WireStatus::kOk) return ErrorReply(rq.header, error::kInternalError);
  if (rq.over_tcp) {
    rq.overflow = truncated;
    return out;
  }
  const bool cut = (m.header.flags & kFlagOverflow) != 0;
  if (cut) SetLength(&out, full);
  // A SrvAck is shorter than any registration, and only networks that may
  // register get one: nothing to amplify, and a busy service agent must
  // not count as a flood.
  if (std::holds_alternative<SrvAck>(m.body)) return out;
  // An answer cut to the datagram says so by its flag and its Length; one
  // that fits goes whole or not at all, since a client that reads only
  // the Length would take a short reply for the whole answer.
  const bool fits = full <= max_udp_reply();
  if (budget_.Allow(rq.source, rq.size, out.size(), fits, std::chrono::steady_clock::now())) {
    rq.overflow = cut;
    return out;
  }
  rq.info.rate_limited = true;
  rq.note += " limited";
  if (fits) return std::string();  // the client asks again
  // Past the source's reply budget: the flag and no payload, which sends
  // every client to TCP.
  m.body = EmptyLike(m.body);
  m.header.flags |= kFlagOverflow;
  if (Encode(m, &out) != WireStatus::kOk) return std::string();
  // The flag costs bytes too: when even those are not covered, silence
  // (a real client asks again, and its retry earns the credit).
  if (!budget_.TrySpend(rq.source, out.size())) return std::string();
  SetLength(&out, full);
  return out;
}

std::string DaHandler::ErrorReply(const Header& request, uint16_t code) const {
  Message m;
  if (!ErrorReplyBody(request.function, code, &m.body)) return std::string();
  m.header.xid = request.xid;
  m.header.lang = request.lang.empty() ? "en" : request.lang;
  std::string out;
  if (Encode(m, &out) != WireStatus::kOk) return std::string();
  return out;
}

std::string DaHandler::Fail(Request& rq, uint16_t code) const {
  // Errors are never sent to multicast requests.
  rq.note += " error " + std::to_string(code);
  rq.result = DaResult::kError;
  return rq.multicast ? std::string() : ErrorReply(rq.header, code);
}

std::string DaHandler::Handle(const uint8_t* data, size_t size, uint32_t source, bool over_tcp,
                              std::string* log, HandleInfo* info) {
  return Handle(data, size, source, over_tcp, log, info, LaterReply());
}

std::string DaHandler::Handle(const uint8_t* data, size_t size, uint32_t source, bool over_tcp,
                              std::string* log, HandleInfo* info, LaterReply later) {
  Request rq;
  rq.source = source;
  rq.size = size;
  rq.over_tcp = over_tcp;
  rq.later = std::move(later);
  std::string reply = Dispatch(rq, data, size);
  if (!rq.info.deferred) Count(rq, reply);
  if (log) {
    *log = AddrText(source) + (over_tcp ? " tcp " : " udp ") + rq.note +
           (rq.info.deferred ? " -> answered when recorded"
            : reply.empty()  ? " -> no reply"
                             : " -> " + std::to_string(reply.size()) + " bytes");
  }
  if (info) *info = rq.info;
  return reply;
}

void DaHandler::Count(const Request& rq, const std::string& reply) {
  DaResult result = rq.result.value_or(reply.empty() ? DaResult::kNoReply : DaResult::kOk);
  size_t function = rq.header_read ? static_cast<size_t>(rq.header.function) : 0;
  if (function >= kDaFunctions) function = 0;
  DaStats::Bump(&stats_.requests[function][static_cast<size_t>(result)]);
  if (!reply.empty()) {
    const size_t t = static_cast<size_t>(rq.over_tcp ? DaTransport::kTcp : DaTransport::kUdp);
    DaStats::Bump(&stats_.replies[t]);
    DaStats::Bump(&stats_.reply_bytes[t], reply.size());
  }
  if (rq.overflow) DaStats::Bump(&stats_.overflow_replies);
  if (rq.info.rate_limited) DaStats::Bump(&stats_.rate_limited_replies);
}

// Decodes once and hands the message to the handler of its kind.
std::string DaHandler::Dispatch(Request& rq, const uint8_t* data, size_t size) {
  Message msg;
  bool header_ok = false;
  WireStatus st = Decode(data, size, &msg, &header_ok);
  if (!header_ok) {
    rq.note = std::string("bad header (") + WireStatusName(st) + ")";
    rq.result = DaResult::kMalformed;
    return std::string();
  }
  rq.header = msg.header;
  rq.header_read = true;
  rq.multicast = (rq.header.flags & kFlagRequestMcast) != 0;
  rq.note = FunctionName(rq.header.function);
  // A UDP source can be forged, so a registration from a network that may
  // not register gets no reply at all (well-formed or not): the agent must
  // not send anything towards such a forged address.  Over TCP the source
  // is real and gets the error.
  const bool registers =
      rq.header.function == Function::kSrvReg || rq.header.function == Function::kSrvDeReg;
  if (registers && !rq.over_tcp && !MayRegister(rq.source)) {
    rq.note += " refused: source may not register";
    rq.result = DaResult::kRefused;
    if (rq.header.function == Function::kSrvReg) {
      DaStats::Bump(&stats_.refused_registrations_source);
    }
    NoteRefusal(rq);
    return std::string();
  }
  if (st != WireStatus::kOk) {
    rq.note += std::string(" malformed (") + WireStatusName(st) + ")";
    rq.result = DaResult::kMalformed;
    return rq.multicast ? std::string() : ErrorReply(rq.header, WireStatusToError(st));
  }
  if (HasMandatoryExtension(msg)) return Fail(rq, error::kOptionNotUnderstood);
  if (const auto* b = std::get_if<SrvRqst>(&msg.body)) return OnSrvRqst(rq, *b);
  // A directory agent answers no other multicast.
  if (rq.multicast) return std::string();
  if (const auto* b = std::get_if<SrvReg>(&msg.body)) return OnSrvReg(rq, *b);
  if (const auto* b = std::get_if<SrvDeReg>(&msg.body)) return OnSrvDeReg(rq, *b);
  if (const auto* b = std::get_if<AttrRqst>(&msg.body)) return OnAttrRqst(rq, *b);
  if (const auto* b = std::get_if<SrvTypeRqst>(&msg.body)) return OnSrvTypeRqst(rq, *b);
  rq.note += " ignored";
  return std::string();
}

std::string DaHandler::OnSrvRqst(Request& rq, const SrvRqst& body) {
  rq.note += " type=" + body.service_type;
  if (rq.multicast && InPrList(body.prlist, config_.self_addr)) return std::string();
  const std::string type = FoldKey(body.service_type);
  if (type.empty()) return Fail(rq, error::kParseError);
  if (type == "service:directory-agent") return OnAgentDiscovery(rq, body);
  if (rq.multicast || type == "service:service-agent") return std::string();
  if (!body.spi.empty()) return Fail(rq, error::kAuthenticationUnknown);
  // Over TCP a large answer asked again is sent from the bytes kept while
  // the registrations stay the same (read before the look-up, so a change
  // meanwhile is never hidden).
  std::string key;
  uint64_t generation = 0;
  if (rq.over_tcp) {
    key = body.service_type + '\0' + body.scopes + '\0' + rq.header.lang + '\0' + body.predicate;
    generation = store_->generation();
    std::string kept;
    if (answers_.Find(key, generation, rq.header.xid, *store_, &kept)) {
      rq.note += " kept answer";
      return kept;
    }
  }
  std::vector<ServiceMatch> found;
  uint16_t code =
      store_->FindServices(body.service_type, body.scopes, rq.header.lang, body.predicate, &found);
  if (code != error::kOk) return Fail(rq, code);
  SrvRply reply;
  reply.urls.reserve(found.size());
  std::vector<AnswerCache::Lifetime> lifetimes;
  const bool keep = rq.over_tcp && found.size() >= AnswerCache::kMinUrls;
  if (keep) lifetimes.reserve(found.size());
  // A URL entry: reserved byte, lifetime, URL length, URL, auth count.
  size_t offset = HeaderSize(rq.header.lang) + 4;
  for (ServiceMatch& f : found) {
    if (keep) {
      lifetimes.push_back({static_cast<uint32_t>(offset + 1), f.expiry});
      offset += 6 + f.url.size();
    }
    reply.urls.push_back(UrlEntry{f.lifetime, std::move(f.url), {}});
  }
  rq.note += " found=" + std::to_string(reply.urls.size());
  std::string out = Reply(rq, std::move(reply));
  if (keep && !rq.result && out.size() == offset) {
    answers_.Put(key, generation, out, std::move(lifetimes));
  }
  return out;
}

std::string DaHandler::OnAgentDiscovery(Request& rq, const SrvRqst& body) {
  rq.info.agent_discovery = true;
  if (!FoldWhitespace(body.scopes).empty() && !store_->ServesAny(body.scopes)) {
    return Fail(rq, error::kScopeNotSupported);
  }
  std::optional<Predicate> pred = Predicate::Parse(body.predicate);
  if (!pred) return Fail(rq, error::kParseError);
  // The agent has no attributes of its own; a non-empty predicate on
  // them cannot hold.
  if (!pred->empty()) return std::string();
  return Reply(rq, Advert(error::kOk));
}

std::string DaHandler::OnSrvReg(Request& rq, const SrvReg& body) {
  rq.note += " url=" + body.entry.url;
  if (!MayRegister(rq.source)) {
    std::string reply = Fail(rq, error::kAuthenticationFailed);
    rq.result = DaResult::kRefused;
    DaStats::Bump(&stats_.refused_registrations_source);
    NoteRefusal(rq);
    return reply;
  }
  RegistrationInput in;
  in.url = body.entry.url;
  in.lang = rq.header.lang;
  in.service_type = body.service_type;
  in.scopes = body.scopes;
  in.attrs = body.attrs;
  in.lifetime = body.entry.lifetime;
  in.fresh = (rq.header.flags & kFlagFresh) != 0;
  // Authentication blocks are not verified and not stored.
  auto answer = [this](Request& r, uint16_t code) {
    if (code == error::kOk) return Reply(r, SrvAck{error::kOk});
    DaStats::Bump(&stats_.refused_registrations_invalid);
    return Fail(r, code);
  };
  if (config_.sink && rq.later) {
    Defer(
        rq,
        [this, in](RegistrationSink::Done done) {
          config_.sink->RegisterAsync(in, std::move(done));
        },
        answer);
    return std::string();
  }
  return answer(rq, config_.sink ? config_.sink->Register(in) : store_->Register(in));
}

void DaHandler::Defer(Request& rq, const std::function<void(RegistrationSink::Done)>& start,
                      std::function<std::string(Request&, uint16_t)> answer) {
  rq.info.deferred = true;
  // The request outlives this call: the sink answers from its own thread.
  auto held = std::make_shared<Request>(rq);
  start([this, held, answer = std::move(answer)](uint16_t code) {
    std::string reply = answer(*held, code);
    Count(*held, reply);
    held->later(std::move(reply));
  });
}

std::string DaHandler::OnSrvDeReg(Request& rq, const SrvDeReg& body) {
  rq.note += " url=" + body.entry.url;
  if (!MayRegister(rq.source)) {
    std::string reply = Fail(rq, error::kAuthenticationFailed);
    rq.result = DaResult::kRefused;
    NoteRefusal(rq);
    return reply;
  }
  auto answer = [this](Request& r, uint16_t code) {
    return code == error::kOk ? Reply(r, SrvAck{error::kOk}) : Fail(r, code);
  };
  if (config_.sink && rq.later) {
    Defer(
        rq,
        [this, body, lang = rq.header.lang](RegistrationSink::Done done) {
          config_.sink->DeregisterAsync(body.scopes, body.entry.url, lang, body.tags,
                                        std::move(done));
        },
        answer);
    return std::string();
  }
  uint16_t code =
      config_.sink
          ? config_.sink->Deregister(body.scopes, body.entry.url, rq.header.lang, body.tags)
          : store_->Deregister(body.scopes, body.entry.url, rq.header.lang, body.tags);
  return answer(rq, code);
}

std::string DaHandler::OnAttrRqst(Request& rq, const AttrRqst& body) {
  rq.note += " url=" + body.url;
  if (!body.spi.empty()) return Fail(rq, error::kAuthenticationUnknown);
  if (body.url.empty()) return Fail(rq, error::kParseError);
  AttrRply reply;
  bool truncated = false;
  uint16_t code = store_->FindAttributes(body.url, body.scopes, rq.header.lang, body.tags,
                                         &reply.attrs, &truncated);
  if (code != error::kOk) return Fail(rq, code);
  if (truncated) rq.note += " union cut at its bound";
  return Reply(rq, std::move(reply), truncated);
}

std::string DaHandler::OnSrvTypeRqst(Request& rq, const SrvTypeRqst& body) {
  SrvTypeRply reply;
  uint16_t code =
      store_->FindTypes(body.all_authorities, body.naming_authority, body.scopes, &reply.types);
  if (code != error::kOk) return Fail(rq, code);
  return Reply(rq, std::move(reply));
}

}  // namespace orvel::slp
