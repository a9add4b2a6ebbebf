// refusal.cc
#include "http/refusal.h"

#include <utility>

namespace orvel::http {

namespace {
thread_local std::string refusal_reason;
}  // namespace

void SetRefusalReason(std::string reason) { refusal_reason = std::move(reason); }

std::string TakeRefusalReason() {
  std::string reason = std::move(refusal_reason);
  refusal_reason.clear();
  return reason;
}

}  // namespace orvel::http
