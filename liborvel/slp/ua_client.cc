// ua_client.cc: the SLP user agent behind slp_api.h: handles and the
// searches (services, attributes, types, scopes).
//
// Every search is one request/reply exchange with the first directory
// agent that answers (ua_client_exchange.cc); registrations are in
// ua_client_reg.cc, URL parsing and escaping in ua_client_url.cc.
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "orvel/slp_api.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

// The answer with nothing in it, of the kind request asks for.
Body EmptyAnswerTo(const Body& request) {
  if (std::holds_alternative<AttrRqst>(request)) return AttrRply{};
  if (std::holds_alternative<SrvTypeRqst>(request)) return SrvTypeRply{};
  return SrvRply{};
}

// The part the three searches share: the handle is checked and marked busy
// (until deliver returns, so callbacks cannot reenter it), the request goes
// to the first agent that answers, and a failure reaches the callback
// through on_error.  deliver(reply) hands a successful answer over.
template <typename Request, typename OnError, typename Deliver>
SLPError Search(SLPHandle hSLP, bool args_ok, Request rq, OnError on_error, Deliver deliver) {
  Handle* h = AsHandle(hSLP);
  if (!h || !args_ok) return SLP_PARAMETER_BAD;
  BusyGuard busy(h);
  if (!busy.owned()) return SLP_HANDLE_IN_USE;
  Message req;
  req.body = std::move(rq);
  Message reply;
  AskReport report;
  SLPError err = AskFirstAgent(h->chan, req, &reply, &report);
  h->last_agent = report.agent;
  h->last_status = report.status;
  // No agent serves the scope: an empty answer, as the widely deployed
  // library gives (RFC 2608 11.1 then lets a UA ask service agents by
  // multicast, and a network of directory agents has none).
  if (err == SLP_SCOPE_NOT_SUPPORTED) {
    Message none;
    none.body = EmptyAnswerTo(req.body);
    return deliver(none);
  }
  if (err != SLP_OK) {
    on_error(err);
    return err;
  }
  return deliver(reply);
}

SLPError DeliverUrls(SLPHandle h, const Message& reply, SLPSrvURLCallback* callback, void* cookie) {
  if (const SrvRply* r = std::get_if<SrvRply>(&reply.body)) {
    for (const UrlEntry& e : r->urls) {
      if (callback(h, e.url.c_str(), e.lifetime, SLP_OK, cookie) == SLP_FALSE) return SLP_OK;
    }
  } else if (const DAAdvert* ad = std::get_if<DAAdvert>(&reply.body)) {
    if (callback(h, ad->url.c_str(), 0xFFFF, SLP_OK, cookie) == SLP_FALSE) return SLP_OK;
  }
  callback(h, nullptr, 0, SLP_LAST_CALL, cookie);
  return SLP_OK;
}

// One text answer (attributes, types), then the last call.  The exchange
// has checked the function; a body of another kind would be a decoder
// fault, answered as a parse error rather than an exception.
template <typename Reply, typename Callback>
SLPError DeliverText(SLPHandle h, const Message& reply, std::string Reply::*field, bool skip_empty,
                     Callback* callback, void* cookie) {
  const Reply* r = std::get_if<Reply>(&reply.body);
  if (r == nullptr) {
    callback(h, nullptr, SLP_PARSE_ERROR, cookie);
    return SLP_PARSE_ERROR;
  }
  const std::string& text = r->*field;
  if (!(skip_empty && text.empty()) && callback(h, text.c_str(), SLP_OK, cookie) == SLP_FALSE)
    return SLP_OK;
  callback(h, nullptr, SLP_LAST_CALL, cookie);
  return SLP_OK;
}

}  // namespace

std::string ScopesOr(const char* given) {
  if (given && *given) return given;
  std::shared_ptr<const UaOptions> o = Options();
  return o->use_scopes.empty() ? "DEFAULT" : o->use_scopes;
}

char* CopyToMalloc(const std::string& s) {
  char* p = static_cast<char*>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::string LastAgentOf(SLPHandle h) { return h ? AsHandle(h)->last_agent : std::string(); }

Status LastStatusOf(SLPHandle h) { return h ? AsHandle(h)->last_status : Status(); }

void SetOwnAgents(SLPHandle h, const std::string& list) {
  if (!h) return;
  OwnAgents own;
  own.discover = Trim(list).empty();
  if (!own.discover) own.agents = ParseAgentList(list, Options()->port);
  AsHandle(h)->chan.own_agents = std::move(own);
}

}  // namespace slp
}  // namespace orvel

using orvel::slp::AsHandle;
using orvel::slp::Handle;

extern "C" {

SLPError SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP) {
  if (phSLP == nullptr) return SLP_PARAMETER_BAD;
  *phSLP = nullptr;
  if (isAsync == SLP_TRUE) return SLP_NOT_IMPLEMENTED;
  // Ownership passes to the caller through the C API; SLPClose deletes.
  auto h = new (std::nothrow) Handle;
  if (!h) return SLP_MEMORY_ALLOC_FAILED;
  std::string lang = (pcLang && *pcLang) ? pcLang : orvel::slp::Options()->locale;
  if (lang.empty()) lang = "en";
  if (!orvel::slp::OpenChannel(&h->chan, lang)) {
    delete h;
    return SLP_NETWORK_INIT_FAILED;
  }
  *phSLP = h;
  return SLP_OK;
}

void SLPClose(SLPHandle hSLP) {
  if (Handle* h = AsHandle(hSLP)) {
    orvel::slp::ReleaseChannel(&h->chan);
    delete h;
  }
}

SLPError SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType, const char* pcScopeList,
                     const char* pcSearchFilter, SLPSrvURLCallback callback, void* pvCookie) {
  using namespace orvel::slp;
  bool ok = pcServiceType && *pcServiceType && callback;
  SrvRqst rq;
  rq.service_type = ok ? pcServiceType : "";
  rq.scopes = ScopesOr(pcScopeList);
  rq.predicate = pcSearchFilter ? pcSearchFilter : "";
  return Search(
      hSLP, ok, std::move(rq), [&](SLPError e) { callback(hSLP, nullptr, 0, e, pvCookie); },
      [&](const Message& reply) { return DeliverUrls(hSLP, reply, callback, pvCookie); });
}

SLPError SLPFindAttrs(SLPHandle hSLP, const char* pcURLOrServiceType, const char* pcScopeList,
                      const char* pcAttrIds, SLPAttrCallback callback, void* pvCookie) {
  using namespace orvel::slp;
  bool ok = pcURLOrServiceType && *pcURLOrServiceType && callback;
  AttrRqst rq;
  rq.url = ok ? pcURLOrServiceType : "";
  rq.scopes = ScopesOr(pcScopeList);
  rq.tags = pcAttrIds ? pcAttrIds : "";
  return Search(
      hSLP, ok, std::move(rq), [&](SLPError e) { callback(hSLP, nullptr, e, pvCookie); },
      [&](const Message& reply) {
        return DeliverText(hSLP, reply, &AttrRply::attrs, /*skip_empty=*/false, callback, pvCookie);
      });
}

SLPError SLPFindSrvTypes(SLPHandle hSLP, const char* pcNamingAuthority, const char* pcScopeList,
                         SLPSrvTypeCallback callback, void* pvCookie) {
  using namespace orvel::slp;
  bool ok = pcNamingAuthority && callback;
  SrvTypeRqst rq;
  rq.all_authorities = ok && std::strcmp(pcNamingAuthority, "*") == 0;
  if (ok && !rq.all_authorities) rq.naming_authority = pcNamingAuthority;
  rq.scopes = ScopesOr(pcScopeList);
  return Search(
      hSLP, ok, std::move(rq), [&](SLPError e) { callback(hSLP, nullptr, e, pvCookie); },
      [&](const Message& reply) {
        return DeliverText(hSLP, reply, &SrvTypeRply::types, /*skip_empty=*/true, callback,
                           pvCookie);
      });
}

SLPError SLPFindScopes(SLPHandle hSLP, char** ppcScopeList) {
  if (!hSLP || !ppcScopeList) return SLP_PARAMETER_BAD;
  *ppcScopeList = orvel::slp::CopyToMalloc(orvel::slp::ScopesOr(nullptr));
  return *ppcScopeList ? SLP_OK : SLP_MEMORY_ALLOC_FAILED;
}

}  // extern "C"
