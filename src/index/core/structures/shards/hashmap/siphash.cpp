#include "index/core/structures/shards/hashmap/siphash.hpp"

#include <cerrno>
#include <random>

#include <sys/random.h>

namespace zarvex {

namespace {

// 16 random bytes from the kernel; std::random_device only if getrandom is
// unavailable (ENOSYS) or keeps failing.
SipKeys os_random_keys() {
  uint64_t buf[2];
  auto* p = reinterpret_cast<unsigned char*>(buf);
  size_t got = 0;
  while (got < sizeof buf) {
    const ssize_t r = getrandom(p + got, sizeof buf - got, 0);
    if (r > 0) {
      got += static_cast<size_t>(r);
    } else if (r < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  if (got < sizeof buf) {
    std::random_device rd;
    for (auto& w : buf) w = (static_cast<uint64_t>(rd()) << 32) | rd();
  }
  return SipKeys{buf[0], buf[1]};
}

struct ThreadKeys {
  SipKeys keys = os_random_keys();
};

}  // namespace

SipKeys SipKeys::fresh() {
  thread_local ThreadKeys tk;
  const SipKeys out = tk.keys;
  tk.keys.k0 += 1;  // wraps modulo 2^64
  return out;
}

}  // namespace zarvex
