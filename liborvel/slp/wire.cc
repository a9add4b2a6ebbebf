// wire.cc: SLPv2 message encoding and bounds-checked decoding.
#include "slp/wire.h"

#include <algorithm>
#include <type_traits>

namespace orvel {
namespace slp {
namespace {

// Appends big-endian fields; remembers the first overflow so callers check
// once at the end.
class Writer {
 public:
  explicit Writer(std::string* out) : out_(out) {}
  void U8(uint32_t v) { out_->push_back(static_cast<char>(v & 0xFF)); }
  void U16(uint32_t v) {
    if (v > 0xFFFF) ok_ = false;
    U8(v >> 8);
    U8(v);
  }
  void U24(uint32_t v) {
    if (v > 0xFFFFFF) ok_ = false;
    U8(v >> 16);
    U8(v >> 8);
    U8(v);
  }
  void U32(uint32_t v) {
    U8(v >> 24);
    U8(v >> 16);
    U8(v >> 8);
    U8(v);
  }
  void Str(const std::string& s) {
    if (s.size() > 0xFFFF) ok_ = false;
    U16(static_cast<uint32_t>(s.size() & 0xFFFF));
    out_->append(s);
  }
  void Raw(const std::string& s) { out_->append(s); }
  void Auths(const std::vector<AuthBlock>& auths) {
    if (auths.size() > 0xFF) ok_ = false;
    U8(static_cast<uint32_t>(auths.size()));
    for (const AuthBlock& a : auths) Raw(a.raw);
  }
  void Entry(const UrlEntry& e) {
    U8(0);
    U16(e.lifetime);
    Str(e.url);
    Auths(e.auths);
  }
  bool ok() const { return ok_; }

 private:
  std::string* out_;
  bool ok_ = true;
};

// Reads big-endian fields from [pos, end); every read checks the bounds
// first and a failed read leaves the reader failed.
class Reader {
 public:
  Reader(const uint8_t* data, size_t pos, size_t end) : data_(data), pos_(pos), end_(end) {}
  size_t remaining() const { return ok_ ? end_ - pos_ : 0; }
  bool ok() const { return ok_; }
  bool at_end() const { return ok_ && pos_ == end_; }
  WireStatus status() const { return status_; }

  bool U8(uint8_t* v) {
    if (!Need(1)) return false;
    *v = data_[pos_++];
    return true;
  }
  bool U16(uint16_t* v) {
    if (!Need(2)) return false;
    *v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
    pos_ += 2;
    return true;
  }
  bool U32(uint32_t* v) {
    if (!Need(4)) return false;
    *v = (uint32_t{data_[pos_]} << 24) | (uint32_t{data_[pos_ + 1]} << 16) |
         (uint32_t{data_[pos_ + 2]} << 8) | uint32_t{data_[pos_ + 3]};
    pos_ += 4;
    return true;
  }
  bool Bytes(size_t n, std::string* s) {
    if (!Need(n)) return false;
    s->assign(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return true;
  }
  bool Str(std::string* s) {
    uint16_t n;
    return U16(&n) && Bytes(n, s);
  }
  bool Auths(std::vector<AuthBlock>* auths) {
    uint8_t k;
    if (!U8(&k)) return false;
    auths->clear();
    for (unsigned i = 0; i < k; ++i) {
      // BSD(2) length(2) timestamp(4) SPI length(2) SPI ...
      if (!Need(10)) return false;
      size_t block_len = (size_t{data_[pos_ + 2]} << 8) | data_[pos_ + 3];
      size_t spi_len = (size_t{data_[pos_ + 8]} << 8) | data_[pos_ + 9];
      if (block_len < 10 + spi_len) return Fail(WireStatus::kBadAuthBlock);
      AuthBlock block;
      if (!Bytes(block_len, &block.raw)) return false;
      auths->push_back(std::move(block));
    }
    return true;
  }
  bool Entry(UrlEntry* e) {
    uint8_t reserved;
    return U8(&reserved) && U16(&e->lifetime) && Str(&e->url) && Auths(&e->auths);
  }
  bool Fail(WireStatus s) {
    if (ok_) status_ = s;
    ok_ = false;
    return false;
  }

 private:
  bool Need(size_t n) {
    if (!ok_) return false;
    if (n > end_ - pos_) return Fail(WireStatus::kBadLength);
    return true;
  }

  const uint8_t* data_;
  size_t pos_;
  size_t end_;
  bool ok_ = true;
  WireStatus status_ = WireStatus::kOk;
};

void EncodeBody(Writer& w, const SrvRqst& b) {
  w.Str(b.prlist);
  w.Str(b.service_type);
  w.Str(b.scopes);
  w.Str(b.predicate);
  w.Str(b.spi);
}
void EncodeBody(Writer& w, const SrvRply& b) {
  w.U16(b.error);
  if (b.urls.size() > 0xFFFF) {
    w.U16(0x10000);  // marks the overflow
    return;
  }
  w.U16(static_cast<uint32_t>(b.urls.size()));
  for (const UrlEntry& e : b.urls) w.Entry(e);
}
void EncodeBody(Writer& w, const SrvReg& b) {
  w.Entry(b.entry);
  w.Str(b.service_type);
  w.Str(b.scopes);
  w.Str(b.attrs);
  w.Auths(b.attr_auths);
}
void EncodeBody(Writer& w, const SrvDeReg& b) {
  w.Str(b.scopes);
  w.Entry(b.entry);
  w.Str(b.tags);
}
void EncodeBody(Writer& w, const SrvAck& b) { w.U16(b.error); }
void EncodeBody(Writer& w, const AttrRqst& b) {
  w.Str(b.prlist);
  w.Str(b.url);
  w.Str(b.scopes);
  w.Str(b.tags);
  w.Str(b.spi);
}
void EncodeBody(Writer& w, const AttrRply& b) {
  w.U16(b.error);
  w.Str(b.attrs);
  w.Auths(b.auths);
}
void EncodeBody(Writer& w, const DAAdvert& b) {
  w.U16(b.error);
  w.U32(b.boot_timestamp);
  w.Str(b.url);
  w.Str(b.scopes);
  w.Str(b.attrs);
  w.Str(b.spis);
  w.Auths(b.auths);
}
void EncodeBody(Writer& w, const SrvTypeRqst& b) {
  w.Str(b.prlist);
  if (b.all_authorities) {
    w.U16(0xFFFF);
  } else {
    // 0xFFFF as a real length would read as "all"; refuse it.
    if (b.naming_authority.size() >= 0xFFFF) w.U16(0x10000);
    w.Str(b.naming_authority);
  }
  w.Str(b.scopes);
}
void EncodeBody(Writer& w, const SrvTypeRply& b) {
  w.U16(b.error);
  w.Str(b.types);
}
void EncodeBody(Writer& w, const SAAdvert& b) {
  w.Str(b.url);
  w.Str(b.scopes);
  w.Str(b.attrs);
  w.Auths(b.auths);
}

// Replies may stop right after a non-zero error code.
bool ErrorOnly(Reader& r, uint16_t error) { return error != 0 && r.at_end(); }

bool DecodeBody(Reader& r, SrvRqst* b) {
  return r.Str(&b->prlist) && r.Str(&b->service_type) && r.Str(&b->scopes) &&
         r.Str(&b->predicate) && r.Str(&b->spi);
}
bool DecodeBody(Reader& r, SrvRply* b) {
  uint16_t count;
  if (!r.U16(&b->error)) return false;
  if (ErrorOnly(r, b->error)) return true;
  if (!r.U16(&count)) return false;
  // Each entry takes at least 6 bytes; a count that cannot fit is rejected
  // before anything is allocated for it.
  if (size_t{count} * 6 > r.remaining()) return r.Fail(WireStatus::kBadLength);
  b->urls.resize(count);
  for (UrlEntry& e : b->urls) {
    if (!r.Entry(&e)) return false;
  }
  return true;
}
bool DecodeBody(Reader& r, SrvReg* b) {
  return r.Entry(&b->entry) && r.Str(&b->service_type) && r.Str(&b->scopes) && r.Str(&b->attrs) &&
         r.Auths(&b->attr_auths);
}
bool DecodeBody(Reader& r, SrvDeReg* b) {
  return r.Str(&b->scopes) && r.Entry(&b->entry) && r.Str(&b->tags);
}
bool DecodeBody(Reader& r, SrvAck* b) { return r.U16(&b->error); }
bool DecodeBody(Reader& r, AttrRqst* b) {
  return r.Str(&b->prlist) && r.Str(&b->url) && r.Str(&b->scopes) && r.Str(&b->tags) &&
         r.Str(&b->spi);
}
bool DecodeBody(Reader& r, AttrRply* b) {
  if (!r.U16(&b->error)) return false;
  if (ErrorOnly(r, b->error)) return true;
  return r.Str(&b->attrs) && r.Auths(&b->auths);
}
bool DecodeBody(Reader& r, DAAdvert* b) {
  if (!r.U16(&b->error)) return false;
  if (ErrorOnly(r, b->error)) return true;
  return r.U32(&b->boot_timestamp) && r.Str(&b->url) && r.Str(&b->scopes) && r.Str(&b->attrs) &&
         r.Str(&b->spis) && r.Auths(&b->auths);
}
bool DecodeBody(Reader& r, SrvTypeRqst* b) {
  uint16_t na_len;
  if (!r.Str(&b->prlist) || !r.U16(&na_len)) return false;
  if (na_len == 0xFFFF) {
    // "All authorities": no string bytes follow.
    b->all_authorities = true;
    b->naming_authority.clear();
  } else {
    b->all_authorities = false;
    if (!r.Bytes(na_len, &b->naming_authority)) return false;
  }
  return r.Str(&b->scopes);
}
bool DecodeBody(Reader& r, SrvTypeRply* b) {
  if (!r.U16(&b->error)) return false;
  if (ErrorOnly(r, b->error)) return true;
  return r.Str(&b->types);
}
bool DecodeBody(Reader& r, SAAdvert* b) {
  return r.Str(&b->url) && r.Str(&b->scopes) && r.Str(&b->attrs) && r.Auths(&b->auths);
}

// The function id of each Body alternative, in the variant's order.
constexpr Function kBodyFunctions[] = {
    Function::kSrvRqst,     Function::kSrvRply,     Function::kSrvReg,   Function::kSrvDeReg,
    Function::kSrvAck,      Function::kAttrRqst,    Function::kAttrRply, Function::kDAAdvert,
    Function::kSrvTypeRqst, Function::kSrvTypeRply, Function::kSAAdvert};
static_assert(std::variant_size_v<Body> == sizeof(kBodyFunctions) / sizeof(kBodyFunctions[0]));

// Sets *body to an empty body of function f; false for an unknown f.
template <size_t I = 0>
bool MakeBody(Function f, Body* body) {
  if constexpr (I == std::variant_size_v<Body>) {
    return false;
  } else {
    if (kBodyFunctions[I] != f) return MakeBody<I + 1>(f, body);
    body->emplace<I>();
    return true;
  }
}

uint32_t Get24(const uint8_t* p) {
  return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}

void Put24(std::string* s, size_t at, uint32_t v) {
  (*s)[at] = static_cast<char>((v >> 16) & 0xFF);
  (*s)[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  (*s)[at + 2] = static_cast<char>(v & 0xFF);
}

}  // namespace

const char* WireStatusName(WireStatus s) {
  switch (s) {
    case WireStatus::kOk:
      return "ok";
    case WireStatus::kTruncated:
      return "truncated message";
    case WireStatus::kBadLength:
      return "length field out of bounds";
    case WireStatus::kBadVersion:
      return "unsupported version";
    case WireStatus::kBadFunction:
      return "unknown function id";
    case WireStatus::kBadExtension:
      return "bad extension offset";
    case WireStatus::kBadAuthBlock:
      return "bad authentication block";
    case WireStatus::kTrailingBytes:
      return "bytes after the body";
    case WireStatus::kTooLarge:
      return "field too large to encode";
  }
  return "unknown";
}

uint16_t WireStatusToError(WireStatus s) {
  if (s == WireStatus::kOk) return error::kOk;
  if (s == WireStatus::kBadVersion) return error::kVerNotSupported;
  return error::kParseError;
}

Function FunctionOf(const Body& body) { return kBodyFunctions[body.index()]; }

bool ReplyFunction(Function request, Function* reply) {
  switch (request) {
    case Function::kSrvRqst:
      *reply = Function::kSrvRply;
      return true;
    case Function::kSrvReg:
    case Function::kSrvDeReg:
      *reply = Function::kSrvAck;
      return true;
    case Function::kAttrRqst:
      *reply = Function::kAttrRply;
      return true;
    case Function::kSrvTypeRqst:
      *reply = Function::kSrvTypeRply;
      return true;
    default:
      return false;
  }
}

bool AnswersRequest(Function request, Function got) {
  Function reply;
  if (!ReplyFunction(request, &reply)) return false;
  return got == reply || (request == Function::kSrvRqst && got == Function::kDAAdvert);
}

bool ErrorReplyBody(Function request, uint16_t code, Body* body) {
  Function reply;
  if (!ReplyFunction(request, &reply)) return false;
  switch (reply) {
    case Function::kSrvRply:
      *body = SrvRply{code, {}};
      break;
    case Function::kSrvAck:
      *body = SrvAck{code};
      break;
    case Function::kAttrRply:
      *body = AttrRply{code, {}, {}};
      break;
    default:
      *body = SrvTypeRply{code, {}};
      break;
  }
  return true;
}

size_t EncodedSize(const UrlEntry& entry) {
  size_t n = 6 + entry.url.size();
  for (const AuthBlock& a : entry.auths) n += a.raw.size();
  return n;
}

WireStatus Encode(const Message& msg, std::string* out) {
  out->clear();
  Writer w(out);
  w.U8(msg.header.version);
  w.U8(static_cast<uint8_t>(FunctionOf(msg.body)));
  w.U24(0);  // length, patched below
  w.U16(msg.header.flags);
  w.U24(0);  // next extension offset, patched below
  w.U16(msg.header.xid);
  w.Str(msg.header.lang);
  std::visit([&w](const auto& b) { EncodeBody(w, b); }, msg.body);
  size_t first_ext = msg.extensions.empty() ? 0 : out->size();
  for (size_t i = 0; i < msg.extensions.size(); ++i) {
    const Extension& e = msg.extensions[i];
    w.U16(e.id);
    size_t next = i + 1 < msg.extensions.size() ? out->size() + 3 + e.data.size() : 0;
    w.U24(static_cast<uint32_t>(next > kMaxMessageBytes ? kMaxMessageBytes + 1 : next));
    w.Raw(e.data);
  }
  if (!w.ok() || out->size() > kMaxMessageBytes) return WireStatus::kTooLarge;
  Put24(out, 2, static_cast<uint32_t>(out->size()));
  Put24(out, 7, static_cast<uint32_t>(first_ext));
  return WireStatus::kOk;
}

std::string Encode(const Message& msg) {
  std::string out;
  if (Encode(msg, &out) != WireStatus::kOk) out.clear();
  return out;
}

void SetLength(std::string* bytes, size_t length) {
  if (bytes->size() < 5) return;
  Put24(bytes, 2, static_cast<uint32_t>(std::min<size_t>(length, kMaxMessageBytes)));
}

uint32_t PeekLength(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  return Get24(data + 2);
}

WireStatus DecodeHeader(const uint8_t* data, size_t size, Header* header, size_t* body_offset) {
  if (size < kHeaderFixedBytes) return WireStatus::kTruncated;
  header->version = data[0];
  if (header->version != kVersion) return WireStatus::kBadVersion;
  header->function = static_cast<Function>(data[1]);
  header->length = Get24(data + 2);
  header->flags = static_cast<uint16_t>((data[5] << 8) | data[6]);
  header->next_ext = Get24(data + 7);
  header->xid = static_cast<uint16_t>((data[10] << 8) | data[11]);
  size_t lang_len = (size_t{data[12]} << 8) | data[13];
  if (header->length > size && !(header->flags & kFlagOverflow)) return WireStatus::kTruncated;
  if (header->length < kHeaderFixedBytes + lang_len || size < kHeaderFixedBytes + lang_len)
    return WireStatus::kBadLength;
  header->lang.assign(reinterpret_cast<const char*>(data + kHeaderFixedBytes), lang_len);
  *body_offset = kHeaderFixedBytes + lang_len;
  if (data[1] < 1 || data[1] > 11) return WireStatus::kBadFunction;
  return WireStatus::kOk;
}

WireStatus Decode(const uint8_t* data, size_t size, Message* out) {
  bool header_ok = false;
  return Decode(data, size, out, &header_ok);
}

WireStatus Decode(const uint8_t* data, size_t size, Message* out, bool* header_ok) {
  size_t body_start = 0;
  out->extensions.clear();
  WireStatus st = DecodeHeader(data, size, &out->header, &body_start);
  *header_ok = st == WireStatus::kOk;
  if (st != WireStatus::kOk) return st;
  // An overflowed message announces more than arrived (see DecodeHeader).
  const size_t length = std::min<size_t>(out->header.length, size);

  // The body ends where the first extension begins.  Offsets must rise
  // strictly and leave room for a 5-byte extension header, which rules out
  // loops and offsets into the header.
  size_t body_end = length;
  if (out->header.next_ext != 0) {
    size_t off = out->header.next_ext;
    size_t prev = body_start;
    if (off < body_start) return WireStatus::kBadExtension;
    body_end = off;
    while (off != 0) {
      if (off < prev || off + 5 > length) return WireStatus::kBadExtension;
      size_t next = Get24(data + off + 2);
      if (next != 0 && next <= off) return WireStatus::kBadExtension;
      size_t data_end = next == 0 ? length : next;
      if (data_end < off + 5 || data_end > length) return WireStatus::kBadExtension;
      Extension e;
      e.id = static_cast<uint16_t>((data[off] << 8) | data[off + 1]);
      e.data.assign(reinterpret_cast<const char*>(data + off + 5), data_end - off - 5);
      out->extensions.push_back(std::move(e));
      prev = off + 5;
      off = next;
    }
  }

  if (!MakeBody(out->header.function, &out->body)) return WireStatus::kBadFunction;
  Reader r(data, body_start, body_end);
  bool ok = std::visit([&r](auto& b) { return DecodeBody(r, &b); }, out->body);
  if (!ok) return r.status() == WireStatus::kOk ? WireStatus::kBadLength : r.status();
  if (!r.at_end()) return WireStatus::kTrailingBytes;
  return WireStatus::kOk;
}

}  // namespace slp
}  // namespace orvel
