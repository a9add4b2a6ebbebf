// slp_service.cc: SLPService (one service search), LookupSession (many over
// one handle) and ServiceInstance (a service URL read as an IPv4 address and
// port).
#include <arpa/inet.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/address.h"
#include "orvel/SLP.h"
#include "slp/lookup_session.h"
#include "slp/ua_internal.h"

namespace {

// One SLPFindSrvs into *found; the API's code, and in *why the reason of a
// failure.
SLPError FindInto(SLPHandle h, const std::string& srvtype, const std::string& scope,
                  const std::string& predicate, std::vector<ServiceInstance>* found,
                  orvel::Status* why) {
  found->clear();
  SLPError err =
      SLPFindSrvs(h, srvtype.c_str(), scope.c_str(), predicate.c_str(), SLPFindSrvCallback, found);
  if (err == SLP_OK) {
    *why = orvel::Status::OK();
  } else {
    *why = orvel::slp::LastStatusOf(h);
    // Refused before any agent was asked (handle busy, bad arguments).
    if (why->ok()) *why = orvel::Status::InvalidArgument(SLPErrorText(err));
  }
  return err;
}

}  // namespace

const char* SLPErrorText(SLPError err) {
  switch (err) {
    case SLP_OK:
      return "ok";
    case SLP_LAST_CALL:
      return "last call";
    case SLP_LANGUAGE_NOT_SUPPORTED:
      return "language not supported";
    case SLP_PARSE_ERROR:
      return "parse error";
    case SLP_INVALID_REGISTRATION:
      return "invalid registration";
    case SLP_SCOPE_NOT_SUPPORTED:
      return "scope not supported";
    case SLP_AUTHENTICATION_UNKNOWN:
      return "authentication unknown";
    case SLP_AUTHENTICATION_ABSENT:
      return "authentication absent";
    case SLP_AUTHENTICATION_FAILED:
      return "authentication failed";
    case SLP_VER_NOT_SUPPORTED:
      return "agent does not support this SLP version";
    case SLP_INTERNAL_ERROR:
      return "agent internal error";
    case SLP_DA_BUSY_NOW:
      return "agent busy";
    case SLP_INVALID_UPDATE:
      return "invalid update";
    case SLP_REFRESH_REJECTED:
      return "refresh rejected";
    case SLP_NOT_IMPLEMENTED:
      return "not implemented";
    case SLP_BUFFER_OVERFLOW:
      return "buffer overflow";
    case SLP_NETWORK_TIMED_OUT:
      return "no directory agent answered in time";
    case SLP_NETWORK_INIT_FAILED:
      return "no directory agent configured or found";
    case SLP_MEMORY_ALLOC_FAILED:
      return "out of memory";
    case SLP_PARAMETER_BAD:
      return "bad parameter";
    case SLP_NETWORK_ERROR:
      return "network error (agent unreachable)";
    case SLP_INTERNAL_SYSTEM_ERROR:
      return "internal error";
    case SLP_HANDLE_IN_USE:
      return "handle in use";
    case SLP_TYPE_ERROR:
      return "type error";
  }
  return "unknown error";
}

ServiceInstance::ServiceInstance() : lifetime(0) {}

ServiceInstance::ServiceInstance(const std::string& url, unsigned short lifetime_s)
    : serviceURL(url), lifetime(lifetime_s) {}

unsigned long ServiceInstance::getAddr() const {
  orvel::slp::ServiceUrlParts url;
  orvel::slp::ParseServiceUrl(serviceURL, orvel::slp::UrlReading::kLookup, &url);
  // Read as the message library's inet_ADDR reads an address.
  return orvel::net::AddressFromText(url.host.c_str());
}

unsigned short ServiceInstance::getPort() const {
  orvel::slp::ServiceUrlParts url;
  orvel::slp::ParseServiceUrl(serviceURL, orvel::slp::UrlReading::kLookup, &url);
  return static_cast<unsigned short>(url.port);
}

std::string ServiceInstance::getAddrStr() const {
  return orvel::net::AddressText(static_cast<uint32_t>(getAddr()));
}

SLPBoolean SLPFindSrvCallback(SLPHandle, const char* srvurl, unsigned short lifetime,
                              SLPError errcode, void* cookie) {
  // The closing SLP_LAST_CALL has no URL; a null URL is never an answer.
  if ((errcode != SLP_OK && errcode != SLP_LAST_CALL) || lifetime == 0 || srvurl == nullptr ||
      cookie == nullptr)
    return SLP_TRUE;
  static_cast<std::vector<ServiceInstance>*>(cookie)->emplace_back(srvurl, lifetime);
  return SLP_TRUE;
}

SLPService::SLPService(const std::string& srvtype, const std::string& predicate,
                       const std::string& da_addr, const std::string& scope)
    : mHandle(nullptr), mNumFound(0), mSIvec(nullptr) {
  mLastError = SLPOpen("en", SLP_FALSE, &mHandle);
  if (mLastError != SLP_OK) {
    mHandle = nullptr;
    return;
  }
  if (da_addr.empty()) {
    SLPSetProperty("net.slp.activeDADetection", "true");
    SLPSetProperty("net.slp.passiveDADetection", "true");
  } else {
    SLPSetProperty("net.slp.DAAddresses", da_addr.c_str());
    SLPSetProperty("net.slp.activeDADetection", "false");
    SLPSetProperty("net.slp.passiveDADetection", "false");
  }
  // The properties above are the process's (the agent a program was
  // started with); this handle asks only its own agents, so services with
  // different agents do not redirect each other.
  orvel::slp::SetOwnAgents(mHandle, da_addr);
  mDAaddr = da_addr;
  mSrvType = srvtype;
  mPredicate = predicate;
  mScope = scope;
}

SLPService::~SLPService() {
  delete mSIvec;
  if (mHandle) SLPClose(mHandle);
}

int SLPService::FindServices() {
  if (!mHandle) {
    mNumFound = 0;
    return -1;
  }
  std::vector<ServiceInstance> found;
  orvel::Status why;
  SLPError err = FindInto(mHandle, mSrvType, mScope, mPredicate, &found, &why);
  mLastError = err;
  mAgent = orvel::slp::LastAgentOf(mHandle);
  mReason = why.ok() ? std::string() : why.ToString();
  if (err != SLP_OK) {
    // Earlier results are no longer visible.
    delete mSIvec;
    mSIvec = nullptr;
    mNumFound = 0;
    return -1;
  }
  if (!mSIvec) mSIvec = new std::vector<ServiceInstance>;
  *mSIvec = std::move(found);
  mNumFound = static_cast<int>(mSIvec->size());
  return mNumFound;
}

const ServiceInstance* SLPService::serviceAt(int index) const {
  if (!mSIvec || index < 0 || index >= mNumFound) return nullptr;
  return &(*mSIvec)[static_cast<size_t>(index)];
}

int SLPService::getSIvec(std::vector<ServiceInstance>& sivec) const {
  if (!mSIvec || mNumFound == 0) return 0;
  sivec = *mSIvec;
  return mNumFound;
}

namespace orvel::slp {

LookupSession::LookupSession(const std::string& agents) {
  SLPError err = SLPOpen("en", SLP_FALSE, &handle_);
  if (err != SLP_OK) {
    handle_ = nullptr;
    open_status_ = Status::Unavailable(std::string("SLP handle: ") + SLPErrorText(err));
    return;
  }
  SetOwnAgents(handle_, agents);
}

LookupSession::~LookupSession() {
  if (handle_) SLPClose(handle_);
}

Status LookupSession::Find(const std::string& srvtype, const std::string& predicate,
                           const std::string& scope, std::vector<ServiceInstance>* found,
                           SLPError* api_error) {
  found->clear();
  if (!handle_) {
    if (api_error != nullptr) *api_error = SLP_NETWORK_INIT_FAILED;
    return open_status_;
  }
  Status why;
  SLPError err = FindInto(handle_, srvtype, scope, predicate, found, &why);
  agent_ = LastAgentOf(handle_);
  if (api_error != nullptr) *api_error = err;
  return why;
}

}  // namespace orvel::slp
