// The manager's link to the Mux and its adaptor list, against the Mux double:
// where it connects, how often it tries, what its messages carry, how answers
// find their items, what the adaptor objects and their enumerator hand out.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "adaptors/CTAVDiagnosticAdaptor.h"
#include "adaptors/CTAVDiagnosticAdaptors.h"
#include "common/ByteStream.h"
#include "common/ModuleLock.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "support/FakeAdaptor.h"
#include "support/TestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv::test {
namespace {

const std::wstring kKey = L"Software\\Corvala Software\\Halvern Diagnostics";
const wchar_t kStore[] = L"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}";
const wchar_t kForwarder[] = L"{ED34F366-7CA7-4E2D-824E-7213D595AFB2}";
const wchar_t kUnknown[] = L"{0C8E4D1A-5B2F-4A67-9E31-D4F0A2B6C871}";
// The class ids in their memory layout: Data1, Data2, Data3 little-endian.
const char kStoreBytes[] = "EC AB 67 1B 98 0E 4F 4B 9A 72 A3 66 62 5F 20 D6";
const char kForwarderBytes[] = "66 F3 34 ED A7 7C 2D 4E 82 4E 72 13 D5 95 AF B2";
const char kUnknownBytes[] = "1A 4D 8E 0C 2F 5B 67 4A 9E 31 D4 F0 A2 B6 C8 71";

// The 272-byte description as the Mux sends it: audiences, severities (both
// 32-bit little-endian), the four enabled masks, then the UTF-16 name.
std::vector<uint8_t> Record(uint32_t audiences, uint32_t severities, std::vector<uint8_t> flags,
                            const std::wstring& name) {
  std::vector<uint8_t> bytes;
  ByteWriter w(&bytes);
  w.u32(audiences);
  w.u32(severities);
  w.bytes(flags.data(), 4);
  for (wchar_t c : name.substr(0, 130)) w.u16(static_cast<uint16_t>(c));
  bytes.resize(272);
  return bytes;
}

std::string Field(IMuxMessage* message, const char* name) {
  const char* value = message->GetField(name);
  return value ? value : "<absent>";
}

// A parameter of the item a message carries in its body, as text.
std::wstring Param(IMuxMessage* message, const wchar_t* name) {
  ComPtr<ITAVDiagnosticLogItemEx> item;
  EXPECT_EQ(CreateItem(item.put()), S_OK);
  ComPtr<IStream> body = ComPtr<IMuxMessage>(message).query<IStream>();
  const LARGE_INTEGER start = {};
  EXPECT_EQ(body->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
  EXPECT_EQ(item.query<IPersistStream>()->Load(body.get()), S_OK);
  unique_variant value, text;
  if (FAILED(item->GetParam(unique_bstr(SysAllocString(name)).get(), value.put()))) return L"(no value)";
  if (FAILED(VariantChangeType(text.get(), value.get(), 0, VT_BSTR))) return L"(no text)";
  return std::wstring(text->bstrVal, SysStringLen(text->bstrVal));
}

std::string DataOf(IMuxMessage* message) {
  const BYTE* data = nullptr;
  ULONG size = 0;
  message->GetData(&data, &size);
  return Hex(std::vector<uint8_t>(data, data + size));
}

// "name clsid reading audiences/severities" as an adaptor object reports them, or why not.
std::wstring Specifics(IUnknown* object) {
  ComPtr<ITAVDiagnosticAdaptor> adaptor;
  if (!object || FAILED(object->QueryInterface(IID_ITAVDiagnosticAdaptor, adaptor.put_void()))) return L"(no adaptor)";
  TAVDiagAudience a;
  TAVDiagSeverity s;
  unique_bstr clsid, name;
  VARIANT_BOOL reading = 77;
  if (FAILED(adaptor->GetAdaptorSpecifics(&a, &s, clsid.put(), name.put(), &reading))) return L"(failed)";
  return std::wstring(name.get(), SysStringLen(name.get())) + L" " + clsid.get() + L" " + std::to_wstring(reading) +
         L" " + std::to_wstring(a) + L"/" + std::to_wstring(s);
}

std::wstring NameOf(IUnknown* object) {
  const std::wstring specifics = Specifics(object);
  return specifics.substr(0, specifics.find(L' '));
}

ComPtr<ITAVDiagnosticLogItemEx> NewItem(ITAVDiagnosticLogEx* log, const wchar_t* text) {
  unique_variant message;
  message->vt = VT_BSTR;
  message->bstrVal = SysAllocString(text);
  ComPtr<ITAVDiagnosticLogItemEx> item;
  EXPECT_EQ(log->BuildItemEx(nullptr, unique_bstr(SysAllocString(L"operator")).get(), TAVDiagSeverity_Info,
                             TAVDiagAudience_Dev, 0, *message.get(), nullptr, nullptr, nullptr, item.put()),
            S_OK);
  return item;
}

ComPtr<ITAVDiagnosticLogEx> NewLog(ITAVDiagnosticLogMgrEx* mgr) {
  ComPtr<ITAVDiagnosticLog> log;
  EXPECT_EQ(mgr->CreateTAVDiagnosticLog(unique_bstr(SysAllocString(L"Line 3")).get(),
                                        unique_bstr(SysAllocString(L"Pump")).get(), log.put()),
            S_OK);
  return log.query<ITAVDiagnosticLogEx>();
}

// A manager of this program's own (mgr_) and the double in the Mux's place.
class MuxLinkTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    DeleteMachineValue(kKey, L"InterprocessTransport");
    mux_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(mux_->ok()) << std::hex << mux_->registration();
    mux_->Reset();
    ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgrInterface_.put_void()), S_OK);
    mgr_ = CTAVDiagnosticLogMgr::FromInterface(mgrInterface_.get());
    ASSERT_TRUE(mgr_);
  }
  void TearDown() override {
    mgr_.reset();
    mgrInterface_.reset();
    DeleteMachineValue(kKey, L"InterprocessTransport");
    mux_.reset();
    ComTest::TearDown();
  }
  ComPtr<IMuxMessage> Message(LONG index) {
    ComPtr<IMuxMessage> message;
    EXPECT_EQ(mux_->MessageAt(index, message.put(), nullptr), S_OK) << index;
    return message;
  }
  // How a recorded message was sent, and its fields: "post MSGTYPE=1;transid=4".
  std::string Sent(LONG index) {
    LONG kind = 0;
    ComPtr<IMuxMessage> message;
    if (FAILED(mux_->MessageAt(index, message.put(), &kind))) return "(none)";
    std::string sent = kind == TestMuxSend_Post ? "post " : "transact ";
    for (ULONG i = 0; const char* name = message->GetFieldName(i); ++i)
      sent += std::string(i ? ";" : "") + name + "=" + Field(message.get(), name);
    return sent;
  }
  // The manager's sink, as the Mux calls it.
  ComPtr<IMuxSink> Sink(LONG* context) {
    ComPtr<IMuxSink> sink;
    EXPECT_EQ(mux_->GetSink(sink.put(), context), S_OK);
    return sink;
  }
  // Answers the next item posted as the service does, on a thread of its own:
  // the item's message (its "transid" and body) as a "5" with this result.
  std::thread Answer(HRESULT hr) {
    return std::thread([this, hr, next = mux_->MessageCount()] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      if (mux_->WaitForMessages(next + 1, 5000))
        Deliver({{"MSGTYPE", "5"}, {"HRESULT", std::to_string(static_cast<long>(hr))}}, Message(next));
      CoUninitialize();
    });
  }
  // What the manager answers to a message from the Mux: `message` (a new one
  // when null) with these fields.
  HRESULT Deliver(const std::vector<std::pair<const char*, std::string>>& fields, ComPtr<IMuxMessage> message = {}) {
    ComPtr<IMuxConnection> connection;
    if (!message && mgr_->GetConnectionToMux(connection.put()) == S_OK) connection->CreateMessage(message.put());
    if (!message) return E_UNEXPECTED;
    for (const auto& field : fields) message->SetField(field.first, field.second.c_str());
    LONG context = 0;
    ComPtr<IMuxSink> sink = Sink(&context);
    return sink ? sink->OnMessage(context, message.get()) : E_UNEXPECTED;
  }

  std::unique_ptr<TestMuxLibrary> mux_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgrInterface_;
  ComPtr<CTAVDiagnosticLogMgr> mgr_;
};

TEST_F(MuxLinkTest, ConnectsToThePartAfterTheFirstSemicolonOfTheTransportSetting) {
  // The setting (null: no value) and the address connected to.
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {nullptr, L"ip:127.0.0.1:60093"},
      {L"ip:127.0.0.1:7000", L"ip:127.0.0.1:60093"},  // no ";": the default list
      {L"ip:7000;", L""},
      {L"ip:1;ip:127.0.0.1:2;ip:127.0.0.1:3", L"ip:127.0.0.1:2;ip:127.0.0.1:3"},
  };
  for (const auto& [setting, address] : cases) {
    SCOPED_TRACE(setting ? Narrow(setting) : "no value");
    DeleteMachineValue(kKey, L"InterprocessTransport");
    ASSERT_TRUE(!setting || SetMachineString(kKey, L"InterprocessTransport", setting));
    mux_->Reset();
    ComPtr<IMuxConnection> connection;
    ASSERT_EQ(mgr_->GetConnectionToMux(connection.put()), S_OK);
    EXPECT_NE(mux_->Calls().find("Connect(" + Narrow(address) + ")"), std::string::npos) << mux_->Calls();
    connection.reset();
    ASSERT_EQ(mgrInterface_->ReleaseLogs(), S_OK);
  }
}

TEST_F(MuxLinkTest, CachesTheConnectionAndTriesOnceMoreAfterAFailure) {
  // Two threads of a new manager share one connect.
  ComPtr<IMuxConnection> first, second;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EXPECT_EQ(mgr_->GetConnectionToMux(second.put()), S_OK);
    CoUninitialize();
  });
  ASSERT_EQ(mgr_->GetConnectionToMux(first.put()), S_OK);
  other.join();
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(mux_->ConnectCount(), 1);
  first.reset();
  second.reset();
  ASSERT_EQ(mgrInterface_->ReleaseLogs(), S_OK);
  EXPECT_EQ(mgr_->GetConnectionToMux(nullptr), E_POINTER) << "a null out-pointer still connects";
  EXPECT_EQ(mux_->ConnectCount(), 2);
  ASSERT_EQ(mgr_->GetConnectionToMux(first.put()), S_OK);
  EXPECT_EQ(mux_->ConnectCount(), 2);

  // The Mux closes the connection: the next request connects again.
  LONG context = 0;
  ASSERT_EQ(Sink(&context)->OnConnectionClosed(context, E_ABORT), S_OK);
  first.reset();
  ASSERT_EQ(mgr_->GetConnectionToMux(first.put()), S_OK);
  EXPECT_EQ(mux_->ConnectCount(), 3);
  first.reset();

  // A failed first attempt is followed by exactly one more.
  const HRESULT refused = HRESULT_FROM_WIN32(WSAECONNREFUSED);
  for (LONG failures : {1, 2}) {
    ASSERT_EQ(mgrInterface_->ReleaseLogs(), S_OK);
    mux_->FailConnect(failures, refused);
    EXPECT_EQ(mgr_->GetConnectionToMux(first.put()), failures == 1 ? S_OK : refused);
    EXPECT_EQ(first.get() != nullptr, failures == 1);
    EXPECT_EQ(mux_->ConnectCount(), 3 + 2 * failures) << "two attempts each time";
    first.reset();
  }
  // Failed attempts leave no sink (and no module lock) behind.
  const LONG locksBefore = ModuleLockCount();
  mux_->FailConnect(-1, refused);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(mgr_->GetConnectionToMux(first.put()), refused);
  EXPECT_EQ(ModuleLockCount(), locksBefore);
}

// An aggregating object that passes on only the manager's public interfaces.
class PublicOnlyOuter final : public IUnknown {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
      *ppv = this;
      AddRef();
      return S_OK;
    }
    for (const IID* passed : {&IID_ITAVDiagnosticLogMgr, &IID_ITAVDiagnosticLogMgrEx, &IID_ITAVDiagnosticLogDisplay})
      if (IsEqualIID(riid, *passed)) return inner->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  ULONG refs = 1;
  IUnknown* inner = nullptr;
};

TEST_F(MuxLinkTest, AnAggregatedManagerDeliversLikeAStandaloneOne) {
  PublicOnlyOuter outer;
  ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  {
    ComPtr<ITAVDiagnosticLogMgrEx> mgr;
    ASSERT_EQ(outer.QueryInterface(IID_ITAVDiagnosticLogMgrEx, mgr.put_void()), S_OK);
    ComPtr<ITAVDiagnosticLogEx> log = NewLog(mgr.get());
    EXPECT_EQ(log->LogThisItemEx(NewItem(log.get(), L"async").get(), VARIANT_FALSE, 0), S_OK);
    std::thread answering = Answer(S_OK);
    EXPECT_EQ(log->LogThisItemEx(NewItem(log.get(), L"sync").get(), VARIANT_TRUE, 10000), S_OK);
    answering.join();
    EXPECT_EQ(mux_->MessageCount(), 2);
  }
  EXPECT_EQ(outer.refs, 1u);
  EXPECT_EQ(outer.inner->Release(), 0u);
}

// Run as a child process by the next test: its first attempt fails, its
// second waits for the semaphore.
using MuxLinkChild = ComTest;
TEST_F(MuxLinkChild, SecondAttempt) {
  if (!GetEnvironmentVariableW(L"HV_SECOND_ATTEMPT_CHILD", nullptr, 0))
    GTEST_SKIP() << "runs only as the child of TwoProcessesMakeTheirSecondAttemptsOneAfterTheOther";
  TestMuxLibrary mux(BinDir() + L"TestMux.dll", false);
  ASSERT_TRUE(mux.ok());
  mux.FailConnect(1, E_FAIL);
  ComPtr<ITAVDiagnosticLogMgrEx> mgrInterface;
  ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgrInterface.put_void()), S_OK);
  ComPtr<IMuxConnection> connection;
  ASSERT_EQ(CTAVDiagnosticLogMgr::FromInterface(mgrInterface.get())->GetConnectionToMux(connection.put()), S_OK);
  EXPECT_EQ(mux.ConnectCount(), 2);
}

TEST_F(MuxLinkTest, TwoProcessesMakeTheirSecondAttemptsOneAfterTheOther) {
  // This process holds the semaphore the children's second attempts wait for.
  unique_handle semaphore(CreateSemaphoreW(nullptr, 1, 1, L"CTAVDiagnosticLogMgr::GetConnectionToMux"));
  ASSERT_EQ(WaitForSingleObject(semaphore.get(), 0), WAIT_OBJECT_0);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  SetEnvironmentVariableW(L"HV_SECOND_ATTEMPT_CHILD", L"1");
  HANDLE children[2] = {};
  for (HANDLE& child : children) {
    std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=MuxLinkChild.SecondAttempt";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    CloseHandle(process.hThread);
    child = process.hProcess;
  }
  SetEnvironmentVariableW(L"HV_SECOND_ATTEMPT_CHILD", nullptr);
  EXPECT_EQ(WaitForMultipleObjects(2, children, FALSE, 2000), WAIT_TIMEOUT)
      << "a second attempt ran while another process held the semaphore";
  // One release: the children pass one at a time, each giving it back.
  ReleaseSemaphore(semaphore.get(), 1, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(2, children, TRUE, 60000), WAIT_OBJECT_0);
  for (HANDLE child : children) {
    DWORD code = 1;
    GetExitCodeProcess(child, &code);
    EXPECT_EQ(code, 0u) << "a child failed";
    CloseHandle(child);
  }
}

TEST_F(MuxLinkTest, ItemsTravelAsTypeOneOrTwoAndAnswersFindTheirItem) {
  ComPtr<ITAVDiagnosticLogEx> log = NewLog(mgrInterface_.get());
  ASSERT_EQ(log->LogThisItemEx(NewItem(log.get(), L"asynchronous").get(), VARIANT_FALSE, 0), S_OK);
  ASSERT_TRUE(mux_->WaitForMessages(1, 5000));
  EXPECT_EQ(Sent(0), "post MSGTYPE=1");
  EXPECT_EQ(Param(Message(0).get(), L"msgtext"), L"asynchronous") << "the body is the item's stream form";

  // Answered with E_FAIL: the waiting log returns it.
  std::thread answering = Answer(E_FAIL);
  EXPECT_EQ(log->LogThisItemEx(NewItem(log.get(), L"synchronous").get(), VARIANT_TRUE, 10000), E_FAIL);
  answering.join();
  ComPtr<IMuxMessage> sent = Message(1);
  EXPECT_EQ(Field(sent.get(), "MSGTYPE"), "2");
  EXPECT_NE(std::atol(Field(sent.get(), "transid").c_str()), 0);

  // No answer within the time: E_PENDING; the late answer touches nothing.
  EXPECT_EQ(log->LogThisItemEx(NewItem(log.get(), L"late").get(), VARIANT_TRUE, 50), E_PENDING);
  EXPECT_EQ(Deliver({{"MSGTYPE", "5"}, {"HRESULT", "0"}, {"transid", Field(Message(2).get(), "transid")}}), S_FALSE);

  // Malformed answers are refused; other types are ignored.
  EXPECT_EQ(Deliver({{"MSGTYPE", "5"}, {"HRESULT", "0"}, {"transid", "0"}}), E_FAIL);
  EXPECT_EQ(Deliver({{"MSGTYPE", "5"}, {"HRESULT", "0"}}), E_FAIL);
  EXPECT_EQ(Deliver({{"MSGTYPE", "5"}, {"transid", "4"}}), E_FAIL);
  EXPECT_EQ(Deliver({{"HRESULT", "0"}, {"transid", "4"}}), E_FAIL);
  EXPECT_EQ(Deliver({{"MSGTYPE", "7"}}), S_OK);
  LONG context = 0;
  ComPtr<IMuxSink> sink = Sink(&context);
  ASSERT_TRUE(sink);
  EXPECT_EQ(sink->OnMessage(0, nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->OnMessage(context, nullptr), E_INVALIDARG);
  EXPECT_EQ(sink->OnConnected(context), S_OK);
  EXPECT_EQ(sink->OnQueueLevel(context, 1, 2), S_OK);

  // A sink that outlives its manager answers E_FAIL; the manager stopped and disconnected it.
  log.reset();
  mgr_.reset();
  mgrInterface_.reset();
  EXPECT_EQ(sink->OnConnectionClosed(context, E_ABORT), E_FAIL);
  EXPECT_EQ(sink->OnMessage(context, nullptr), E_FAIL);
  EXPECT_NE(mux_->Calls().find("Stop(0);Disconnect"), std::string::npos) << mux_->Calls();
}

// The adaptor list of a manager made through COM, as a client meets it.
class AdaptorListTest : public MuxLinkTest {
 protected:
  void SetUp() override {
    MuxLinkTest::SetUp();
    ASSERT_EQ(CreateManager(list_.put()), S_OK);
  }
  void TearDown() override {
    adaptors_.clear();
    list_.reset();
    MuxLinkTest::TearDown();
  }
  // The Mux's answers: the list, then one "3" reply per adaptor, in order.
  void Offer(const std::wstring& list) {
    ASSERT_EQ(mux_->AddTransactReply("4", S_OK, "MSGTYPE=4\0HRESULT=0\0", list.empty() ? nullptr : list.c_str(),
                                     nullptr, 0, nullptr),
              S_OK);
  }
  // `fields`: the reply's fields, each ended by a NUL.
  void Describe(const std::vector<uint8_t>& record, bool reader, const char* fields = "MSGTYPE=3\0HRESULT=0\0") {
    fakes_.push_back(MakeObject<FakeAdaptor>(reader));
    ASSERT_EQ(mux_->AddTransactReply("3", S_OK, fields, nullptr, record.data(), 272, fakes_.back()->Inner()), S_OK);
  }
  // Every adaptor of the list, taken one at a time.
  HRESULT List() {
    adaptors_.clear();
    ComPtr<IEnumVARIANT> list;
    RETURN_IF_FAILED(list_->GetAdaptorInfo(nullptr, list.put()));
    for (;;) {
      unique_variant slot;
      ULONG fetched = 0;
      const HRESULT hr = list->Next(1, slot.put(), &fetched);
      if (hr != S_OK || slot->vt != VT_UNKNOWN) return fetched == 0 && hr == S_FALSE ? S_OK : E_UNEXPECTED;
      adaptors_.emplace_back();
      RETURN_IF_FAILED(slot->punkVal->QueryInterface(IID_ITAVDiagnosticAdaptor, adaptors_.back().put_void()));
    }
  }
  TAVDiagSeverity Flags(ITAVDiagnosticAdaptor* adaptor, TAVDiagAudience audience) {
    TAVDiagSeverity now = static_cast<TAVDiagSeverity>(99);
    EXPECT_EQ(adaptor->GetMsgCategoryEnableFlags(audience, &now), S_OK);
    return now;
  }

  ComPtr<ITAVDiagnosticLogMgrEx> list_;
  std::vector<ComPtr<FakeAdaptor>> fakes_;
  std::vector<ComPtr<ITAVDiagnosticAdaptor>> adaptors_;
};

TEST_F(AdaptorListTest, TheListAsksForEachClassIdAndLeavesOutWhatTheMuxCannotDescribe) {
  // Entries that are no class ids are skipped; the Mux cannot describe the second.
  Offer(std::wstring(L";{1b67abec-0e98-4b4f-9a72-a366625f20d6};;TAVDiagnostics.TAVDiagnosticsLogMgr;") + kUnknown +
        L";{not a class id};" + kForwarder + L";");
  Describe(Record(0x0f, 0x0f, {0x0f, 0x0f, 0x07, 0x03}, L"Message store"), true);
  ASSERT_EQ(mux_->AddTransactReply("3", S_OK, "MSGTYPE=3\0HRESULT=-2147221164\0", nullptr, nullptr, 0, nullptr), S_OK);
  Describe(Record(0x0c, 0x03, {0, 0, 0x01, 0x03}, L"Syslog forwarder"), false);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 2u);
  // The class id in registry form (upper case, whatever the list said); 1 for a reader, not VARIANT_TRUE.
  const std::wstring expected[] = {std::wstring(L"Message store ") + kStore + L" 1 15/15",
                                   std::wstring(L"Syslog forwarder ") + kForwarder + L" 0 12/3"};
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(Specifics(adaptors_[i].get()), expected[i]);
    ComPtr<IUnknown> adaptor;
    ASSERT_EQ(adaptors_[i]->GetAdaptorInterface(adaptor.put()), S_OK);
    EXPECT_EQ(adaptor.get(), fakes_[i]->Inner()) << "the object the Mux component marshalled";
  }
  EXPECT_EQ(Flags(adaptors_[1].get(), TAVDiagAudience_Op), 0x03);
  // The objects are late-bound through the type library.
  ComPtr<IDispatch> dispatch = adaptors_[0].query<IDispatch>();
  ASSERT_TRUE(dispatch);
  DISPID dispid = 1;
  for (const wchar_t* name :
       {L"GetAdaptorInterface", L"GetAdaptorSpecifics", L"GetMsgCategoryEnableFlags", L"SetMsgCategoryEnableFlags"}) {
    DISPID id = 0;
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(&name), 1, 0x0409, &id), S_OK);
    EXPECT_EQ(id, dispid++) << Narrow(name);
  }
  VARIANT audience;
  audience.vt = VT_I4;
  audience.lVal = TAVDiagAudience_Eng;
  DISPPARAMS params = {&audience, nullptr, 1, 0};
  unique_variant result;
  ASSERT_EQ(dispatch->Invoke(3, IID_NULL, 0x0409, DISPATCH_METHOD, &params, result.get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(result->vt, VT_I4);
  EXPECT_EQ(result->lVal, 0x07);

  // One "4", then one "3" per listed class id, numbered from 0.
  ASSERT_EQ(mux_->MessageCount(), 4);
  const char* data[] = {"", kStoreBytes, kUnknownBytes, kForwarderBytes};
  for (LONG i = 0; i < 4; ++i) {
    EXPECT_EQ(Sent(i), std::string("transact MSGTYPE=") + (i ? "3" : "4") + ";transid=" + std::to_string(i));
    EXPECT_EQ(DataOf(Message(i).get()), data[i]) << i;
  }
  // The numbering goes on with the next list, which the Mux answers as empty.
  mux_->Reset();
  Offer(L"");
  ASSERT_EQ(List(), S_OK);
  EXPECT_TRUE(adaptors_.empty());
  ASSERT_EQ(mux_->MessageCount(), 1) << "no text, no adaptors to ask for";
  EXPECT_EQ(Sent(0), "transact MSGTYPE=4;transid=4");
}

TEST_F(AdaptorListTest, FailuresComeBackUnchangedAndHandOutNothing) {
  // An adaptor the Mux refuses: its result unchanged, the record not read.
  ASSERT_EQ(mux_->SetTransactReply("3", S_OK, "MSGTYPE=3\0HRESULT=-2147221164\0", nullptr, nullptr, 0, nullptr), S_OK);
  AdaptorInfoRecord record;
  std::memset(&record, 0xAB, sizeof(record));
  ComPtr<IUnknown> adaptor;
  EXPECT_EQ(mgr_->RequestAdaptorInterface(&CLSID_HVStoreAdaptor, &record, adaptor.put()), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(record.audienceMask, 0xABABABABu) << "the record is not read after a failure";
  ASSERT_EQ(mux_->SetTransactReply("3", S_OK, "MSGTYPE=3\0\0", nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(mgr_->RequestAdaptorInterface(&CLSID_HVStoreAdaptor, &record, adaptor.put()), E_FAIL) << "no HRESULT";
  EXPECT_EQ(Sent(1), "transact MSGTYPE=3;transid=1");

  IEnumVARIANT* list = reinterpret_cast<IEnumVARIANT*>(0x1234);
  EXPECT_EQ(list_->GetAdaptorInfo(nullptr, nullptr), E_INVALIDARG);
  // No reply for "4": the double's transact fails at once.
  EXPECT_EQ(list_->GetAdaptorInfo(nullptr, &list), HRESULT_FROM_WIN32(ERROR_TIMEOUT));
  EXPECT_EQ(list, nullptr);
  ASSERT_EQ(mux_->AddTransactReply("4", E_ACCESSDENIED, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(list_->GetAdaptorInfo(nullptr, &list), E_ACCESSDENIED);
  EXPECT_EQ(list, nullptr);
  // Without a Mux to connect to, both connection attempts fail.
  ASSERT_EQ(list_->ReleaseLogs(), S_OK);
  const LONG connects = mux_->ConnectCount();
  mux_->FailConnect(-1, HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_EQ(list_->GetAdaptorInfo(nullptr, &list), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(mux_->ConnectCount(), connects + 2);
}

TEST_F(AdaptorListTest, AChangeSendsTheNewFlagsAndLogsWhatChanged) {
  Offer(std::wstring(kStore) + L";" + kForwarder);
  Describe(Record(0x0f, 0x0f, {0x0f, 0x00, 0x07, 0x03}, L"Store"), true);
  // Serves VELTRA and Op, handles Error and Warning, yet reports Dev flags.
  Describe(Record(0x09, 0x03, {0x03, 0x02, 0x00, 0x01}, L"Partial"), false);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 2u);
  ITAVDiagnosticAdaptor *store = adaptors_[0].get(), *partial = adaptors_[1].get();
  LONG sent = mux_->MessageCount();
  const LONG connects = mux_->ConnectCount();

  // The mask that is already set: nothing is sent, nothing is logged.
  EXPECT_EQ(store->SetMsgCategoryEnableFlags(TAVDiagAudience_Op, static_cast<TAVDiagSeverity>(3)), S_OK);
  EXPECT_EQ(mux_->MessageCount(), sent);

  // Each change: the flags message (class id and the four masks, no transid),
  // then the audit item, posted through a manager of its own.
  const struct {
    ITAVDiagnosticAdaptor* adaptor;
    TAVDiagAudience audience;
    long severity;
    std::string data;
    std::wstring text;
  } changes[] = {
      // Op from Error|Warning to Warning|Info.
      {store, TAVDiagAudience_Op, 6, std::string(kStoreBytes) + " 0F 00 07 06",
       L"Message categories of audience Operations changed on adaptor Store:\r\n"
       L"Error: Enabled -> Disabled\r\nInformation: Disabled -> Enabled"},
      // Eng loses Information: each audience is named in the heading.
      {store, TAVDiagAudience_Eng, 3, std::string(kStoreBytes) + " 0F 00 03 06",
       L"Message categories of audience Engineering changed on adaptor Store:\r\nInformation: Enabled -> Disabled"},
      // Switching off an audience the adaptor does not serve is allowed.
      {partial, TAVDiagAudience_Dev, 0, std::string(kForwarderBytes) + " 03 00 00 01",
       L"Message categories of audience Development changed on adaptor Partial:\r\nWarning: Enabled -> Disabled"},
  };
  for (const auto& c : changes) {
    sent = mux_->MessageCount();
    ASSERT_EQ(c.adaptor->SetMsgCategoryEnableFlags(c.audience, static_cast<TAVDiagSeverity>(c.severity)), S_OK);
    ASSERT_TRUE(mux_->WaitForMessages(sent + 2, 5000)) << mux_->Calls();
    EXPECT_EQ(Sent(sent), "post MSGTYPE=8");
    EXPECT_EQ(DataOf(Message(sent).get()), c.data);
    EXPECT_EQ(Flags(c.adaptor, c.audience), c.severity);
    EXPECT_EQ(Sent(sent + 1), "post MSGTYPE=1");
    ComPtr<IMuxMessage> audit = Message(sent + 1);
    // Audience 9: VELTRA and Op.
    const std::pair<const wchar_t*, std::wstring> params[] = {
        {L"msgtext", c.text}, {L"severity", L"8"}, {L"audience", L"9"}, {L"verbosity", L"0"},
        {L"provider", L"Halvern Diagnostics"}};
    for (const auto& [name, value] : params) EXPECT_EQ(Param(audit.get(), name), value) << Narrow(name);
  }
  EXPECT_EQ(mux_->ConnectCount(), connects + 3) << "each audit message goes through a manager of its own";

  // Refused before anything is sent or changed.
  sent = mux_->MessageCount();
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
  EXPECT_EQ(mux_->MessageCount(), sent);
  EXPECT_EQ(Flags(partial, TAVDiagAudience_Op), 1);
}

TEST_F(AdaptorListTest, AChangeTheMuxRefusedIsUndoneOnlyWhenTheMuxAnswersFlagChanges) {
  Offer(std::wstring(kStore) + L";" + kForwarder);
  Describe(Record(0x0f, 0x0f, {0x0f, 0x0f, 0x0f, 0x0f}, L"Message store"), true,
           "MSGTYPE=3\0HRESULT=0\0FLAGSREPLY=1\0");
  Describe(Record(0x0f, 0x0f, {0x0f, 0x0f, 0x0f, 0x0f}, L"Syslog forwarder"), false);
  ASSERT_EQ(List(), S_OK);
  ASSERT_EQ(adaptors_.size(), 2u);
  // A Mux that answers flag changes gets them as transacts, and its result counts.
  const struct {
    const char* fields;
    HRESULT result;
    long kept;
  } cases[] = {
      {"MSGTYPE=8\0HRESULT=-2147024891\0", E_ACCESSDENIED, 0x0f},  // refused: the old mask stays
      {"MSGTYPE=8\0HRESULT=0\0", S_OK, 0x03},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(mux_->SetTransactReply("8", S_OK, c.fields, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(adaptors_[0]->SetMsgCategoryEnableFlags(TAVDiagAudience_Op, static_cast<TAVDiagSeverity>(3)), c.result);
    EXPECT_EQ(Flags(adaptors_[0].get(), TAVDiagAudience_Op), c.kept);
  }

  // Otherwise a post the Mux did not take is kept, and logged anyway.
  const LONG sent = mux_->MessageCount();
  mux_->FailPost(1, E_ACCESSDENIED);
  EXPECT_EQ(adaptors_[1]->SetMsgCategoryEnableFlags(TAVDiagAudience_VELTRA, static_cast<TAVDiagSeverity>(0x0a)),
            E_ACCESSDENIED);
  EXPECT_EQ(Flags(adaptors_[1].get(), TAVDiagAudience_VELTRA), 0x0a) << "the object keeps the mask it tried to set";
  ASSERT_TRUE(mux_->WaitForMessages(sent + 1, 5000));
  ASSERT_EQ(mux_->MessageCount(), sent + 1) << "the refused flags are not recorded, the audit item is";
  EXPECT_EQ(Param(Message(sent).get(), L"msgtext"),
            L"Message categories of audience VELTRA changed on adaptor Syslog forwarder:\r\n"
            L"Error: Enabled -> Disabled\r\nInformation: Enabled -> Disabled");
  // Setting it again is no change any more, whatever the Mux holds.
  EXPECT_EQ(adaptors_[1]->SetMsgCategoryEnableFlags(TAVDiagAudience_VELTRA, static_cast<TAVDiagSeverity>(0x0a)), S_OK);
  EXPECT_EQ(mux_->MessageCount(), sent + 1);
}

// An adaptor object filled from a record, as the list fills it.
ComPtr<CTAVDiagnosticAdaptor> MakeAdaptor(const std::wstring& name, IUnknown* adaptor, uint32_t audiences = 0x0f,
                                          uint32_t severities = 0x0f) {
  const std::vector<uint8_t> bytes = Record(audiences, severities, {1, 3, 7, 15}, name);
  AdaptorInfoRecord record;
  std::memcpy(&record, bytes.data(), sizeof(record));
  ComPtr<CTAVDiagnosticAdaptor> object = MakeObject<CTAVDiagnosticAdaptor>();
  object->Fill(nullptr, nullptr, CLSID_HVStoreAdaptor, record, adaptor);
  return object;
}

TEST_F(MuxLinkTest, AdaptorObjectsAndTheirEnumeratorHandOutRecordsAndReferences) {
  ComPtr<CTAVDiagnosticAdaptors> enumerator = MakeObject<CTAVDiagnosticAdaptors>();
  for (const wchar_t* name : {L"first", L"second", L"third"})
    ASSERT_EQ(enumerator->Add(MakeAdaptor(name, MakeObject<FakeAdaptor>(true)->Inner()).get()), S_OK);
  ComPtr<IEnumVARIANT> walk = enumerator.query<IEnumVARIANT>();
  EXPECT_FALSE(enumerator.query<IDispatch>());
  VARIANT slots[4] = {};  // all VT_EMPTY
  // Next into fresh slots: the names fetched, separated by ",".
  const auto next = [&](ULONG celt, HRESULT hr, ULONG count, const std::wstring& names) {
    for (VARIANT& slot : slots) VariantClear(&slot);
    ULONG fetched = 12345;
    EXPECT_EQ(walk->Next(celt, slots, &fetched), hr) << celt;
    EXPECT_EQ(fetched, count);
    std::wstring got;
    for (ULONG i = 0; i < fetched && i < celt; ++i) got += (i ? L"," : L"") + NameOf(slots[i].punkVal);
    EXPECT_EQ(got, names);
    EXPECT_EQ(slots[count].vt, VT_EMPTY) << "nothing written past the elements fetched";
  };
  next(2, S_OK, 2, L"first,second");
  next(2, S_FALSE, 1, L"third");
  next(1, S_FALSE, 0, L"");
  next(0, S_OK, 0, L"");  // nothing asked, nothing missing
  EXPECT_EQ(walk->Reset(), S_OK);
  next(3, S_OK, 3, L"first,second,third");
  // Skipping to the end exhausts it; past the end starts over.
  EXPECT_EQ(walk->Reset(), S_OK);
  EXPECT_EQ(walk->Skip(3), S_OK);
  next(1, S_FALSE, 0, L"");
  EXPECT_EQ(walk->Reset(), S_OK);
  EXPECT_EQ(walk->Skip(4), S_FALSE);
  next(1, S_OK, 1, L"first");
  EXPECT_EQ(walk->Skip(1), S_OK);
  next(1, S_OK, 1, L"third");
  EXPECT_EQ(walk->Skip(0xFFFFFFFEu), S_OK) << "a 32-bit position: 3 + 0xFFFFFFFE wraps to 1";
  next(1, S_OK, 1, L"second");
  IEnumVARIANT* clone = reinterpret_cast<IEnumVARIANT*>(0x1234);
  EXPECT_EQ(walk->Clone(&clone), E_NOTIMPL);
  EXPECT_EQ(clone, reinterpret_cast<IEnumVARIANT*>(0x1234));

  // A count is wanted even for one element; refused calls touch nothing and
  // use nothing up, and only the type and the pointer of a slot are written.
  VARIANT slot;
  std::memset(&slot, 0xab, sizeof(slot));
  ULONG fetched = 77;
  EXPECT_EQ(walk->Reset(), S_OK);
  EXPECT_EQ(walk->Next(1, &slot, nullptr), E_INVALIDARG);
  EXPECT_EQ(walk->Next(1, nullptr, &fetched), E_INVALIDARG);
  EXPECT_EQ(fetched, 77u);
  ASSERT_EQ(walk->Next(1, &slot, &fetched), S_OK);
  EXPECT_EQ(slot.vt, VT_UNKNOWN);
  EXPECT_TRUE(slot.wReserved1 == 0xabab && slot.wReserved2 == 0xabab && slot.wReserved3 == 0xabab);
  EXPECT_EQ(NameOf(slot.punkVal), L"first");
  VariantClear(&slot);

  // The elements outlive the enumerator, and every object holds the module.
  const LONG before = ModuleLockCount();
  EXPECT_EQ(walk->Reset(), S_OK);
  next(3, S_OK, 3, L"first,second,third");
  walk.reset();
  enumerator.reset();
  EXPECT_EQ(ModuleLockCount(), before - 1) << "the enumerator went, its adaptors are still held";
  EXPECT_EQ(NameOf(slots[2].punkVal), L"third");
  for (VARIANT& s : slots) VariantClear(&s);
  // The three adaptor objects went, and with them the doubles they held.
  EXPECT_EQ(ModuleLockCount(), before - 7);

  // An adaptor object reports its record and refuses missing arguments.
  const std::wstring longName(129, L'\x00e9');
  ComPtr<CTAVDiagnosticAdaptor> readable = MakeAdaptor(longName, MakeObject<FakeAdaptor>(true)->Inner(), 0x05, 0x0b);
  EXPECT_EQ(Specifics(readable.get()), longName + L" " + kStore + L" 1 5/11") << "129 characters fill the field";
  // Any missing out-argument: nothing is written anywhere.
  for (int missing = 0; missing < 5; ++missing) {
    TAVDiagAudience a = static_cast<TAVDiagAudience>(99);
    TAVDiagSeverity s = static_cast<TAVDiagSeverity>(99);
    BSTR c = reinterpret_cast<BSTR>(0x10), n = reinterpret_cast<BSTR>(0x20);
    VARIANT_BOOL r = 99;
    EXPECT_EQ(readable->GetAdaptorSpecifics(missing == 0 ? nullptr : &a, missing == 1 ? nullptr : &s,
                                            missing == 2 ? nullptr : &c, missing == 3 ? nullptr : &n,
                                            missing == 4 ? nullptr : &r),
              E_INVALIDARG);
    EXPECT_TRUE(a == 99 && s == 99 && r == 99 && c == reinterpret_cast<BSTR>(0x10) && n == reinterpret_cast<BSTR>(0x20))
        << missing;
  }
  EXPECT_EQ(readable->GetAdaptorInterface(nullptr), E_INVALIDARG);
  // The flags of each audience, from the record's bytes; audiences beyond Op
  // have none, and anything that is not one audience is refused.
  const struct {
    unsigned long audience;
    HRESULT hr;
    long flags;
  } cases[] = {{TAVDiagAudience_VELTRA, S_OK, 1}, {TAVDiagAudience_Dev, S_OK, 3}, {TAVDiagAudience_Eng, S_OK, 7},
               {TAVDiagAudience_Op, S_OK, 15},    {16, S_OK, 99},                 {0x80000000, S_OK, 99},
               {3, E_INVALIDARG, 99},             {0, E_INVALIDARG, 99},          {0x80000001, E_INVALIDARG, 99}};
  for (const auto& c : cases) {
    TAVDiagSeverity severity = static_cast<TAVDiagSeverity>(99);
    EXPECT_EQ(readable->GetMsgCategoryEnableFlags(static_cast<TAVDiagAudience>(c.audience), &severity), c.hr);
    EXPECT_EQ(severity, c.flags) << c.audience;
  }
  EXPECT_EQ(readable->GetMsgCategoryEnableFlags(TAVDiagAudience_Op, nullptr), E_INVALIDARG);
}

}  // namespace
}  // namespace hv::test
