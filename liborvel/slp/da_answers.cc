// da_answers.cc: kept SrvRply bytes, brought up to date on the way out.
#include "slp/da_answers.h"

#include "slp/da_store.h"

namespace orvel::slp {

bool AnswerCache::Find(const std::string& key, uint64_t generation, uint16_t xid,
                       const RegistrationStore& store, std::string* out) const {
  std::shared_ptr<const Answer> a;
  {
    port::MutexLock lock(&mu_);
    auto it = answers_.find(key);
    if (it == answers_.end() || it->second->generation != generation) return false;
    a = it->second;
  }
  *out = a->bytes;
  // XID: bytes 10 and 11 of the header.
  (*out)[10] = static_cast<char>(xid >> 8);
  (*out)[11] = static_cast<char>(xid & 0xff);
  for (const Lifetime& l : a->lifetimes) {
    const uint16_t left = store.LifetimeLeft(l.expiry);
    (*out)[l.offset] = static_cast<char>(left >> 8);
    (*out)[l.offset + 1] = static_cast<char>(left & 0xff);
  }
  return true;
}

void AnswerCache::Put(const std::string& key, uint64_t generation, std::string bytes,
                      std::vector<Lifetime> lifetimes) {
  auto a = std::make_shared<Answer>();
  a->generation = generation;
  a->bytes = std::move(bytes);
  a->lifetimes = std::move(lifetimes);
  const size_t size = a->bytes.size() + a->lifetimes.size() * sizeof(Lifetime) + key.size();
  if (size > kMaxBytes) return;
  port::MutexLock lock(&mu_);
  if (answers_.size() >= kMaxAnswers || bytes_ + size > kMaxBytes) {
    answers_.clear();
    bytes_ = 0;
  }
  auto [it, inserted] = answers_.emplace(key, nullptr);
  if (!inserted) {
    bytes_ -=
        it->second->bytes.size() + it->second->lifetimes.size() * sizeof(Lifetime) + key.size();
  }
  it->second = std::move(a);
  bytes_ += size;
}

}  // namespace orvel::slp
