// standard_peer.h: a scripted SLPv2 client that behaves like the standard
// clients found among existing SLP software.  It is written from the RFC's
// wire layout alone and shares no code with the agent or the user agent:
//   - agent discovery over TCP, reading until the agent closes;
//   - UDP requests whose overflow it notices only by a Length larger than
//     the datagram that arrived (the overflow flag is ignored), and then
//     the same request over TCP with the same XID; or, as other clients
//     do, only by a Length past 1400 bytes, or only by the flag.
// Only 127.0.0.1 is ever contacted.  Every wait is bounded.
#ifndef ORVEL_TESTS_SLP_STANDARD_PEER_H_
#define ORVEL_TESTS_SLP_STANDARD_PEER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace slptest {

struct PeerReply {
  bool ok = false;   // a reply arrived and parsed
  int function = 0;  // function id of the reply
  uint16_t xid = 0;
  uint16_t flags = 0;
  uint32_t length = 0;  // Length field of the reply used
  uint16_t error = 0;
  std::vector<std::string> urls;  // SrvRply
  std::string list;               // AttrRply attrs, SrvTypeRply types, DAAdvert scopes
  std::string agent_url;          // DAAdvert
  bool via_tcp = false;           // the answer came over TCP
  size_t datagram_bytes = 0;      // size of the UDP reply that came first
};

class StandardPeer {
 public:
  // How the peer tells that a UDP answer was cut, and then asks over TCP.
  enum class Reading {
    kLengthBeyondDatagram,  // Length larger than the datagram that arrived
    kLengthPastMtu,         // Length past 1400 bytes; otherwise what arrived is the answer
    kFlag,                  // the overflow flag alone
  };
  explicit StandardPeer(int port, Reading reading = Reading::kLengthBeyondDatagram)
      : port_(port), reading_(reading) {}

  // SrvRqst for service:directory-agent over TCP; reads until the agent
  // closes, at most timeout_ms.  *seconds: time until the close (or the
  // time-out).
  PeerReply DiscoverAgent(int timeout_ms, double* seconds);
  PeerReply FindServices(const std::string& type, const std::string& scopes,
                         const std::string& predicate);
  PeerReply FindAttributes(const std::string& url_or_type, const std::string& scopes,
                           const std::string& tags);
  PeerReply FindTypes(const std::string& scopes);  // all naming authorities
  PeerReply Register(const std::string& url, const std::string& type, const std::string& attrs,
                     uint16_t lifetime, bool over_tcp);
  PeerReply Deregister(const std::string& url, bool over_tcp);

  // The request bytes the peer would send (header with tag "en").
  static std::string Message(int function, uint16_t xid, uint16_t flags, const std::string& body);
  static std::string Str(const std::string& s);  // 16-bit length and bytes
  // Parses one whole reply message.
  static PeerReply Parse(const std::string& bytes);

 private:
  PeerReply Exchange(int function, const std::string& body, uint16_t flags, bool tcp_only);
  PeerReply OverTcp(const std::string& request);

  int port_;
  Reading reading_;
  uint16_t xid_ = 0x5000;
};

}  // namespace slptest

#endif  // ORVEL_TESTS_SLP_STANDARD_PEER_H_
