// http_parse.cc: the request and response head readers, and body parsing.
#include <libxml/parser.h>

#include <climits>
#include <cstdio>
#include <cstring>

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
  // Without the Connection line there is no defined place for the length.
  if (!scan.Literal("\r\nConnection: close\r\n")) {
    return HeadStatus::kNoContentLength;
  }
  return ParseLengthLine(&scan, max_body_bytes, &head->length, &head->body_offset);
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
