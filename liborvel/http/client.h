// client.h: one client exchange with its reason kept.  Internal to liborvel
// and the service; never installed.
//
// Exchange() does what sendRequestMsg() followed by getResponseMsg() does,
// printing the same lines on the same streams, but says why it failed:
// "connect 127.0.0.1:7103: Connection refused", "127.0.0.1:7101: reply
// timed out after 60 s", "127.0.0.1:7101: answered HTTP 400", ...
//
// Thread safety: may be called from any thread at once; each call uses its
// own connection.  Blocks for at most the connect/write time-out plus the
// read time-out (ORVEL_HTTP_CLIENT_TIMEOUT each).
#ifndef ORVEL_LIBORVEL_HTTP_CLIENT_H_
#define ORVEL_LIBORVEL_HTTP_CLIENT_H_

#include <memory>
#include <string>

#include "net/status.h"
#include "orvel/Msg.h"

namespace orvel::http {

// Posts request to host:port and reads the reply message.  On success
// *reply holds it (the caller owns it); on failure *reply is null and the
// Status names the peer and the failing step.  request stays the caller's.
Status Exchange(const std::string& host, unsigned short port, Msg& request,
                std::unique_ptr<Msg>* reply);

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_CLIENT_H_
