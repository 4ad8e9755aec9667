// The identifiers of both editions. The compatibility edition keeps the type
// library GUID, the ProgIDs and CashVouch, and presents its own Summary class.
#include "editions/edition.h"

namespace editions {

using com::GuidFromString;

const com::GUID kTypeLibId = GuidFromString("{4E8A17C2-93D5-4B0E-A6F1-52C90D7E3B10}");
const com::GUID kCashVouchClsid = GuidFromString("{4E8A17C3-93D5-4B0E-A6F1-52C90D7E3B10}");
const com::GUID kCashVouchIid = GuidFromString("{4E8A17C4-93D5-4B0E-A6F1-52C90D7E3B10}");
const std::vector<com::GUID> kCashVouchEarlierIids = {
    GuidFromString("{4E8A17C5-93D5-4B0E-A6F1-52C90D7E3B10}"),
    GuidFromString("{4E8A17C6-93D5-4B0E-A6F1-52C90D7E3B10}"),
};
const com::GUID kAccMsgTypeGuid = GuidFromString("{4E8A17CA-93D5-4B0E-A6F1-52C90D7E3B10}");

const Edition& CurrentEdition() {
  static const Edition e{
      "current",
      "4.1",
      GuidFromString("{4E8A17C7-93D5-4B0E-A6F1-52C90D7E3B10}"),
      GuidFromString("{4E8A17C8-93D5-4B0E-A6F1-52C90D7E3B10}"),
      {GuidFromString("{4E8A17C9-93D5-4B0E-A6F1-52C90D7E3B10}")},
      true,
      0x60030001,
      false,
  };
  return e;
}

const Edition& CompatEdition() {
  static const Edition e{
      "compat",
      "3.5",
      GuidFromString("{4E8A17CB-93D5-4B0E-A6F1-52C90D7E3B10}"),
      GuidFromString("{4E8A17CC-93D5-4B0E-A6F1-52C90D7E3B10}"),
      {GuidFromString("{4E8A17CD-93D5-4B0E-A6F1-52C90D7E3B10}"),
       GuidFromString("{4E8A17CE-93D5-4B0E-A6F1-52C90D7E3B10}")},
      false,
      0x60030000,
      true,
  };
  return e;
}

}  // namespace editions
