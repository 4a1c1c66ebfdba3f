// The base of every COM class of the library: an atomic reference count, a
// QueryInterface table, aggregation and the module lock.
//
// A class derives from its interfaces and from ComObject, lists its interfaces
// in a table and puts HV_COM_OBJECT(Class) in its body:
//
//   class CThing final : public IThing, public IOther, public hv::ComObject {
//    public:
//     HV_COM_OBJECT(CThing)
//     static const hv::QIEntry kInterfaces[];
//     ...
//   };
//   const hv::QIEntry CThing::kInterfaces[] = {
//       HV_QI_ENTRY(CThing, IThing), HV_QI_ENTRY(CThing, IOther), HV_QI_END};
//
// The IUnknown methods of every interface go to the controlling unknown: the
// object's own inner unknown, or the outer object when it is aggregated.
#pragma once
#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <new>
#include <utility>

#include "common/ComPtr.h"
#include "common/ModuleLock.h"
#include "common/Result.h"

namespace hv {

struct QIEntry {
  const IID* iid;  // null ends the table
  std::ptrdiff_t offset;
};

template <class Class, class Interface>
std::ptrdiff_t InterfaceOffset() {
  // Any non-null address works: only the distance between the two views counts.
  Class* object = reinterpret_cast<Class*>(0x1000);
  return reinterpret_cast<char*>(static_cast<Interface*>(object)) - reinterpret_cast<char*>(object);
}

#define HV_QI_ENTRY(Class, Interface) \
  { &__uuidof(Interface), ::hv::InterfaceOffset<Class, Interface>() }
// An interface id answered by a base interface (IDispatch by a dual interface).
#define HV_QI_ENTRY_IID(Class, iid, Interface) \
  { &(iid), ::hv::InterfaceOffset<Class, Interface>() }
#define HV_QI_END \
  { nullptr, 0 }

// Looks riid up in a table; adds a reference through the found interface.
HRESULT QueryInterfaceFromTable(void* object, const QIEntry* table, REFIID riid, void** ppv);

class ComObject {
 public:
  // The non-delegating unknown: the identity of a standalone object, and the
  // pointer an aggregating outer object holds.
  class InnerUnknown final : public IUnknown {
   public:
    explicit InnerUnknown(ComObject* owner) : owner_(owner) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

   private:
    ComObject* owner_;
  };

  IUnknown* Inner() { return &inner_; }
  IUnknown* Controlling() const { return controlling_; }
  void SetOuter(IUnknown* outer) { controlling_ = outer ? outer : &inner_; }
  bool IsAggregated() const { return controlling_ != &inner_; }

 protected:
  // Every object keeps the library loaded while it lives; class factories,
  // which live in the module's own table until unload, do not.
  explicit ComObject(bool holdsModuleLock = true)
      : inner_(this), controlling_(&inner_), holdsModuleLock_(holdsModuleLock) {
    if (holdsModuleLock_) LockModule();
  }
  virtual ~ComObject() {
    if (holdsModuleLock_) UnlockModule();
  }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // Table lookup of the derived class (HV_COM_OBJECT provides it).
  virtual HRESULT InternalQueryInterface(REFIID riid, void** ppv) = 0;
  // Runs before the object is deleted, with the count held high so that
  // references taken and dropped here cannot start a second destruction.
  virtual void FinalRelease() {}

 private:
  ULONG InternalAddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG InternalRelease();

  InnerUnknown inner_;
  IUnknown* controlling_;
  LONG refs_ = 0;
  const bool holdsModuleLock_;
};

#define HV_COM_OBJECT(Class)                                                      \
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {                 \
    return Controlling()->QueryInterface(riid, ppv);                              \
  }                                                                               \
  STDMETHODIMP_(ULONG) AddRef() override { return Controlling()->AddRef(); }      \
  STDMETHODIMP_(ULONG) Release() override { return Controlling()->Release(); }    \
                                                                                  \
 protected:                                                                       \
  HRESULT InternalQueryInterface(REFIID riid, void** ppv) override {              \
    return ::hv::QueryInterfaceFromTable(this, Class::kInterfaces, riid, ppv);    \
  }                                                                               \
                                                                                  \
 public:

// Creates a standalone object owned by the returned pointer (count 1).
template <class T, class... Args>
ComPtr<T> MakeObject(Args&&... args) {
  return ComPtr<T>(new (std::nothrow) T(std::forward<Args>(args)...));
}

// The class-factory path: standalone, or aggregated when outer is given (then
// only IUnknown may be asked for). A failed query destroys the new object.
template <class T>
HRESULT CreateObject(IUnknown* outer, REFIID riid, void** ppv) {
  RETURN_HR_IF_NULL(E_POINTER, ppv);
  *ppv = nullptr;
  RETURN_HR_IF(CLASS_E_NOAGGREGATION, outer != nullptr && !IsEqualIID(riid, IID_IUnknown));
  T* object = new (std::nothrow) T();
  RETURN_IF_NULL_ALLOC(object);
  object->SetOuter(outer);
  IUnknown* inner = object->Inner();
  inner->AddRef();
  const HRESULT hr = inner->QueryInterface(riid, ppv);
  inner->Release();
  return hr;
}

}  // namespace hv
