// Randomized differential tests: a state kept in step incrementally is checked, after every random step, against
// the same state rebuilt from scratch. This header holds the part every such test shares: the seed and the number
// of rounds (replayable from the environment) and the loop that stops at the first difference and fails with what
// is needed to replay it.
//
//   QOR_DIFF_SEED=<n>    replay the run of seed n (otherwise a new seed per run, printed at the start)
//   QOR_DIFF_ROUNDS=<n>  run n rounds instead of the test's default
//
// Single-threaded: the test thread runs the rounds.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <random>
#include <string>

namespace qor::test {

struct DifferentialSettings {
  uint64_t seed = 0;
  size_t rounds = 0;

  static DifferentialSettings FromEnvironment(size_t defaultRounds) {
    DifferentialSettings settings;
    settings.rounds = defaultRounds;
    if (const char* rounds = std::getenv("QOR_DIFF_ROUNDS")) settings.rounds = std::strtoull(rounds, nullptr, 10);
    if (const char* seed = std::getenv("QOR_DIFF_SEED")) {
      settings.seed = std::strtoull(seed, nullptr, 10);
    } else {
      settings.seed =
          std::random_device()() ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    return settings;
  }

  std::string ReplayHint() const {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : std::string("<test>");
    return "replay with QOR_DIFF_SEED=" + std::to_string(seed) + " QOR_DIFF_ROUNDS=" + std::to_string(rounds) +
           " ctest -R '" + name + "$'";
  }
};

// Runs the rounds. `round(rng, index)` makes one random step and compares; it returns an empty string when the two
// states agree, otherwise a description of the step and of the difference. The first difference fails the test
// with the seed; a fatal gtest failure inside a round stops the run the same way.
inline void RunDifferential(const DifferentialSettings& settings,
                            const std::function<std::string(std::mt19937_64& rng, size_t index)>& round) {
  std::cout << "differential run: seed " << settings.seed << ", " << settings.rounds << " rounds" << std::endl;
  std::mt19937_64 rng(settings.seed);
  for (size_t i = 0; i < settings.rounds; ++i) {
    std::string difference = round(rng, i);
    if (::testing::Test::HasFatalFailure()) {
      ADD_FAILURE() << "round " << i << " stopped; " << settings.ReplayHint();
      return;
    }
    if (!difference.empty()) {
      ADD_FAILURE() << "round " << i << " of seed " << settings.seed << ": " << difference << "\n"
                    << settings.ReplayHint();
      return;
    }
  }
}

}  // namespace qor::test
