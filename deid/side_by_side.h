// Two pieces of work at once, for the stages that can split their work.
#pragma once

#include <exception>
#include <thread>

// Runs `first` on a second thread and `second` on this one, and waits for
// both; without a thread to be had, runs them one after the other.  What
// either throws (memory ran out) is thrown here once both are done.
template <typename First, typename Second>
void RunSideBySide(const First& first, const Second& second) {
  std::exception_ptr firstFailure, secondFailure;
  std::thread helper;
  try {
    helper = std::thread([&] {
      try {
        first();
      } catch (...) {
        firstFailure = std::current_exception();
      }
    });
  } catch (const std::exception&) {
    first();
  }
  try {
    second();
  } catch (...) {
    secondFailure = std::current_exception();
  }
  if (helper.joinable()) helper.join();
  if (secondFailure) std::rethrow_exception(secondFailure);
  if (firstFailure) std::rethrow_exception(firstFailure);
}
