#pragma once
// A minimal checker for the native test programs: each failed check prints where it
// failed and marks the program failed; the program's exit code reports the verdict.
#include <cstdio>
#include <stdexcept>
#include <string>

namespace check {
inline int& failures() {
  static int count = 0;
  return count;
}
inline int finish(const char* program) {
  std::printf("%s: %s (%d failed checks)\n", program, failures() ? "FAILED" : "ok", failures());
  return failures() ? 1 : 0;
}
}  // namespace check

#define CHECK(cond)                                                                \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      std::printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);         \
      ++check::failures();                                                         \
    }                                                                              \
  } while (0)

#define CHECK_EQ(a, b)                                                             \
  do {                                                                             \
    if (!((a) == (b))) {                                                           \
      std::printf("%s:%d: check failed: %s == %s\n", __FILE__, __LINE__, #a, #b);  \
      ++check::failures();                                                         \
    }                                                                              \
  } while (0)

// Runs `stmt` and checks that it throws E whose what() equals `text`.
#define CHECK_THROWS_MSG(stmt, E, text)                                            \
  do {                                                                             \
    bool thrown_ = false;                                                          \
    try {                                                                          \
      stmt;                                                                        \
    } catch (const E& e_) {                                                        \
      thrown_ = true;                                                              \
      if (std::string(e_.what()) != std::string(text)) {                           \
        std::printf("%s:%d: wrong message: '%s'\n", __FILE__, __LINE__, e_.what()); \
        ++check::failures();                                                       \
      }                                                                            \
    }                                                                              \
    if (!thrown_) {                                                                \
      std::printf("%s:%d: expected %s from %s\n", __FILE__, __LINE__, #E, #stmt);  \
      ++check::failures();                                                         \
    }                                                                              \
  } while (0)
