// http_read.cc: reading one request off a socket, in either framing, for
// the server's event threads and for the blocking calls alike.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "http/http_impl.h"

namespace orvel::http {

namespace {

std::atomic<HeadReadHook> g_head_read_hook{nullptr};

}  // namespace

void SetHeadReadHookForTesting(HeadReadHook hook) { g_head_read_hook = hook; }

RequestReader::Step RequestReader::Read(int fd, char* scratch) {
  return req_ ? ReadBody(fd) : ReadHead(fd, scratch);
}

RequestReader::Step RequestReader::ReadHead(int fd, char* scratch) {
  // The standard framing's head may come in pieces, up to the same size.
  const size_t room = kHeadReadBytes - head_.size();
  ssize_t n;
  do {
    n = ::recv(fd, scratch, room, MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Step::kMore;  // not yet
  // A peer that closed or failed before sending anything gets the line for
  // an empty head.
  const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
  if (HeadReadHook hook = g_head_read_hook.load()) hook(got);
  if (options_.parser == ParserMode::kStandard) return ReadStandardHead(fd, scratch, got);
  req_.reset(RequestFromHead(scratch, got, options_.max_body_bytes, &received_));
  if (!req_) return Refuse(400, "");
  return BodyStarted();
}

RequestReader::Step RequestReader::ReadStandardHead(int fd, char* scratch, size_t got) {
  head_.append(scratch, got);
  StandardHead parsed;
  switch (ParseStandardRequestHead(head_.data(), head_.size(), options_.max_body_bytes, &parsed)) {
    case StandardStatus::kIncomplete:
      if (got > 0) return Step::kMore;
      std::fprintf(stderr, "Request head from client cut short:\n%s\n", head_.c_str());
      return Refuse(400, head_.empty() ? "no request" : "request head cut short");
    case StandardStatus::kRefused:
      std::fprintf(stderr, "Refused request from client: %d %s\n", parsed.refusal.status,
                   parsed.refusal.reason.c_str());
      return Refuse(parsed.refusal.status, parsed.refusal.reason);
    case StandardStatus::kOk:
      break;
  }
  req_.reset(NewRequest(parsed.head, head_.data(), head_.size(), &received_));
  std::string().swap(head_);
  if (!req_) return Refuse(400, "out of memory for the body");
  if (parsed.expect_continue && received_ < static_cast<size_t>(req_->content_length)) {
    // A fresh socket's buffer takes these few bytes; a peer that is gone
    // shows when its body does not come.
    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
    (void)::send(fd, kContinue, sizeof kContinue - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
  }
  return BodyStarted();
}

RequestReader::Step RequestReader::BodyStarted() {
  return received_ < static_cast<size_t>(req_->content_length) ? Step::kMore : Step::kDone;
}

RequestReader::Step RequestReader::ReadBody(int fd) {
  const size_t declared = static_cast<size_t>(req_->content_length);
  switch (ReadBodyOnce(fd, req_->body, declared, &received_)) {
    case BodyStep::kAgain:
      return Step::kMore;
    case BodyStep::kMore:
      return received_ < declared ? Step::kMore : Step::kDone;
    case BodyStep::kEnded:
      PrintShortBody(received_, declared);
      return Step::kDone;
  }
  return Step::kDone;
}

void RequestReader::TimedOut() {
  timed_out_ = true;
  if (!req_) {
    PrintHeadTimeout(options_.read_timeout_s);
  } else {
    PrintBodyTimeout(options_.read_timeout_s, received_, req_->content_length);
    req_.reset();
  }
  char reason[96];
  std::snprintf(reason, sizeof reason, "timed out after %g s waiting for the request",
                options_.read_timeout_s);
  (void)Refuse(408, reason);
}

RequestReader::Step RequestReader::Refuse(int status, std::string reason) {
  req_.reset();
  refusal_.status = status;
  refusal_.reason = std::move(reason);
  return Step::kRefused;
}

RequestReader::Step RequestReader::ReadBlocking(int fd) {
  const net::Deadline deadline = net::Deadline::After(options_.read_timeout_s);
  std::unique_ptr<char[]> scratch(new char[kHeadReadBytes + 1]);
  for (;;) {
    const Step step = Read(fd, scratch.get());
    if (step != Step::kMore) return step;
    // Another failure of the wait shows as the read's error next time round.
    if (net::WaitReady(fd, POLLIN, deadline) == ETIMEDOUT) {
      TimedOut();
      return Step::kRefused;
    }
  }
}

}  // namespace orvel::http
