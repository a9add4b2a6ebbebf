// Msg.h: the XML message model shared by Orvel and its sibling services.
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

#include <cstdint>
#include <string>
#include <vector>

#include "EndPoint.h"

// ---------------------------------------------------------------------------
// Free utilities.  Addresses and masks are 32-bit values in network byte order
// held in unsigned long; only the low 32 bits are ever meaningful.

// Parses a dotted quad (any form inet_aton accepts).  Returns the address in
// network byte order, or 0 when the text is null or not an address.
unsigned long inet_ADDR(const char* text);
// Dotted-quad text of a network-order address (low 32 bits).  Thread-safe.
std::string inet_NTOS(unsigned long addr);
// Decimal text of the value ("%lu").
std::string ultostr(unsigned long value);
// Prefix length of a network-order netmask, judged by its lowest set bit
// (255.255.255.0 gives 24, 0.0.0.0 gives 0, 255.0.255.0 gives 24).
int mask2int(unsigned long mask);

// Limit on every count ("num") read from a received document.  A document
// whose count is above it is refused (see Msg::isValid).
constexpr long kMaxListEntries = 65536;

class Msg {
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
  // (no document, sock -1, numbers 0, type empty).
  Msg();
  // Frees the document.  Derived destructors free their lists first.
  virtual ~Msg();
  Msg(const Msg&) = delete;
  Msg& operator=(const Msg&) = delete;

  unsigned long getId() const { return mId; }
  unsigned long getVersion() const { return mVersion; }
  std::string getType() const { return mType; }
  // Rewrite the field and the text of the "id" / "version" element
  // (first / second child of the root), written with "%d".
  void setId(unsigned long id);
  void setVersion(unsigned long ver);

  void setSrcAddr(unsigned long addr) { mSrcAddress = addr & 0xffffffffUL; }
  unsigned long getSrcAddr() const { return mSrcAddress; }
  void setSrcPort(unsigned short port) { mSrcPort = port; }
  unsigned short getSrcPort() const { return mSrcPort; }
  std::string getSrcAddrStr() const;
  std::string getSrcPortStr() const;

  // Serialises the document (xmlDocDumpMemory).  The caller releases the
  // result with free().  Returns null when the message has no document.
  char* getChars() const;

  // False when a document constructor refused its document (a count above
  // kMaxListEntries or negative, a missing positional child, list or "num").
  // A refused message still owns and frees its document; the transports
  // never hand such a message on (the server answers 400, the client null).
  bool isValid() const { return mValid; }

  // Process-wide counters; every caller gets a distinct value.  The first id
  // of a run is the current time in seconds; the version sequence starts at
  // the id current at its first call (0 if none yet).
  static unsigned long generateId();
  static unsigned long generateVersion();

  // Socket of the connection a received request arrived on (set by the
  // server); -1 otherwise.
  int sock;

 protected:
  unsigned long mId;          // 32-bit value
  unsigned long mVersion;     // 32-bit value
  std::string mType;
  xmlDocPtr mDoc;
  unsigned long mSrcAddress;  // network byte order
  unsigned short mSrcPort;    // host byte order
  bool mValid;
};

// Builds the request class (SynthZemReq, SynthVGWReq, SynthIPMZReq,
// SynthInit, ZemInit, ZemCommit, DynamicInit, PELMQueryReq, in this order)
// named by the root element of doc.  Takes ownership of doc on every path.
// Returns a new message the caller owns, or null: *unknown_type (if given) is
// then true when the root names no request type, false when the document was
// refused by its class (see Msg::isValid).
Msg* newRequestMsgFromDoc(xmlDocPtr doc, bool* unknown_type = nullptr);
// The same for the eight reply types (SynthZemOk, SynthVGWOk, SynthIPMZOk,
// SynthInitOk, ZemInitOk, ZemCommitOk, DynamicInitResp, PELMQueryResp).
Msg* newReplyMsgFromDoc(xmlDocPtr doc, bool* unknown_type = nullptr);

// The message classes of each family follow (declared in this header).
