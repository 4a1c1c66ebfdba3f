// Stand-ins for the security authority and the security directory, registered
// in this process under the components' class ids while a SecurityDoubles
// object lives. Every function may be called from any thread.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

namespace hv::doubles {

// The operations that can be made to fail.
enum Operation {
  kCreateAuthority,  // the authority's class factory
  kGetCredential,    // authority slot 9
  kCreateDirectory,  // the directory's class factory
  kResolveName,      // directory slot 8
  kReadProperties,   // directory slot 23
  kOperationCount
};

class SecurityDoubles {
 public:
  // Registers the class objects; the state starts empty.
  SecurityDoubles();
  ~SecurityDoubles();
  SecurityDoubles(const SecurityDoubles&) = delete;
  SecurityDoubles& operator=(const SecurityDoubles&) = delete;
  HRESULT registration() const { return registration_; }

  // Forgets properties, failures and calls; drops subscriptions; lets held
  // reads go.
  void Reset();
  // Sets a property of the audit policies (a VT_BOOL, VT_I4 or VT_BSTR
  // value); a new name goes to the end of the list.
  void SetValue(const wchar_t* name, VARTYPE type, LONG value, const wchar_t* text = nullptr);
  void SetBool(const wchar_t* name, bool value) { SetValue(name, VT_BOOL, value ? VARIANT_TRUE : VARIANT_FALSE); }
  // The next `count` calls of the operation fail with hr (-1: all of them).
  void Fail(Operation operation, LONG count, HRESULT hr);
  // The calls in order, separated by ";": "CreateAuthority",
  // "GetCredential(id,user)", "CreateDirectory", "ResolveName(name)",
  // "ReadProperties(path)", "Subscribe", "Unsubscribe", "ReleaseObject". A
  // call whose arguments break the directory's rules (an object id it did not
  // hand out, reserved values that are not zero, out pointers not cleared, a
  // cookie it does not know, a token it did not issue, a context that does
  // not name the calling computer, process, thread and application) is
  // followed by "!".
  std::string Calls();
  // The resource named by the last directory operation's context (GUID_NULL
  // if none).
  GUID LastResource();
  // Authorities, credentials and directories alive (created and not released).
  LONG LiveObjects();
  // Subscriptions made and not yet unsubscribed.
  LONG Subscriptions();
  // Calls ObjectChanged (objectName = name, which may be null) on every
  // subscriber once, on the calling thread; the number called. *lastResult
  // receives the last one's result.
  LONG Notify(const wchar_t* name, HRESULT* lastResult = nullptr);
  // While held, ReadProperties waits (up to 30 s) until the hold is released;
  // WaitForHeldRead waits until a read is being held (false on time-out).
  void HoldReads(bool hold);
  bool WaitForHeldRead(DWORD timeoutMs);

 private:
  DWORD cookies_[2] = {};
  HRESULT registration_ = E_FAIL;
};

}  // namespace hv::doubles
