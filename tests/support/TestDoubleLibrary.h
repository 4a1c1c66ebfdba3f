// What the test doubles' control classes share: the double's DLL loaded by path,
// its control functions looked up by name (HV_DOUBLE_FUNCTION(Reset, TestMux_Reset);),
// and its registration over the class ids it stands in for, undone at the end.
#pragma once
#include <windows.h>

#include <string>

namespace hv::test {

class TestDoubleLibrary {
 public:
  // Loaded, every function found, and registered if asked to.
  bool ok() const { return module_ && complete_ && SUCCEEDED(registered_); }
  HRESULT registration() const { return registered_; }

 protected:
  explicit TestDoubleLibrary(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {}
  // The module stays loaded: COM may still hold objects of it.
  ~TestDoubleLibrary() {
    if (registered_ == S_OK) Call("DllUnregisterServer");
  }

  bool loaded() const { return module_ != nullptr; }
  // The exported function, or null (and the library is incomplete).
  template <typename F>
  F Find(const char* name) {
    F found = module_ ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name))) : nullptr;
    if (!found) complete_ = false;
    return found;
  }
  void Register() { registered_ = Call("DllRegisterServer"); }
  // The double was not registered, on purpose.
  void LeaveRegistrationAlone() { registered_ = S_FALSE; }

 private:
  HRESULT Call(const char* name) {
    auto function = reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    return function ? function() : E_FAIL;
  }
  HMODULE module_ = nullptr;
  bool complete_ = true;
  HRESULT registered_ = E_FAIL;
};

}  // namespace hv::test

// A member of a control class holding the double's exported function.
#define HV_DOUBLE_FUNCTION(member, exported) decltype(&exported) member = Find<decltype(&exported)>(#exported)
