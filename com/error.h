// The one exception type that crosses the component: an HRESULT with the source and
// description that a COM caller would find in EXCEPINFO. Every layer throws it (or a
// subclass) and the single trap in ExtractData turns its description into sErrorMsg.
#pragma once

#include <stdexcept>
#include <string>

#include "com/com.h"

namespace com {

class Error : public std::runtime_error {
 public:
  Error(HRESULT hr, std::string description, std::string source = {})
      : std::runtime_error(description), hr_(hr), source_(std::move(source)) {}

  HRESULT hr() const { return hr_; }
  const std::string& source() const { return source_; }
  // The text a caller shows: the failing layer's message, without the number.
  std::string description() const { return what(); }

 private:
  HRESULT hr_;
  std::string source_;
};

// The run-time's conversion errors, with the texts a host expects.
[[noreturn]] void ThrowTypeMismatch();   // "Type mismatch", DISP_E_TYPEMISMATCH
[[noreturn]] void ThrowInvalidNull();    // "Invalid use of Null", 0x800A005E
[[noreturn]] void ThrowOverflow();       // "Overflow", DISP_E_OVERFLOW

// Fills an EXCEPINFO from an error (source, description, scode). Null-safe.
void FillExcepInfo(EXCEPINFO* ei, const Error& e);
void ClearExcepInfo(EXCEPINFO* ei);

}  // namespace com
