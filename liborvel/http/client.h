// client.h: one client exchange with its reason kept.  Internal to liborvel
// and the service; never installed.
//
// Exchange() does what sendRequestMsg() followed by getResponseMsg() does,
// printing the same lines on the same streams (and one more, for a port of
// 0, where sendRequestMsg fails silently), but says why it failed:
//   "connect 127.0.0.1:7103: Connection refused"
//   "127.0.0.1:7101: no reply within 60 s"
//   "127.0.0.1:7101: answered HTTP 400"
//   "127.0.0.1:7101: closed the connection without a reply"
//   "127.0.0.1:7101: answered ZemInit, not a reply type"
// Codes: kInvalidArgument (no port, 0.0.0.0), kUnavailable (name not
// resolved), kIOError (connect, write or read failed; errno kept),
// kTimedOut, kRefused (a status other than 200), kProtocol (anything else
// unusable).
//
// Thread safety: may be called from any thread at once; each call uses its
// own connection.  Blocks for at most the connect/write time-out plus the
// read time-out (options.timeout_s each).
#ifndef ORVEL_LIBORVEL_HTTP_CLIENT_H_
#define ORVEL_LIBORVEL_HTTP_CLIENT_H_

#include <memory>
#include <string>

#include "net/status.h"
#include "orvel/Msg.h"

namespace orvel::http {

// The client's settings, read once by whoever holds them (the public
// functions read them from the environment on each call).
struct ClientOptions {
  // ORVEL_HTTP_CLIENT_TIMEOUT (seconds, default 60): bounds connect and
  // write together, then the reply's read.
  double timeout_s = 60;
  // ORVEL_HTTP_MAX_BODY (bytes, default 16 MiB): a larger declared reply
  // length is refused.
  long long max_body_bytes = 16LL * 1024 * 1024;

  static ClientOptions FromEnvironment();
};

// Posts request to host:port and reads the reply message.  On success
// *reply holds it (the caller owns it); on failure *reply is null and the
// Status names the peer and the failing step.  request stays the caller's.
Status Exchange(const std::string& host, unsigned short port, Msg& request,
                std::unique_ptr<Msg>* reply, const ClientOptions& options);
// The same with the options read from the environment now.
Status Exchange(const std::string& host, unsigned short port, Msg& request,
                std::unique_ptr<Msg>* reply);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_CLIENT_H_
