#include "common/ModuleLock.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace hv {
namespace {
LONG g_moduleLocks = 0;
}

void LockModule() { InterlockedIncrement(&g_moduleLocks); }
void UnlockModule() { InterlockedDecrement(&g_moduleLocks); }
LONG ModuleLockCount() { return InterlockedCompareExchange(&g_moduleLocks, 0, 0); }
HINSTANCE ThisModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

}  // namespace hv
