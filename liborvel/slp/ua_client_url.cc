// ua_client_url.cc: service URL parsing and escaping of the SLP C API.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "net/address.h"
#include "orvel/slp_api.h"
#include "slp/ua_internal.h"

namespace orvel {
namespace slp {
namespace {

bool IsReserved(unsigned char c) {
  return c < 0x20 || c == 0x7F || std::strchr("(),\\!<=>~", c) != nullptr;
}
bool IsBadTagChar(unsigned char c) {
  return c == '*' || c == '_' || c == '\r' || c == '\n' || c == '\t';
}

// The lookup reading (see UrlReading::kLookup).
void ParseLookupUrl(const std::string& url, ServiceUrlParts* out) {
  size_t colon = url.rfind(':');
  size_t slashes = url.find("//");
  if (slashes != std::string::npos) {
    size_t host = slashes + 2;
    // "/?x-PELM" counts only after the "//": one earlier in the URL would
    // put the end of the host before its start.
    size_t end = url.find("/?x-PELM", host);
    if (end == std::string::npos)
      end = (colon != std::string::npos && colon >= host + 2) ? colon : url.size();
    out->host = url.substr(host, end - host);
  }
  const char* text = url.c_str() + (colon == std::string::npos ? 0 : colon + 1);
  char* end = nullptr;
  errno = 0;
  unsigned long port = std::strtoul(text, &end, 10);
  out->port = (end == text || errno == ERANGE || port > 65535) ? 0 : static_cast<int>(port);
}

}  // namespace

bool ParseServiceUrl(const std::string& url, UrlReading reading, ServiceUrlParts* out) {
  *out = ServiceUrlParts();
  if (reading == UrlReading::kLookup) {
    ParseLookupUrl(url, out);
    return true;
  }
  size_t sep = url.find("://");
  if (sep == std::string::npos || sep == 0) return false;
  out->type = url.substr(0, sep);
  std::string rest = url.substr(sep + 3);
  size_t host_end = rest.find_first_of("/;");
  if (host_end != std::string::npos) out->part = rest.substr(host_end);
  net::HostPort hp;
  if (!net::ParseHostPort(std::string_view(rest).substr(0, host_end), &hp)) return false;
  out->host = hp.host;
  out->port = hp.port;
  return true;
}

}  // namespace slp
}  // namespace orvel

extern "C" {

SLPError SLPParseSrvURL(const char* pcSrvURL, SLPSrvURL** ppSrvURL) {
  if (!pcSrvURL || !ppSrvURL) return SLP_PARAMETER_BAD;
  *ppSrvURL = nullptr;
  orvel::slp::ServiceUrlParts url;
  if (!orvel::slp::ParseServiceUrl(pcSrvURL, orvel::slp::UrlReading::kStandard, &url))
    return SLP_PARSE_ERROR;
  const std::string& type = url.type;
  const std::string& host = url.host;
  const std::string& part = url.part;
  const int port = url.port;
  // One block: the struct, then the four strings.
  size_t need = sizeof(SLPSrvURL) + type.size() + host.size() + part.size() + 4;
  char* block = static_cast<char*>(std::malloc(need));
  if (!block) return SLP_MEMORY_ALLOC_FAILED;
  SLPSrvURL* u = reinterpret_cast<SLPSrvURL*>(block);
  char* p = block + sizeof(SLPSrvURL);
  auto put = [&p](const std::string& s) {
    char* start = p;
    std::memcpy(p, s.c_str(), s.size() + 1);
    p += s.size() + 1;
    return start;
  };
  u->s_pcSrvType = put(type);
  u->s_pcHost = put(host);
  u->s_iPort = port;
  u->s_pcNetFamily = put("");
  u->s_pcSrvPart = put(part);
  *ppSrvURL = u;
  return SLP_OK;
}

SLPError SLPEscape(const char* pcInbuf, char** ppcOutBuf, SLPBoolean isTag) {
  if (!pcInbuf || !ppcOutBuf) return SLP_PARAMETER_BAD;
  *ppcOutBuf = nullptr;
  std::string out;
  for (const char* c = pcInbuf; *c; ++c) {
    unsigned char uc = static_cast<unsigned char>(*c);
    if (isTag == SLP_TRUE && orvel::slp::IsBadTagChar(uc)) return SLP_PARSE_ERROR;
    if (orvel::slp::IsReserved(uc)) {
      static const char kHex[] = "0123456789ABCDEF";
      out += '\\';
      out += kHex[uc >> 4];
      out += kHex[uc & 0xF];
    } else {
      out += *c;
    }
  }
  *ppcOutBuf = orvel::slp::CopyToMalloc(out);
  return *ppcOutBuf ? SLP_OK : SLP_MEMORY_ALLOC_FAILED;
}

SLPError SLPUnescape(const char* pcInbuf, char** ppcOutBuf, SLPBoolean isTag) {
  if (!pcInbuf || !ppcOutBuf) return SLP_PARAMETER_BAD;
  *ppcOutBuf = nullptr;
  std::string out;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (const char* c = pcInbuf; *c; ++c) {
    if (*c == '\\') {
      int hi = hex(c[1]);
      int lo = hi < 0 ? -1 : hex(c[2]);
      if (hi < 0 || lo < 0) return SLP_PARSE_ERROR;
      out += static_cast<char>(hi * 16 + lo);
      c += 2;
    } else {
      if (isTag == SLP_TRUE && orvel::slp::IsBadTagChar(static_cast<unsigned char>(*c)))
        return SLP_PARSE_ERROR;
      out += *c;
    }
  }
  *ppcOutBuf = orvel::slp::CopyToMalloc(out);
  return *ppcOutBuf ? SLP_OK : SLP_MEMORY_ALLOC_FAILED;
}

void SLPFree(void* pvMem) { std::free(pvMem); }

}  // extern "C"
