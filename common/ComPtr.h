// Owning interface pointer.
#pragma once
#include <unknwn.h>
#include <utility>

namespace hv {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference to p.
  explicit ComPtr(T* p) : ptr_(p) {
    if (ptr_) ptr_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.ptr_) {}
  ComPtr(ComPtr&& other) noexcept : ptr_(other.release()) {}
  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).swap(*this);
    return *this;
  }
  ~ComPtr() { reset(); }

  // Adopts a reference that the caller already owns.
  static ComPtr attach(T* p) {
    ComPtr c;
    c.ptr_ = p;
    return c;
  }

  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  T& operator*() const { return *ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  bool operator==(std::nullptr_t) const { return ptr_ == nullptr; }
  bool operator!=(std::nullptr_t) const { return ptr_ != nullptr; }
  // Releases the current pointer and hands out the slot for an out-parameter.
  T** put() {
    reset();
    return &ptr_;
  }
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (T* p = std::exchange(ptr_, nullptr)) p->Release();
  }
  // Gives up ownership without releasing.
  T* release() { return std::exchange(ptr_, nullptr); }
  void swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

  // Hands a new reference out through an out-parameter.
  void copy_to(T** out) const {
    if (ptr_) ptr_->AddRef();
    *out = ptr_;
  }

  template <typename U>
  HRESULT query(ComPtr<U>* out) const {
    return ptr_ ? ptr_->QueryInterface(__uuidof(U), out->put_void()) : E_POINTER;
  }
  template <typename U>
  ComPtr<U> query() const {
    ComPtr<U> out;
    query(&out);
    return out;
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace hv
