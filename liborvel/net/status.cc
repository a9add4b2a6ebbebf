// status.cc
#include "net/status.h"

#include <cerrno>
#include <cstring>

namespace orvel {

Status Status::FromErrno(const std::string& context, int err) {
  std::string text = context.empty() ? std::string() : context + ": ";
  text += std::strerror(err);
  Status s(err == ETIMEDOUT ? Code::kTimedOut : Code::kIOError, std::move(text));
  s.errno_ = err;
  return s;
}

const char* Status::CodeName() const {
  switch (code_) {
    case Code::kOk:
      return "ok";
    case Code::kNotFound:
      return "not_found";
    case Code::kInvalidArgument:
      return "invalid_argument";
    case Code::kIOError:
      return "io_error";
    case Code::kTimedOut:
      return "timed_out";
    case Code::kProtocol:
      return "protocol";
    case Code::kRefused:
      return "refused";
    case Code::kUnavailable:
      return "unavailable";
  }
  return "unknown";
}

std::string Status::ToString() const {
  if (ok()) return "OK";
  return message_.empty() ? CodeName() : message_;
}

Status Status::WithContext(const std::string& context) const {
  if (ok() || context.empty()) return *this;
  Status s = *this;
  s.message_ = context + ": " + message_;
  return s;
}

}  // namespace orvel
