// Start-up and unload of TAVDiagnostics.dll: the trouble-shoot switch is read
// once at load, and an unload with live objects leaves one trace line.
#include "module/ModuleState.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

const std::wstring kKey = L"Software\\Corvala Software\\Halvern Diagnostics";
const char kUnloadLine[] = "HV Diag: TAVDiagnostics.DLL forced to unload with a non-zero reference count\r\n";

class SwitchTest : public ComTest {
 protected:
  void TearDown() override {
    DeleteMachineValue(kKey, L"TroubleShootMode");
    SetTroubleShootModeForTesting(false);
    ComTest::TearDown();
  }
};

TEST_F(SwitchTest, OnlyAThirtyTwoBitOneTurnsTheSwitchOn) {
  DeleteMachineValue(kKey, L"TroubleShootMode");
  ReadTroubleShootSwitch();
  EXPECT_FALSE(TroubleShootMode()) << "missing value";
  struct Case {
    DWORD value;
    bool on;
  } cases[] = {{1, true}, {0, false}, {2, false}};
  for (const Case& c : cases) {
    ASSERT_TRUE(SetMachineDword(kKey, L"TroubleShootMode", c.value));
    ReadTroubleShootSwitch();
    EXPECT_EQ(TroubleShootMode(), c.on) << "value " << c.value;
  }
  // A text "1" is not a 32-bit 1.
  ASSERT_TRUE(SetMachineString(kKey, L"TroubleShootMode", L"1"));
  ReadTroubleShootSwitch();
  EXPECT_FALSE(TroubleShootMode());
}

// Loads the library, creates one object through its factory and unloads the
// library while the object lives (it is deliberately never released).
void UnloadWithLiveObject() {
  HMODULE module = LoadLibraryW((BinDir() + L"TAVDiagnostics.dll").c_str());
  ASSERT_NE(module, nullptr);
  auto getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
      GetProcAddress(module, "DllGetClassObject"));
  ASSERT_NE(getClassObject, nullptr);
  IClassFactory* factory = nullptr;
  ASSERT_EQ(getClassObject(CLSID_TAVDiagnosticLogItem, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            S_OK);
  IUnknown* item = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&item)), S_OK);
  factory->Release();
  ASSERT_TRUE(FreeLibrary(module));
}

TEST_F(SwitchTest, UnloadWithLiveObjectsWritesTheLineOnlyWhenTheSwitchIsOn) {
  DebugOutputCapture capture;
  ASSERT_TRUE(capture.ok());

  ASSERT_TRUE(SetMachineDword(kKey, L"TroubleShootMode", 1));
  UnloadWithLiveObject();
  Sleep(200);
  std::vector<std::string> texts = capture.Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_EQ(texts[0], kUnloadLine);

  ASSERT_TRUE(SetMachineDword(kKey, L"TroubleShootMode", 0));
  UnloadWithLiveObject();
  Sleep(200);
  EXPECT_EQ(capture.Texts().size(), 1u) << "nothing more with the switch off";
}

}  // namespace
}  // namespace hv::test
