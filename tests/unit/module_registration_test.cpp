// Registration, class factories and the unload decision of TAVDiagnostics.dll,
// exercised through its exported functions as COM and installers call them.
#include <string>

#include "support/TestSupport.h"

namespace hv::test {
namespace {

using DllFunction = HRESULT(WINAPI*)();
using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// The default value (or a named value) of a key under HKEY_CLASSES_ROOT;
// "<missing>" when the key or value does not exist.
std::wstring ClassesValue(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  const LONG status = RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size);
  return status == ERROR_SUCCESS ? std::wstring(buffer) : L"<missing>";
}

bool ClassesKeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

class LibraryTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    path_ = BinDir() + L"TAVDiagnostics.dll";
    module_ = LoadLibraryW(path_.c_str());
    ASSERT_NE(module_, nullptr) << Narrow(path_);
    registerServer_ = reinterpret_cast<DllFunction>(GetProcAddress(module_, "DllRegisterServer"));
    unregisterServer_ = reinterpret_cast<DllFunction>(GetProcAddress(module_, "DllUnregisterServer"));
    canUnloadNow_ = reinterpret_cast<DllFunction>(GetProcAddress(module_, "DllCanUnloadNow"));
    getClassObject_ = reinterpret_cast<GetClassObjectFunction>(GetProcAddress(module_, "DllGetClassObject"));
    ASSERT_TRUE(registerServer_ && unregisterServer_ && canUnloadNow_ && getClassObject_);
  }
  void TearDown() override {
    // Leave the library registered for the tests that follow.
    registerServer_();
    FreeLibrary(module_);
    ComTest::TearDown();
  }

  std::wstring path_;
  HMODULE module_ = nullptr;
  DllFunction registerServer_ = nullptr;
  DllFunction unregisterServer_ = nullptr;
  DllFunction canUnloadNow_ = nullptr;
  GetClassObjectFunction getClassObject_ = nullptr;
};

struct ExpectedClass {
  const CLSID* clsid;
  const wchar_t* progId;
  const wchar_t* description;
};

const ExpectedClass kClasses[] = {
    {&CLSID_TAVDiagnosticLogItem, L"TAVDiagnostics.TAVDiagnosticLogItem", L"TAVDiagnosticLogItem Class"},
    {&CLSID_TAVDiagnosticLogMgr, L"TAVDiagnostics.TAVDiagnosticsLogMgr", L"TAVDiagnosticsLogMgr Class"},
};

TEST_F(LibraryTest, RegistrationWritesAndRemovesEveryEntryOfBothClasses) {
  ASSERT_EQ(unregisterServer_(), S_OK);
  // A stale value below the class key must not survive: the key is replaced whole.
  const std::wstring itemKey = L"CLSID\\" + GuidText(CLSID_TAVDiagnosticLogItem);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, (itemKey + L"\\Programmable").c_str(), L"Stale", REG_SZ, L"x", 4),
            ERROR_SUCCESS);
  ASSERT_EQ(registerServer_(), S_OK);

  for (const ExpectedClass& c : kClasses) {
    const std::wstring clsid = GuidText(*c.clsid);
    const std::wstring progId = c.progId;
    const std::wstring versioned = progId + L".1";
    const std::wstring classKey = L"CLSID\\" + clsid;
    SCOPED_TRACE(Narrow(progId));
    EXPECT_EQ(ClassesValue(versioned), c.description);
    EXPECT_EQ(ClassesValue(versioned + L"\\CLSID"), clsid);
    EXPECT_EQ(ClassesValue(progId), c.description);
    EXPECT_EQ(ClassesValue(progId + L"\\CLSID"), clsid);
    EXPECT_EQ(ClassesValue(progId + L"\\CurVer"), versioned);
    EXPECT_EQ(ClassesValue(classKey), c.description);
    EXPECT_EQ(ClassesValue(classKey + L"\\ProgID"), versioned);
    EXPECT_EQ(ClassesValue(classKey + L"\\VersionIndependentProgID"), progId);
    EXPECT_TRUE(ClassesKeyExists(classKey + L"\\Programmable"));
    EXPECT_EQ(ClassesValue(classKey + L"\\Programmable", L"Stale"), L"<missing>");
    EXPECT_EQ(ClassesValue(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(_wcsicmp(ClassesValue(classKey + L"\\InprocServer32").c_str(), path_.c_str()), 0)
        << Narrow(ClassesValue(classKey + L"\\InprocServer32"));
    EXPECT_EQ(ClassesValue(classKey + L"\\TypeLib"), GuidText(LIBID_TAVDIAGNOSTICSLib));
  }
  // The type library is registered too, and can be loaded by its id.
  ComPtr<ITypeLib> lib;
  EXPECT_EQ(LoadRegTypeLib(LIBID_TAVDIAGNOSTICSLib, 1, 1, 0x0409, lib.put()), S_OK);
  lib.reset();

  ASSERT_EQ(unregisterServer_(), S_OK);
  for (const ExpectedClass& c : kClasses) {
    SCOPED_TRACE(Narrow(c.progId));
    EXPECT_FALSE(ClassesKeyExists(c.progId));
    EXPECT_FALSE(ClassesKeyExists(std::wstring(c.progId) + L".1"));
    EXPECT_FALSE(ClassesKeyExists(L"CLSID\\" + GuidText(*c.clsid)));
  }
  EXPECT_TRUE(ClassesKeyExists(L"CLSID"));
  EXPECT_FALSE(ClassesKeyExists(L"TypeLib\\" + GuidText(LIBID_TAVDIAGNOSTICSLib)));
  // Unregistering what is not registered is not a failure.
  EXPECT_EQ(unregisterServer_(), S_OK);
}

TEST_F(LibraryTest, OnlyTheTwoClassesOfTheTableAreCreatable) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(getClassObject_(CLSID_TAVDiagnosticLogItem, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(getClassObject_(CLSID_TAVDiagnosticLogItem, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(getClassObject_(CLSID_TAVDiagnosticLogMgr, IID_IClassFactory, factory.put_void()), S_OK);
  for (const CLSID* other : {&CLSID_TAVDiagnosticLog, &CLSID_TAVDiagnosticAdaptor, &CLSID_TAVDiagnosticAdaptors,
                             &CLSID_TAVDiagnosticLogDisplay, &CLSID_MsgListener, &GUID_NULL}) {
    void* unused = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject_(*other, IID_IClassFactory, &unused), CLASS_E_CLASSNOTAVAILABLE)
        << Narrow(GuidText(*other));
  }
}

// A minimal controlling object for aggregation: it counts its own references
// and hands every query but IUnknown to the inner object.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST_F(LibraryTest, BothClassesCanBeAggregatedOnlyThroughIUnknown) {
  for (const ExpectedClass& c : kClasses) {
    SCOPED_TRACE(Narrow(c.progId));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(getClassObject_(*c.clsid, IID_IClassFactory, factory.put_void()), S_OK);
    Outer outer;
    void* object = nullptr;
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IDispatch, &object), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);

    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
    ASSERT_NE(outer.inner, nullptr);
    EXPECT_EQ(outer.refs, 1u) << "creating the inner object must not hold the outer one";
    // An interface of the inner object counts on the outer object, and its
    // IUnknown is the outer object's.
    IUnknown* inner = outer.inner;
    IUnknown* dual = nullptr;
    const IID& dualIid = c.clsid == &CLSID_TAVDiagnosticLogItem ? IID_ITAVDiagnosticLogItemEx
                                                                : IID_ITAVDiagnosticLogMgrEx;
    ASSERT_EQ(inner->QueryInterface(dualIid, reinterpret_cast<void**>(&dual)), S_OK);
    EXPECT_EQ(outer.refs, 2u);
    IUnknown* identity = nullptr;
    ASSERT_EQ(dual->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    dual->Release();
    EXPECT_EQ(outer.refs, 1u);
    outer.inner = nullptr;
    EXPECT_EQ(inner->Release(), 0u);
  }
}

TEST_F(LibraryTest, CanUnloadNowOnlyWithoutObjectsAndServerLocks) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(getClassObject_(CLSID_TAVDiagnosticLogMgr, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_OK) << "a cached class factory alone does not keep the library";

  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_OK);

  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITAVDiagnosticLogMgrEx, mgr.put_void()), S_OK);
  EXPECT_EQ(canUnloadNow_(), S_FALSE);
  ComPtr<ITAVDiagnosticLog> log;
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(unique_bstr(SysAllocString(L"Station 1")).get(), nullptr, log.put()), S_OK);
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(log->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, nullptr, item.put()),
            S_OK);
  mgr.reset();
  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "the log and the item still live";
  log.reset();
  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "the item still lives";
  item.reset();
  EXPECT_EQ(canUnloadNow_(), S_OK);
}

}  // namespace
}  // namespace hv::test
