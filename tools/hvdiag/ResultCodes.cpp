#include "tools/hvdiag/ResultCodes.h"

#include <winerror.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstdio>

#include "common/Unique.h"
#include "tools/hvdiag/Console.h"

namespace hv::diag {
namespace {

struct Code {
  HRESULT hr;
  const wchar_t* name;
};

#define HV_CODE(c) {static_cast<HRESULT>(c), L## #c}
#define HV_WIN32(c) {HRESULT_FROM_WIN32(c), L"HRESULT_FROM_WIN32(" L## #c L")"}

const Code kCodes[] = {
    HV_CODE(S_OK), HV_CODE(S_FALSE),
    // Generic COM results.
    HV_CODE(E_NOTIMPL), HV_CODE(E_NOINTERFACE), HV_CODE(E_POINTER), HV_CODE(E_ABORT), HV_CODE(E_FAIL),
    HV_CODE(E_UNEXPECTED), HV_CODE(E_ACCESSDENIED), HV_CODE(E_HANDLE), HV_CODE(E_OUTOFMEMORY),
    HV_CODE(E_INVALIDARG), HV_CODE(E_PENDING),
    // Object creation and registration.
    HV_CODE(CO_E_NOTINITIALIZED), HV_CODE(CO_E_ALREADYINITIALIZED), HV_CODE(CO_E_CLASSSTRING),
    HV_CODE(CO_E_IIDSTRING), HV_CODE(CO_E_DLLNOTFOUND), HV_CODE(CO_E_ERRORINDLL), HV_CODE(CO_E_APPNOTFOUND),
    HV_CODE(CO_E_SERVER_EXEC_FAILURE), HV_CODE(CO_E_OBJNOTCONNECTED), HV_CODE(CO_E_OBJNOTREG),
    HV_CODE(CO_E_BAD_PATH), HV_CODE(CLASS_E_NOAGGREGATION), HV_CODE(CLASS_E_CLASSNOTAVAILABLE),
    HV_CODE(REGDB_E_READREGDB), HV_CODE(REGDB_E_WRITEREGDB), HV_CODE(REGDB_E_KEYMISSING),
    HV_CODE(REGDB_E_INVALIDVALUE), HV_CODE(REGDB_E_CLASSNOTREG), HV_CODE(REGDB_E_IIDNOTREG),
    // Calls between apartments and processes.
    HV_CODE(RPC_E_CALL_REJECTED), HV_CODE(RPC_E_CALL_CANCELED), HV_CODE(RPC_E_DISCONNECTED),
    HV_CODE(RPC_E_SERVER_DIED), HV_CODE(RPC_E_SERVERFAULT), HV_CODE(RPC_E_WRONG_THREAD),
    HV_CODE(RPC_E_CHANGED_MODE), HV_CODE(RPC_E_TIMEOUT), HV_CODE(RPC_E_VERSION_MISMATCH),
    HV_CODE(RPC_E_INVALID_DATA), HV_CODE(RPC_E_UNEXPECTED),
    // Connection points.
    HV_CODE(CONNECT_E_NOCONNECTION), HV_CODE(CONNECT_E_ADVISELIMIT), HV_CODE(CONNECT_E_CANNOTCONNECT),
    HV_CODE(CONNECT_E_OVERRIDDEN),
    // OLE Automation.
    HV_CODE(DISP_E_UNKNOWNINTERFACE), HV_CODE(DISP_E_MEMBERNOTFOUND), HV_CODE(DISP_E_PARAMNOTFOUND),
    HV_CODE(DISP_E_TYPEMISMATCH), HV_CODE(DISP_E_UNKNOWNNAME), HV_CODE(DISP_E_NONAMEDARGS),
    HV_CODE(DISP_E_BADVARTYPE), HV_CODE(DISP_E_EXCEPTION), HV_CODE(DISP_E_OVERFLOW), HV_CODE(DISP_E_BADINDEX),
    HV_CODE(DISP_E_UNKNOWNLCID), HV_CODE(DISP_E_ARRAYISLOCKED), HV_CODE(DISP_E_BADPARAMCOUNT),
    HV_CODE(DISP_E_PARAMNOTOPTIONAL), HV_CODE(DISP_E_BADCALLEE), HV_CODE(DISP_E_NOTACOLLECTION),
    HV_CODE(DISP_E_DIVBYZERO), HV_CODE(TYPE_E_ELEMENTNOTFOUND), HV_CODE(TYPE_E_LIBNOTREGISTERED),
    HV_CODE(TYPE_E_CANTLOADLIBRARY), HV_CODE(TYPE_E_TYPEMISMATCH), HV_CODE(TYPE_E_OUTOFBOUNDS),
    HV_CODE(TYPE_E_INVALIDSTATE), HV_CODE(TYPE_E_IOERROR), HV_CODE(TYPE_E_REGISTRYACCESS),
    HV_CODE(TYPE_E_UNDEFINEDTYPE), HV_CODE(TYPE_E_DLLFUNCTIONNOTFOUND), HV_CODE(TYPE_E_BADMODULEKIND),
    // Structured storage (item streams, export files).
    HV_CODE(STG_E_INVALIDFUNCTION), HV_CODE(STG_E_FILENOTFOUND), HV_CODE(STG_E_PATHNOTFOUND),
    HV_CODE(STG_E_ACCESSDENIED), HV_CODE(STG_E_INVALIDPOINTER), HV_CODE(STG_E_MEDIUMFULL),
    HV_CODE(STG_E_READFAULT), HV_CODE(STG_E_WRITEFAULT), HV_CODE(STG_E_SHAREVIOLATION),
    HV_CODE(STG_E_INVALIDPARAMETER), HV_CODE(STG_E_REVERTED),
    // System errors: files, registry, resources, waits.
    HV_WIN32(ERROR_FILE_NOT_FOUND), HV_WIN32(ERROR_PATH_NOT_FOUND), HV_WIN32(ERROR_TOO_MANY_OPEN_FILES),
    HV_WIN32(ERROR_SHARING_VIOLATION), HV_WIN32(ERROR_HANDLE_EOF), HV_WIN32(ERROR_DISK_FULL),
    HV_WIN32(ERROR_INVALID_NAME), HV_WIN32(ERROR_MOD_NOT_FOUND), HV_WIN32(ERROR_PROC_NOT_FOUND),
    HV_WIN32(ERROR_BAD_PATHNAME), HV_WIN32(ERROR_ALREADY_EXISTS), HV_WIN32(ERROR_FILE_EXISTS),
    HV_WIN32(ERROR_INSUFFICIENT_BUFFER), HV_WIN32(ERROR_INVALID_DATA), HV_WIN32(ERROR_NO_MORE_ITEMS),
    HV_WIN32(ERROR_BROKEN_PIPE), HV_WIN32(ERROR_MR_MID_NOT_FOUND), HV_WIN32(ERROR_TIMEOUT),
    HV_WIN32(WAIT_TIMEOUT), HV_WIN32(ERROR_SEM_TIMEOUT), HV_WIN32(ERROR_OPERATION_ABORTED),
    HV_WIN32(ERROR_POSSIBLE_DEADLOCK), HV_WIN32(ERROR_NOT_FOUND), HV_WIN32(ERROR_CANCELLED),
    HV_WIN32(ERROR_RESOURCE_DATA_NOT_FOUND), HV_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND),
    HV_WIN32(ERROR_RESOURCE_NAME_NOT_FOUND), HV_WIN32(ERROR_RESOURCE_LANG_NOT_FOUND),
    HV_WIN32(ERROR_CONNECTION_REFUSED), HV_WIN32(ERROR_CONNECTION_ABORTED), HV_WIN32(ERROR_NETNAME_DELETED),
    HV_WIN32(ERROR_GRACEFUL_DISCONNECT), HV_WIN32(ERROR_MESSAGE_EXCEEDS_MAX_SIZE),
    HV_WIN32(ERROR_NOT_SUPPORTED),
    // Winsock, as the Mux component passes its connection failures on.
    HV_WIN32(WSAEINTR), HV_WIN32(WSAEACCES), HV_WIN32(WSAEINVAL), HV_WIN32(WSAEMFILE),
    HV_WIN32(WSAEWOULDBLOCK), HV_WIN32(WSAEMSGSIZE), HV_WIN32(WSAEADDRINUSE), HV_WIN32(WSAEADDRNOTAVAIL),
    HV_WIN32(WSAENETDOWN), HV_WIN32(WSAENETUNREACH), HV_WIN32(WSAENETRESET), HV_WIN32(WSAECONNABORTED),
    HV_WIN32(WSAECONNRESET), HV_WIN32(WSAENOBUFS), HV_WIN32(WSAENOTCONN), HV_WIN32(WSAESHUTDOWN),
    HV_WIN32(WSAETIMEDOUT), HV_WIN32(WSAECONNREFUSED), HV_WIN32(WSAEHOSTDOWN), HV_WIN32(WSAEHOSTUNREACH),
    HV_WIN32(WSASYSNOTREADY), HV_WIN32(WSANOTINITIALISED), HV_WIN32(WSAHOST_NOT_FOUND), HV_WIN32(WSATRY_AGAIN),
    HV_WIN32(WSANO_RECOVERY), HV_WIN32(WSANO_DATA),
};

#undef HV_CODE
#undef HV_WIN32

std::wstring Trimmed(std::wstring text) {
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                           text.back() == L'.'))
    text.pop_back();
  return text;
}

}  // namespace

std::wstring SymbolicName(HRESULT hr) {
  for (const Code& code : kCodes)
    if (code.hr == hr) return code.name;
  return {};
}

std::wstring Hex(HRESULT hr) {
  wchar_t text[16];
  swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

std::wstring SystemText(HRESULT hr) {
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = length && buffer ? std::wstring(buffer, length) : std::wstring();
  if (buffer) LocalFree(buffer);
  return Trimmed(text);
}

std::wstring TakeErrorInfoText() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return {};
  unique_bstr description;
  info->GetDescription(description.put());
  info->Release();
  return description ? Trimmed(description.get()) : std::wstring();
}

void ClearErrorInfo() { SetErrorInfo(0, nullptr); }

std::wstring FailureText(const std::wstring& what, HRESULT hr) {
  std::wstring text = TakeErrorInfoText();
  if (text.empty()) text = SystemText(hr);
  std::wstring name = SymbolicName(hr);
  std::wstring line = what + L" failed: " + Hex(hr);
  if (!name.empty()) line += L" " + name;
  if (!text.empty()) line += L": " + text;
  return line;
}

int ReportFailure(const std::wstring& command, const std::wstring& what, HRESULT hr) {
  Console::Err(L"hvdiag " + command + L": " + FailureText(what, hr) + L"\n");
  return kExitFailed;
}

int ReportUsage(const std::wstring& command, const std::wstring& sentence) {
  const std::wstring who = command.empty() ? L"hvdiag" : L"hvdiag " + command;
  Console::Err(who + L": " + Hex(E_INVALIDARG) + L" E_INVALIDARG: " + sentence + L" (see \"" + who +
               L" --help\")\n");
  return kExitUsage;
}

}  // namespace hv::diag
