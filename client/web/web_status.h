// How a web client's request went: done, or the error its reply names with a
// reason for the reply's "message", written where the request broke the rule
// (as Status does for the rest of the client). The codes are the protocol's
// words; a session maps a status to its reply once. Fixed storage, cheap to
// return by value.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum class WebError : uint8_t {
  kNone,
  kBadJson,       // bad_json: the message is not JSON
  kBadRequest,    // bad_request: not an object, a field missing or of the wrong kind
  kUnknownOp,     // unknown_op: "op" names no operation
  kUnknownGroup,  // unknown_group: no group of that name was declared
  kBadOffset,     // bad_offset: not an offset, or the field does not lie within the image
  kBadType,       // bad_type: no such field type
  kBadValue,      // bad_value: a value the field's type cannot hold
  kLimit,         // limit: a bound of web_limits.h (or of a write batch) broken
  kWriteRefused,  // write_refused: this session may not write
};

// The error's code as replies carry it ("bad_json", ...); "" for kNone.
inline const char* WebErrorCode(WebError error) {
  switch (error) {
    case WebError::kNone: break;
    case WebError::kBadJson: return "bad_json";
    case WebError::kBadRequest: return "bad_request";
    case WebError::kUnknownOp: return "unknown_op";
    case WebError::kUnknownGroup: return "unknown_group";
    case WebError::kBadOffset: return "bad_offset";
    case WebError::kBadType: return "bad_type";
    case WebError::kBadValue: return "bad_value";
    case WebError::kLimit: return "limit";
    case WebError::kWriteRefused: return "write_refused";
  }
  return "";
}

class WebStatus {
 public:
  static constexpr size_t kTextSize = 160;

  WebStatus() = default;  // done
  // A failure with a printf-style reason (cut to fit).
  static WebStatus Failure(WebError error, const char* format, ...)
#if defined(__GNUC__)
      __attribute__((format(printf, 2, 3)))
#endif
  {
    WebStatus s;
    s.error_ = error;
    va_list args;
    va_start(args, format);
    std::vsnprintf(s.text_, sizeof s.text_, format, args);
    va_end(args);
    return s;
  }

  bool ok() const { return error_ == WebError::kNone; }
  WebError error() const { return error_; }
  const char* text() const { return text_; }  // "" when done

 private:
  WebError error_ = WebError::kNone;
  char text_[kTextSize] = "";
};
