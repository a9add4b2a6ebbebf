// refusal.h: why a handler refused a request.  Internal to liborvel and the
// service; never installed.
//
// A handler that returns null may first say why with SetRefusalReason();
// the server takes the text after the call (TakeRefusalReason) and, where
// its framing allows a body on a 400, sends it as text/plain.  The reason
// belongs to the calling thread: the server runs each handler call on one
// thread and clears the reason before it.
#ifndef ORVEL_LIBORVEL_HTTP_REFUSAL_H_
#define ORVEL_LIBORVEL_HTTP_REFUSAL_H_

#include <string>

namespace orvel::http {

// Replaces the calling thread's refusal reason.
void SetRefusalReason(std::string reason);
// The calling thread's reason ("" when none was set); clears it.
std::string TakeRefusalReason();

}  // namespace orvel::http

#endif  // ORVEL_LIBORVEL_HTTP_REFUSAL_H_
