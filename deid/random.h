// Random values for the reordering of the claim columns and for manufactured
// member identifiers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

/// A sequence of values 0 <= r < 1.
class RandomSource {
 public:
  virtual ~RandomSource() = default;
  /// The next value of the sequence.
  virtual double Next() = 0;
  /// The next `count` values, each rounded to single precision, as that
  /// many calls of Next would give them.
  virtual void NextSingles(float* out, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<float>(Next());
  }
  /// A source of its own that yields the values of this sequence from
  /// `skip` values on, leaving this one where it is; so that parts of one
  /// sequence can be drawn on several threads.  Null when the source cannot
  /// do so cheaply.  May be called from several threads at once.
  virtual std::unique_ptr<RandomSource> Fork(uint64_t /*skip*/) const { return nullptr; }
  /// Moves on `count` values, as that many calls of Next would.
  virtual void Skip(uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) Next();
  }
};

/// The 32-bit linear congruential generator: S = S * 134775813 + 1 (mod 2^32),
/// r = (S >> 1) / 2^31.  Reproducible from its seed, so it is used where a
/// run must be repeatable (tests, an explicit seed).  Its output reveals its
/// state, so it must never be the source of an ordinary run.
class LcgRandom final : public RandomSource {
 public:
  /// The state becomes the bit pattern of `seed` as an IEEE single.
  explicit LcgRandom(float seed);
  /// The generator of a run started from a user's seed (0 to 4294967295),
  /// each seed with a state of its own.  A seed up to 2^24 is held exactly
  /// by a single, and starts where LcgRandom(float(seed)) does, as runs with
  /// those seeds always have; larger seeds would round together as singles
  /// and take their state from the seed itself instead (see random.cpp).
  static LcgRandom FromSeed(uint32_t seed);
  double Next() override;
  void NextSingles(float* out, size_t count) override;
  std::unique_ptr<RandomSource> Fork(uint64_t skip) const override;
  void Skip(uint64_t count) override { state_ = StateAfter(count); }
  uint32_t State() const { return state_; }

 private:
  LcgRandom() = default;
  // The state `count` steps on, in a number of steps that grows with the
  // bits of `count` only.
  uint32_t StateAfter(uint64_t count) const;
  uint32_t state_ = 0;
};

/// Values drawn from the operating system's cryptographic generator.
class SystemRandom final : public RandomSource {
 public:
  double Next() override;
  /// Every value is fresh and unpredictable, so a part drawn by another
  /// source of the same kind is as good as this one's own.
  std::unique_ptr<RandomSource> Fork(uint64_t skip) const override;
  void Skip(uint64_t) override {}

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
/// True when `id` has the form NewMemberId gives.
bool IsNewMemberIdShape(std::string_view id);
