// da_handler.cc: directory agent message dispatch.
#include "slp/da_handler.h"

#include <arpa/inet.h>

#include <cstdio>

#include "slp/attr.h"
#include "slp/predicate.h"

namespace orvel::slp {
namespace {

const char* FunctionName(Function f) {
  switch (f) {
    case Function::kSrvRqst: return "SrvRqst";
    case Function::kSrvRply: return "SrvRply";
    case Function::kSrvReg: return "SrvReg";
    case Function::kSrvDeReg: return "SrvDeReg";
    case Function::kSrvAck: return "SrvAck";
    case Function::kAttrRqst: return "AttrRqst";
    case Function::kAttrRply: return "AttrRply";
    case Function::kDAAdvert: return "DAAdvert";
    case Function::kSrvTypeRqst: return "SrvTypeRqst";
    case Function::kSrvTypeRply: return "SrvTypeRply";
    case Function::kSAAdvert: return "SAAdvert";
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

// Longest prefix of a comma-separated list (attribute list when
// parens_aware, type list otherwise) that ends on an element boundary and
// holds at most max bytes.
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
    : store_(store), config_(std::move(config)) {}

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

std::string DaHandler::Reply(const Header& request, Body body, bool over_tcp) const {
  Message m;
  m.header.xid = request.xid;
  m.header.lang = request.lang;
  m.body = std::move(body);
  size_t limit = over_tcp ? kMaxMessageBytes : max_udp_reply();
  size_t header = HeaderSize(request.lang);
  // Over UDP a reply is cut to whole elements and flagged; the client can
  // ask again over TCP with the same XID.
  if (auto* r = std::get_if<SrvRply>(&m.body)) {
    size_t total = header + 4;
    size_t fit = 0;
    while (fit < r->urls.size() && total + EncodedSize(r->urls[fit]) <= limit) {
      total += EncodedSize(r->urls[fit]);
      ++fit;
    }
    if (fit < r->urls.size()) {
      r->urls.resize(fit);
      m.header.flags |= kFlagOverflow;
    }
  } else if (auto* a = std::get_if<AttrRply>(&m.body)) {
    size_t fixed = header + 2 + 2 + 1;
    if (fixed + a->attrs.size() > limit) {
      a->attrs = CutList(a->attrs, limit > fixed ? limit - fixed : 0);
      m.header.flags |= kFlagOverflow;
    }
  } else if (auto* t = std::get_if<SrvTypeRply>(&m.body)) {
    size_t fixed = header + 2 + 2;
    if (fixed + t->types.size() > limit) {
      t->types = CutList(t->types, limit > fixed ? limit - fixed : 0);
      m.header.flags |= kFlagOverflow;
    }
  }
  std::string out;
  if (Encode(m, &out) != WireStatus::kOk) return ErrorReply(request, error::kInternalError);
  return out;
}

std::string DaHandler::ErrorReply(const Header& request, uint16_t code) const {
  Body body;
  switch (request.function) {
    case Function::kSrvRqst: body = SrvRply{code, {}}; break;
    case Function::kSrvReg:
    case Function::kSrvDeReg: body = SrvAck{code}; break;
    case Function::kAttrRqst: body = AttrRply{code, {}, {}}; break;
    case Function::kSrvTypeRqst: body = SrvTypeRply{code, {}}; break;
    default: return std::string();  // replies and adverts are never answered
  }
  Message m;
  m.header.xid = request.xid;
  m.header.lang = request.lang.empty() ? "en" : request.lang;
  m.body = std::move(body);
  std::string out;
  if (Encode(m, &out) != WireStatus::kOk) return std::string();
  return out;
}

std::string DaHandler::Handle(const uint8_t* data, size_t size, uint32_t source, bool over_tcp,
                              std::string* log) {
  std::string note;
  auto done = [&](std::string reply) {
    if (log) {
      *log = AddrText(source) + (over_tcp ? " tcp " : " udp ") + note +
             (reply.empty() ? " -> no reply" : " -> " + std::to_string(reply.size()) + " bytes");
    }
    return reply;
  };

  Message msg;
  WireStatus st = Decode(data, size, &msg);
  Header header;
  size_t body_offset = 0;
  if (DecodeHeader(data, size, &header, &body_offset) != WireStatus::kOk) {
    note = std::string("bad header (") + WireStatusName(st) + ")";
    return done("");
  }
  const bool multicast = (header.flags & kFlagRequestMcast) != 0;
  note = FunctionName(header.function);
  // A UDP source can be forged, so a registration from a network that may
  // not register gets no reply at all (well-formed or not): the agent must
  // not send anything towards such a forged address.  Over TCP the source
  // is real and gets the error.
  const bool registers =
      header.function == Function::kSrvReg || header.function == Function::kSrvDeReg;
  if (registers && !over_tcp && !MayRegister(source)) {
    note += " refused: source may not register";
    return done("");
  }
  if (st != WireStatus::kOk) {
    note += std::string(" malformed (") + WireStatusName(st) + ")";
    return done(multicast ? "" : ErrorReply(header, WireStatusToError(st)));
  }
  // Errors are never sent to multicast requests.
  auto fail = [&](uint16_t code) {
    note += " error " + std::to_string(code);
    return done(multicast ? "" : ErrorReply(header, code));
  };
  if (HasMandatoryExtension(msg)) return fail(error::kOptionNotUnderstood);

  if (auto* rq = std::get_if<SrvRqst>(&msg.body)) {
    note += " type=" + rq->service_type;
    if (multicast && InPrList(rq->prlist, config_.self_addr)) return done("");
    std::string type = FoldKey(rq->service_type);
    if (type.empty()) return fail(error::kParseError);
    if (type == "service:directory-agent") {
      if (!FoldWhitespace(rq->scopes).empty() && !store_->ServesAny(rq->scopes)) {
        return fail(error::kScopeNotSupported);
      }
      std::optional<Predicate> pred = Predicate::Parse(rq->predicate);
      if (!pred) return fail(error::kParseError);
      // The agent has no attributes of its own; a non-empty predicate on
      // them cannot hold.
      if (!pred->empty()) return done("");
      return done(Reply(header, Advert(error::kOk), over_tcp));
    }
    if (multicast || type == "service:service-agent") return done("");
    if (!rq->spi.empty()) return fail(error::kAuthenticationUnknown);
    std::vector<ServiceMatch> found;
    uint16_t code = store_->FindServices(rq->service_type, rq->scopes, header.lang,
                                         rq->predicate, &found);
    if (code != error::kOk) return fail(code);
    SrvRply reply;
    for (ServiceMatch& f : found) reply.urls.push_back(UrlEntry{f.lifetime, std::move(f.url), {}});
    note += " found=" + std::to_string(reply.urls.size());
    return done(Reply(header, std::move(reply), over_tcp));
  }
  if (multicast) return done("");  // a directory agent answers no other multicast

  if (auto* reg = std::get_if<SrvReg>(&msg.body)) {
    note += " url=" + reg->entry.url;
    if (!MayRegister(source)) return fail(error::kAuthenticationFailed);
    RegistrationInput in;
    in.url = reg->entry.url;
    in.lang = header.lang;
    in.service_type = reg->service_type;
    in.scopes = reg->scopes;
    in.attrs = reg->attrs;
    in.lifetime = reg->entry.lifetime;
    in.fresh = (header.flags & kFlagFresh) != 0;
    // Authentication blocks are not verified and not stored.
    uint16_t code = config_.sink ? config_.sink->Register(in) : store_->Register(in);
    if (code != error::kOk) return fail(code);
    return done(Reply(header, SrvAck{error::kOk}, over_tcp));
  }
  if (auto* dereg = std::get_if<SrvDeReg>(&msg.body)) {
    note += " url=" + dereg->entry.url;
    if (!MayRegister(source)) return fail(error::kAuthenticationFailed);
    uint16_t code =
        config_.sink
            ? config_.sink->Deregister(dereg->scopes, dereg->entry.url, header.lang, dereg->tags)
            : store_->Deregister(dereg->scopes, dereg->entry.url, header.lang, dereg->tags);
    if (code != error::kOk) return fail(code);
    return done(Reply(header, SrvAck{error::kOk}, over_tcp));
  }
  if (auto* ar = std::get_if<AttrRqst>(&msg.body)) {
    note += " url=" + ar->url;
    if (!ar->spi.empty()) return fail(error::kAuthenticationUnknown);
    if (ar->url.empty()) return fail(error::kParseError);
    AttrRply reply;
    uint16_t code = store_->FindAttributes(ar->url, ar->scopes, header.lang, ar->tags, &reply.attrs);
    if (code != error::kOk) return fail(code);
    return done(Reply(header, std::move(reply), over_tcp));
  }
  if (auto* tr = std::get_if<SrvTypeRqst>(&msg.body)) {
    SrvTypeRply reply;
    uint16_t code = store_->FindTypes(tr->all_authorities, tr->naming_authority, tr->scopes,
                                      &reply.types);
    if (code != error::kOk) return fail(code);
    return done(Reply(header, std::move(reply), over_tcp));
  }
  note += " ignored";
  return done("");
}

}  // namespace orvel::slp
