// The run-time's conversion errors and their EXCEPINFO form.
#include "com/error.h"

namespace com {

void ThrowTypeMismatch() { throw Error(DISP_E_TYPEMISMATCH, "Type mismatch"); }
void ThrowInvalidNull() { throw Error(MakeHr(0x800A005E), "Invalid use of Null"); }
void ThrowOverflow() { throw Error(DISP_E_OVERFLOW, "Overflow"); }

void ClearExcepInfo(EXCEPINFO* ei) {
  if (ei == nullptr) return;
  SysFreeString(ei->bstrSource);
  SysFreeString(ei->bstrDescription);
  SysFreeString(ei->bstrHelpFile);
  *ei = EXCEPINFO{};
}

void FillExcepInfo(EXCEPINFO* ei, const Error& e) {
  if (ei == nullptr) return;
  ClearExcepInfo(ei);
  ei->bstrSource = BstrFromUtf8(e.source());
  ei->bstrDescription = BstrFromUtf8(e.description());
  ei->scode = e.hr();
}

}  // namespace com
