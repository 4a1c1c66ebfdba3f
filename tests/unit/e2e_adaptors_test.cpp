// The adaptor list and a category change against the real Mux service: the
// library, HVMux.dll and tarnhost with its SQLite store, as a viewer tool
// meets them.
#include <memory>
#include <string>
#include <vector>

#include "common/Result.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

class AdaptorsEndToEnd : public ComTest {
 protected:
  void SetUp() override {
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST); no adaptors to list";
    ComTest::SetUp();
    host_ = std::make_unique<HostProcess>(::testing::UnitTest::GetInstance()->current_test_info()->name());
    ASSERT_TRUE(host_->Start()) << host_->Log();
    ASSERT_EQ(CreateManager(mgr_.put()), S_OK);
    ComPtr<ITAVDiagnosticLog> log;
    ASSERT_EQ(mgr_->CreateTAVDiagnosticLog(Bstr(L"Line 7"), Bstr(L"Press"), log.put()), S_OK);
    ASSERT_EQ(log.query(&log_), S_OK);
    language_ = LoadLibraryExW((BinDir() + L"TAVDiagnosticsENU.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(language_, nullptr);
  }
  void TearDown() override {
    log_.reset();
    mgr_.reset();
    host_.reset();
    if (language_) FreeLibrary(language_);
    ComTest::TearDown();
  }

  BSTR Bstr(const wchar_t* text) {
    strings_.emplace_back(SysAllocString(text));
    return strings_.back().get();
  }

  struct Adaptor {
    ComPtr<ITAVDiagnosticAdaptor> object;
    long audience = 0, severity = 0;
    std::wstring clsid, name;
    VARIANT_BOOL reading = 0;
    long flags[4] = {};
  };
  std::vector<Adaptor> List() {
    std::vector<Adaptor> adaptors;
    ComPtr<IEnumVARIANT> list;
    EXPECT_EQ(mgr_->GetAdaptorInfo(nullptr, list.put()), S_OK);
    if (!list) return adaptors;
    VARIANT slots[4];
    ULONG fetched = 0;
    EXPECT_EQ(list->Next(4, slots, &fetched), S_FALSE);
    for (ULONG i = 0; i < fetched; ++i) {
      Adaptor a;
      EXPECT_EQ(slots[i].vt, VT_UNKNOWN);
      EXPECT_EQ(slots[i].punkVal->QueryInterface(IID_ITAVDiagnosticAdaptor, a.object.put_void()), S_OK);
      VariantClear(&slots[i]);
      TAVDiagAudience audience;
      TAVDiagSeverity severity;
      unique_bstr clsid, name;
      EXPECT_EQ(a.object->GetAdaptorSpecifics(&audience, &severity, clsid.put(), name.put(), &a.reading), S_OK);
      a.audience = audience;
      a.severity = severity;
      a.clsid = clsid.get();
      a.name = name.get();
      for (int k = 0; k < 4; ++k) {
        TAVDiagSeverity enabled = static_cast<TAVDiagSeverity>(-1);
        EXPECT_EQ(a.object->GetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(1 << k), &enabled), S_OK);
        a.flags[k] = enabled;
      }
      adaptors.push_back(a);
    }
    return adaptors;
  }

  HRESULT LogNow(TAVDiagSeverity severity, TAVDiagAudience audience, const wchar_t* text) {
    VARIANT message;
    message.vt = VT_BSTR;
    message.bstrVal = Bstr(text);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    RETURN_IF_FAILED(log_->BuildItemEx(nullptr, Bstr(L"viewer"), severity, audience, 0, message, nullptr, nullptr,
                                       nullptr, item.put()));
    return log_->LogThisItemEx(item.get(), VARIANT_TRUE, 10000);
  }

  std::string Rows(const std::string& sql) { return host_->Query(sql); }

  std::wstring Text(UINT id, const std::vector<std::wstring>& insertions = {}) {
    wchar_t buffer[1024] = {};
    std::wstring text(buffer, LoadStringW(language_, id, buffer, 1024));
    for (size_t i = 0; i < insertions.size(); ++i) {
      const std::wstring place = L"%" + std::to_wstring(i + 1);
      for (size_t at = text.find(place); at != std::wstring::npos; at = text.find(place, at + insertions[i].size()))
        text.replace(at, place.size(), insertions[i]);
    }
    return text;
  }

  std::unique_ptr<HostProcess> host_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  ComPtr<ITAVDiagnosticLogEx> log_;
  std::vector<unique_bstr> strings_;
  HMODULE language_ = nullptr;
};

TEST_F(AdaptorsEndToEnd, TheHostsAdaptorsAreListedWithTheirNamesAndMasks) {
  const std::vector<Adaptor> adaptors = List();
  ASSERT_EQ(adaptors.size(), 2u) << host_->Log();
  EXPECT_EQ(adaptors[0].clsid, L"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}");
  EXPECT_EQ(adaptors[0].name, L"Message store");
  EXPECT_EQ(adaptors[0].audience, 15);
  EXPECT_EQ(adaptors[0].severity, 15);
  EXPECT_EQ(adaptors[0].reading, 1) << "the store can be read from";
  for (long flags : adaptors[0].flags) EXPECT_EQ(flags, 15) << "the store takes everything";
  EXPECT_EQ(adaptors[1].clsid, L"{ED34F366-7CA7-4E2D-824E-7213D595AFB2}");
  EXPECT_EQ(adaptors[1].name, L"Syslog forwarder");
  EXPECT_EQ(adaptors[1].audience, 15);
  EXPECT_EQ(adaptors[1].severity, 15);
  EXPECT_EQ(adaptors[1].reading, 0);
  for (long flags : adaptors[1].flags) EXPECT_EQ(flags, 0) << "the forwarder takes nothing until told";
}

TEST_F(AdaptorsEndToEnd, ACategorySwitchedOffIsNoLongerStoredAndTheChangeIsAudited) {
  ASSERT_EQ(LogNow(TAVDiagSeverity_Info, TAVDiagAudience_Eng, L"info before"), S_OK);
  std::vector<Adaptor> adaptors = List();
  ASSERT_EQ(adaptors.size(), 2u) << host_->Log();
  ITAVDiagnosticAdaptor* store = adaptors[0].object.get();

  // Eng keeps Error and Warning only.
  ASSERT_EQ(store->SetMsgCategoryEnableFlags(TAVDiagAudience_Eng, static_cast<TAVDiagSeverity>(3)), S_OK);
  // The change went out on the list's connection; a round trip on it comes
  // back only after the host has read the change.
  adaptors = List();
  ASSERT_EQ(adaptors.size(), 2u);
  EXPECT_EQ(adaptors[0].flags[2], 3) << "the host applied the change";
  EXPECT_EQ(adaptors[0].flags[3], 15) << "other audiences are untouched";

  EXPECT_EQ(LogNow(TAVDiagSeverity_Info, TAVDiagAudience_Eng, L"info after"), S_OK) << "taken by no adaptor";
  EXPECT_EQ(LogNow(TAVDiagSeverity_Warning, TAVDiagAudience_Eng, L"warning after"), S_OK);
  EXPECT_EQ(LogNow(TAVDiagSeverity_Info, TAVDiagAudience_Op, L"info for operations"), S_OK);
  EXPECT_EQ(Rows("select message_text from messages where provider = 'Press' order by id"),
            "info before\nwarning after\ninfo for operations\n");

  // The audit message about the change, with the English library's texts.
  const std::wstring audit = Text(110, {Text(121), L"Message store"}) +
                             Text(111, {Text(127), L"Enabled", L"Disabled"}) +
                             Text(111, {Text(126), L"Enabled", L"Disabled"});
  const std::string expected = "8|9|0|Halvern Diagnostics|" + Narrow(audit) + "\n";
  EXPECT_EQ(host_->QueryUntil("select severity, audience, verbosity, provider, message_text from messages "
                        "where provider = 'Halvern Diagnostics'",
                        expected),
            expected)
      << host_->Log();
  // The host's own record of the change names the account that made it.
  const std::string hostAudit = "8|15|1\n";
  EXPECT_EQ(host_->QueryUntil("select severity, audience, instr(message_text, 'to VELTRA 15, Dev 15, Eng 3, Op 15 by ' "
                              "|| user_name) > 0 from messages where provider = 'tarnhost'",
                              hostAudit),
            hostAudit);
}

}  // namespace
}  // namespace hv::test
