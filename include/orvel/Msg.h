// Msg.h: the XML message model shared by Orvel and its sibling services.
// (One public header for every message class, as users include it; each
// class is short and documented where it stands.)
//
// Every protocol message is an object of a class derived from Msg and always
// carries its wire form, a libxml2 document, which it owns.  A sender builds
// the object from values (the build constructor writes the document at once,
// without formatting); a receiver parses a body into a document and hands it
// to the class's document constructor, which reads the values back by
// position and takes the document over.
//
// Thread safety: message objects are not shared between threads.  The id and
// version counters and the free utilities are safe to call from any thread.
#ifndef ORVEL_INCLUDE_MSG_H_
#define ORVEL_INCLUDE_MSG_H_

#include <libxml/tree.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvel/EndPoint.h"
#include "orvel/export.h"

// ---------------------------------------------------------------------------
// Free utilities.  Addresses and masks are 32-bit values in network byte order
// held in unsigned long; only the low 32 bits are ever meaningful.

// Parses a dotted quad (any form inet_aton accepts).  Returns the address in
// network byte order, or 0 when the text is null or not an address.
ORVEL_EXPORT unsigned long inet_ADDR(const char* text);
// Dotted-quad text of a network-order address (low 32 bits).  Thread-safe.
ORVEL_EXPORT std::string inet_NTOS(unsigned long addr);
// Decimal text of the value ("%lu").
ORVEL_EXPORT std::string ultostr(unsigned long value);
// Prefix length of a network-order netmask, judged by its lowest set bit
// (255.255.255.0 gives 24, 0.0.0.0 gives 0, 255.0.255.0 gives 24).
ORVEL_EXPORT int mask2int(unsigned long mask);

// Where the library's trace lines go: today the setEP/getEP lines of
// SynthZemReq, each passed as one whole line ending in '\n'.  The default,
// stdoutMsgTrace, writes them to standard output as the synthesis service
// always has; a program whose standard output is its own (zemclient) sets
// another hook, or nullptr to drop the lines.  The hook runs on whatever
// thread builds or reads the message, so it must be thread-safe;
// setMsgTraceHook and getMsgTraceHook are.
using MsgTraceHook = void (*)(const char* line);
ORVEL_EXPORT void setMsgTraceHook(MsgTraceHook hook);
ORVEL_EXPORT MsgTraceHook getMsgTraceHook();
ORVEL_EXPORT void stdoutMsgTrace(const char* line);

// Limit on every count ("num") read from a received document: a list's
// entry count and a coordinate node's own count.  A document whose count is
// negative (taken as signed 32 bits) or above it is refused (see
// Msg::isValid).  Counts up to it are honoured: a list with fewer entries
// than its count is padded with default entries, entries beyond the count
// are ignored.
constexpr long kMaxListEntries = 65536;
// Limit on the sum of all counts of one document, so that a small document
// of many lists (or many coordinate nodes each claiming kMaxListEntries
// coordinates) cannot make the reader allocate without bound.
constexpr long kMaxDocEntries = 16 * kMaxListEntries;

class ORVEL_EXPORT Msg {
 public:
  // The seventeen type names; each is also the root element name.
  static const std::string UNKNOWN;  // "Unknown"
  static const std::string SynthInit;
  static const std::string SynthZemReq;
  static const std::string SynthVGWReq;
  static const std::string SynthIPMZReq;
  static const std::string ZemInit;
  static const std::string ZemCommit;
  static const std::string DynamicInit;
  static const std::string SynthInitOk;
  static const std::string SynthZemOk;
  static const std::string SynthVGWOk;
  static const std::string SynthIPMZOk;
  static const std::string ZemInitOk;
  static const std::string ZemCommitOk;
  static const std::string DynamicInitResp;
  static const std::string PELMQueryReq;
  static const std::string PELMQueryResp;

  // Build constructor: creates an empty XML 1.0 document; the derived class
  // then writes the root, "id", "version" and its body.
  Msg(const std::string& type, unsigned long id, unsigned long ver);
  // Used by document constructors: every field is set to a safe value
  // (no document, sock -1, numbers 0, type empty, valid).
  Msg();
  // Frees the document.  Derived destructors free their lists first.
  virtual ~Msg();
  Msg(const Msg&) = delete;
  Msg& operator=(const Msg&) = delete;

  unsigned long getId() const { return mId; }
  unsigned long getVersion() const { return mVersion; }
  std::string getType() const { return mType; }
  // Rewrite the field and the text of the "id" / "version" element (first /
  // second element of the root), written with "%d" as a signed 32-bit value.
  // Without a document (or without that element) only the field changes.
  void setId(unsigned long id);
  void setVersion(unsigned long ver);

  void setSrcAddr(unsigned long addr) { mSrcAddress = addr & 0xffffffffUL; }
  unsigned long getSrcAddr() const { return mSrcAddress; }
  void setSrcPort(unsigned short port) { mSrcPort = port; }
  unsigned short getSrcPort() const { return mSrcPort; }
  std::string getSrcAddrStr() const;
  std::string getSrcPortStr() const;

  // Serialises the document (xmlDocDumpMemory), without formatting.  The
  // caller releases the result with free().  Returns null when the message
  // has no document.
  char* getChars() const;

  // False when a document constructor refused its document.  Refusal rules,
  // the same for every class:
  //   - a null document, or one without a root element;
  //   - a missing positional child: "id", "version", a body scalar, a list,
  //     or one of an entry's fields (such as a "member" without "port");
  //   - a list element without a "num" attribute;
  //   - a count that is negative (taken as signed 32 bits) or above
  //     kMaxListEntries, or counts summing above kMaxDocEntries;
  //   - an entity reference (declared by the document's own DTD) in a value
  //     or a "num" it reads: such entities are never expanded, so a small
  //     document cannot stand for an unbounded text.
  // Children beyond those a class reads are ignored, and element names are
  // never examined.  Whitespace-only text, comments and processing
  // instructions between elements take no position, so pretty-printed
  // documents read like compact ones.  Reading stops at the first missing node; the fields
  // not yet read keep their defaults.  A refused message still owns and
  // frees its document; the transports never hand such a message on (the
  // server answers 400, the client returns null).
  bool isValid() const { return mValid; }

  // Process-wide counters; every caller gets a distinct value (each call is
  // one atomic step).  The first id of a run is the current time in seconds;
  // later ids count up from it.  The version sequence starts at the id
  // current at its first call, and returns 0 while no id exists yet.
  static unsigned long generateId();
  static unsigned long generateVersion();

  // Socket of the connection a received request arrived on (set by the
  // server); -1 otherwise.
  int sock;

 protected:
  struct DocFree {
    void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
  };

  // Creates the root element named after mType with its "id" and "version"
  // children, and returns the root for the body.
  xmlNodePtr writeEnvelope();
  // Document constructor of a message without a body: takes doc over and
  // reads "id" and "version" (refusing the document as the readers do).
  void readEnvelopeOnly(const std::string& type, xmlDocPtr doc);

  unsigned long mId;       // 32-bit value
  unsigned long mVersion;  // 32-bit value
  std::string mType;
  std::unique_ptr<xmlDoc, DocFree> mDoc;
  unsigned long mSrcAddress;  // network byte order
  unsigned short mSrcPort;    // host byte order
  bool mValid;

  // The counters behind generateId and generateVersion (32-bit values).
  static std::atomic<unsigned long> sId;
  static std::atomic<unsigned long> sVersion;
};

// Builds the request class (SynthZemReq, SynthVGWReq, SynthIPMZReq,
// SynthInit, ZemInit, ZemCommit, DynamicInit, PELMQueryReq, in this order)
// named by the root element of doc.  Takes ownership of doc on every path.
// Returns a new message the caller owns, or null: *unknown_type (if given) is
// then true when the root names no request type, false when the document was
// refused by its class (see Msg::isValid).
ORVEL_EXPORT Msg* newRequestMsgFromDoc(xmlDocPtr doc, bool* unknown_type = nullptr);
// The same for the eight reply types (SynthZemOk, SynthVGWOk, SynthIPMZOk,
// SynthInitOk, ZemInitOk, ZemCommitOk, DynamicInitResp, PELMQueryResp).
ORVEL_EXPORT Msg* newReplyMsgFromDoc(xmlDocPtr doc, bool* unknown_type = nullptr);

// ---------------------------------------------------------------------------
// The message classes.  Each has a build constructor, which copies the
// caller's values and writes the document at once, and a document
// constructor, which takes the document over (on every path, also when it
// refuses it; see Msg::isValid) and reads the values back by position.
// List accessors return references to the lists the message holds; changing
// them does not change the document.
//
// Numbers are written with "%d" as signed 32-bit values (an index of
// 4294967295 is written as -1); addresses as dotted quads.  Numbers are read
// as unsigned decimal: leading white space, an optional sign, digits; a
// minus sign negates in 32-bit unsigned arithmetic, a value beyond 32 bits
// reads as 4294967295, and the result keeps the field's low bits (a TTL of
// "300" gives 44).  A text that is no number reads as 0, an address text
// that is no address as 0.0.0.0.
//
// String fields (user names, the movie name, arguments) are element content
// in which the references &amp; &lt; &gt; &quot; &apos; and character
// references (&#38; &#x26;) are resolved when the document is built; any
// other ampersand is written escaped, so it reads back unchanged.  "<" and
// ">" read back unchanged.  Strings must be UTF-8 text that XML 1.0 can
// carry: the XML library drops, with a message on standard error, bytes
// that are not valid UTF-8 and control characters other than tab, line
// feed and carriage return.

// ---- Proxy control --------------------------------------------------------

// Tells a proxy its data port.  Body: "data_port".
class ORVEL_EXPORT ZemInit : public Msg {
 public:
  ZemInit(unsigned long id, unsigned long ver, unsigned short port);
  explicit ZemInit(xmlDocPtr doc);

  unsigned short getPort() const { return mPort; }
  std::string getPortStr() const;

 private:
  unsigned short mPort;
};

// A proxy's answer to ZemInit.  Body: "data_addr", "ttl".
class ORVEL_EXPORT ZemInitOk : public Msg {
 public:
  ZemInitOk(unsigned long id, unsigned long ver, unsigned long addr, unsigned char ttl);
  explicit ZemInitOk(xmlDocPtr doc);

  unsigned long getAddr() const { return mAddress; }
  std::string getAddrStr() const;
  unsigned char getTTL() const { return mTTL; }
  std::string getTTLStr() const;

 private:
  unsigned long mAddress;  // network byte order
  unsigned char mTTL;
};

// Hands a proxy its data address, port, TTL and the member transports.
// Body: "data_addr", "data_port", "ttl", "memberlist" of "member" ("addr",
// "port").  Members read from a document are never ABone nodes.
class ORVEL_EXPORT ZemCommit : public Msg {
 public:
  ZemCommit(unsigned long id, unsigned long ver, unsigned long addr, unsigned short port,
            unsigned char ttl, const std::vector<TransportEndPoint>& members);
  explicit ZemCommit(xmlDocPtr doc);

  std::vector<TransportEndPoint>& getMemberVec() { return mMemberVec; }
  const std::vector<TransportEndPoint>& getMemberVec() const { return mMemberVec; }
  unsigned long getAddr() const { return mAddress; }
  std::string getAddrStr() const;
  // The port cut to 16 bits (a received "65537" gives 1; the field keeps
  // the whole 32-bit value read).
  unsigned short getPort() const { return static_cast<unsigned short>(mPort); }
  std::string getPortStr() const;  // decimal of getPort()
  unsigned char getTTL() const { return mTTL; }
  std::string getTTLStr() const;

 private:
  unsigned long mAddress;  // network byte order
  unsigned long mPort;     // 32-bit field holding a 16-bit port
  unsigned char mTTL;
  std::vector<TransportEndPoint> mMemberVec;
};

// A proxy's answer to ZemCommit: the envelope only.
class ORVEL_EXPORT ZemCommitOk : public Msg {
 public:
  ZemCommitOk(unsigned long id, unsigned long ver);
  explicit ZemCommitOk(xmlDocPtr doc);
};

// ---- Multicast synthesis --------------------------------------------------

// The synthesis request: end hosts and zones.  Body: "endpointlist" of
// "endpoint" (dotted quad), "zonelist" of "zone" ("addr", "mask", "ep").
// "ep" is the zone's mEP written with "%d" as the four address bytes in
// network order read as a little-endian signed 32-bit integer (10.1.0.5 is
// 83886346, 10.0.0.200 is -939524086).  Building traces
// "orvel: setEP %d -> %s\n" and reading "orvel: getEP %s -> %d\n" for
// every zone, through the trace hook (standard output by default).
class ORVEL_EXPORT SynthZemReq : public Msg {
 public:
  SynthZemReq(unsigned long id, unsigned long ver, const std::vector<EndPoint>& endpoints,
              const std::vector<EndZone>& zones);
  explicit SynthZemReq(xmlDocPtr doc);

  std::vector<EndPoint>& getEPVec() { return mEPVec; }
  const std::vector<EndPoint>& getEPVec() const { return mEPVec; }
  std::vector<EndZone>& getZoneVec() { return mZoneVec; }
  const std::vector<EndZone>& getZoneVec() const { return mZoneVec; }

 private:
  std::vector<EndPoint> mEPVec;
  std::vector<EndZone> mZoneVec;
};

// The synthesis reply: a multicast transport per end host and per zone.
// Body: "eptransportlist" of "eptransport" and "zonetransportlist" of
// "zonetransport", each ("addr", "port", "ttl").
class ORVEL_EXPORT SynthZemOk : public Msg {
 public:
  SynthZemOk(unsigned long id, unsigned long ver,
             const std::vector<MulticastEndPoint>& ep_transports,
             const std::vector<MulticastEndPoint>& zone_transports);
  explicit SynthZemOk(xmlDocPtr doc);

  std::vector<MulticastEndPoint>& getEPTVec() { return mEPTVec; }
  const std::vector<MulticastEndPoint>& getEPTVec() const { return mEPTVec; }
  std::vector<MulticastEndPoint>& getZoneTVec() { return mZoneTVec; }
  const std::vector<MulticastEndPoint>& getZoneTVec() const { return mZoneTVec; }

 private:
  std::vector<MulticastEndPoint> mEPTVec;
  std::vector<MulticastEndPoint> mZoneTVec;
};

// ---- Gateway and zone synthesis -------------------------------------------

// A video-gateway synthesis request.  Body: "vgwdataaddr", "vgwdataport",
// "vgwttl", "vicsdrlist" of "vicsdr" ("user", "addr", "dataaddr",
// "dataport", "ttl"), "netmeetinglist" of "netmeeting" ("user", "addr").
class ORVEL_EXPORT SynthVGWReq : public Msg {
 public:
  SynthVGWReq(unsigned long id, unsigned long ver, unsigned long data_addr,
              unsigned short data_port, unsigned char ttl, const std::vector<vicSDREndPoint>& vics,
              const std::vector<NetmeetingEndPoint>& netmeetings);
  explicit SynthVGWReq(xmlDocPtr doc);

  unsigned long getVGWDataAddr() const { return mVGWDataAddr; }
  std::string getVGWDataAddrStr() const;
  unsigned short getVGWDataPort() const { return mVGWDataPort; }
  unsigned char getVGWTTL() const { return mVGWTTL; }
  std::vector<vicSDREndPoint>& getVicVec() { return mVicVec; }
  const std::vector<vicSDREndPoint>& getVicVec() const { return mVicVec; }
  std::vector<NetmeetingEndPoint>& getNMVec() { return mNMVec; }
  const std::vector<NetmeetingEndPoint>& getNMVec() const { return mNMVec; }

 private:
  unsigned long mVGWDataAddr;  // network byte order
  unsigned short mVGWDataPort;
  unsigned char mVGWTTL;
  std::vector<vicSDREndPoint> mVicVec;
  std::vector<NetmeetingEndPoint> mNMVec;
};

// The acknowledgement of SynthVGWReq: the envelope only.
class ORVEL_EXPORT SynthVGWOk : public Msg {
 public:
  SynthVGWOk(unsigned long id, unsigned long ver);
  explicit SynthVGWOk(xmlDocPtr doc);
};

// A multicast-zone synthesis request.  Body: "endpointlist" of "endpoint".
class ORVEL_EXPORT SynthIPMZReq : public Msg {
 public:
  SynthIPMZReq(unsigned long id, unsigned long ver, const std::vector<EndPoint>& endpoints);
  explicit SynthIPMZReq(xmlDocPtr doc);

  std::vector<EndPoint>& getEPVec() { return mEPVec; }
  const std::vector<EndPoint>& getEPVec() const { return mEPVec; }

 private:
  std::vector<EndPoint> mEPVec;
};

// The reply to SynthIPMZReq.  Body: "zonelist" of "zone" ("addr", "mask";
// the zones' mEP is not carried), "idxlist" of "idx".
class ORVEL_EXPORT SynthIPMZOk : public Msg {
 public:
  SynthIPMZOk(unsigned long id, unsigned long ver, const std::vector<EndZone>& zones,
              const std::vector<uint32_t>& indices);
  explicit SynthIPMZOk(xmlDocPtr doc);

  std::vector<EndZone>& getZoneVec() { return mZoneVec; }
  const std::vector<EndZone>& getZoneVec() const { return mZoneVec; }
  std::vector<uint32_t>& getIdxVec() { return mIdxVec; }
  const std::vector<uint32_t>& getIdxVec() const { return mIdxVec; }

 private:
  std::vector<EndZone> mZoneVec;
  std::vector<uint32_t> mIdxVec;
};

// ---- Initialisation -------------------------------------------------------

// A conference initialisation request.  Body: "viclist"/"vic",
// "mcviclist"/"mcvic", "nmlist"/"nm", "hhlist"/"hh", "wblist"/"wb" (each
// entry "user", "addr"), then "moviename".
class ORVEL_EXPORT SynthInit : public Msg {
 public:
  SynthInit(unsigned long id, unsigned long ver, const std::vector<VCEndPoint>& vics,
            const std::vector<VCEndPoint>& mcvics, const std::vector<VCEndPoint>& nms,
            const std::vector<VCEndPoint>& hhs, const std::vector<VCEndPoint>& wbs,
            std::string movie_name);
  explicit SynthInit(xmlDocPtr doc);

  std::vector<VCEndPoint>& getVicVec() { return mVicVec; }
  const std::vector<VCEndPoint>& getVicVec() const { return mVicVec; }
  std::vector<VCEndPoint>& getMCVicVec() { return mMCVicVec; }
  const std::vector<VCEndPoint>& getMCVicVec() const { return mMCVicVec; }
  std::vector<VCEndPoint>& getNMVec() { return mNMVec; }
  const std::vector<VCEndPoint>& getNMVec() const { return mNMVec; }
  std::vector<VCEndPoint>& getHHVec() { return mHHVec; }
  const std::vector<VCEndPoint>& getHHVec() const { return mHHVec; }
  std::vector<VCEndPoint>& getWBVec() { return mWBVec; }
  const std::vector<VCEndPoint>& getWBVec() const { return mWBVec; }
  std::string getMovieName() const { return mMovieName; }

 private:
  std::vector<VCEndPoint> mVicVec;
  std::vector<VCEndPoint> mMCVicVec;
  std::vector<VCEndPoint> mNMVec;
  std::vector<VCEndPoint> mHHVec;
  std::vector<VCEndPoint> mWBVec;
  std::string mMovieName;
};

// The acknowledgement of SynthInit: the envelope only.
class ORVEL_EXPORT SynthInitOk : public Msg {
 public:
  SynthInitOk(unsigned long id, unsigned long ver);
  explicit SynthInitOk(xmlDocPtr doc);
};

// A dynamic initialisation request: an argument vector.  Body: "argv" of
// "arg".  An empty argument is an "arg" without children.
class ORVEL_EXPORT DynamicInit : public Msg {
 public:
  DynamicInit(unsigned long id, unsigned long ver, const std::vector<std::string>& argv);
  explicit DynamicInit(xmlDocPtr doc);

  std::vector<std::string>& getARGV() { return mARGV; }
  const std::vector<std::string>& getARGV() const { return mARGV; }

 private:
  std::vector<std::string> mARGV;
};

// The reply to DynamicInit: a status.  Body: "status", signed decimal, read
// back as signed decimal (beyond the 32-bit range: the nearest limit).  Any
// value is carried; the constants are the ones this library gives meaning.
class ORVEL_EXPORT DynamicInitResp : public Msg {
 public:
  static constexpr int32_t Ok = 0;
  static constexpr int32_t Failed = -1;
  static constexpr int32_t PortInUse = -2;

  DynamicInitResp(unsigned long id, unsigned long ver, int32_t status);
  explicit DynamicInitResp(xmlDocPtr doc);

  int32_t getStatus() const { return mStatus; }

 private:
  int32_t mStatus;
};

// ---- Coordinate queries ---------------------------------------------------

// One node's network coordinates.
class ORVEL_EXPORT PELMNode {
 public:
  PELMNode() = default;
  explicit PELMNode(std::vector<double> coords) : mCoordinates(std::move(coords)) {}
  // One coordinate per text, read as a decimal floating-point number (text
  // that is no number gives 0.0).
  explicit PELMNode(std::vector<std::string> coords);

  // Replaces the coordinates by count zeros.  A count that is negative or
  // above kMaxListEntries leaves the node without coordinates and returns
  // false.
  bool allocCoordVec(int32_t count);
  int32_t size() const { return static_cast<int32_t>(mCoordinates.size()); }
  // The coordinate as "%f" text (six decimals, written in full however long)
  // and as a number.  An index outside [0, size) gives "" and 0.0.
  std::string coordAt(int32_t index) const;
  double DcoordAt(int32_t index) const;
  // Sets the coordinate when index is in [0, size); otherwise does nothing.
  void setCoordAt(int32_t index, double value);
  const std::vector<double>& getCoordinates() const { return mCoordinates; }

 private:
  std::vector<double> mCoordinates;
};

// A placement query over network coordinates.  Body: "sol_rank",
// "num_proxy", "clientlist" of "client", "candidatelist" of "candidate"
// (each node with its own "num" and one "coord" per coordinate, "%f"),
// "capacitylist" of "capacity", "costlist" of "cost".
class ORVEL_EXPORT PELMQueryReq : public Msg {
 public:
  PELMQueryReq(unsigned long id, unsigned long ver, int32_t solution_rank,
               int32_t proxies_per_solution, const std::vector<PELMNode>& clients,
               const std::vector<PELMNode>& candidates, const std::vector<int32_t>& capacities,
               const std::vector<int32_t>& costs);
  explicit PELMQueryReq(xmlDocPtr doc);

  int32_t getSolutionRank() const { return mSolutionRank; }
  int32_t getNumProxiesPerSolution() const { return mNumProxiesPerSolution; }
  std::vector<PELMNode>& getClientVec() { return mClientVec; }
  const std::vector<PELMNode>& getClientVec() const { return mClientVec; }
  std::vector<PELMNode>& getCandidateVec() { return mCandidateVec; }
  const std::vector<PELMNode>& getCandidateVec() const { return mCandidateVec; }
  std::vector<int32_t>& getCapacityVec() { return mCapacityVec; }
  const std::vector<int32_t>& getCapacityVec() const { return mCapacityVec; }
  std::vector<int32_t>& getCostVec() { return mCostVec; }
  const std::vector<int32_t>& getCostVec() const { return mCostVec; }

 private:
  int32_t mSolutionRank;
  int32_t mNumProxiesPerSolution;
  std::vector<PELMNode> mClientVec;
  std::vector<PELMNode> mCandidateVec;
  std::vector<int32_t> mCapacityVec;
  std::vector<int32_t> mCostVec;
};

// The answer to PELMQueryReq.  Body: "idxlist" of "idx", "fitness" ("%f").
class ORVEL_EXPORT PELMQueryResp : public Msg {
 public:
  PELMQueryResp(unsigned long id, unsigned long ver, const std::vector<int32_t>& indices,
                double fitness);
  explicit PELMQueryResp(xmlDocPtr doc);

  std::vector<int32_t>& getIndexVec() { return mIndexVec; }
  const std::vector<int32_t>& getIndexVec() const { return mIndexVec; }
  double getFitness() const { return mFitness; }

 private:
  std::vector<int32_t> mIndexVec;
  double mFitness;
};

#endif  // ORVEL_INCLUDE_MSG_H_
