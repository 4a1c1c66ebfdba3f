// The module lock count: live objects and server locks that keep the library
// loaded. DllCanUnloadNow answers S_OK only when it is 0.
#pragma once
#include <windows.h>

namespace hv {

void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The handle of the image this code is linked into (the DLL, or a test program
// that links the library's core statically).
HINSTANCE ThisModule();

// A member that holds one module lock from construction to destruction.
class ModuleLockHolder {
 public:
  ModuleLockHolder() { LockModule(); }
  ~ModuleLockHolder() { UnlockModule(); }
  ModuleLockHolder(const ModuleLockHolder&) = delete;
  ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

}  // namespace hv
