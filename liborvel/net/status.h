// status.h: one error value for every internal layer of liborvel and the
// service: a code and a message, in the manner of LevelDB's Status.  The
// public functions keep their fixed return conventions (-1, null, 0) and
// convert a Status at that boundary; inside, reasons travel with the error
// so that the operator sees the failing call and its cause.
//
//   Status s = Status::FromErrno("connect 127.0.0.1:7101", ECONNREFUSED);
//   s.ToString()  // "connect 127.0.0.1:7101: Connection refused"
//
// Thread safety: a Status is a value; const methods may run concurrently.
#ifndef ORVEL_LIBORVEL_NET_STATUS_H_
#define ORVEL_LIBORVEL_NET_STATUS_H_

#include <string>
#include <utility>

namespace orvel {

class [[nodiscard]] Status {
 public:
  enum class Code {
    kOk = 0,
    kNotFound,         // looked up, nothing there
    kInvalidArgument,  // the caller's input is unusable
    kIOError,          // a system call failed (errno kept)
    kTimedOut,         // a deadline passed
    kProtocol,         // the peer answered something we cannot use
    kRefused,          // the peer said no
    kUnavailable,      // not configured or not reachable at all
  };

  // OK.
  Status() = default;

  static Status OK() { return Status(); }
  static Status NotFound(std::string msg) { return Status(Code::kNotFound, std::move(msg)); }
  static Status InvalidArgument(std::string msg) {
    return Status(Code::kInvalidArgument, std::move(msg));
  }
  static Status TimedOut(std::string msg) { return Status(Code::kTimedOut, std::move(msg)); }
  static Status Protocol(std::string msg) { return Status(Code::kProtocol, std::move(msg)); }
  static Status Refused(std::string msg) { return Status(Code::kRefused, std::move(msg)); }
  static Status Unavailable(std::string msg) { return Status(Code::kUnavailable, std::move(msg)); }
  // "context: strerror(err)", code kIOError (kTimedOut for ETIMEDOUT); err
  // is kept for callers that branch on it.
  static Status FromErrno(const std::string& context, int err);

  bool ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  bool IsNotFound() const { return code_ == Code::kNotFound; }
  bool IsTimedOut() const { return code_ == Code::kTimedOut; }
  // errno behind a kIOError/kTimedOut made by FromErrno, else 0.
  int sys_errno() const { return errno_; }
  // The message alone ("" when OK).
  const std::string& message() const { return message_; }
  // "OK", or the message (the code's name when the message is empty).
  std::string ToString() const;
  // A short, bounded word for the code ("ok", "not_found", ...): safe as a
  // metric label.
  const char* CodeName() const;

  // The same error with "context: " in front of the message.
  Status WithContext(const std::string& context) const;

 private:
  Status(Code code, std::string msg) : code_(code), message_(std::move(msg)) {}

  Code code_ = Code::kOk;
  int errno_ = 0;
  std::string message_;
};

}  // namespace orvel

#endif  // ORVEL_LIBORVEL_NET_STATUS_H_
