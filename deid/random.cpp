// rand_s is declared only when _CRT_RAND_S comes before the first <stdlib.h>.
#if defined(_WIN32)
#define _CRT_RAND_S
#endif

#include "random.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>
#endif

LcgRandom::LcgRandom(float seed) {
  static_assert(sizeof(float) == sizeof(uint32_t), "IEEE single expected");
  std::memcpy(&state_, &seed, sizeof state_);
}

LcgRandom LcgRandom::FromSeed(uint32_t seed) {
  constexpr uint32_t kExactLimit = uint32_t{1} << 24;  // every whole number up to it is a single
  if (seed <= kExactLimit) return LcgRandom(static_cast<float>(seed));
  // A larger seed is its own state, unless that state already belongs to a
  // seed n up to 2^24 (the bit pattern of the single n).  Such a seed takes
  // the state n instead: n is from 1 to 2^24, a state that no seed up to
  // 2^24 has (their states are 0 and patterns from that of 1.0, 0x3F800000,
  // on) and that no larger seed keeps as its own (those are above 2^24).
  // So each of the 2^32 seeds has a state of its own.
  float value = 0;
  std::memcpy(&value, &seed, sizeof value);
  uint32_t state = seed;
  if (value >= 1.0f && value <= static_cast<float>(kExactLimit) && value == std::floor(value)) {
    state = static_cast<uint32_t>(value);
  }
  LcgRandom random;
  random.state_ = state;
  return random;
}

double LcgRandom::Next() {
  state_ = state_ * 134775813u + 1u;
  return static_cast<double>(state_ >> 1) / 2147483648.0;
}

void LcgRandom::NextSingles(float* out, size_t count) {
  uint32_t state = state_;
  for (size_t i = 0; i < count; ++i) {
    state = state * 134775813u + 1u;
    out[i] = static_cast<float>(static_cast<double>(state >> 1) / 2147483648.0);
  }
  state_ = state;
}

uint32_t LcgRandom::StateAfter(uint64_t count) const {
  // Composes the step S -> S * a + c with itself by repeated squaring.
  uint32_t multiplier = 1, increment = 0;
  uint32_t stepMultiplier = 134775813u, stepIncrement = 1u;
  while (count > 0) {
    if (count & 1) {
      multiplier *= stepMultiplier;
      increment = increment * stepMultiplier + stepIncrement;
    }
    stepIncrement = (stepMultiplier + 1u) * stepIncrement;
    stepMultiplier *= stepMultiplier;
    count >>= 1;
  }
  return multiplier * state_ + increment;
}

std::unique_ptr<RandomSource> LcgRandom::Fork(uint64_t skip) const {
  std::unique_ptr<LcgRandom> part(new LcgRandom());
  part->state_ = StateAfter(skip);
  return part;
}

std::unique_ptr<RandomSource> SystemRandom::Fork(uint64_t /*skip*/) const {
  return std::unique_ptr<RandomSource>(new SystemRandom());
}

double SystemRandom::Next() {
  if (used_ >= kBufferWords) Refill();
  // 32 random bits over 2^32: at most 1 - 2^-32, so r * n stays below n
  // for every n that RandomInt uses.
  return static_cast<double>(buffer_[used_++]) / 4294967296.0;
}

void SystemRandom::Refill() {
#if defined(_WIN32)
  for (uint32_t& word : buffer_) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) std::abort();  // no secure source: never fall back to a weak one
    word = value;
  }
#else
  char* out = reinterpret_cast<char*>(buffer_);
  size_t need = sizeof buffer_;
  while (need > 0) {
    ssize_t got = getrandom(out, need, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out += got;
    need -= static_cast<size_t>(got);
  }
  if (need > 0) {
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && need > 0) {
      ssize_t got = read(fd, out, need);
      if (got <= 0) {
        if (got < 0 && errno == EINTR) continue;
        break;
      }
      out += got;
      need -= static_cast<size_t>(got);
    }
    if (fd >= 0) close(fd);
  }
  // No secure source at all: stopping is safer than manufacturing
  // identifiers from a predictable one.
  if (need > 0) std::abort();
#endif
  used_ = 0;
}

int32_t RandomInt(RandomSource& random, int32_t lo, int32_t hi) {
  double span = static_cast<double>(hi) - static_cast<double>(lo) + 1.0;
  double offset = static_cast<double>(static_cast<int64_t>(random.Next() * span));
  // A source that broke its contract (r >= 1) must still not leave the range.
  if (offset >= span) offset = span - 1.0;
  return static_cast<int32_t>(static_cast<int64_t>(lo) + static_cast<int64_t>(offset));
}

void NewMemberId(RandomSource& random, char* out) {
  // The digits two at a time from a table, in independent pieces: a run
  // makes one id per patient or insured, millions in a large file, and a
  // division per digit, each waiting for the one before, cost more than
  // drawing the number.
  static const char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  const uint32_t digits = static_cast<uint32_t>(RandomInt(random, 100000000, 999999999));
  const int32_t letter = RandomInt(random, 65, 90);
  const uint32_t first = digits / 100000000;
  const uint32_t rest = digits - first * 100000000;
  const uint32_t high = rest / 10000, low = rest % 10000;
  out[0] = static_cast<char>('0' + first);
  std::memcpy(out + 1, kPairs + 2 * (high / 100), 2);
  std::memcpy(out + 3, kPairs + 2 * (high % 100), 2);
  std::memcpy(out + 5, kPairs + 2 * (low / 100), 2);
  std::memcpy(out + 7, kPairs + 2 * (low % 100), 2);
  out[9] = static_cast<char>(letter);
}

std::string NewMemberId(RandomSource& random) {
  char id[kMemberIdLength];
  NewMemberId(random, id);
  return std::string(id, kMemberIdLength);
}

bool IsNewMemberIdShape(std::string_view id) {
  if (id.size() != kMemberIdLength || id[0] < '1' || id[0] > '9') return false;
  for (size_t i = 1; i + 1 < kMemberIdLength; ++i) {
    if (id[i] < '0' || id[i] > '9') return false;
  }
  return id[kMemberIdLength - 1] >= 'A' && id[kMemberIdLength - 1] <= 'Z';
}
