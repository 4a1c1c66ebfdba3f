// The adaptor objects and their enumerator, built directly from adaptor
// records: what an adaptor object reports, and how the enumerator walks,
// skips and hands out references.
#include <cstring>
#include <string>
#include <vector>

#include "HVMux.h"
#include "adaptors/CTAVDiagnosticAdaptor.h"
#include "adaptors/CTAVDiagnosticAdaptors.h"
#include "common/ModuleLock.h"
#include "support/FakeAdaptor.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

// {0C8E4D1A-5B2F-4A67-9E31-D4F0A2B6C871}
constexpr CLSID kClsid = {0x0c8e4d1a, 0x5b2f, 0x4a67, {0x9e, 0x31, 0xd4, 0xf0, 0xa2, 0xb6, 0xc8, 0x71}};

// The 272 bytes as the Mux sends them, written out field by field.
AdaptorInfoRecord Record(uint32_t audiences, uint32_t severities, const uint8_t (&flags)[4], const std::wstring& name) {
  std::vector<uint8_t> bytes(272, 0);
  for (int i = 0; i < 4; ++i) {
    bytes[i] = static_cast<uint8_t>(audiences >> (8 * i));
    bytes[4 + i] = static_cast<uint8_t>(severities >> (8 * i));
    bytes[8 + i] = flags[i];
  }
  for (size_t i = 0; i < name.size() && i < 130; ++i) {
    bytes[12 + 2 * i] = static_cast<uint8_t>(name[i] & 0xff);
    bytes[13 + 2 * i] = static_cast<uint8_t>(name[i] >> 8);
  }
  AdaptorInfoRecord record;
  std::memcpy(&record, bytes.data(), sizeof(record));
  return record;
}

ComPtr<CTAVDiagnosticAdaptor> MakeAdaptor(const std::wstring& name, IUnknown* adaptor,
                                          uint32_t audiences = 0x0f, uint32_t severities = 0x0f) {
  ComPtr<CTAVDiagnosticAdaptor> object = MakeObject<CTAVDiagnosticAdaptor>();
  const uint8_t flags[4] = {1, 3, 7, 15};
  object->Fill(nullptr, nullptr, kClsid, Record(audiences, severities, flags, name), adaptor);
  return object;
}

// The name of the adaptor object in an enumerator slot.
std::wstring NameIn(const VARIANT& slot) {
  if (slot.vt != VT_UNKNOWN || !slot.punkVal) return L"(not an object)";
  ComPtr<ITAVDiagnosticAdaptor> adaptor;
  if (FAILED(slot.punkVal->QueryInterface(IID_ITAVDiagnosticAdaptor, adaptor.put_void()))) return L"(no adaptor)";
  TAVDiagAudience audience;
  TAVDiagSeverity severity;
  unique_bstr clsid, name;
  VARIANT_BOOL reading = 0;
  adaptor->GetAdaptorSpecifics(&audience, &severity, clsid.put(), name.put(), &reading);
  return name.get() ? name.get() : L"";
}

class AdaptorEnumeratorTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    enumerator_ = MakeObject<CTAVDiagnosticAdaptors>();
    for (const wchar_t* name : {L"first", L"second", L"third"}) {
      ComPtr<FakeAdaptor> adaptor = MakeObject<FakeAdaptor>(true);
      ASSERT_EQ(enumerator_->Add(MakeAdaptor(name, adaptor->Inner()).get()), S_OK);
    }
    ASSERT_EQ(enumerator_->QueryInterface(IID_IEnumVARIANT, enum_.put_void()), S_OK);
  }
  void TearDown() override {
    Clear();
    enum_.reset();
    enumerator_.reset();
    ComTest::TearDown();
  }
  // Next into fresh slots; the names fetched, separated by ",".
  HRESULT Next(ULONG celt, ULONG* fetched, std::wstring* names) {
    Clear();
    slots_.resize(celt + 1);
    for (VARIANT& slot : slots_) VariantInit(&slot);
    *fetched = 12345;
    const HRESULT hr = enum_->Next(celt, slots_.data(), fetched);
    names->clear();
    for (ULONG i = 0; i < *fetched && i < celt; ++i) *names += (i ? L"," : L"") + NameIn(slots_[i]);
    return hr;
  }
  void Clear() {
    for (VARIANT& slot : slots_) VariantClear(&slot);
    slots_.clear();
  }

  ComPtr<CTAVDiagnosticAdaptors> enumerator_;
  ComPtr<IEnumVARIANT> enum_;
  std::vector<VARIANT> slots_;
};

TEST_F(AdaptorEnumeratorTest, NextHandsOutWhatIsLeftAndSaysWhenItRanShort) {
  ULONG fetched = 0;
  std::wstring names;
  EXPECT_EQ(Next(2, &fetched, &names), S_OK);
  EXPECT_EQ(fetched, 2u);
  EXPECT_EQ(names, L"first,second");
  EXPECT_EQ(slots_[2].vt, VT_EMPTY) << "nothing written past the elements fetched";
  EXPECT_EQ(Next(2, &fetched, &names), S_FALSE);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(names, L"third");
  EXPECT_EQ(Next(1, &fetched, &names), S_FALSE);
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(Next(0, &fetched, &names), S_OK) << "nothing asked, nothing missing";
  EXPECT_EQ(fetched, 0u);
  EXPECT_EQ(enum_->Reset(), S_OK);
  EXPECT_EQ(Next(3, &fetched, &names), S_OK);
  EXPECT_EQ(names, L"first,second,third");
}

TEST_F(AdaptorEnumeratorTest, NextRefusesMissingOutArgumentsAndWritesOnlyTypeAndPointer) {
  VARIANT slot;
  std::memset(&slot, 0xab, sizeof(slot));
  ULONG fetched = 77;
  EXPECT_EQ(enum_->Next(1, &slot, nullptr), E_INVALIDARG) << "a count is wanted even for one element";
  EXPECT_EQ(enum_->Next(1, nullptr, &fetched), E_INVALIDARG);
  EXPECT_EQ(fetched, 77u);
  EXPECT_EQ(slot.wReserved1, 0xabab) << "refused calls touch nothing";
  // Nothing was used up by the refused calls.
  ASSERT_EQ(enum_->Next(1, &slot, &fetched), S_OK);
  EXPECT_EQ(fetched, 1u);
  EXPECT_EQ(slot.vt, VT_UNKNOWN);
  EXPECT_EQ(slot.wReserved1, 0xabab);
  EXPECT_EQ(slot.wReserved2, 0xabab);
  EXPECT_EQ(slot.wReserved3, 0xabab);
  EXPECT_EQ(NameIn(slot), L"first");
  VariantClear(&slot);
}

TEST_F(AdaptorEnumeratorTest, SkipPastTheEndStartsOverButSkippingToTheEndDoesNot) {
  ULONG fetched = 0;
  std::wstring names;
  EXPECT_EQ(enum_->Skip(3), S_OK);
  EXPECT_EQ(Next(1, &fetched, &names), S_FALSE);
  EXPECT_EQ(fetched, 0u) << "exhausted";
  EXPECT_EQ(enum_->Reset(), S_OK);
  EXPECT_EQ(enum_->Skip(4), S_FALSE);
  EXPECT_EQ(Next(1, &fetched, &names), S_OK);
  EXPECT_EQ(names, L"first") << "back at the start";
  EXPECT_EQ(enum_->Skip(1), S_OK);
  EXPECT_EQ(Next(1, &fetched, &names), S_OK);
  EXPECT_EQ(names, L"third");
  // The position is a 32-bit count: 3 + 0xFFFFFFFE wraps to 1.
  EXPECT_EQ(enum_->Skip(0xFFFFFFFEu), S_OK);
  EXPECT_EQ(Next(1, &fetched, &names), S_OK);
  EXPECT_EQ(names, L"second");

  IEnumVARIANT* clone = reinterpret_cast<IEnumVARIANT*>(0x1234);
  EXPECT_EQ(enum_->Clone(&clone), E_NOTIMPL);
  EXPECT_EQ(clone, reinterpret_cast<IEnumVARIANT*>(0x1234));
}

TEST_F(AdaptorEnumeratorTest, ElementsOutliveTheEnumeratorAndEveryObjectHoldsTheModule) {
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(enum_->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
  EXPECT_EQ(enum_->QueryInterface(IID_IDispatch, unknown.put_void()), E_NOINTERFACE);
  unknown.reset();

  const LONG before = ModuleLockCount();
  ULONG fetched = 0;
  std::wstring names;
  ASSERT_EQ(Next(3, &fetched, &names), S_OK);
  enum_.reset();
  enumerator_.reset();
  EXPECT_EQ(ModuleLockCount(), before - 1) << "the enumerator went, its adaptors are still held";
  EXPECT_EQ(NameIn(slots_[0]), L"first");
  EXPECT_EQ(NameIn(slots_[2]), L"third");
  Clear();
  // The three adaptor objects went, and with them the adaptors they held
  // (the doubles here are objects of the same module).
  EXPECT_EQ(ModuleLockCount(), before - 7);
}

// What the list reports of each adaptor is checked against the Mux double in
// adaptors_mux_test; here the edges of the record and of the arguments.
TEST(AdaptorObject, ReportsWhatTheMuxDescribed) {
  ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  {
    ComPtr<FakeAdaptor> reader = MakeObject<FakeAdaptor>(true);
    const std::wstring longName(129, L'\x00e9');
    ComPtr<CTAVDiagnosticAdaptor> readable = MakeAdaptor(longName, reader->Inner(), 0x05, 0x0b);
    TAVDiagAudience audience;
    TAVDiagSeverity severity;
    unique_bstr clsid, name;
    VARIANT_BOOL reading = 77;
    ASSERT_EQ(readable->GetAdaptorSpecifics(&audience, &severity, clsid.put(), name.put(), &reading), S_OK);
    EXPECT_STREQ(clsid.get(), L"{0C8E4D1A-5B2F-4A67-9E31-D4F0A2B6C871}");
    EXPECT_EQ(std::wstring(name.get(), SysStringLen(name.get())), longName) << "129 characters fill the field";

    // Any missing out-argument: nothing is written anywhere.
    for (int missing = 0; missing < 5; ++missing) {
      TAVDiagAudience a = static_cast<TAVDiagAudience>(99);
      TAVDiagSeverity s = static_cast<TAVDiagSeverity>(99);
      BSTR c = reinterpret_cast<BSTR>(0x10), n = reinterpret_cast<BSTR>(0x20);
      VARIANT_BOOL r = 99;
      EXPECT_EQ(readable->GetAdaptorSpecifics(missing == 0 ? nullptr : &a, missing == 1 ? nullptr : &s,
                                              missing == 2 ? nullptr : &c, missing == 3 ? nullptr : &n,
                                              missing == 4 ? nullptr : &r),
                E_INVALIDARG)
          << missing;
      EXPECT_TRUE(a == 99 && s == 99 && r == 99 && c == reinterpret_cast<BSTR>(0x10) &&
                  n == reinterpret_cast<BSTR>(0x20))
          << missing;
    }
    EXPECT_EQ(readable->GetAdaptorInterface(nullptr), E_INVALIDARG);

    // The flags of each audience, from the record's bytes; audiences beyond
    // Op have none, and anything that is not one audience is refused.
    const struct {
      unsigned long audience;
      HRESULT hr;
      long flags;
    } cases[] = {{TAVDiagAudience_VELTRA, S_OK, 1}, {TAVDiagAudience_Dev, S_OK, 3}, {TAVDiagAudience_Eng, S_OK, 7},
                 {TAVDiagAudience_Op, S_OK, 15},    {16, S_OK, 99},                 {0x80000000, S_OK, 99},
                 {3, E_INVALIDARG, 99},             {0, E_INVALIDARG, 99},          {0x80000001, E_INVALIDARG, 99}};
    for (const auto& c : cases) {
      severity = static_cast<TAVDiagSeverity>(99);
      EXPECT_EQ(readable->GetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(c.audience), &severity), c.hr)
          << c.audience;
      EXPECT_EQ(severity, c.flags) << c.audience;
    }
    EXPECT_EQ(readable->GetMsgCategoryEnableFlags(TAVDiagAudience_Op, nullptr), E_INVALIDARG);
  }
  CoUninitialize();
}

}  // namespace
}  // namespace hv::test
