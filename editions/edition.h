// What distinguishes the two editions built from this tree: the identifiers a host
// sees and the switches that select the compatibility behaviour of Summary. One
// algorithm in summary/ reads these switches; nothing there is copied per edition.
#pragma once

#include <string>
#include <vector>

#include "com/com.h"

namespace editions {

struct Edition {
  const char* name;             // "current" or "compat"
  const char* typelib_version;  // "4.1" / "3.5"
  com::GUID summary_clsid;
  com::GUID summary_iid;
  std::vector<com::GUID> summary_earlier_iids;  // in registration order
  bool summary_has_begin_period;                // GetAccountBeginPeriod on the surface
  com::DISPID summary_first_dispid;             // 0x60030001 current, 0x60030000 compat
  // Behaviour switches of Summary.
  bool compat;  // every difference of the compatibility run keys off this flag
};

const Edition& CurrentEdition();
const Edition& CompatEdition();

// Identifiers shared by both editions.
extern const com::GUID kTypeLibId;
extern const com::GUID kCashVouchClsid;
extern const com::GUID kCashVouchIid;
extern const std::vector<com::GUID> kCashVouchEarlierIids;
extern const com::GUID kAccMsgTypeGuid;

}  // namespace editions
