// bench_messages.h: the exact bytes liborvel's client puts on the wire for
// one message, for the benchmark programs.
#ifndef ORVEL_BENCH_BENCH_MESSAGES_H_
#define ORVEL_BENCH_BENCH_MESSAGES_H_

#include <cstdlib>
#include <string>

#include "orvel/Msg.h"

namespace orvel::bench {

// The message's text as getChars() gives it, without its terminator.
inline std::string TextOf(Msg& msg) {
  char* text = msg.getChars();
  std::string out = text != nullptr ? text : "";
  std::free(text);
  return out;
}

// What sendRequestMsg() sends: request line, Content-Length first (counting
// the terminating zero byte), empty line, the text and its zero byte.
inline std::string RequestBytes(Msg& msg, const std::string& host, int port) {
  const std::string text = TextOf(msg);
  std::string out = "POST http://" + host + ":" + std::to_string(port) +
                    "/query HTTP/1.1\r\nContent-Length: " + std::to_string(text.size() + 1) +
                    "\r\n\r\n" + text;
  out.push_back('\0');
  return out;
}

// What sendHTTPResponse() sends for a reply message.
inline std::string ResponseBytes(Msg& msg) {
  const std::string text = TextOf(msg);
  return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(text.size()) +
         "\r\n\r\n" + text;
}

}  // namespace orvel::bench

#endif  // ORVEL_BENCH_BENCH_MESSAGES_H_
