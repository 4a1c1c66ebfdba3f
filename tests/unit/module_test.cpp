// TAVDiagnostics.dll through its exports as COM and installers call them, the
// manager's interfaces and lifetime, and the version resource of every binary.
#include "HVMux.h"
#include "common/ModuleLock.h"
#include "log/CTAVDiagnosticLog.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

const std::wstring kProductKey = L"Software\\Corvala Software\\Halvern Diagnostics";
using DllFunction = HRESULT(WINAPI*)();
using GetClassObjectFunction = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

unique_bstr Bstr(const wchar_t* text) { return unique_bstr(SysAllocString(text)); }

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// A value under HKEY_CLASSES_ROOT (without a name, the default), or "<missing>".
std::wstring ClassesValue(const std::wstring& path, const wchar_t* name = nullptr) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof(buffer);
  const LONG status = RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size);
  return status == ERROR_SUCCESS ? std::wstring(buffer) : L"<missing>";
}

bool ClassesKeyExists(const std::wstring& path) {
  unique_hkey key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// The library loaded by path and its exports.
struct Library {
  template <class F>
  F Export(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  const std::wstring path = BinDir() + L"TAVDiagnostics.dll";
  HMODULE module = LoadLibraryW(path.c_str());
  DllFunction registerServer = Export<DllFunction>("DllRegisterServer");
  DllFunction unregisterServer = Export<DllFunction>("DllUnregisterServer");
  DllFunction canUnloadNow = Export<DllFunction>("DllCanUnloadNow");
  GetClassObjectFunction getClassObject = Export<GetClassObjectFunction>("DllGetClassObject");
};

// These run first, while no test of this program holds the library.
class SwitchTest : public ComTest {
 protected:
  void TearDown() override {
    DeleteMachineValue(kProductKey, L"TroubleShootMode");
    SetTroubleShootModeForTesting(false);
    ComTest::TearDown();
  }
};

TEST_F(SwitchTest, OnlyAThirtyTwoBitOneTurnsTheSwitchOn) {
  DeleteMachineValue(kProductKey, L"TroubleShootMode");
  ReadTroubleShootSwitch();
  EXPECT_FALSE(TroubleShootMode()) << "missing value";
  for (DWORD value : {1, 0, 2}) {
    ASSERT_TRUE(SetMachineDword(kProductKey, L"TroubleShootMode", value));
    ReadTroubleShootSwitch();
    EXPECT_EQ(TroubleShootMode(), value == 1) << value;
  }
  ASSERT_TRUE(SetMachineString(kProductKey, L"TroubleShootMode", L"1"));
  ReadTroubleShootSwitch();
  EXPECT_FALSE(TroubleShootMode()) << "a text 1";
}

TEST_F(SwitchTest, AnUnloadWithLiveObjectsWritesOneLineOnlyWhenTheSwitchIsOn) {
  DebugOutputCapture capture;
  ASSERT_TRUE(capture.ok());
  for (DWORD on : {1, 0}) {
    ASSERT_TRUE(SetMachineDword(kProductKey, L"TroubleShootMode", on));
    // Loaded, one object created (and never released), unloaded.
    Library library;
    ASSERT_TRUE(library.getClassObject);
    ComPtr<IClassFactory> factory;
    void* item = nullptr;
    ASSERT_EQ(library.getClassObject(CLSID_TAVDiagnosticLogItem, IID_IClassFactory, factory.put_void()), S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &item), S_OK);
    factory.reset();
    ASSERT_TRUE(FreeLibrary(library.module));
    Sleep(200);
    const std::vector<std::string> texts = capture.Texts();
    ASSERT_EQ(texts.size(), 1u) << "switch " << on;
    EXPECT_EQ(texts[0], "HV Diag: TAVDiagnostics.DLL forced to unload with a non-zero reference count\r\n");
  }
}

class LibraryTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    ASSERT_TRUE(lib_.module && lib_.registerServer && lib_.unregisterServer && lib_.canUnloadNow &&
                lib_.getClassObject);
  }
  void TearDown() override {
    if (lib_.module) lib_.registerServer();  // left registered for the tests that follow
    if (lib_.module) FreeLibrary(lib_.module);
    ComTest::TearDown();
  }
  Library lib_;
};

const struct {
  const CLSID* clsid;
  const wchar_t* progId;
  const wchar_t* description;
  const IID* dual;
} kClasses[] = {
    {&CLSID_TAVDiagnosticLogItem, L"TAVDiagnostics.TAVDiagnosticLogItem", L"TAVDiagnosticLogItem Class",
     &IID_ITAVDiagnosticLogItemEx},
    {&CLSID_TAVDiagnosticLogMgr, L"TAVDiagnostics.TAVDiagnosticsLogMgr", L"TAVDiagnosticsLogMgr Class",
     &IID_ITAVDiagnosticLogMgrEx},
};

TEST_F(LibraryTest, RegistrationWritesAndRemovesEveryEntryOfEachClass) {
  ASSERT_EQ(lib_.unregisterServer(), S_OK);
  // A stale value below the class key must not survive: the key is replaced whole.
  const std::wstring itemKey = L"CLSID\\" + GuidText(CLSID_TAVDiagnosticLogItem);
  ASSERT_EQ(RegSetKeyValueW(HKEY_CLASSES_ROOT, (itemKey + L"\\Programmable").c_str(), L"Stale", REG_SZ, L"x", 4),
            ERROR_SUCCESS);
  ASSERT_EQ(lib_.registerServer(), S_OK);
  for (const auto& c : kClasses) {
    const std::wstring clsid = GuidText(*c.clsid), progId = c.progId, versioned = progId + L".1";
    const std::wstring classKey = L"CLSID\\" + clsid;
    SCOPED_TRACE(Narrow(progId));
    const std::pair<std::wstring, std::wstring> values[] = {
        {versioned, c.description},
        {versioned + L"\\CLSID", clsid},
        {progId, c.description},
        {progId + L"\\CLSID", clsid},
        {progId + L"\\CurVer", versioned},
        {classKey, c.description},
        {classKey + L"\\ProgID", versioned},
        {classKey + L"\\VersionIndependentProgID", progId},
        {classKey + L"\\TypeLib", GuidText(LIBID_TAVDIAGNOSTICSLib)}};
    for (const auto& [key, value] : values) EXPECT_EQ(ClassesValue(key), value) << Narrow(key);
    EXPECT_TRUE(ClassesKeyExists(classKey + L"\\Programmable"));
    EXPECT_EQ(ClassesValue(classKey + L"\\Programmable", L"Stale"), L"<missing>");
    EXPECT_EQ(ClassesValue(classKey + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(_wcsicmp(ClassesValue(classKey + L"\\InprocServer32").c_str(), lib_.path.c_str()), 0)
        << Narrow(ClassesValue(classKey + L"\\InprocServer32"));
  }
  ComPtr<ITypeLib> typeLib;
  EXPECT_EQ(LoadRegTypeLib(LIBID_TAVDIAGNOSTICSLib, 1, 1, 0x0409, typeLib.put()), S_OK);
  typeLib.reset();

  ASSERT_EQ(lib_.unregisterServer(), S_OK);
  for (const auto& c : kClasses)
    for (const std::wstring& key : {std::wstring(c.progId), std::wstring(c.progId) + L".1", L"CLSID\\" + GuidText(*c.clsid)})
      EXPECT_FALSE(ClassesKeyExists(key)) << Narrow(key);
  EXPECT_TRUE(ClassesKeyExists(L"CLSID"));
  EXPECT_FALSE(ClassesKeyExists(L"TypeLib\\" + GuidText(LIBID_TAVDIAGNOSTICSLib)));
  EXPECT_EQ(lib_.unregisterServer(), S_OK) << "unregistering what is not registered";

  // HVMux.dll takes its classes out of the registry and puts them back.
  Library mux{BinDir() + L"HVMux.dll"};
  ASSERT_NE(mux.module, nullptr);
  const std::wstring key = L"CLSID\\" + GuidText(CLSID_MuxService) + L"\\InprocServer32";
  ASSERT_EQ(mux.unregisterServer(), S_OK);
  EXPECT_FALSE(ClassesKeyExists(key));
  ASSERT_EQ(mux.registerServer(), S_OK);
  EXPECT_EQ(_wcsicmp(ClassesValue(key).c_str(), mux.path.c_str()), 0) << Narrow(ClassesValue(key));
  FreeLibrary(mux.module);
}

// A minimal controlling object: it counts its own references and hands every
// query but IUnknown to the inner object.
class Outer final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    if (!IsEqualIID(riid, IID_IUnknown)) return inner ? inner->QueryInterface(riid, ppv) : E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST_F(LibraryTest, OnlyTheTwoClassesAreCreatableAndAggregatedOnlyThroughIUnknown) {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(lib_.getClassObject(CLSID_TAVDiagnosticLogItem, IID_IClassFactory, nullptr), E_POINTER);
  for (const CLSID* other : {&CLSID_TAVDiagnosticLog, &CLSID_TAVDiagnosticAdaptor, &CLSID_TAVDiagnosticAdaptors,
                             &CLSID_TAVDiagnosticLogDisplay, &CLSID_MsgListener, &GUID_NULL}) {
    void* unused = reinterpret_cast<void*>(1);
    EXPECT_EQ(lib_.getClassObject(*other, IID_IClassFactory, &unused), CLASS_E_CLASSNOTAVAILABLE)
        << Narrow(GuidText(*other));
  }
  for (const auto& c : kClasses) {
    SCOPED_TRACE(Narrow(c.progId));
    ASSERT_EQ(lib_.getClassObject(*c.clsid, IID_IClassFactory, factory.put_void()), S_OK);
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
    IUnknown *dual = nullptr, *identity = nullptr;
    ASSERT_EQ(outer.inner->QueryInterface(*c.dual, reinterpret_cast<void**>(&dual)), S_OK);
    EXPECT_EQ(outer.refs, 2u);
    ASSERT_EQ(dual->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
    EXPECT_EQ(identity, static_cast<IUnknown*>(&outer));
    identity->Release();
    dual->Release();
    EXPECT_EQ(outer.refs, 1u);
    EXPECT_EQ(std::exchange(outer.inner, nullptr)->Release(), 0u);
  }
}

TEST_F(LibraryTest, CanUnloadNowOnlyWithoutObjectsAndServerLocks) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(lib_.getClassObject(CLSID_TAVDiagnosticLogMgr, IID_IClassFactory, factory.put_void()), S_OK);
  EXPECT_EQ(lib_.canUnloadNow(), S_OK) << "a cached class factory alone does not keep the library";
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(lib_.canUnloadNow(), S_FALSE);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(lib_.canUnloadNow(), S_OK);

  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ComPtr<ITAVDiagnosticLog> log;
  ComPtr<ITAVDiagnosticLogItem> item;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_ITAVDiagnosticLogMgrEx, mgr.put_void()), S_OK);
  EXPECT_EQ(lib_.canUnloadNow(), S_FALSE);
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(Bstr(L"Station 1").get(), nullptr, log.put()), S_OK);
  ASSERT_EQ(log->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Info, TAVDiagnosticType_User, 0, nullptr, item.put()),
            S_OK);
  mgr.reset();
  EXPECT_EQ(lib_.canUnloadNow(), S_FALSE) << "the log and the item still live";
  log.reset();
  EXPECT_EQ(lib_.canUnloadNow(), S_FALSE) << "the item still lives";
  item.reset();
  EXPECT_EQ(lib_.canUnloadNow(), S_OK);
}

using ManagerTest = ComTest;

TEST_F(ManagerTest, AnswersItsInterfacesButNotIDispatchAndIsCalledLateThroughTheTypeLibrary) {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateManager(mgr.put()), S_OK);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(mgr->QueryInterface(IID_ITAVDiagnosticLogMgr, unknown.put_void()), S_OK);
  EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(mgr.get())) << "both manager interfaces are one";
  for (const IID* iid : {&IID_IDispatch, &IID_IMuxSink, &IID_IConnectionPointContainer})
    EXPECT_EQ(mgr->QueryInterface(*iid, unknown.put_void()), E_NOINTERFACE) << Narrow(GuidText(*iid));
  for (const char* when : {"never connected", "a second time"}) EXPECT_EQ(mgr->ReleaseLogs(), S_OK) << when;

  ComPtr<ITAVDiagnosticLogDisplay> display;
  ASSERT_EQ(mgr->QueryInterface(IID_ITAVDiagnosticLogDisplay, display.put_void()), S_OK);
  UINT count = 0;
  EXPECT_EQ(mgr->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  using Member = std::tuple<IDispatch*, LPCOLESTR, DISPID>;
  const Member members[] = {{mgr.get(), L"CreateTAVDiagnosticLog", 1}, {mgr.get(), L"ReleaseLogs", 2},
                            {mgr.get(), L"ReadMessages", 3},           {mgr.get(), L"GetAdaptorInfo", 6},
                            {mgr.get(), L"ReadLocalMessages", 7},      {display.get(), L"GetGroupDefinition", 2}};
  for (auto [object, name, id] : members) {
    DISPID got = 0;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&name), 1, 0x0409, &got), S_OK) << Narrow(name);
    EXPECT_EQ(got, id) << Narrow(name);
  }
}

TEST_F(ManagerTest, LogsAreBoundToTheirContextAndProviderAndKeepTheirManager) {
  const LONG before = ModuleLockCount();
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgr.put_void()), S_OK);
  ComPtr<ITAVDiagnosticLog> first, second;
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(Bstr(L"Line 1").get(), Bstr(L"Pump").get(), first.put()), S_OK);
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(nullptr, nullptr, second.put()), S_OK);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(ModuleLockCount(), before + 3);
  // A log created without a context is bound to this machine.
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
  ASSERT_TRUE(GetComputerNameW(computer, &size));
  for (auto [log, location, provider] : {std::tuple{first.get(), L"Line 1", L"Pump"}, {second.get(), computer, nullptr}}) {
    ComPtr<ITAVDiagnosticLogItem> item;
    ASSERT_EQ(log->BuildItem(nullptr, nullptr, TAVDiagnosticKind_Error, TAVDiagnosticType_Debug, 2,
                             Bstr(L"Valve stuck").get(), item.put()),
              S_OK);
    unique_variant value;
    ASSERT_EQ(item->GetParam(Bstr(L"location").get(), value.put()), S_OK);
    EXPECT_STREQ(value->bstrVal, location);
    if (!provider) continue;
    ASSERT_EQ(item->GetParam(Bstr(L"provider").get(), value.put()), S_OK);
    EXPECT_STREQ(value->bstrVal, provider);
  }
  second.reset();
  mgr.reset();
  EXPECT_EQ(ModuleLockCount(), before + 2) << "the log keeps its manager";
  first.reset();
  EXPECT_EQ(ModuleLockCount(), before) << "the last log takes its manager with it";
}

std::string Dotted(DWORD high, DWORD low) {
  return std::to_string(HIWORD(high)) + "." + std::to_string(LOWORD(high)) + "." + std::to_string(HIWORD(low)) + "." +
         std::to_string(LOWORD(low));
}

TEST(VersionResource, EveryBinaryCarriesTheProjectVersion) {
  const char* expected = std::getenv("HV_VERSION");
  ASSERT_NE(expected, nullptr) << "HV_VERSION is not set";
  for (const wchar_t* file : {L"TAVDiagnostics.dll", L"TAVDiagnosticsENU.dll", L"TAVDiagnosticsDEU.dll", L"HVMux.dll",
                              L"HVScriptBridge.dll", L"hvdiag.exe", L"PumpENU.dll", L"PumpDEU.dll",
                              L"hvsample_client.exe"}) {
    SCOPED_TRACE(Narrow(file));
    const std::wstring path = BinDir() + file;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(path.c_str(), nullptr));
    ASSERT_FALSE(block.empty()) << "no version resource";
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(Dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), expected);
    EXPECT_EQ(Dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS), expected);
    // The texts may write the minor number with two digits ("2.00.10.150").
    for (const wchar_t* name : {L"FileVersion", L"ProductVersion", L"OriginalFilename"}) {
      wchar_t* text = nullptr;
      ASSERT_TRUE(VerQueryValueW(block.data(), (std::wstring(L"\\StringFileInfo\\040904B0\\") + name).c_str(),
                                 reinterpret_cast<void**>(&text), &length)) << Narrow(name);
      unsigned v[4] = {};
      if (name == std::wstring(L"OriginalFilename")) EXPECT_EQ(_wcsicmp(text, file), 0) << Narrow(text);
      else if (swscanf(text, L"%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]) != 4) ADD_FAILURE() << Narrow(text);
      else EXPECT_EQ(Dotted(MAKELONG(v[1], v[0]), MAKELONG(v[3], v[2])), expected) << Narrow(name);
    }
  }
}

}  // namespace
}  // namespace hv::test
