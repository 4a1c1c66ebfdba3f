#include "common/Dispatch.h"

#include <map>
#include <mutex>

#include "common/ModuleLock.h"

namespace hv {
namespace {

std::mutex g_typeInfoMutex;
ITypeLib* g_typeLib = nullptr;  // kept until the process ends
std::map<GUID, ITypeInfo*, bool (*)(const GUID&, const GUID&)> g_typeInfos(
    [](const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) < 0; });

}  // namespace

HRESULT LoadLibraryTypeLib(ITypeLib** lib) {
  if (!lib) return E_POINTER;
  *lib = nullptr;
  std::lock_guard<std::mutex> lock(g_typeInfoMutex);
  if (!g_typeLib) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(ThisModule(), path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return HRESULT_FROM_WIN32(GetLastError());
    const HRESULT hr = LoadTypeLibEx(path, REGKIND_NONE, &g_typeLib);
    if (FAILED(hr)) return hr;
  }
  g_typeLib->AddRef();
  *lib = g_typeLib;
  return S_OK;
}

HRESULT GetLibraryTypeInfo(REFIID iid, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadLibraryTypeLib(lib.put());
  if (FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(g_typeInfoMutex);
  auto found = g_typeInfos.find(iid);
  if (found == g_typeInfos.end()) {
    ITypeInfo* loaded = nullptr;
    hr = lib->GetTypeInfoOfGuid(iid, &loaded);
    if (FAILED(hr)) return hr;
    found = g_typeInfos.emplace(iid, loaded).first;
  }
  found->second->AddRef();
  *info = found->second;
  return S_OK;
}

}  // namespace hv
