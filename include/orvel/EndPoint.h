// EndPoint.h: the endpoint records that the messages carry.
//
// Small value records, copied freely.  Byte order throughout: an IPv4
// address or mask is an unsigned long in network byte order of which only
// the low 32 bits are meaningful (every setter masks them); a port is an
// unsigned short in host byte order; a TTL is an unsigned char.
//
// Text setters never fail: an address text that inet_aton rejects gives 0, a
// number text that is not a number gives 0, and a number too large for the
// field keeps its low bits (a TTL text of "300" gives 44, a port text of
// "65537" gives 1).  Text getters return dotted quads for addresses and
// masks and decimal for ports and TTLs.
//
// Note that setAddr(0) is ambiguous between the number and the text
// overload; write setAddr(0UL).
//
// Thread safety: a record is a plain value; const methods may run
// concurrently, mutation needs outside locking.
#ifndef ORVEL_INCLUDE_ENDPOINT_H_
#define ORVEL_INCLUDE_ENDPOINT_H_

#include <string>

#include "orvel/export.h"

// An IPv4 host.
class ORVEL_EXPORT EndPoint {
 public:
  EndPoint() : mAddress(0) {}
  explicit EndPoint(unsigned long addr) : mAddress(addr & 0xffffffffUL) {}

  unsigned long getAddr() const { return mAddress; }
  void setAddr(unsigned long addr) { mAddress = addr & 0xffffffffUL; }
  void setAddr(const char* text);
  // Both give the dotted quad of the address.
  std::string getStr() const;
  std::string getAddrStr() const;

 private:
  unsigned long mAddress;
};

// A zone: a network (address and mask) plus mEP, the address of a host that
// stands for the zone (network byte order; 0 by default).
class ORVEL_EXPORT EndZone : public EndPoint {
 public:
  EndZone() : mMask(0), mEP(0) {}
  EndZone(unsigned long addr, unsigned long mask)
      : EndPoint(addr), mMask(mask & 0xffffffffUL), mEP(0) {}

  unsigned long getMask() const { return mMask; }
  void setMask(unsigned long mask) { mMask = mask & 0xffffffffUL; }
  void setMask(const char* text);
  std::string getMaskStr() const;
  unsigned long getEP() const { return mEP; }
  void setEP(unsigned long ep) { mEP = ep & 0xffffffffUL; }
  // "address/mask", both dotted quads, e.g. "10.1.0.0/255.255.0.0".
  std::string getStr() const;

 private:
  unsigned long mMask;
  unsigned long mEP;
};

// A transport address: host and port, plus the flag that marks an ABone
// node on which a proxy program is to be launched.
class ORVEL_EXPORT TransportEndPoint : public EndPoint {
 public:
  TransportEndPoint() : mPort(0), mAboneNode(false) {}
  TransportEndPoint(unsigned long addr, unsigned short port)
      : EndPoint(addr), mPort(port), mAboneNode(false) {}

  unsigned short getPort() const { return mPort; }
  void setPort(unsigned short port) { mPort = port; }
  void setPort(const char* text);
  std::string getPortStr() const;
  // "address:port", e.g. "10.0.0.1:7560".
  std::string getStr() const;
  bool isAboneNode() const { return mAboneNode; }
  // Marks the endpoint as an ABone node; the mark cannot be cleared.
  void setAboneNode() { mAboneNode = true; }

 private:
  unsigned short mPort;
  bool mAboneNode;
};

// A multicast transport: group address, port and TTL (64 by default).
class ORVEL_EXPORT MulticastEndPoint : public TransportEndPoint {
 public:
  MulticastEndPoint() : mTTL(64) {}
  MulticastEndPoint(unsigned long addr, unsigned short port, unsigned char ttl)
      : TransportEndPoint(addr, port), mTTL(ttl) {}

  unsigned char getTTL() const { return mTTL; }
  void setTTL(unsigned char ttl) { mTTL = ttl; }
  void setTTL(const char* text);
  std::string getTTLStr() const;
  // The transport form followed by "/" and the TTL: "224.5.6.7:7560/16".
  std::string getStr() const;

 private:
  unsigned char mTTL;
};

// A vic/sdr conference participant: user name, host address (the EndPoint
// part), and where its media flows (data address, data port, TTL 64 by
// default).
class ORVEL_EXPORT vicSDREndPoint : public EndPoint {
 public:
  vicSDREndPoint() : mDataAddress(0), mDataPort(0), mTTL(64) {}
  vicSDREndPoint(const std::string& username, unsigned long addr, unsigned long data_addr,
                 unsigned short data_port, unsigned char ttl)
      : EndPoint(addr),
        mUsername(username),
        mDataAddress(data_addr & 0xffffffffUL),
        mDataPort(data_port),
        mTTL(ttl) {}

  void setDataAddr(unsigned long addr) { mDataAddress = addr & 0xffffffffUL; }
  void setDataAddr(const char* text);
  unsigned long getDataAddr() const { return mDataAddress; }
  std::string getDataAddrStr() const;
  void setUsername(const std::string& name) { mUsername = name; }
  std::string getUsername() const { return mUsername; }
  unsigned short getDataPort() const { return mDataPort; }
  void setDataPort(unsigned short port) { mDataPort = port; }
  void setDataPort(const char* text);
  std::string getDataPortStr() const;
  unsigned char getTTL() const { return mTTL; }
  void setTTL(unsigned char ttl) { mTTL = ttl; }
  void setTTL(const char* text);
  std::string getTTLStr() const;

 private:
  std::string mUsername;
  unsigned long mDataAddress;
  unsigned short mDataPort;
  unsigned char mTTL;
};

// A NetMeeting conference participant: user name and host address.
class ORVEL_EXPORT NetmeetingEndPoint : public EndPoint {
 public:
  NetmeetingEndPoint() = default;
  NetmeetingEndPoint(const std::string& username, unsigned long addr)
      : EndPoint(addr), mUsername(username) {}

  void setUsername(const std::string& name) { mUsername = name; }
  std::string getUsername() const { return mUsername; }

 private:
  std::string mUsername;
};

// A video-conference participant: user name and host address.
class ORVEL_EXPORT VCEndPoint : public EndPoint {
 public:
  VCEndPoint() = default;
  VCEndPoint(const std::string& username, unsigned long addr)
      : EndPoint(addr), mUsername(username) {}

  EndPoint getEndPoint() const { return EndPoint(getAddr()); }
  void setUsername(const std::string& name) { mUsername = name; }
  std::string getUsername() const { return mUsername; }

 private:
  std::string mUsername;
};

#endif  // ORVEL_INCLUDE_ENDPOINT_H_
