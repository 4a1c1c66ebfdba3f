// Owners of platform resources: one template, one-line aliases, the same verbs
// everywhere (get, put for an out-parameter slot, reset, release to hand over).
#pragma once
#include <windows.h>
#include <oleauto.h>
#include <objbase.h>
#include <utility>

namespace hv {

template <typename T, void (*Close)(T)>
class unique_any {
 public:
  unique_any() = default;
  explicit unique_any(T value) : value_(value) {}
  unique_any(const unique_any&) = delete;
  unique_any& operator=(const unique_any&) = delete;
  unique_any(unique_any&& other) noexcept : value_(other.release()) {}
  unique_any& operator=(unique_any&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~unique_any() { reset(); }

  T get() const { return value_; }
  // Frees the current value and hands out the slot for an out-parameter.
  T* put() {
    reset();
    return &value_;
  }
  void reset(T value = T{}) {
    if (value_ != T{}) Close(value_);
    value_ = value;
  }
  // Gives up ownership; the caller now owns the value.
  T release() { return std::exchange(value_, T{}); }
  explicit operator bool() const { return value_ != T{}; }

 private:
  T value_{};
};

namespace detail {
inline void FreeBstr(BSTR s) { SysFreeString(s); }
inline void CloseHandleIfValid(HANDLE h) {
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}
inline void UnloadLibrary(HMODULE m) { FreeLibrary(m); }
inline void CloseKey(HKEY k) { RegCloseKey(k); }
inline void DestroyArray(SAFEARRAY* a) { SafeArrayDestroy(a); }
inline void FreeTaskMem(void* p) { CoTaskMemFree(p); }
inline void FreeGlobal(HGLOBAL g) { GlobalFree(g); }
}  // namespace detail

using unique_bstr = unique_any<BSTR, detail::FreeBstr>;
// Handles whose "none" value is null (events, semaphores, threads).
using unique_handle = unique_any<HANDLE, detail::CloseHandleIfValid>;
using unique_hmodule = unique_any<HMODULE, detail::UnloadLibrary>;
using unique_hkey = unique_any<HKEY, detail::CloseKey>;
using unique_safearray = unique_any<SAFEARRAY*, detail::DestroyArray>;
using unique_cotaskmem = unique_any<void*, detail::FreeTaskMem>;
using unique_hglobal = unique_any<HGLOBAL, detail::FreeGlobal>;

// A VARIANT that is cleared when it goes out of scope.
class unique_variant {
 public:
  unique_variant() { VariantInit(&value_); }
  unique_variant(const unique_variant&) = delete;
  unique_variant& operator=(const unique_variant&) = delete;
  ~unique_variant() { VariantClear(&value_); }

  VARIANT* get() { return &value_; }
  const VARIANT* get() const { return &value_; }
  VARIANT* operator->() { return &value_; }
  const VARIANT* operator->() const { return &value_; }
  // Clears the current value and hands out the slot for an out-parameter.
  VARIANT* put() {
    VariantClear(&value_);
    return &value_;
  }
  void reset() { VariantClear(&value_); }
  // Moves the value into *out (which must not hold anything that needs
  // clearing) and leaves this one empty.
  void release(VARIANT* out) {
    *out = value_;
    VariantInit(&value_);
  }

 private:
  VARIANT value_;
};

// Makes a new BSTR copy of a wide string; null for a null input.
inline BSTR CopyBstr(const wchar_t* text) { return text ? SysAllocString(text) : nullptr; }

}  // namespace hv
