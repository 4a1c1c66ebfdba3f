// A sample client of Halvern Diagnostics: logs three messages the way an
// application does, through the log manager, a log and its items.
//
//   hvsample_client.exe [LOCATION]
//
// Build it with TAVDiagnostics.h and the interface ids generated from the
// library's type library, and link ole32, oleaut32 and uuid.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstdio>

#include "TAVDiagnostics.h"

namespace {

// Prints what a call returned; true when it succeeded.
bool Check(const char* what, HRESULT hr) {
  if (SUCCEEDED(hr)) {
    std::printf("%-28s 0x%08lX\n", what, static_cast<unsigned long>(hr));
    return true;
  }
  std::printf("%-28s failed: 0x%08lX", what, static_cast<unsigned long>(hr));
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info) {
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text)) && text) std::printf(" %ls", text);
    SysFreeString(text);
    info->Release();
  }
  std::printf("\n");
  return false;
}

// A message given as text.
VARIANT Text(const wchar_t* text) {
  VARIANT message;
  VariantInit(&message);
  message.vt = VT_BSTR;
  message.bstrVal = SysAllocString(text);
  return message;
}

int LogMessages(ITAVDiagnosticLogMgrEx* manager, const wchar_t* location) {
  BSTR bstrLocation = SysAllocString(location);
  BSTR bstrProvider = SysAllocString(L"Pump");
  ITAVDiagnosticLog* plainLog = nullptr;
  ITAVDiagnosticLogEx* log = nullptr;
  ITAVDiagnosticLogItemEx* item = nullptr;
  ITAVDiagnosticLogItemEx* cause = nullptr;
  int failures = 0;

  // A log is bound to a location and a provider; its items carry both.
  HRESULT hr = manager->CreateTAVDiagnosticLog(bstrLocation, bstrProvider, &plainLog);
  if (!Check("CreateTAVDiagnosticLog", hr)) goto done;
  hr = plainLog->QueryInterface(IID_ITAVDiagnosticLogEx, reinterpret_cast<void**>(&log));
  if (!Check("ITAVDiagnosticLogEx", hr)) goto done;

  // Every item of this log gets an extended parameter "batch", an integer.
  {
    BSTR schema = SysAllocString(L"<schema><element name=\"Batch\" dt:type=\"int\"/></schema>");
    log->ExtendItemSchema(schema);
    SysFreeString(schema);
  }

  // 1. Info for operators, a text message, with its batch number; delivered
  //    synchronously: the call returns once the service has stored it.
  {
    VARIANT message = Text(L"Pump P-101 started by the sample client");
    hr = log->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Info, TAVDiagAudience_Op, 1, message, nullptr, nullptr,
                          nullptr, &item);
    VariantClear(&message);
    if (!Check("BuildItemEx (text)", hr)) goto done;
    VARIANT batch;
    VariantInit(&batch);
    batch.vt = VT_I4;
    batch.lVal = 4711;
    BSTR name = SysAllocString(L"batch");
    item->PutParam(name, batch);
    SysFreeString(name);
    failures += !Check("LogThisItemEx (text)", log->LogThisItemEx(item, VARIANT_TRUE, 10000));
    item->Release();
    item = nullptr;
  }

  // 2. A warning for engineers from the provider's string table: message 1002,
  //    "Pump %1 pressure %2!d! bar", with its two insertion arguments. It is
  //    formatted when someone reads it, in the reader's language.
  {
    SAFEARRAY* args = SafeArrayCreateVector(VT_VARIANT, 0, 2);
    LONG index = 0;
    VARIANT value = Text(L"P-101");
    SafeArrayPutElement(args, &index, &value);
    VariantClear(&value);
    index = 1;
    value.vt = VT_I4;
    value.lVal = 7;
    SafeArrayPutElement(args, &index, &value);
    VARIANT message;
    VariantInit(&message);
    message.vt = VT_I4;
    message.lVal = 1002;
    hr = log->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Warning, TAVDiagAudience_Eng, 2, message, &args, nullptr,
                          nullptr, &item);
    SafeArrayDestroy(args);
    if (!Check("BuildItemEx (resource 1002)", hr)) goto done;
    failures += !Check("LogThisItemEx (resource)", log->LogThisItemEx(item, VARIANT_TRUE, 10000));
    item->Release();
    item = nullptr;
  }

  // 3. An error for developers with a child item that explains it.
  {
    VARIANT message = Text(L"Seal temperature 92 C");
    hr = log->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Info, TAVDiagAudience_Dev, 3, message, nullptr, nullptr,
                          nullptr, &cause);
    VariantClear(&message);
    if (!Check("BuildItemEx (cause)", hr)) goto done;
    message = Text(L"Pump P-101 stopped");
    hr = log->BuildItemEx(nullptr, nullptr, TAVDiagSeverity_Error, TAVDiagAudience_Dev, 1, message, nullptr, nullptr,
                          nullptr, &item);
    VariantClear(&message);
    if (!Check("BuildItemEx (error)", hr)) goto done;
    failures += !Check("SetChild", item->SetChild(cause));
    failures += !Check("LogThisItemEx (error)", log->LogThisItemEx(item, VARIANT_TRUE, 10000));
  }

done:
  if (FAILED(hr)) ++failures;
  if (item) item->Release();
  if (cause) cause->Release();
  if (log) log->Release();
  if (plainLog) plainLog->Release();
  SysFreeString(bstrLocation);
  SysFreeString(bstrProvider);
  return failures;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* location = argc > 1 ? argv[1] : L"Line 3";
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  ITAVDiagnosticLogMgrEx* manager = nullptr;
  int failures = 1;
  // The manager is created first; it owns the connection to the service.
  if (Check("CoCreateInstance", CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_ALL,
                                                 IID_ITAVDiagnosticLogMgrEx, reinterpret_cast<void**>(&manager)))) {
    failures = LogMessages(manager, location);
    manager->Release();
  }
  CoUninitialize();
  std::printf(failures ? "%d calls failed\n" : "logged 3 messages\n", failures);
  return failures ? 1 : 0;
}
