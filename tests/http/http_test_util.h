// http_test_util.h: documents and a shared test server for the http tests.
#ifndef ORVEL_TESTS_HTTP_HTTP_TEST_UTIL_H_
#define ORVEL_TESTS_HTTP_HTTP_TEST_UTIL_H_

#include <cstdint>
#include <cstdlib>
#include <string>

#include "orvel/Msg.h"
#include "testutil/process_util.h"

namespace orvel::httptest {

// The serialised text of msg (what getChars gives).
inline std::string Text(const Msg& msg) {
  char* chars = msg.getChars();
  std::string text = chars != nullptr ? chars : "";
  std::free(chars);
  return text;
}

// A request framed as our client frames it: the text plus its zero byte.
inline std::string Request(const std::string& text,
                           const std::string& line = "POST /query HTTP/1.1") {
  return line + "\r\nContent-Length: " + std::to_string(text.size() + 1) + "\r\n\r\n" + text +
         std::string(1, '\0');
}

inline const std::string kBadRequest = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n";

inline std::string OkResponse(const std::string& text) {
  return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(text.size()) +
         "\r\n\r\n" + text;
}

using ::testutil::ScopedEnv;

// The test server of this binary, started once on a free port.  Its handler
// answers ZemInit with a ZemInitOk carrying the request's id and version,
// the peer's address and TTL 7; a ZemInit with data port 1 is answered only
// after 300 ms, one with data port 2 is handed back as its own reply.  Every
// other request type gets null; ZemCommit with the reason "no commits here".
uint16_t TestServerPort();
// The same handler behind a server reading the standard framing
// (ORVEL_HTTP_PARSER=standard).
uint16_t StandardServerPort();
// Sends first on fd and waits until a server's read of a request head has
// taken it, so that what is sent next comes in a later read.  False when
// the send failed or no read came within 10 s.
bool SendAndWaitForHeadRead(int fd, const std::string& first);
// Peer port the handler last saw (host order), and the socket it got.
unsigned short LastSrcPort();
int LastSock();

}  // namespace orvel::httptest

#endif  // ORVEL_TESTS_HTTP_HTTP_TEST_UTIL_H_
