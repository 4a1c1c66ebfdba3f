// Registration entries of the creatable classes under HKEY_CLASSES_ROOT:
//   ProgId.1          = description, CLSID = {class id}
//   ProgId            = description, CLSID = {class id}, CurVer = ProgId.1
//   CLSID\{class id}  = description, ProgID, VersionIndependentProgID,
//                       Programmable, InprocServer32 (ThreadingModel Both), TypeLib
// The class's key under CLSID is replaced whole; "CLSID" itself is never removed.
#include <string>

#include "TAVDiagnostics.h"
#include "common/ComRegistration.h"
#include "common/Result.h"
#include "module/ClassTable.h"

namespace hv {
namespace {

HRESULT RegisterClassEntry(const ClassEntry& entry, const std::wstring& modulePath) {
  const std::wstring clsid = GuidText(*entry.clsid);
  const std::wstring progId = entry.progId;
  const std::wstring versioned = progId + L".1";
  const std::wstring classKey = L"CLSID\\" + clsid;
  RETURN_IF_FAILED(SetClassesValue(versioned, nullptr, entry.description));
  RETURN_IF_FAILED(SetClassesValue(versioned + L"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED(SetClassesValue(progId, nullptr, entry.description));
  RETURN_IF_FAILED(SetClassesValue(progId + L"\\CLSID", nullptr, clsid));
  RETURN_IF_FAILED(SetClassesValue(progId + L"\\CurVer", nullptr, versioned));
  RETURN_IF_FAILED(DeleteClassesTree(classKey));
  RETURN_IF_FAILED(SetClassesValue(classKey, nullptr, entry.description));
  RETURN_IF_FAILED(SetClassesValue(classKey + L"\\ProgID", nullptr, versioned));
  RETURN_IF_FAILED(SetClassesValue(classKey + L"\\VersionIndependentProgID", nullptr, progId));
  RETURN_IF_FAILED(CreateClassesKey(classKey + L"\\Programmable"));
  RETURN_IF_FAILED(SetClassesValue(classKey + L"\\InprocServer32", nullptr, modulePath));
  RETURN_IF_FAILED(SetClassesValue(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both"));
  RETURN_IF_FAILED(SetClassesValue(classKey + L"\\TypeLib", nullptr, GuidText(LIBID_TAVDIAGNOSTICSLib)));
  return S_OK;
}

HRESULT UnregisterClassEntry(const ClassEntry& entry) {
  const std::wstring progId = entry.progId;
  RETURN_IF_FAILED(DeleteClassesTree(progId + L".1"));
  RETURN_IF_FAILED(DeleteClassesTree(progId));
  RETURN_IF_FAILED(DeleteClassesTree(L"CLSID\\" + GuidText(*entry.clsid)));
  return S_OK;
}

}  // namespace

HRESULT RegisterServer() {
  const std::wstring modulePath = ThisModulePath();
  for (size_t i = 0; i < ClassTableSize(); ++i)
    RETURN_IF_FAILED(RegisterClassEntry(ClassTable()[i], modulePath));
  return RegisterTypeLibOf(modulePath);
}

HRESULT UnregisterServer() {
  for (size_t i = 0; i < ClassTableSize(); ++i) RETURN_IF_FAILED(UnregisterClassEntry(ClassTable()[i]));
  return UnregisterTypeLibVersion(LIBID_TAVDIAGNOSTICSLib, 1, 1, 0x0409);
}

}  // namespace hv
