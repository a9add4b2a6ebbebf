// http_parse.cc: the request and response head readers, and body parsing.
#include <libxml/parser.h>

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "http/http_impl.h"

namespace orvel::http {

bool LengthField::fits_int() const { return value >= INT_MIN && value <= INT_MAX; }

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A cursor over a zero-terminated view, matching like sscanf.
class Scanner {
 public:
  Scanner(const char* data, size_t len) : data_(data), len_(strnlen(data, len)) {}

  size_t pos() const { return pos_; }
  void seek(size_t pos) { pos_ = pos; }

  void SkipSpace() {
    while (pos_ < len_ && IsSpace(data_[pos_])) ++pos_;
  }

  // "%s": false at end of text or when the token exceeds max_chars.
  bool Token(size_t max_chars, std::string* out) {
    SkipSpace();
    size_t start = pos_;
    while (pos_ < len_ && !IsSpace(data_[pos_])) ++pos_;
    if (pos_ == start || pos_ - start > max_chars) return false;
    out->assign(data_ + start, pos_ - start);
    return true;
  }

  // A literal pattern: white space in it skips any white space, every other
  // character must match exactly.
  bool Literal(const char* pattern) {
    for (const char* p = pattern; *p != '\0'; ++p) {
      if (IsSpace(*p)) {
        SkipSpace();
      } else if (pos_ < len_ && data_[pos_] == *p) {
        ++pos_;
      } else {
        return false;
      }
    }
    return true;
  }

  // "%d", kept wide and saturated so that no overflow can happen.
  bool Number(LengthField* out) {
    SkipSpace();
    size_t start = pos_;
    bool negative = false;
    if (pos_ < len_ && (data_[pos_] == '+' || data_[pos_] == '-')) {
      negative = data_[pos_] == '-';
      ++pos_;
    }
    size_t digits = pos_;
    long long v = 0;
    while (pos_ < len_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
      if (v < LengthField::kSaturation) v = v * 10 + (data_[pos_] - '0');
      ++pos_;
    }
    if (pos_ == digits) {
      pos_ = start;
      return false;
    }
    if (v > LengthField::kSaturation) v = LengthField::kSaturation;
    out->value = negative ? -v : v;
    out->text.assign(data_ + start, pos_ - start);
    return true;
  }

 private:
  const char* data_;
  size_t len_;
  size_t pos_ = 0;
};

// The "Content-Length: %d\r\n\r\n%n" step shared by both directions.
HeadStatus ParseLengthLine(Scanner* scan, long long max_body_bytes, LengthField* length,
                           size_t* body_offset) {
  if (!scan->Literal("Content-Length: ") || !scan->Number(length)) {
    return HeadStatus::kNoContentLength;
  }
  scan->SkipSpace();
  *body_offset = scan->pos();
  if (length->value <= 0) return HeadStatus::kLengthNotPositive;
  if (length->value > max_body_bytes) return HeadStatus::kLengthTooLarge;
  return HeadStatus::kOk;
}

// ---- The standard framing (RFC 9112) ---------------------------------------

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool IsOws(char c) { return c == ' ' || c == '\t'; }

bool EqualsNoCase(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string Trimmed(const char* p, size_t n) {
  while (n > 0 && IsOws(*p)) {
    ++p;
    --n;
  }
  while (n > 0 && IsOws(p[n - 1])) --n;
  return std::string(p, n);
}

// What the field lines say about the body.
struct Fields {
  bool has_length = false;
  LengthField length;
  bool transfer_encoding = false;
  std::string expect;
  size_t end = 0;  // just past the empty line that ends the head
};

enum class FieldsResult { kOk, kIncomplete, kBad };

// One line from data[*pos, len): its text without CR LF (or a bare LF), and
// *pos moved past it.  False when its LF has not arrived.
bool NextLine(const char* data, size_t len, size_t* pos, std::string* line) {
  const void* nl = std::memchr(data + *pos, '\n', len - *pos);
  if (nl == nullptr) return false;
  size_t end = static_cast<const char*>(nl) - data;
  size_t stop = end;
  if (stop > *pos && data[stop - 1] == '\r') --stop;
  line->assign(data + *pos, stop - *pos);
  *pos = end + 1;
  return true;
}

// A Content-Length value: digits, or a list of equal values (a proxy may
// have joined repeated fields).
bool ReadLengthValue(const std::string& value, LengthField* out) {
  bool have = false;
  size_t start = 0;
  for (;;) {
    size_t comma = value.find(',', start);
    std::string item =
        Trimmed(value.data() + start, (comma == std::string::npos ? value.size() : comma) - start);
    if (item.empty() || item.find_first_not_of("0123456789") != std::string::npos) return false;
    LengthField f;
    Scanner scan(item.c_str(), item.size());
    if (!scan.Number(&f)) return false;
    if (have && f.value != out->value) return false;
    *out = f;
    have = true;
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// The field lines from data[pos, len) up to the empty line.
FieldsResult ReadFields(const char* data, size_t len, size_t pos, Fields* f, std::string* why) {
  std::string line;
  while (NextLine(data, len, &pos, &line)) {
    if (line.empty()) {
      f->end = pos;
      return FieldsResult::kOk;
    }
    if (line.find('\r') != std::string::npos || line.find('\0') != std::string::npos) {
      *why = "a header line holds a bare CR or a zero byte";
      return FieldsResult::kBad;
    }
    if (IsOws(line[0])) {
      *why = "folded header line";
      return FieldsResult::kBad;
    }
    size_t colon = line.find(':');
    size_t name_end = 0;
    while (name_end < line.size() && IsTokenChar(line[name_end])) ++name_end;
    if (colon == std::string::npos || name_end != colon || colon == 0) {
      *why = "header line is not NAME: VALUE";
      return FieldsResult::kBad;
    }
    const std::string name = line.substr(0, colon);
    const std::string value = Trimmed(line.data() + colon + 1, line.size() - colon - 1);
    if (EqualsNoCase(name, "Content-Length")) {
      LengthField length;
      if (!ReadLengthValue(value, &length) || (f->has_length && length.value != f->length.value)) {
        *why = "Content-Length is not one decimal number";
        return FieldsResult::kBad;
      }
      f->has_length = true;
      f->length = length;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      f->transfer_encoding = true;
    } else if (EqualsNoCase(name, "Expect")) {
      f->expect = value;
    }
  }
  return FieldsResult::kIncomplete;
}

StandardStatus Refused(StandardHead* out, int status, std::string reason) {
  out->refusal.status = status;
  out->refusal.reason = std::move(reason);
  return StandardStatus::kRefused;
}

}  // namespace

StandardStatus ParseStandardRequestHead(const char* data, size_t len, long long max_body_bytes,
                                        StandardHead* out) {
  const bool full = len >= kHeadReadBytes;
  if (full) len = kHeadReadBytes;
  const StandardStatus incomplete =
      full ? Refused(out, 431,
                     "request head larger than " + std::to_string(kHeadReadBytes) + " bytes")
           : StandardStatus::kIncomplete;
  size_t pos = 0;
  std::string line;
  // Empty lines before the request line are passed over.
  do {
    if (!NextLine(data, len, &pos, &line)) return incomplete;
  } while (line.empty() && pos <= 8);
  std::string parts[3];
  size_t n = 0;
  for (size_t i = 0; i < line.size();) {
    if (IsOws(line[i])) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < line.size() && !IsOws(line[j])) ++j;
    if (n == 3) return Refused(out, 400, "malformed request line");
    parts[n++] = line.substr(i, j - i);
    i = j;
  }
  if (n != 3) return Refused(out, 400, "malformed request line");
  RequestHead& head = out->head;
  head.method = parts[0];
  head.uri = parts[1];
  head.version = parts[2];
  for (char c : head.method) {
    if (!IsTokenChar(c)) return Refused(out, 400, "malformed request line");
  }
  if (head.method.size() > kMaxMethodChars) {
    return Refused(out, 501, "method " + head.method + " is not served");
  }
  if (head.uri.size() > kMaxUriChars) return Refused(out, 414, "request target too long");
  const std::string& v = head.version;
  if (v.size() != 8 || v.compare(0, 5, "HTTP/") != 0 || !std::isdigit(v[5]) || v[6] != '.' ||
      !std::isdigit(v[7])) {
    return Refused(out, 400, "malformed HTTP version " + v);
  }
  if (v[5] != '1') return Refused(out, 505, v + " is not supported; send HTTP/1.1");

  Fields fields;
  std::string why;
  switch (ReadFields(data, len, pos, &fields, &why)) {
    case FieldsResult::kIncomplete:
      return incomplete;
    case FieldsResult::kBad:
      return Refused(out, 400, why);
    case FieldsResult::kOk:
      break;
  }
  head.body_offset = fields.end;
  head.length = fields.length;
  if (fields.transfer_encoding) {
    return Refused(out, 411, "Transfer-Encoding is not read: send the body with Content-Length");
  }
  if (!fields.has_length) return Refused(out, 411, "Content-Length required");
  if (fields.length.value <= 0) return Refused(out, 400, "Content-Length 0: no document");
  if (fields.length.value > max_body_bytes) {
    return Refused(out, 413,
                   "Content-Length " + fields.length.text + " is above the limit of " +
                       std::to_string(max_body_bytes) + " bytes");
  }
  if (!fields.expect.empty()) {
    if (!EqualsNoCase(fields.expect, "100-continue")) {
      return Refused(out, 417, "Expect: " + fields.expect + " is not supported");
    }
    // An HTTP/1.0 client does not wait for it.
    out->expect_continue = v[7] != '0';
  }
  return StandardStatus::kOk;
}

namespace {

// A 200 head whose fields do not follow our own server's order: the length
// from wherever it stands, in any letter case.
HeadStatus ParseResponseFields(const char* data, size_t len, long long max_body_bytes,
                               ResponseHead* head) {
  len = strnlen(data, len);
  size_t pos = 0;
  std::string line;
  if (!NextLine(data, len, &pos, &line)) return HeadStatus::kNoContentLength;
  Fields fields;
  std::string why;
  if (ReadFields(data, len, pos, &fields, &why) != FieldsResult::kOk || !fields.has_length ||
      fields.transfer_encoding) {
    return HeadStatus::kNoContentLength;
  }
  head->length = fields.length;
  head->body_offset = fields.end;
  if (head->length.value <= 0) return HeadStatus::kLengthNotPositive;
  if (head->length.value > max_body_bytes) return HeadStatus::kLengthTooLarge;
  return HeadStatus::kOk;
}

}  // namespace

HeadStatus ParseRequestHead(const char* data, size_t len, long long max_body_bytes,
                            RequestHead* head) {
  Scanner scan(data, len);
  if (!scan.Token(kMaxMethodChars, &head->method) || !scan.Token(kMaxUriChars, &head->uri) ||
      !scan.Token(kMaxVersionChars, &head->version)) {
    return HeadStatus::kBadFirstLine;
  }
  scan.SkipSpace();
  return ParseLengthLine(&scan, max_body_bytes, &head->length, &head->body_offset);
}

HeadStatus ParseResponseHead(const char* data, size_t len, long long max_body_bytes,
                             ResponseHead* head) {
  Scanner scan(data, len);
  LengthField status;
  if (!scan.Token(kMaxVersionChars, &head->version) || !scan.Number(&status) ||
      !status.fits_int() || !scan.Token(kMaxReasonChars, &head->reason)) {
    return HeadStatus::kBadFirstLine;
  }
  head->status = static_cast<int>(status.value);
  if (head->status != 200) return HeadStatus::kNotOk;
  // Our own server's order first, read as it always was; then the fields
  // of any standard server or proxy.
  if (scan.Literal("\r\nConnection: close\r\n")) {
    HeadStatus st = ParseLengthLine(&scan, max_body_bytes, &head->length, &head->body_offset);
    if (st != HeadStatus::kNoContentLength) return st;
  }
  return ParseResponseFields(data, len, max_body_bytes, head);
}

xmlDocPtr ParseBodyDocument(const char* body, size_t len) {
  if (len > static_cast<size_t>(INT_MAX)) return nullptr;
  // No XML_PARSE_NOENT and no DTD loading: entities stay references and no
  // external file or URL is ever read.  Our own line reports a failure.
  return xmlReadMemory(body, static_cast<int>(len), nullptr, nullptr,
                       XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
}

void PrintLengthRefusal(HeadStatus status, const LengthField& length, const char* peer,
                        long long max_body_bytes) {
  if (status == HeadStatus::kLengthTooLarge) {
    std::fprintf(stderr, "Content-Length %s from %s is above the limit of %lld bytes\n",
                 length.text.c_str(), peer, max_body_bytes);
  } else if (length.fits_int()) {
    std::fprintf(stderr, "Body length is: %d\n", static_cast<int>(length.value));
  } else {
    std::fprintf(stderr, "Body length is: %s\n", length.text.c_str());
  }
}

}  // namespace orvel::http
