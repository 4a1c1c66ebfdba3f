#include "mux/ModuleThread.h"

#include <memory>

#include "common/ModuleLock.h"

namespace hv {
namespace {

struct ThreadStart {
  std::function<void()> body;
  HMODULE module = nullptr;
};

DWORD WINAPI RunModuleThread(void* parameter) {
  HMODULE module = nullptr;
  {
    std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
    module = start->module;
    start->body();
  }
  // The last reference on the DLL may be this one: return into the loader,
  // not into code of the DLL.
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace

bool StartModuleThread(std::function<void()> body) {
  auto start = std::make_unique<ThreadStart>();
  start->body = std::move(body);
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&RunModuleThread),
                          &start->module))
    return false;
  HMODULE module = start->module;
  HANDLE thread = CreateThread(nullptr, 0, &RunModuleThread, start.get(), 0, nullptr);
  if (!thread) {
    FreeLibrary(module);
    return false;
  }
  start.release();
  CloseHandle(thread);
  return true;
}

}  // namespace hv
