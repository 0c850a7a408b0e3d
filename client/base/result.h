// How an operation went, in the same words across the client, and a status
// that carries the reason as text, written where the failure happened. Each
// boundary maps an outcome once: the window message answers 1 only for kDone,
// a log line names the status's text.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class Outcome : uint8_t {
  kDone,        // everything asked was done
  kSentShort,   // a frame went out in part: the link is broken
  kNoLink,      // no link to send on (down, or it broke on this send)
  kBadInput,    // the input breaks a rule (a record, a frame, a setting)
  kFailed,      // the platform refused (a socket call, a file)
  kCannotOpen,  // a file or socket could not be opened
};

// An outcome and, for a failure, why: fixed storage, no allocation, cheap to
// return by value.
class Status {
 public:
  static constexpr size_t kTextSize = 160;

  Status() = default;  // done
  static Status Done() { return Status(); }
  // A failure with a printf-style reason (cut to fit).
  static Status Failure(Outcome outcome, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    Status s;
    s.outcome_ = outcome;
    va_list args;
    va_start(args, format);
    std::vsnprintf(s.text_, sizeof s.text_, format, args);
    va_end(args);
    return s;
  }

  bool ok() const { return outcome_ == Outcome::kDone; }
  Outcome outcome() const { return outcome_; }
  const char* text() const { return text_; }  // "" when done

 private:
  Outcome outcome_ = Outcome::kDone;
  char text_[kTextSize] = "";
};
