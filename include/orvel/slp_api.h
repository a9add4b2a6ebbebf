/* slp_api.h: the standard SLP client API (names, types and error codes of
 * the SLP programming interface), served by Orvel's own SLPv2 user agent.
 *
 * The agent talks to directory agents only: those in "net.slp.DAAddresses"
 * ("A[:PORT],B[:PORT],...", the port defaulting to net.slp.port), or, when
 * that list is empty and detection is on, those found by multicast
 * discovery.  A search goes to the first agent that answers; an agent that
 * refuses (nobody on its port, as after a crash) makes way for the next at
 * once, one that stays silent after its wait.  The wait for one agent is
 * the net.slp.datagramTimeouts schedule (default 2000,4000,8000 ms: a
 * datagram, then resends), cut at net.slp.unicastMaximumWait (default
 * 15000 ms); set both in the file named by ORVEL_SLP_CONF or with
 * SLPSetProperty.  An agent that failed is asked last for the next 60 s, so
 * a silent agent costs its wait once, not on every search.  Registrations
 * go to every agent known (listed and discovered).  Discovery blocks for at
 * most net.slp.multicastMaximumWait and net.slp.DADiscoveryTimeouts.  Only
 * synchronous handles are supported: SLPOpen with isAsync SLP_TRUE gives
 * SLP_NOT_IMPLEMENTED.
 *
 * Thread-safety: properties are process-wide and may be read and set from
 * any thread.  A handle may be used by one call at a time (a second call on
 * a busy handle gives SLP_HANDLE_IN_USE); distinct handles are independent,
 * each with its own socket.
 *
 * Callbacks are called on the calling thread, before the call returns.  A
 * search ends with one call carrying SLP_LAST_CALL (and a null string) on
 * success, or the error code when the search failed; a callback that
 * returns SLP_FALSE gets no further calls.  Strings handed to callbacks are
 * valid only during the callback.
 *
 * Results, as RFC 2614 gives them:
 *   - A call that cannot start (a null handle or callback, a missing
 *     argument: SLP_PARAMETER_BAD; a busy handle: SLP_HANDLE_IN_USE; a
 *     registration URL that SLPParseSrvURL cannot split:
 *     SLP_INVALID_REGISTRATION) returns that error and calls no callback.
 *   - SLPReg, SLPDereg and SLPDelAttrs, once started, return SLP_OK; the
 *     outcome (SLP_OK, or the agents' error such as
 *     SLP_SCOPE_NOT_SUPPORTED, SLP_AUTHENTICATION_FAILED for a host the
 *     agent does not take registrations from, SLP_NETWORK_TIMED_OUT) comes
 *     through the callback only.
 *   - The searches report a failure through the callback's last call and
 *     return the same code as well.  A scope that no agent serves is an
 *     empty answer (SLP_OK and the last call alone), as with a network
 *     whose agents have nothing registered there.
 *   - SLPOpen, SLPFindScopes, SLPParseSrvURL, SLPEscape and SLPUnescape
 *     have no callback: their result is the outcome.
 * A registration's first datagram waits at most a second for its answer;
 * then the request goes over TCP, where an agent answers at once a
 * registration it drops silently over UDP (one from a host outside its
 * --allow-register), then the rest of the datagram schedule.
 */
#ifndef ORVEL_INCLUDE_SLP_API_H_
#define ORVEL_INCLUDE_SLP_API_H_

#include "orvel/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  SLP_LAST_CALL = 1,
  SLP_OK = 0,
  SLP_LANGUAGE_NOT_SUPPORTED = -1,
  SLP_PARSE_ERROR = -2,
  SLP_INVALID_REGISTRATION = -3,
  SLP_SCOPE_NOT_SUPPORTED = -4,
  SLP_AUTHENTICATION_UNKNOWN = -5,
  SLP_AUTHENTICATION_ABSENT = -6,
  SLP_AUTHENTICATION_FAILED = -7,
  /* Agent errors that RFC 2614 has no code for, negated like the others:
   * the agent does not speak this protocol version, cannot serve the
   * request at all, or is busy (try later). */
  SLP_VER_NOT_SUPPORTED = -9,
  SLP_INTERNAL_ERROR = -10,
  SLP_DA_BUSY_NOW = -11,
  SLP_INVALID_UPDATE = -13,
  SLP_REFRESH_REJECTED = -15,
  SLP_NOT_IMPLEMENTED = -17,
  SLP_BUFFER_OVERFLOW = -18,
  SLP_NETWORK_TIMED_OUT = -19,
  SLP_NETWORK_INIT_FAILED = -20,
  SLP_MEMORY_ALLOC_FAILED = -21,
  SLP_PARAMETER_BAD = -22,
  SLP_NETWORK_ERROR = -23,
  SLP_INTERNAL_SYSTEM_ERROR = -24,
  SLP_HANDLE_IN_USE = -25,
  SLP_TYPE_ERROR = -26
} SLPError;

typedef enum { SLP_FALSE = 0, SLP_TRUE = 1 } SLPBoolean;

/* Registration lifetimes in seconds.  SLPReg with SLP_LIFETIME_MAXIMUM
 * keeps the registration alive for as long as the handle stays open. */
#define SLP_LIFETIME_DEFAULT 10800
#define SLP_LIFETIME_MAXIMUM 65535

/* Opaque handle; null is never a valid handle. */
typedef void* SLPHandle;

/* A service URL split into its parts (SLPParseSrvURL). */
typedef struct srvurl {
  char* s_pcSrvType;   /* e.g. "service:printer:lpr" or "http" */
  char* s_pcHost;      /* host text, "" when none */
  int s_iPort;         /* 0 when none */
  char* s_pcNetFamily; /* "" for IP */
  char* s_pcSrvPart;   /* rest after host and port, "" when none */
} SLPSrvURL;

typedef void SLPRegReport(SLPHandle hSLP, SLPError errCode, void* pvCookie);
typedef SLPBoolean SLPSrvTypeCallback(SLPHandle hSLP, const char* pcSrvTypes, SLPError errCode,
                                      void* pvCookie);
typedef SLPBoolean SLPSrvURLCallback(SLPHandle hSLP, const char* pcSrvURL, unsigned short sLifetime,
                                     SLPError errCode, void* pvCookie);
typedef SLPBoolean SLPAttrCallback(SLPHandle hSLP, const char* pcAttrList, SLPError errCode,
                                   void* pvCookie);

/* Opens a handle for language pcLang (null or "" means net.slp.locale).
 * On success *phSLP is the new handle, released with SLPClose; on failure
 * *phSLP is null. */
ORVEL_EXPORT SLPError SLPOpen(const char* pcLang, SLPBoolean isAsync, SLPHandle* phSLP);
/* Closes the handle and its socket.  Null is accepted. */
ORVEL_EXPORT void SLPClose(SLPHandle hSLP);

/* Registers pcSrvURL with lifetime usLifetime seconds (1..65535) under
 * pcSrvType (null or "": the type is taken from the URL) in the scopes of
 * net.slp.useScopes, with attribute list pcAttrs.  fresh SLP_FALSE sends an
 * incremental update.  Every directory agent known is asked (the listed
 * ones and those discovered); callback gets SLP_OK when at least one
 * acknowledged, else the most telling error, and the call returns SLP_OK
 * (see "Results" above).  With SLP_LIFETIME_MAXIMUM
 * the handle sends the registration again, to every agent known then,
 * before its lifetime ends (at least every 15 minutes, never sooner than
 * SLPGetRefreshInterval), until SLPDereg of the URL or SLPClose, and at
 * once to an agent whose DAAdvert (asked for every 30 s) shows a later boot
 * timestamp, i.e. that restarted without its registrations; the refresh
 * runs on a thread of the handle's own. */
ORVEL_EXPORT SLPError SLPReg(SLPHandle hSLP, const char* pcSrvURL, const unsigned short usLifetime,
                             const char* pcSrvType, const char* pcAttrs, SLPBoolean fresh,
                             SLPRegReport callback, void* pvCookie);
/* Removes the registration of pcSrvURL from the scopes of net.slp.useScopes;
 * the outcome comes through callback. */
ORVEL_EXPORT SLPError SLPDereg(SLPHandle hSLP, const char* pcSrvURL, SLPRegReport callback,
                               void* pvCookie);
/* Removes the attributes named in pcAttrs (comma-separated tags); the
 * outcome comes through callback. */
ORVEL_EXPORT SLPError SLPDelAttrs(SLPHandle hSLP, const char* pcSrvURL, const char* pcAttrs,
                                  SLPRegReport callback, void* pvCookie);

/* Service types known in pcScopeList.  pcNamingAuthority "*" = all, "" =
 * IANA only.  The types come in one callback as a comma-separated list. */
ORVEL_EXPORT SLPError SLPFindSrvTypes(SLPHandle hSLP, const char* pcNamingAuthority,
                                      const char* pcScopeList, SLPSrvTypeCallback callback,
                                      void* pvCookie);
/* Services of pcServiceType in pcScopeList (null or "": net.slp.useScopes,
 * else "DEFAULT") matching the LDAP filter pcSearchFilter ("" = all).  One
 * callback per URL, in the order the agent sent them.  An answer cut to a
 * datagram (overflow flag, or a length beyond what arrived) is fetched
 * whole over TCP, up to the protocol's 16 MiB message limit. */
ORVEL_EXPORT SLPError SLPFindSrvs(SLPHandle hSLP, const char* pcServiceType,
                                  const char* pcScopeList, const char* pcSearchFilter,
                                  SLPSrvURLCallback callback, void* pvCookie);
/* Attributes of a URL or of all services of a type; pcAttrIds "" = all. */
ORVEL_EXPORT SLPError SLPFindAttrs(SLPHandle hSLP, const char* pcURLOrServiceType,
                                   const char* pcScopeList, const char* pcAttrIds,
                                   SLPAttrCallback callback, void* pvCookie);

/* The scopes this agent uses (net.slp.useScopes, else "DEFAULT").
 * *ppcScopeList is released with SLPFree. */
ORVEL_EXPORT SLPError SLPFindScopes(SLPHandle hSLP, char** ppcScopeList);
/* Minimum refresh interval (seconds) demanded by the agents known: the
 * largest min-refresh-interval of their DAAdverts, each agent asked over
 * unicast; 0 when none demands one.  Blocks for the agents' waits. */
ORVEL_EXPORT unsigned short SLPGetRefreshInterval(void);

/* Splits pcSrvURL; *ppSrvURL is one block released with SLPFree. */
ORVEL_EXPORT SLPError SLPParseSrvURL(const char* pcSrvURL, SLPSrvURL** ppSrvURL);
/* Escapes reserved characters (\HH); *ppcOutBuf is released with SLPFree.
 * With isTag SLP_TRUE, characters illegal in tags give SLP_PARSE_ERROR. */
ORVEL_EXPORT SLPError SLPEscape(const char* pcInbuf, char** ppcOutBuf, SLPBoolean isTag);
ORVEL_EXPORT SLPError SLPUnescape(const char* pcInbuf, char** ppcOutBuf, SLPBoolean isTag);
/* Releases memory returned by this API.  Null is accepted. */
ORVEL_EXPORT void SLPFree(void* pvMem);

/* Value of a property, or null when unknown.  The pointer stays valid for
 * the life of the process (values are interned), even after a later
 * SLPSetProperty of the same name. */
ORVEL_EXPORT const char* SLPGetProperty(const char* pcName);
/* Sets a process-wide property; null value is ignored. */
ORVEL_EXPORT void SLPSetProperty(const char* pcName, const char* pcValue);

#ifdef __cplusplus
}
#endif

#endif /* ORVEL_INCLUDE_SLP_API_H_ */
