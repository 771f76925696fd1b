// Random values for the reordering of the claim columns and for manufactured
// member identifiers.
#pragma once

#include <cstdint>
#include <string>

/// A sequence of values 0 <= r < 1.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  /// The next value of the sequence.
  virtual double Next() = 0;
};

/// The 32-bit linear congruential generator: S = S * 134775813 + 1 (mod 2^32),
/// r = (S >> 1) / 2^31.  Reproducible from its seed, so it is used where a
/// run must be repeatable (tests, an explicit seed).  Its output reveals its
/// state, so it must never be the source of an ordinary run.
class LcgRandom final : public RandomSource {
 public:
  /// The state becomes the bit pattern of `seed` as an IEEE single.
  explicit LcgRandom(float seed);
  double Next() override;
  uint32_t State() const { return state_; }

 private:
  uint32_t state_;
};

/// Values drawn from the operating system's cryptographic generator.
class SystemRandom final : public RandomSource {
 public:
  double Next() override;

 private:
  static constexpr int kBufferWords = 2048;
  void Refill();
  uint32_t buffer_[kBufferWords] = {};
  int used_ = kBufferWords;
};

/// lo + whole part of r * (hi - lo + 1), with one value of the sequence.
int32_t RandomInt(RandomSource& random, int32_t lo, int32_t hi);

/// Width of a manufactured member identifier.
constexpr int kMemberIdLength = 10;

/// A new member identifier: nine digits, the first never 0, and a capital
/// letter; uses two values of the sequence (digits first).  Writes exactly
/// kMemberIdLength characters to `out`.
void NewMemberId(RandomSource& random, char* out);
std::string NewMemberId(RandomSource& random);
