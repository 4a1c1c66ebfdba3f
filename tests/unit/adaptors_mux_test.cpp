// The adaptor list and the category flags as a client of the library meets
// them, with the test double of the Mux component in place of the real one:
// the requests the library sends ("4", "3", "8" and the audit item) are
// checked byte for byte, and the double's replies drive what the client sees.
#include <memory>
#include <string>
#include <vector>

#include "HVMux.h"
#include "common/ComObject.h"
#include "support/FakeAdaptor.h"
#include "support/TestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv::test {
namespace {

const wchar_t kStore[] = L"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}";
const wchar_t kForwarder[] = L"{ED34F366-7CA7-4E2D-824E-7213D595AFB2}";
const wchar_t kUnknown[] = L"{0C8E4D1A-5B2F-4A67-9E31-D4F0A2B6C871}";
// The class ids in their memory layout: Data1, Data2, Data3 little-endian.
const char kStoreBytes[] = "EC AB 67 1B 98 0E 4F 4B 9A 72 A3 66 62 5F 20 D6";
const char kForwarderBytes[] = "66 F3 34 ED A7 7C 2D 4E 82 4E 72 13 D5 95 AF B2";
const char kUnknownBytes[] = "1A 4D 8E 0C 2F 5B 67 4A 9E 31 D4 F0 A2 B6 C8 71";

// The 272-byte description: audiences, severities, the four enabled masks,
// then the UTF-16 name.
std::vector<uint8_t> Record(uint8_t audiences, uint8_t severities, std::vector<uint8_t> flags,
                            const std::wstring& name) {
  std::vector<uint8_t> record(272, 0);
  record[0] = audiences;
  record[4] = severities;
  for (size_t i = 0; i < 4; ++i) record[8 + i] = flags[i];
  for (size_t i = 0; i < name.size(); ++i) record[12 + 2 * i] = static_cast<uint8_t>(name[i]);
  return record;
}

std::string FieldsOf(IMuxMessage* message) {
  std::string fields;
  for (ULONG i = 0; const char* name = message->GetFieldName(i); ++i)
    fields += std::string(i ? ";" : "") + name + "=" + (message->GetField(name) ? message->GetField(name) : "?");
  return fields;
}

std::string DataOf(IMuxMessage* message) {
  const BYTE* data = nullptr;
  ULONG size = 0;
  message->GetData(&data, &size);
  return Hex(std::vector<uint8_t>(data, data + size));
}

class AdaptorMuxTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    control_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(control_->ok()) << std::hex << control_->registration();
    control_->Reset();
    ASSERT_EQ(CreateManager(mgr_.put()), S_OK);
    language_ = LoadLibraryExW((BinDir() + L"TAVDiagnosticsENU.dll").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(language_, nullptr);
  }
  void TearDown() override {
    adaptors_.clear();
    mgr_.reset();
    control_.reset();
    if (language_) FreeLibrary(language_);
    ComTest::TearDown();
  }

  // The Mux's answers: the list, then one "3" reply per adaptor, in order.
  void Offer(const wchar_t* list) {
    ASSERT_EQ(control_->AddTransactReply("4", S_OK, "MSGTYPE=4\0HRESULT=0\0", list, nullptr, 0, nullptr), S_OK);
  }
  void Describe(const std::vector<uint8_t>& record, bool reader) {
    fakes_.push_back(MakeObject<FakeAdaptor>(reader));
    ASSERT_EQ(control_->AddTransactReply("3", S_OK, "MSGTYPE=3\0HRESULT=0\0", nullptr, record.data(), 272,
                                         fakes_.back()->Inner()),
              S_OK);
  }
  void Refuse(HRESULT hr) {
    // Each field ended by a NUL, then the NUL that ends the list.
    const std::string fields = std::string("MSGTYPE=3", 10) + "HRESULT=" + std::to_string(static_cast<long>(hr)) + '\0';
    ASSERT_EQ(control_->AddTransactReply("3", S_OK, fields.c_str(), nullptr, nullptr, 0, nullptr), S_OK);
  }

  // Every adaptor of the list, taken one at a time.
  HRESULT List() {
    adaptors_.clear();
    ComPtr<IEnumVARIANT> list;
    RETURN_IF_FAILED(mgr_->GetAdaptorInfo(nullptr, list.put()));
    for (;;) {
      unique_variant slot;
      ULONG fetched = 0;
      const HRESULT hr = list->Next(1, slot.put(), &fetched);
      if (hr != S_OK) return fetched == 0 && hr == S_FALSE ? S_OK : E_UNEXPECTED;
      if (slot->vt != VT_UNKNOWN) return E_UNEXPECTED;
      adaptors_.emplace_back();
      RETURN_IF_FAILED(slot->punkVal->QueryInterface(IID_ITAVDiagnosticAdaptor, adaptors_.back().put_void()));
    }
  }

  ComPtr<IMuxMessage> Message(LONG index, LONG* kind = nullptr) {
    ComPtr<IMuxMessage> message;
    EXPECT_EQ(control_->MessageAt(index, message.put(), kind), S_OK) << index;
    return message;
  }

  // A text of the English language library with its places filled in.
  std::wstring Text(UINT id, const std::vector<std::wstring>& insertions) {
    wchar_t buffer[1024] = {};
    std::wstring text(buffer, LoadStringW(language_, id, buffer, 1024));
    for (size_t i = 0; i < insertions.size(); ++i) {
      const std::wstring place = L"%" + std::to_wstring(i + 1);
      for (size_t at = text.find(place); at != std::wstring::npos; at = text.find(place, at + insertions[i].size()))
        text.replace(at, place.size(), insertions[i]);
    }
    return text;
  }
  std::wstring Name(UINT id) { return Text(id, {}); }

  // The text of the item an audit message carries, loaded back from its body.
  std::wstring AuditText(IMuxMessage* message) {
    ComPtr<ITAVDiagnosticLogItemEx> item;
    ComPtr<IStream> body;
    ComPtr<IPersistStream> persist;
    unique_variant value;
    EXPECT_EQ(CreateItem(item.put()), S_OK);
    EXPECT_EQ(message->QueryInterface(IID_IStream, body.put_void()), S_OK);
    EXPECT_EQ(item->QueryInterface(IID_IPersistStream, persist.put_void()), S_OK);
    EXPECT_EQ(persist->Load(body.get()), S_OK);
    EXPECT_EQ(item->GetParam(unique_bstr(SysAllocString(L"msgtext")).get(), value.put()), S_OK);
    return value->vt == VT_BSTR ? std::wstring(value->bstrVal, SysStringLen(value->bstrVal)) : L"(no text)";
  }

  std::unique_ptr<TestMuxLibrary> control_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  std::vector<ComPtr<FakeAdaptor>> fakes_;
  std::vector<ComPtr<ITAVDiagnosticAdaptor>> adaptors_;
  HMODULE language_ = nullptr;
};

TEST_F(AdaptorMuxTest, TheListAsksForEachClassIdAndLeavesOutThoseTheMuxCannotDescribe) {
  // Entries that are no class ids are skipped; the Mux cannot describe the third class.
  Offer((std::wstring(L";{1b67abec-0e98-4b4f-9a72-a366625f20d6};;TAVDiagnostics.TAVDiagnosticsLogMgr;{x};") +
         kForwarder + L";" + kUnknown + L";")
            .c_str());
  Describe(Record(0x0f, 0x0f, {0x0f, 0x0f, 0x07, 0x03}, L"Message store"), true);
  Describe(Record(0x0c, 0x03, {0, 0, 0x01, 0x03}, L"Syslog forwarder"), false);
  Refuse(REGDB_E_CLASSNOTREG);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 2u);

  // What the record says is checked on the adaptor object (adaptors_enum)
  // and end to end; here what the list and the reply add.
  const wchar_t* clsids[] = {kStore, kForwarder};
  for (size_t i = 0; i < 2; ++i) {
    TAVDiagAudience audience;
    TAVDiagSeverity severity;
    unique_bstr clsid, name;
    VARIANT_BOOL reading = 77;
    ASSERT_EQ(adaptors_[i]->GetAdaptorSpecifics(&audience, &severity, clsid.put(), name.put(), &reading), S_OK);
    EXPECT_STREQ(clsid.get(), clsids[i]) << "registry form, upper case, whatever the list said";
    EXPECT_EQ(reading, i == 0 ? 1 : 0);
    ComPtr<IUnknown> adaptor;
    ASSERT_EQ(adaptors_[i]->GetAdaptorInterface(adaptor.put()), S_OK);
    EXPECT_EQ(adaptor.get(), fakes_[i]->Inner()) << "the object the Mux component marshalled";
  }

  // One "4", then one "3" per class id, numbered from 0.
  ASSERT_EQ(control_->MessageCount(), 4);
  const char* types[] = {"4", "3", "3", "3"};
  const char* data[] = {"", kStoreBytes, kForwarderBytes, kUnknownBytes};
  for (LONG i = 0; i < 4; ++i) {
    LONG kind = 0;
    ComPtr<IMuxMessage> request = Message(i, &kind);
    ASSERT_TRUE(request);
    EXPECT_EQ(kind, TestMuxSend_Transact);
    EXPECT_EQ(FieldsOf(request.get()), std::string("MSGTYPE=") + types[i] + ";transid=" + std::to_string(i));
    EXPECT_EQ(DataOf(request.get()), data[i]) << i;
  }

  // The numbering goes on with the next list, which the Mux answers as empty.
  control_->Reset();
  Offer(nullptr);
  ASSERT_EQ(List(), S_OK);
  EXPECT_TRUE(adaptors_.empty());
  ASSERT_EQ(control_->MessageCount(), 1) << "no text, no adaptors to ask for";
  EXPECT_EQ(FieldsOf(Message(0).get()), "MSGTYPE=4;transid=4");
}

TEST_F(AdaptorMuxTest, TheListFailsWhenTheMuxCannotBeAskedAndHandsOutNothing) {
  IEnumVARIANT* list = reinterpret_cast<IEnumVARIANT*>(0x1234);
  EXPECT_EQ(mgr_->GetAdaptorInfo(nullptr, nullptr), E_INVALIDARG);
  // No reply for "4": the double's transact fails at once.
  EXPECT_EQ(mgr_->GetAdaptorInfo(nullptr, &list), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  EXPECT_EQ(list, nullptr);
  ASSERT_EQ(control_->AddTransactReply("4", E_ACCESSDENIED, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(mgr_->GetAdaptorInfo(nullptr, &list), E_ACCESSDENIED);
  EXPECT_EQ(list, nullptr);
  // Without a Mux to connect to, both connection attempts fail.
  ASSERT_EQ(mgr_->ReleaseLogs(), S_OK);
  const LONG connects = control_->ConnectCount();
  control_->FailConnect(-1, HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_EQ(mgr_->GetAdaptorInfo(nullptr, &list), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(control_->ConnectCount(), connects + 2);
}

TEST_F(AdaptorMuxTest, AdaptorObjectsAreLateBoundThroughTheTypeLibrary) {
  Offer(kStore);
  Describe(Record(0x0f, 0x0f, {0, 0, 0, 0x0b}, L"Message store"), true);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 1u);
  ComPtr<IDispatch> dispatch;
  ASSERT_EQ(adaptors_[0]->QueryInterface(IID_IDispatch, dispatch.put_void()), S_OK);
  const wchar_t* names[] = {L"GetAdaptorInterface", L"GetAdaptorSpecifics", L"GetMsgCategoryEnableFlags",
                            L"SetMsgCategoryEnableFlags"};
  for (DISPID expected = 1; expected <= 4; ++expected) {
    LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, 0x0409, &id), S_OK);
    EXPECT_EQ(id, expected) << Narrow(names[expected - 1]);
  }
  VARIANT audience;
  audience.vt = VT_I4;
  audience.lVal = TAVDiagAudience_Op;
  DISPPARAMS params = {&audience, nullptr, 1, 0};
  unique_variant result;
  ASSERT_EQ(dispatch->Invoke(3, IID_NULL, 0x0409, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(result->vt, VT_I4);
  EXPECT_EQ(result->lVal, 0x0b);
}

TEST_F(AdaptorMuxTest, AChangeSendsTheNewFlagsAndLogsWhatChanged) {
  Offer((std::wstring(kStore) + L";" + kForwarder).c_str());
  Describe(Record(0x0f, 0x0f, {0x0f, 0x00, 0x07, 0x03}, L"Store"), true);
  // Serves VELTRA and Op, handles Error and Warning, yet reports Dev flags.
  Describe(Record(0x09, 0x03, {0x03, 0x02, 0x00, 0x01}, L"Partial"), false);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 2u);
  ITAVDiagnosticAdaptor* store = adaptors_[0].get();
  ITAVDiagnosticAdaptor* partial = adaptors_[1].get();
  LONG sent = control_->MessageCount();
  const LONG connects = control_->ConnectCount();

  // The mask that is already set: nothing is sent.
  EXPECT_EQ(store->SetMsgCategoryEnableFlags(TAVDiagAudience_Op, static_cast<TAVDiagSeverity>(3)), S_OK);
  EXPECT_EQ(control_->MessageCount(), sent);

  // Op from Error|Warning to Warning|Info; then switching off an audience the
  // adaptor does not serve, which is allowed.
  const struct {
    ITAVDiagnosticAdaptor* adaptor;
    long audience, severity;
    std::string data;
    std::wstring audit;
  } changes[] = {
      {store, TAVDiagAudience_Op, 6, std::string(kStoreBytes) + " 0F 00 07 06",
       Text(110, {Name(120), L"Store"}) + Text(111, {Name(124), L"Enabled", L"Disabled"}) +
           Text(111, {Name(127), L"Disabled", L"Enabled"})},
      {partial, TAVDiagAudience_Dev, 0, std::string(kForwarderBytes) + " 03 00 00 01",
       Text(110, {Name(122), L"Partial"}) + Text(111, {Name(125), L"Enabled", L"Disabled"})},
  };
  for (const auto& c : changes) {
    sent = control_->MessageCount();
    ASSERT_EQ(c.adaptor->SetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(c.audience),
                                                   static_cast<TAVDiagSeverity>(c.severity)),
              S_OK);
    ASSERT_TRUE(control_->WaitForMessages(sent + 2, 5000)) << control_->Calls();
    LONG kind = 0;
    ComPtr<IMuxMessage> flags = Message(sent, &kind);
    EXPECT_EQ(kind, TestMuxSend_Post);
    EXPECT_EQ(FieldsOf(flags.get()), "MSGTYPE=8") << "no transaction id";
    EXPECT_EQ(DataOf(flags.get()), c.data);
    TAVDiagSeverity now = static_cast<TAVDiagSeverity>(-1);
    EXPECT_EQ(c.adaptor->GetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(c.audience), &now), S_OK);
    EXPECT_EQ(now, c.severity);
    // The audit message: posted without waiting.
    ComPtr<IMuxMessage> audit = Message(sent + 1, &kind);
    EXPECT_EQ(kind, TestMuxSend_Post);
    EXPECT_EQ(FieldsOf(audit.get()), "MSGTYPE=1");
    EXPECT_EQ(AuditText(audit.get()), c.audit);
  }
  EXPECT_EQ(control_->ConnectCount(), connects + 2) << "each audit item goes through a manager of its own";

  // Refused before anything is sent or changed.
  sent = control_->MessageCount();
  const struct {
    ITAVDiagnosticAdaptor* adaptor;
    long audience, severity;
  } refused[] = {
      {partial, TAVDiagAudience_Dev, TAVDiagSeverity_Error},  // an audience it does not serve
      {partial, TAVDiagAudience_Op, TAVDiagSeverity_Info},    // a severity it does not handle
      {store, TAVDiagAudience_Op, 0x10},                      // no such severity
      {store, 0, 0},                                          // no audience
      {store, TAVDiagAudience_Op | TAVDiagAudience_Eng, 1},   // two audiences
      {store, 0x10, 1},                                       // an audience without flags
  };
  for (const auto& r : refused)
    EXPECT_EQ(r.adaptor->SetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(r.audience),
                                                   static_cast<TAVDiagSeverity>(r.severity)),
              E_INVALIDARG)
        << r.audience << "/" << r.severity;
  // An audience without flags has nothing enabled to switch off.
  EXPECT_EQ(store->SetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(0x10), static_cast<TAVDiagSeverity>(0)),
            S_OK);
  EXPECT_EQ(control_->MessageCount(), sent);
  TAVDiagSeverity now = static_cast<TAVDiagSeverity>(0);
  EXPECT_EQ(partial->GetMsgCategoryEnableFlags(TAVDiagAudience_Op, &now), S_OK);
  EXPECT_EQ(now, 1);
}

TEST_F(AdaptorMuxTest, AChangeTheMuxDidNotTakeIsKeptAndLoggedAnyway) {
  Offer(kForwarder);
  Describe(Record(0x0f, 0x0f, {0x0f, 0x0f, 0x0f, 0x0f}, L"Syslog forwarder"), false);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 1u);
  const LONG sent = control_->MessageCount();
  control_->FailPost(1, E_ACCESSDENIED);
  const auto veltra = [&](long severity) {
    return adaptors_[0]->SetMsgCategoryEnableFlags(TAVDiagAudience_VELTRA, static_cast<TAVDiagSeverity>(severity));
  };
  EXPECT_EQ(veltra(0x0a), E_ACCESSDENIED);
  TAVDiagSeverity now = static_cast<TAVDiagSeverity>(0);
  EXPECT_EQ(adaptors_[0]->GetMsgCategoryEnableFlags(TAVDiagAudience_VELTRA, &now), S_OK);
  EXPECT_EQ(now, 0x0a) << "the object keeps the mask it tried to set";
  ASSERT_TRUE(control_->WaitForMessages(sent + 1, 5000));
  ASSERT_EQ(control_->MessageCount(), sent + 1) << "the refused flags are not recorded, the audit item is";
  EXPECT_EQ(AuditText(Message(sent).get()),
            Text(110, {Name(123), L"Syslog forwarder"}) + Text(111, {Name(124), L"Enabled", L"Disabled"}) +
                Text(111, {Name(127), L"Enabled", L"Disabled"}));
  // Setting it again is no change any more, whatever the Mux holds.
  EXPECT_EQ(veltra(0x0a), S_OK);
  EXPECT_EQ(control_->MessageCount(), sent + 1);
}

}  // namespace
}  // namespace hv::test
