// Reading, following and exporting stored messages through the real Mux
// service: messages logged by one process are read back by another, through
// the library, HVMux.dll and tarnhost, as a viewer meets them.
#include <atomic>
#include <functional>
#include <tuple>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/HostProcess.h"
#include <olectl.h>

#include "common/ComObject.h"
#include "common/Result.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

const wchar_t kEverything[] = L"<Filter/>";
using TextList = std::vector<std::wstring>;

// Logs the shared messages; run as a process of its own by the reading tests.
class WriterProcess : public ComTest {};

TEST_F(WriterProcess, DISABLED_LogsTheSharedMessages) {
  ComPtr<ITAVDiagnosticLogMgrEx> mgr;
  ASSERT_EQ(CreateManager(mgr.put()), S_OK);
  ComPtr<ITAVDiagnosticLog> plain;
  unique_bstr location(SysAllocString(L"Line 3")), provider(SysAllocString(L"Pump"));
  ASSERT_EQ(mgr->CreateTAVDiagnosticLog(location.get(), provider.get(), plain.put()), S_OK);
  ComPtr<ITAVDiagnosticLogEx> log;
  ASSERT_EQ(plain.query(&log), S_OK);
  unique_bstr schema(SysAllocString(
      L"<s><element name=\"batch\" dt:type=\"int\"/><element name=\"note\" dt:type=\"string\"/></s>"));
  ASSERT_EQ(log->ExtendItemSchema(schema.get()), S_OK);
  auto build = [&](TAVDiagSeverity severity, TAVDiagAudience audience, long verbosity, const wchar_t* text,
                   const wchar_t* user) {
    unique_variant message;
    message->vt = VT_BSTR;
    message->bstrVal = SysAllocString(text);
    unique_bstr userName(SysAllocString(user));
    ComPtr<ITAVDiagnosticLogItemEx> item;
    EXPECT_EQ(log->BuildItemEx(nullptr, userName.get(), severity, audience, verbosity, *message.get(), nullptr,
                               nullptr, nullptr, item.put()),
              S_OK);
    return item;
  };
  auto put = [](ITAVDiagnosticLogItemEx* item, const wchar_t* name, VARIANT value) {
    unique_bstr bname(SysAllocString(name));
    EXPECT_EQ(item->PutParam(bname.get(), value), S_OK);
  };

  ComPtr<ITAVDiagnosticLogItemEx> first =
      build(TAVDiagSeverity_Error, TAVDiagAudience_Eng, 2, L"Valve <V-7> & \"main\" isn't closed", L"operator");
  VARIANT batch;
  batch.vt = VT_I4;
  batch.lVal = 4711;
  put(first.get(), L"batch", batch);
  unique_variant note;
  note->vt = VT_BSTR;
  note->bstrVal = SysAllocString(L"a<b & c");
  put(first.get(), L"note", *note.get());
  ComPtr<ITAVDiagnosticLogItemEx> child = build(TAVDiagSeverity_Warning, TAVDiagAudience_Eng, 2, L"Seal worn", L"operator");
  ComPtr<ITAVDiagnosticLogItemEx> grandchild = build(TAVDiagSeverity_Info, TAVDiagAudience_Eng, 2, L"Gasket", L"operator");
  ASSERT_EQ(child->SetChild(grandchild.get()), S_OK);
  ASSERT_EQ(first->SetChild(child.get()), S_OK);

  const ComPtr<ITAVDiagnosticLogItemEx> items[] = {
      first,
      build(TAVDiagSeverity_Info, TAVDiagAudience_Op, 0, L"Shift handover", L"operator"),
      build(TAVDiagSeverity_Warning, TAVDiagAudience_Dev, 5, L"Bearing temperature rising", L"maint"),
      build(TAVDiagSeverity_Info, TAVDiagAudience_Op, 1, L"Pump P-101 started", L"operator"),
      build(TAVDiagSeverity_Error, TAVDiagAudience_Op, 0, L"Pump P-102 tripped", L"operator"),
  };
  for (const auto& item : items) ASSERT_EQ(log->LogThisItemEx(item.get(), VARIANT_TRUE, 10000), S_OK);
}

// An OnLog sink: records the texts of every event's items.
class RecordingEvents final : public IDispatch, public ComObject {
 public:
  HV_COM_OBJECT(RecordingEvents)
  static const QIEntry kInterfaces[];

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                      UINT*) override {
    if (id != 1 || flags != DISPATCH_METHOD || params->cArgs != 2 || params->rgvarg[0].vt != VT_UNKNOWN ||
        params->rgvarg[1].vt != VT_I4)
      return DISP_E_BADPARAMCOUNT;
    ComPtr<IEnumUnknown> items;
    if (FAILED(params->rgvarg[0].punkVal->QueryInterface(IID_IEnumUnknown, items.put_void()))) return E_NOINTERFACE;
    std::vector<std::wstring> texts;
    // One at a time without a count: a proxy of the enumerator under Wine
    // hands back a count of 0 with the item (docs/wine-notes.md).
    for (;;) {
      ComPtr<IUnknown> element;
      if (items->Next(1, element.put(), nullptr) != S_OK || !element) break;
      texts.push_back(TextOf(element.get()));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({params->rgvarg[1].lVal, GetTickCount64(), GetCurrentThreadId(), texts});
    return S_OK;
  }

  static std::wstring TextOf(IUnknown* element) {
    ComPtr<IErrorInfo> info;
    if (FAILED(element->QueryInterface(IID_IErrorInfo, info.put_void()))) return L"(no IErrorInfo)";
    BSTR text = nullptr;
    info->GetDescription(&text);
    unique_bstr owned(text);
    return text ? text : L"";
  }

  struct Event {
    long subscription;
    ULONGLONG when;
    DWORD thread;
    std::vector<std::wstring> texts;
  };
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Waits until n events came; false after timeoutMs.
  bool WaitFor(size_t n, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (Events().size() < n) {
      if (GetTickCount64() > end) return false;
      Sleep(10);
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
};

const QIEntry RecordingEvents::kInterfaces[] = {
    HV_QI_ENTRY(RecordingEvents, IDispatch),
    HV_QI_ENTRY_IID(RecordingEvents, DIID__ITAVDiagnosticMessageSubscriptionEvents, IDispatch), HV_QI_END};

class ReadingEndToEnd : public ComTest {
 protected:
  static void SetUpTestSuite() {
    if (!HostProcess::Available()) return;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    host_ = new HostProcess("ReadingEndToEnd");
    if (!host_->Start()) return;
    // Another process logs, as an application would.
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=WriterProcess.DISABLED_LogsTheSharedMessages";
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      return;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    writerExitCode_ = code;
    CoUninitialize();
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  void SetUp() override {
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST); nothing to read from";
    ComTest::SetUp();
    ASSERT_TRUE(host_ && host_->Running()) << (host_ ? host_->Log() : "");
    ASSERT_EQ(writerExitCode_, 0u) << "the writing process failed";
    ASSERT_EQ(CreateManager(mgr_.put()), S_OK);
  }
  void TearDown() override {
    mgr_.reset();
    ComTest::TearDown();
  }

  BSTR Bstr(const wchar_t* text) {
    strings_.emplace_back(text ? SysAllocString(text) : nullptr);
    return strings_.back().get();
  }
  HRESULT Read(const wchar_t* filter, ComPtr<ITAVDiagnosticReader>* reader) {
    ComPtr<IEnumUnknown> items;
    RETURN_IF_FAILED(mgr_->ReadMessages(0x0409, nullptr, Bstr(filter), items.put()));
    return items.query(reader);
  }
  // Up to n texts, one Next(1) each.
  static TextList Texts(IEnumUnknown* items, size_t n = 100) {
    std::vector<std::wstring> texts;
    while (texts.size() < n) {
      ComPtr<IUnknown> element;
      ULONG fetched = 0;
      const HRESULT hr = items->Next(1, element.put(), &fetched);
      if (fetched == 0) break;
      EXPECT_EQ(hr, S_OK);
      texts.push_back(RecordingEvents::TextOf(element.get()));
    }
    return texts;
  }
  // A log of this process; LogNow waits until the service has stored the item.
  ComPtr<ITAVDiagnosticLogEx> CreateLog(const wchar_t* location, const wchar_t* provider) {
    ComPtr<ITAVDiagnosticLog> plain;
    EXPECT_EQ(mgr_->CreateTAVDiagnosticLog(Bstr(location), Bstr(provider), plain.put()), S_OK);
    ComPtr<ITAVDiagnosticLogEx> log;
    if (plain) {
      EXPECT_EQ(plain.query(&log), S_OK);
    }
    return log;
  }
  void LogNow(ITAVDiagnosticLogEx* log, TAVDiagSeverity severity, const wchar_t* text) {
    VARIANT message;
    message.vt = VT_BSTR;
    message.bstrVal = Bstr(text);
    ComPtr<ITAVDiagnosticLogItemEx> item;
    ASSERT_EQ(log->BuildItemEx(nullptr, nullptr, severity, TAVDiagAudience_Op, 0, message, nullptr, nullptr,
                               nullptr, item.put()),
              S_OK);
    ASSERT_EQ(log->LogThisItemEx(item.get(), VARIANT_TRUE, 10000), S_OK);
  }
  // Subscribes with a recording sink advised to the events' connection point.
  void Subscribe(const wchar_t* filter, long bufferTime, long maxSize, ComPtr<IConnectionPointContainer>* container,
                 ComPtr<IConnectionPoint>* point, ComPtr<RecordingEvents>* events, DWORD* cookie) {
    ASSERT_EQ(mgr_->CreateMessageSubscription(0x0409, nullptr, Bstr(filter), bufferTime, maxSize, container->put()),
              S_OK);
    ASSERT_EQ((*container)->FindConnectionPoint(DIID__ITAVDiagnosticMessageSubscriptionEvents, point->put()), S_OK);
    *events = MakeObject<RecordingEvents>();
    ASSERT_EQ((*point)->Advise(static_cast<IDispatch*>(events->get()), cookie), S_OK);
  }
  std::string Export(const wchar_t* filter, const std::string& name) {
    const std::string path = host_->database() + "." + name + ".xml";
    EXPECT_EQ(mgr_->PersistMessages(0x0409, nullptr, Bstr(filter), TAVDiagnosticFileFormat_XML,
                                    Bstr(WindowsPathOf(path).c_str())),
              S_OK);
    return path;
  }

  static HostProcess* host_;
  static DWORD writerExitCode_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  std::vector<unique_bstr> strings_;
};

HostProcess* ReadingEndToEnd::host_ = nullptr;
DWORD ReadingEndToEnd::writerExitCode_ = 1;

const wchar_t kFirst[] = L"Valve <V-7> & \"main\" isn't closed";

TEST_F(ReadingEndToEnd, AnotherProcessReadsNewestFirstWithEveryFieldAndTheChildChain) {
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(kEverything, &reader), S_OK);
  ComPtr<IUnknown> elements[6];
  ULONG fetched = 0;
  EXPECT_EQ(reader->Next(6, elements[0].put(), &fetched), S_FALSE) << "only five are stored";
  ASSERT_EQ(fetched, 5u);
  TextList texts;
  for (ULONG i = 0; i < fetched; ++i) texts.push_back(RecordingEvents::TextOf(elements[i].get()));
  EXPECT_EQ(texts, (TextList{L"Pump P-102 tripped", L"Pump P-101 started", L"Bearing temperature rising",
                          L"Shift handover", kFirst}));

  ComPtr<ITAVDiagnosticLogItemEx> first;
  ASSERT_EQ(elements[4].query(&first), S_OK);
  unique_variant value;
  ASSERT_EQ(first->GetParam(Bstr(L"location"), value.put()), S_OK);
  EXPECT_STREQ(value->bstrVal, L"Line 3");
  ASSERT_EQ(first->GetParam(Bstr(L"username"), value.put()), S_OK);
  EXPECT_STREQ(value->bstrVal, L"operator");
  ULONG count = 0;
  ASSERT_EQ(first->ExtendedParameterCount(&count), S_OK);
  EXPECT_EQ(count, 2u);
  ComPtr<IUnknown> child;
  ASSERT_EQ(first->GetChild(child.put()), S_OK);
  ASSERT_TRUE(child);
  EXPECT_EQ(RecordingEvents::TextOf(child.get()), L"Seal worn");
  ComPtr<ITAVDiagnosticLogItemEx> childItem;
  ASSERT_EQ(child.query(&childItem), S_OK);
  ComPtr<IUnknown> grandchild;
  ASSERT_EQ(childItem->GetChild(grandchild.put()), S_OK);
  ASSERT_TRUE(grandchild);
  EXPECT_EQ(RecordingEvents::TextOf(grandchild.get()), L"Gasket");
}

TEST_F(ReadingEndToEnd, FiltersSelectAndAMalformedFilterSaysWhy) {
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(L"<Filter><Severity>Error</Severity></Filter>", &reader), S_OK);
  EXPECT_EQ(Texts(reader.get()), (TextList{L"Pump P-102 tripped", kFirst}));
  ASSERT_EQ(Read(L"<Filter><Audience>Op</Audience><MaxVerbosity>0</MaxVerbosity></Filter>", &reader), S_OK);
  EXPECT_EQ(Texts(reader.get()), (TextList{L"Pump P-102 tripped", L"Shift handover"}));
  ASSERT_EQ(Read(L"<Filter><User>maint</User></Filter>", &reader), S_OK);
  EXPECT_EQ(Texts(reader.get()), (TextList{L"Bearing temperature rising"}));
  ASSERT_EQ(Read(L"<Filter><Text>PUMP</Text><MaxCount>1</MaxCount></Filter>", &reader), S_OK);
  EXPECT_EQ(Texts(reader.get()), (TextList{L"Pump P-102 tripped"}));

  ComPtr<IEnumUnknown> none;
  EXPECT_EQ(mgr_->ReadMessages(0x0409, nullptr, Bstr(L"<Filter><Severity>loud</Severity>"), none.put()),
            E_INVALIDARG);
  EXPECT_FALSE(none);
  EXPECT_FALSE(TakeErrorDescription().empty()) << "the service's reason reaches the caller";
}

TEST_F(ReadingEndToEnd, PositionDirectionSkipAndCloneMoveTheReaderAsDescribed) {
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(kEverything, &reader), S_OK);
  // Items read one by one are read ahead in pages; turning must still start
  // right after the last item handed out.
  EXPECT_EQ(Texts(reader.get(), 2), (TextList{L"Pump P-102 tripped", L"Pump P-101 started"}));
  ASSERT_EQ(reader->SetDirection(TAVDiagnosticDirection_Forward), S_OK);
  EXPECT_EQ(Texts(reader.get(), 1), (TextList{L"Pump P-101 started"}));

  ASSERT_EQ(reader->SetPosition(TAVDiagnosticPosition_Start, 1), S_OK);
  EXPECT_EQ(Texts(reader.get(), 1), (TextList{L"Shift handover"}));
  EXPECT_EQ(reader->Skip(1), S_OK);
  ComPtr<IEnumUnknown> clone;
  ASSERT_EQ(reader->Clone(clone.put()), S_OK);
  EXPECT_EQ(Texts(reader.get()), (TextList{L"Pump P-101 started", L"Pump P-102 tripped"}));
  EXPECT_EQ(Texts(clone.get()), (TextList{L"Pump P-101 started", L"Pump P-102 tripped"})) << "clones go on alone";

  EXPECT_EQ(reader->SetPosition(TAVDiagnosticPosition_End, 2), S_OK);
  EXPECT_EQ(Texts(reader.get()), (TextList{L"Pump P-101 started", L"Pump P-102 tripped"}));
  EXPECT_EQ(reader->SetPosition(TAVDiagnosticPosition_Start, 9), S_FALSE) << "ran past the newest";
  EXPECT_EQ(reader->Reset(), S_OK);
  EXPECT_EQ(Texts(reader.get(), 1), (TextList{kFirst}));
  EXPECT_EQ(reader->Skip(10), S_FALSE);
  EXPECT_EQ(reader->SetPosition(static_cast<TAVDiagnosticPosition>(3), 0), E_INVALIDARG);
}

TEST_F(ReadingEndToEnd, TheLocalExportEqualsTheAdaptorExportAndParses) {
  const std::string local = Export(nullptr, "local");
  const std::string adaptor = Export(kEverything, "adaptor");
  const std::string localBytes = ReadTextFile(local);
  ASSERT_FALSE(localBytes.empty());
  EXPECT_EQ(localBytes, ReadTextFile(adaptor));
  // Oldest first; the layout and escaping are the export tests' business.
  EXPECT_TRUE(RunUnixCommand("test $(xmllint --xpath 'count(//Item)' '" + local + "') = 7"))
      << "five messages and two children";
  const std::wstring text(reinterpret_cast<const wchar_t*>(localBytes.data() + 2), (localBytes.size() - 2) / 2);
  EXPECT_LT(text.find(L"Valve &lt;V-7&gt;"), text.find(L"Shift handover"));

  // A filtered export holds only what the filter selects.
  const std::string errors = Export(L"<Filter><Severity>Error</Severity></Filter>", "errors");
  EXPECT_TRUE(RunUnixCommand("test $(xmllint --xpath 'count(/TAVDiagnosticItems/Item)' '" + errors + "') = 2"));
}

TEST_F(ReadingEndToEnd, ASubscriberSeesNewMessagesWithinItsBufferTime) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  ComPtr<RecordingEvents> events;
  DWORD cookie = 0;
  ASSERT_NO_FATAL_FAILURE(
      Subscribe(L"<Filter><Severity>Error</Severity></Filter>", 300, 100, &container, &point, &events, &cookie));
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, other.put()), CONNECT_E_NOCONNECTION);
  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.put()), S_OK);
  CONNECTDATA connection[2] = {};
  ULONG listed = 0;
  EXPECT_EQ(connections->Next(2, connection, &listed), S_FALSE);
  ASSERT_EQ(listed, 1u);
  EXPECT_EQ(connection[0].dwCookie, cookie);
  ComPtr<IUnknown> identity;
  events->QueryInterface(IID_IUnknown, identity.put_void());
  EXPECT_EQ(connection[0].pUnk, identity.get()) << "the advised sink itself, in its own apartment";
  if (connection[0].pUnk) connection[0].pUnk->Release();

  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(L"Line 4", L"Press");
  ASSERT_TRUE(log);
  LogNow(log.get(), TAVDiagSeverity_Error, L"Press jammed");
  const ULONGLONG committed = GetTickCount64();
  LogNow(log.get(), TAVDiagSeverity_Info, L"not for this subscription");
  LogNow(log.get(), TAVDiagSeverity_Error, L"Press cleared");
  ASSERT_TRUE(events->WaitFor(1, 5000));
  Sleep(400);  // anything further would have come by now
  const auto received = events->Events();
  ASSERT_EQ(received.size(), 1u) << "both errors came within one buffer time";
  EXPECT_EQ(received[0].texts, (TextList{L"Press jammed", L"Press cleared"}));
  EXPECT_GT(received[0].subscription, 0);
  // The buffer time is counted from the first item's arrival; the slack is
  // for a loaded machine.
  EXPECT_LT(received[0].when - committed, 300u + 1500u);

  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(point->Unadvise(cookie), CONNECT_E_NOCONNECTION);
  LogNow(log.get(), TAVDiagSeverity_Error, L"after unadvise");
  Sleep(500);
  EXPECT_EQ(events->Events().size(), 1u) << "an unadvised sink hears nothing more";
}

TEST_F(ReadingEndToEnd, AFullBufferFiresBeforeTheBufferTime) {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  ComPtr<RecordingEvents> events;
  DWORD cookie = 0;
  ASSERT_NO_FATAL_FAILURE(Subscribe(nullptr, 60000, 2, &container, &point, &events, &cookie));
  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(L"Line 5", L"Oven");
  ASSERT_TRUE(log);
  for (const wchar_t* text : {L"one", L"two", L"three"}) LogNow(log.get(), TAVDiagSeverity_Info, text);
  ASSERT_TRUE(events->WaitFor(1, 10000)) << "two items fill the buffer long before a minute";
  EXPECT_EQ(events->Events()[0].texts, (TextList{L"one", L"two"}));
  point->Unadvise(cookie);
}

TEST_F(ReadingEndToEnd, ASinkAdvisedFromASingleThreadedApartmentIsCalledInIt) {
  ComPtr<RecordingEvents> events = MakeObject<RecordingEvents>();
  DWORD apartmentThread = 0;
  HRESULT subscribed = E_FAIL;
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::atomic<bool> done{false};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](void* parameter) -> DWORD {
        auto* self = static_cast<std::tuple<RecordingEvents*, DWORD*, HRESULT*, HANDLE, std::atomic<bool>*>*>(parameter);
        auto [events, apartment, result, ready, done] = *self;
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        *apartment = GetCurrentThreadId();
        {
          ComPtr<ITAVDiagnosticLogMgrEx> mgr;
          ComPtr<IConnectionPointContainer> container;
          ComPtr<IConnectionPoint> point;
          DWORD cookie = 0;
          *result = CreateManager(mgr.put());
          if (SUCCEEDED(*result)) *result = mgr->CreateMessageSubscription(0x0409, nullptr, nullptr, 0, 0, container.put());
          if (SUCCEEDED(*result))
            *result = container->FindConnectionPoint(DIID__ITAVDiagnosticMessageSubscriptionEvents, point.put());
          if (SUCCEEDED(*result)) *result = point->Advise(static_cast<IDispatch*>(events), &cookie);
          SetEvent(ready);
          // The calls into this apartment come as window messages.
          while (!*done) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
          }
          if (point) point->Unadvise(cookie);
        }
        CoUninitialize();
        return 0;
      },
      new std::tuple<RecordingEvents*, DWORD*, HRESULT*, HANDLE, std::atomic<bool>*>(events.get(), &apartmentThread,
                                                                                    &subscribed, ready, &done),
      0, nullptr);
  ASSERT_TRUE(thread);
  WaitForSingleObject(ready, 10000);
  EXPECT_EQ(subscribed, S_OK);
  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(L"Line 6", L"Mixer");
  if (log) LogNow(log.get(), TAVDiagSeverity_Info, L"Mixer started");
  EXPECT_TRUE(events->WaitFor(1, 10000));
  done = true;
  WaitForSingleObject(thread, 10000);
  CloseHandle(thread);
  CloseHandle(ready);
  const auto received = events->Events();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].texts, (TextList{L"Mixer started"}));
  EXPECT_EQ(received[0].thread, apartmentThread) << "the sink's own apartment, not the subscription's thread";
}

// Last: it stops the shared host.
TEST_F(ReadingEndToEnd, MovesAfterALongReadStartFromTheCallersPlace) {
  // Runs late: its items would crowd the other tests' exports. Past the
  // first thousand items the next page is asked for ahead of need; a move
  // must still count from the last item handed out.
  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(L"Line 9", L"Paging");
  constexpr int kItems = 2100, kRead = 1100;
  for (int i = 0; i < kItems; ++i) LogNow(log.get(), TAVDiagSeverity_Info, (L"n" + std::to_wstring(i)).c_str());
  auto nth = [&](int newestFirst) { return TextList{L"n" + std::to_wstring(kItems - 1 - newestFirst)}; };
  const struct {
    const char* move;
    int next;
    std::function<IEnumUnknown*(ITAVDiagnosticReader*, ComPtr<IEnumUnknown>*)> apply;
  } moves[] = {
      {"back 2", kRead - 2,
       [](auto r, auto) -> IEnumUnknown* { EXPECT_EQ(r->SetPosition(TAVDiagnosticPosition_Current, -2), S_OK); return r; }},
      {"skip 3", kRead + 3, [](auto r, auto) -> IEnumUnknown* { EXPECT_EQ(r->Skip(3), S_OK); return r; }},
      {"clone", kRead, [](auto r, auto c) -> IEnumUnknown* { EXPECT_EQ(r->Clone(c->put()), S_OK); return c->get(); }},
      {"turn", kRead - 1,
       [](auto r, auto) -> IEnumUnknown* { EXPECT_EQ(r->SetDirection(TAVDiagnosticDirection_Forward), S_OK); return r; }},
      {"reset", 0, [](auto r, auto) -> IEnumUnknown* { EXPECT_EQ(r->Reset(), S_OK); return r; }},
  };


  for (const auto& m : moves) {
    ComPtr<ITAVDiagnosticReader> reader;
    ASSERT_EQ(Read(L"<Filter><Provider>Paging</Provider></Filter>", &reader), S_OK);
    const TextList read = Texts(reader.get(), kRead);
    ASSERT_EQ(read.size(), size_t(kRead));
    EXPECT_EQ(TextList{read.back()}, nth(kRead - 1));
    ComPtr<IEnumUnknown> clone;
    EXPECT_EQ(Texts(m.apply(reader.get(), &clone), 1), nth(m.next)) << m.move;
  }
}

TEST_F(ReadingEndToEnd, WhenTheServiceGoesAwayReadersFailAndSubscriptionsEndWithoutHanging) {
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(kEverything, &reader), S_OK);
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  ComPtr<RecordingEvents> events;
  DWORD cookie = 0;
  ASSERT_NO_FATAL_FAILURE(Subscribe(nullptr, 100, 10, &container, &point, &events, &cookie));
  ASSERT_TRUE(host_->Stop(9));
  Sleep(300);  // the link notices that the service went away
  const ULONGLONG start = GetTickCount64();
  ComPtr<IUnknown> element;
  ULONG fetched = 7;
  EXPECT_TRUE(FAILED(reader->Next(1, element.put(), &fetched)));
  EXPECT_EQ(fetched, 0u);
  EXPECT_TRUE(FAILED(reader->SetDirection(TAVDiagnosticDirection_Forward)));
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
  point.reset();
  container.reset();
  reader.reset();
  EXPECT_LT(GetTickCount64() - start, 5000u) << "nothing waited for the request time-out";
  EXPECT_TRUE(events->Events().empty());
}

}  // namespace
}  // namespace hv::test
