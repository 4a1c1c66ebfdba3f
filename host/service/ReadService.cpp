#include "service/ReadService.h"

namespace hv::host {

HResult ReadService::CheckAdaptor(const Guid& clsid, std::string* why) const {
  const Adaptor* adaptor = router_.Find(clsid);
  if (!adaptor) return *why = "no adaptor " + clsid.ToRegistryString(), REGDB_E_CLASSNOTREG;
  if (!adaptor->CanRead())
    return *why = "adaptor \"" + adaptor->name() + "\" keeps no messages to read", E_NOINTERFACE;
  return S_OK;
}

}  // namespace hv::host
