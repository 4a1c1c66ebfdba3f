// The class factory of a creatable class: CreateInstance goes to the class's
// creator function; LockServer counts as a module lock.
#pragma once
#include <windows.h>
#include <unknwn.h>

#include "common/ComObject.h"

namespace hv {

using CreatorFunction = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

class ClassFactory final : public IClassFactory, public ComObject {
 public:
  HV_COM_OBJECT(ClassFactory)
  static const QIEntry kInterfaces[];

  explicit ClassFactory(CreatorFunction creator) : ComObject(false), creator_(creator) {}

  // IClassFactory
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  CreatorFunction creator_;
};

}  // namespace hv
