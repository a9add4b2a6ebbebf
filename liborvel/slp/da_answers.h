// da_answers.h: encoded SrvRply answers kept for repeated requests.
//
// A large answer (a "list all" of thousands of URLs) costs the look-up, the
// ordering and the encoding of every entry; the same request asked again
// before the registrations change gets the bytes kept from the first time,
// with its own XID and every URL's remaining lifetime written in afresh, so
// it reads exactly as a freshly made answer would.  An answer is kept for
// one store generation: any change of the registrations (an expiry too)
// makes the next request build it again.
//
// Thread-safe.
#ifndef ORVEL_LIBORVEL_SLP_DA_ANSWERS_H_
#define ORVEL_LIBORVEL_SLP_DA_ANSWERS_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "port/mutex.h"

namespace orvel::slp {

class RegistrationStore;

class AnswerCache {
 public:
  // Where one URL entry's lifetime sits in the bytes, and when it ends.
  struct Lifetime {
    uint32_t offset = 0;
    std::chrono::steady_clock::time_point expiry;
  };

  // Answers with fewer URLs are cheaper to make than to keep.
  static constexpr size_t kMinUrls = 32;
  static constexpr size_t kMaxAnswers = 16;
  static constexpr size_t kMaxBytes = size_t{32} << 20;

  // The answer kept for key at generation, with xid and the lifetimes as
  // store tells them now; false when there is none.
  bool Find(const std::string& key, uint64_t generation, uint16_t xid,
            const RegistrationStore& store, std::string* out) const;
  void Put(const std::string& key, uint64_t generation, std::string bytes,
           std::vector<Lifetime> lifetimes);

 private:
  struct Answer {
    uint64_t generation = 0;
    std::string bytes;
    std::vector<Lifetime> lifetimes;
  };
  mutable port::Mutex mu_;
  std::unordered_map<std::string, std::shared_ptr<const Answer>> answers_ GUARDED_BY(mu_);
  size_t bytes_ GUARDED_BY(mu_) = 0;
};

}  // namespace orvel::slp

#endif  // ORVEL_LIBORVEL_SLP_DA_ANSWERS_H_
