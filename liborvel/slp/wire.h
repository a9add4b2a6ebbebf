// wire.h: encoding and decoding of SLPv2 messages.
//
// One plain struct per message body, a common Header, and a Message that
// holds one of the bodies.  The user agent (ua_client.cc) and the directory
// agent (da_*.cc) share these types, so both sides build and read the same
// bytes.
//
// Decoding works on a borrowed byte buffer and never reads outside it:
// every length field is checked against the end of the message before it is
// used, and all arithmetic on offsets is done in size_t.  Decoders report a
// WireStatus; on failure the output may be partly filled and must not be
// used (except Message::header after a body error, see Decode).
//
// Strings are kept exactly as they travel (escaped, not NUL-terminated on
// the wire).  Authentication blocks are checked for consistency and kept as
// raw bytes; this stack does not sign or verify.
//
// Thread-safety: all functions are pure; distinct objects may be used from
// different threads at once.
#ifndef ORVEL_LIBORVEL_SLP_WIRE_H_
#define ORVEL_LIBORVEL_SLP_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace orvel {
namespace slp {

constexpr uint8_t kVersion = 2;
constexpr uint16_t kDefaultPort = 427;
constexpr const char* kMulticastGroup = "239.255.255.253";
// Fixed part of the header, before the language tag.
constexpr size_t kHeaderFixedBytes = 14;
// Largest value a 24-bit length or offset field can hold.
constexpr uint32_t kMaxMessageBytes = 0xFFFFFF;
// Keeps a UDP message within both readings of the 1400-byte limit.
constexpr size_t kDefaultMaxDatagramBytes = 1400 - 28;

// Header flags (16-bit field).
constexpr uint16_t kFlagOverflow = 0x8000;
constexpr uint16_t kFlagFresh = 0x4000;
constexpr uint16_t kFlagRequestMcast = 0x2000;

enum class Function : uint8_t {
  kSrvRqst = 1,
  kSrvRply = 2,
  kSrvReg = 3,
  kSrvDeReg = 4,
  kSrvAck = 5,
  kAttrRqst = 6,
  kAttrRply = 7,
  kDAAdvert = 8,
  kSrvTypeRqst = 9,
  kSrvTypeRply = 10,
  kSAAdvert = 11,
};

// Protocol error codes carried in replies.
namespace error {
constexpr uint16_t kOk = 0;
constexpr uint16_t kLanguageNotSupported = 1;
constexpr uint16_t kParseError = 2;
constexpr uint16_t kInvalidRegistration = 3;
constexpr uint16_t kScopeNotSupported = 4;
constexpr uint16_t kAuthenticationUnknown = 5;
constexpr uint16_t kAuthenticationAbsent = 6;
constexpr uint16_t kAuthenticationFailed = 7;
constexpr uint16_t kVerNotSupported = 9;
constexpr uint16_t kInternalError = 10;
constexpr uint16_t kDaBusyNow = 11;
constexpr uint16_t kOptionNotUnderstood = 12;
constexpr uint16_t kInvalidUpdate = 13;
constexpr uint16_t kMsgNotSupported = 14;
constexpr uint16_t kRefreshRejected = 15;
}  // namespace error

// Why a decode failed.  Every status other than kOk maps to PARSE_ERROR on
// the wire except kBadVersion (VER_NOT_SUPPORTED).
enum class WireStatus {
  kOk = 0,
  kTruncated,      // the buffer ends before the header or before Length
  kBadLength,      // Length smaller than the header, or a field overruns
  kBadVersion,     // version byte is not 2
  kBadFunction,    // unknown function id
  kBadExtension,   // extension offsets outside the message or not increasing
  kBadAuthBlock,   // authentication block length inconsistent
  kTrailingBytes,  // body shorter than the space up to the first extension
  kTooLarge,       // encoding would exceed a 16- or 24-bit length field
};
const char* WireStatusName(WireStatus s);
// The protocol error code to answer a request that failed with s.
uint16_t WireStatusToError(WireStatus s);

struct Header {
  uint8_t version = kVersion;
  Function function = Function::kSrvRqst;
  uint32_t length = 0;  // whole message; filled in by Encode and Decode
  uint16_t flags = 0;
  uint32_t next_ext = 0;  // first extension offset; filled in by Encode
  uint16_t xid = 0;
  std::string lang = "en";
};

// An authentication block kept as its raw bytes (BSD through the end of the
// structured authenticator).  Decode checks its length rules.
struct AuthBlock {
  std::string raw;
};

struct UrlEntry {
  uint16_t lifetime = 0;
  std::string url;
  std::vector<AuthBlock> auths;
};

struct SrvRqst {
  std::string prlist;
  std::string service_type;
  std::string scopes;
  std::string predicate;
  std::string spi;
};

struct SrvRply {
  uint16_t error = error::kOk;
  std::vector<UrlEntry> urls;
};

struct SrvReg {
  UrlEntry entry;
  std::string service_type;
  std::string scopes;
  std::string attrs;
  std::vector<AuthBlock> attr_auths;
};

struct SrvDeReg {
  std::string scopes;
  UrlEntry entry;  // lifetime ignored by receivers; send 0
  std::string tags;
};

struct SrvAck {
  uint16_t error = error::kOk;
};

struct AttrRqst {
  std::string prlist;
  std::string url;  // a full URL or a service type
  std::string scopes;
  std::string tags;
  std::string spi;
};

struct AttrRply {
  uint16_t error = error::kOk;
  std::string attrs;
  std::vector<AuthBlock> auths;
};

struct SrvTypeRqst {
  std::string prlist;
  // All naming authorities (wire length 0xFFFF, no string bytes).  When
  // false, naming_authority is sent as is; empty means IANA types only.
  bool all_authorities = true;
  std::string naming_authority;
  std::string scopes;
};

struct SrvTypeRply {
  uint16_t error = error::kOk;
  std::string types;  // comma-separated
};

struct DAAdvert {
  uint16_t error = error::kOk;
  uint32_t boot_timestamp = 0;  // 0: the agent is going down
  std::string url;              // service:directory-agent://<addr>
  std::string scopes;
  std::string attrs;
  std::string spis;
  std::vector<AuthBlock> auths;
};

struct SAAdvert {
  std::string url;
  std::string scopes;
  std::string attrs;
  std::vector<AuthBlock> auths;
};

struct Extension {
  uint16_t id = 0;
  std::string data;  // bytes after the 5-byte extension header
};

using Body = std::variant<SrvRqst, SrvRply, SrvReg, SrvDeReg, SrvAck, AttrRqst, AttrRply, DAAdvert,
                          SrvTypeRqst, SrvTypeRply, SAAdvert>;

struct Message {
  Header header;
  Body body;
  std::vector<Extension> extensions;
};

// The function id that belongs to a body alternative.
Function FunctionOf(const Body& body);

// The one request -> reply map of both agents.  The reply function that
// answers request (SrvRqst: SrvRply, SrvReg and SrvDeReg: SrvAck, AttrRqst:
// AttrRply, SrvTypeRqst: SrvTypeRply) in *reply; false for replies,
// adverts and unknown values, which are never answered.
bool ReplyFunction(Function request, Function* reply);
// Whether a message of function got may answer request: its reply, or a
// DAAdvert to a SrvRqst (for "service:directory-agent").
bool AnswersRequest(Function request, Function got);
// An empty reply body to request carrying error code, in *body; false
// where ReplyFunction is.
bool ErrorReplyBody(Function request, uint16_t code, Body* body);

// Encodes msg.  header.function is taken from the body; header.length and
// header.next_ext are computed (the copies in msg are not changed).  On
// success *out holds the bytes and kOk is returned; kTooLarge when a string
// exceeds 65535 bytes, a count exceeds its field, or the message exceeds
// 24 bits; then *out is unspecified.
WireStatus Encode(const Message& msg, std::string* out);
// Convenience form: the encoding, or an empty string on failure.
std::string Encode(const Message& msg);

// Size in bytes of one URL entry on the wire (6 + URL + auth blocks), for
// building replies that must stay within a datagram.
size_t EncodedSize(const UrlEntry& entry);
// Bytes taken by a header with language tag lang.
inline size_t HeaderSize(const std::string& lang) { return kHeaderFixedBytes + lang.size(); }

// Decodes the header at data[0..size).  Checks version, Length against size
// (Length may be smaller than size: the rest is ignored) and the language
// tag.  On success *body_offset is the first body byte.
//
// A Length larger than size is kTruncated, except in a message with the
// overflow flag: an agent that cut a reply to fit a datagram sends the
// whole message's Length (so that clients which only compare Length with
// what arrived fetch it over TCP) and only whole elements before the cut.
// Such a message decodes from the bytes present; header.length keeps the
// Length as sent.
WireStatus DecodeHeader(const uint8_t* data, size_t size, Header* header, size_t* body_offset);

// Decodes one whole message from data[0..size).  Only the first
// header.length bytes are considered.  When the header decodes but the body
// does not, out->header is valid (so a receiver can answer with the XID and
// language) and the status says what was wrong.
//
// Replies (SrvRply, AttrRply, SrvTypeRply, DAAdvert) with a non-zero error
// code may end right after the error code; the remaining fields are then
// left empty.
WireStatus Decode(const uint8_t* data, size_t size, Message* out);
// Same; *header_ok tells whether out->header decoded (it is then valid even
// when the body is not, so a receiver can answer with the XID).
WireStatus Decode(const uint8_t* data, size_t size, Message* out, bool* header_ok);
inline WireStatus Decode(const std::string& bytes, Message* out) {
  return Decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
}

// For stream framing: given at least the first 5 bytes of a message, the
// total Length it claims; 0 when fewer than 5 bytes are given.  The caller
// must check the value against HeaderSize and its own limit before reading.
uint32_t PeekLength(const uint8_t* data, size_t size);

// Rewrites the Length field of an encoded message (for a reply cut to fit a
// datagram, which announces the whole answer's length; see DecodeHeader).
// Values past 24 bits are clamped.  No effect on fewer than 5 bytes.
void SetLength(std::string* bytes, size_t length);

}  // namespace slp
}  // namespace orvel

#endif  // ORVEL_LIBORVEL_SLP_WIRE_H_
