// Stored messages read, followed and exported as a viewer meets them: logged by
// other processes, read back through the library, HVMux.dll and tarnhost.
#include <olectl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/ComObject.h"
#include "common/Result.h"
#include "hvdiagtest/ChildProcess.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

const wchar_t kEverything[] = L"<Filter/>";
const wchar_t kFirst[] = L"Valve <V-7> & \"main\" isn't closed";
using TextList = std::vector<std::wstring>;

std::wstring TextOf(IUnknown* element) {
  ComPtr<IErrorInfo> info;
  unique_bstr text;
  if (FAILED(element->QueryInterface(IID_IErrorInfo, info.put_void()))) return L"(no IErrorInfo)";
  info->GetDescription(text.put());
  return text ? text.get() : L"";
}
// Up to n texts, one Next(1) each.
TextList Texts(IEnumUnknown* items, size_t n = 100) {
  TextList texts;
  for (ComPtr<IUnknown> element; texts.size() < n; element.reset()) {
    ULONG fetched = 0;
    const HRESULT hr = items->Next(1, element.put(), &fetched);
    if (fetched == 0) break;
    EXPECT_EQ(hr, S_OK);
    texts.push_back(TextOf(element.get()));
  }
  return texts;
}
unique_bstr Bstr(const wchar_t* text) { return unique_bstr(CopyBstr(text)); }
// A log of this process.
ComPtr<ITAVDiagnosticLogEx> CreateLog(ITAVDiagnosticLogMgrEx* mgr, const wchar_t* location, const wchar_t* provider) {
  ComPtr<ITAVDiagnosticLog> log;
  EXPECT_EQ(mgr->CreateTAVDiagnosticLog(Bstr(location).get(), Bstr(provider).get(), log.put()), S_OK);
  return log ? log.query<ITAVDiagnosticLogEx>() : nullptr;
}
// Logs an item for the Op audience; a synchronous one is answered once the
// service stored it. No test assertion here: threads of their own use it.
HRESULT Log(ITAVDiagnosticLogEx* log, TAVDiagSeverity severity, const std::wstring& text, bool wait = true,
            ULONG timeoutMs = 10000) {
  unique_variant message;
  message->vt = VT_BSTR;
  message->bstrVal = SysAllocString(text.c_str());
  ComPtr<ITAVDiagnosticLogItemEx> item;
  HRESULT hr = log->BuildItemEx(nullptr, nullptr, severity, TAVDiagAudience_Op, 0, *message.get(), nullptr, nullptr,
                                nullptr, item.put());
  return SUCCEEDED(hr) ? log->LogThisItemEx(item.get(), wait ? VARIANT_TRUE : VARIANT_FALSE, timeoutMs) : hr;
}

// An OnLog sink: records the texts of every event's items, and where it was called.
class RecordingEvents final : public IDispatch, public ComObject {
 public:
  HV_COM_OBJECT(RecordingEvents)
  static const QIEntry kInterfaces[];
  STDMETHODIMP GetTypeInfoCount(UINT* count) override { return *count = 0, S_OK; }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) override {
    if (id != 1 || flags != DISPATCH_METHOD || params->cArgs != 2 || params->rgvarg[0].vt != VT_UNKNOWN ||
        params->rgvarg[1].vt != VT_I4)
      return DISP_E_BADPARAMCOUNT;
    ComPtr<IEnumUnknown> items;
    RETURN_IF_FAILED(params->rgvarg[0].punkVal->QueryInterface(IID_IEnumUnknown, items.put_void()));
    // One at a time, without a count: a proxy of the enumerator under Wine
    // hands back a count of 0 with the item (docs/wine-notes.md).
    TextList texts;
    for (ComPtr<IUnknown> element; items->Next(1, element.put(), nullptr) == S_OK && element; element.reset())
      texts.push_back(TextOf(element.get()));
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({params->rgvarg[1].lVal, GetTickCount64(), GetCurrentThreadId(), texts});
    return S_OK;
  }
  struct Event {
    long subscription;
    ULONGLONG when;
    DWORD thread;
    TextList texts;
  };
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  bool WaitFor(size_t n, DWORD timeoutMs) {
    for (const ULONGLONG end = GetTickCount64() + timeoutMs; Events().size() < n; Sleep(10))
      if (GetTickCount64() > end) return false;
    return true;
  }

 private:
  std::mutex mutex_;
  std::vector<Event> events_;
};
const QIEntry RecordingEvents::kInterfaces[] = {
    HV_QI_ENTRY(RecordingEvents, IDispatch),
    HV_QI_ENTRY_IID(RecordingEvents, DIID__ITAVDiagnosticMessageSubscriptionEvents, IDispatch), HV_QI_END};

// A subscription with a recording sink advised to its events' connection point.
struct Subscription {
  ComPtr<IConnectionPointContainer> container;
  ComPtr<IConnectionPoint> point;
  ComPtr<RecordingEvents> events = MakeObject<RecordingEvents>();
  DWORD cookie = 0;
  HRESULT Open(ITAVDiagnosticLogMgrEx* mgr, const wchar_t* filter, long bufferTime, long maxSize) {
    RETURN_IF_FAILED(
        mgr->CreateMessageSubscription(0x0409, nullptr, Bstr(filter).get(), bufferTime, maxSize, container.put()));
    RETURN_IF_FAILED(container->FindConnectionPoint(DIID__ITAVDiagnosticMessageSubscriptionEvents, point.put()));
    return point->Advise(static_cast<IDispatch*>(events.get()), &cookie);
  }
};

class ReadingEndToEnd : public ComTest {
 protected:
  static void SetUpTestSuite() {
    if (!HostProcess::Available()) return;
    host_ = new HostProcess("ReadingEndToEnd");
    if (!host_->Start()) return;
    // Other processes log, as applications would.
    for (const wchar_t* arguments :
         {L"--user operator --severity Error --audience Eng --verbosity 2 --param batch:int=4711 "
          L"--param \"note=a<b & c\" --child \"Seal worn\" --child Gasket \"Valve <V-7> & \\\"main\\\" isn't closed\"",
          L"--user operator --severity Info --audience Op \"Shift handover\"",
          L"--severity Warning --audience Dev --verbosity 5 --user maint \"Bearing temperature rising\"",
          L"--user operator --severity Info --audience Op --verbosity 1 \"Pump P-101 started\"",
          L"--user operator --severity Error --audience Op \"Pump P-102 tripped\""}) {
      ChildProcess writer;
      const std::wstring line = L"log --location \"Line 3\" --provider Pump " + std::wstring(arguments);
      writerExitCode_ |= writer.Start(BinDir() + L"hvdiag.exe", line) ? writer.Wait() : 1;
    }
  }
  static void TearDownTestSuite() { delete std::exchange(host_, nullptr); }
  void SetUp() override {
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST); nothing to read from";
    ComTest::SetUp();
    ASSERT_TRUE(host_ && host_->Running()) << (host_ ? host_->Log() : "");
    ASSERT_EQ(writerExitCode_, 0) << "a writing process failed";
    ASSERT_EQ(CreateManager(mgr_.put()), S_OK);
  }
  void TearDown() override {
    mgr_.reset();
    ComTest::TearDown();
  }

  HRESULT Read(const wchar_t* filter, ComPtr<ITAVDiagnosticReader>* reader) {
    ComPtr<IEnumUnknown> items;
    RETURN_IF_FAILED(mgr_->ReadMessages(0x0409, nullptr, Bstr(filter).get(), items.put()));
    return items.query(reader);
  }
  std::string Export(const wchar_t* filter, const std::string& name) {
    const std::string path = host_->database() + "." + name + ".xml";
    EXPECT_EQ(mgr_->PersistMessages(0x0409, nullptr, Bstr(filter).get(), TAVDiagnosticFileFormat_XML,
                                    Bstr(WindowsPathOf(path).c_str()).get()),
              S_OK);
    return path;
  }

  static inline HostProcess* host_ = nullptr;
  static inline int writerExitCode_ = 0;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
};

TEST_F(ReadingEndToEnd, AnotherProcessReadsNewestFirstWithTheChildChain) {
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(kEverything, &reader), S_OK);
  ComPtr<IUnknown> elements[6];
  ULONG fetched = 0;
  EXPECT_EQ(reader->Next(6, elements[0].put(), &fetched), S_FALSE) << "only five are stored";
  ASSERT_EQ(fetched, 5u);
  TextList texts;
  for (ULONG i = 0; i < fetched; ++i) texts.push_back(TextOf(elements[i].get()));
  EXPECT_EQ(texts, (TextList{L"Pump P-102 tripped", L"Pump P-101 started", L"Bearing temperature rising",
                             L"Shift handover", kFirst}));

  ComPtr<ITAVDiagnosticLogItemEx> item;
  ASSERT_EQ(elements[4].query(&item), S_OK);
  for (const wchar_t* expected : {L"Seal worn", L"Gasket"}) {
    ComPtr<IUnknown> child;
    ASSERT_EQ(item->GetChild(child.put()), S_OK);
    ASSERT_TRUE(child);
    EXPECT_EQ(TextOf(child.get()), expected);
    ASSERT_EQ(child.query(&item), S_OK);
  }
}

TEST_F(ReadingEndToEnd, FiltersSelectTheMessages) {
  const std::pair<const wchar_t*, TextList> cases[] = {
      {L"<Filter><Severity>Error</Severity></Filter>", {L"Pump P-102 tripped", kFirst}},
      {L"<Filter><Audience>Op</Audience><MaxVerbosity>0</MaxVerbosity></Filter>", {L"Pump P-102 tripped", L"Shift handover"}},
      {L"<Filter><User>maint</User></Filter>", {L"Bearing temperature rising"}},
      {L"<Filter><Text>PUMP</Text><MaxCount>1</MaxCount></Filter>", {L"Pump P-102 tripped"}},
  };
  for (const auto& [filter, expected] : cases) {
    ComPtr<ITAVDiagnosticReader> reader;
    ASSERT_EQ(Read(filter, &reader), S_OK);
    EXPECT_EQ(Texts(reader.get()), expected) << Narrow(filter);
  }
  // A refused filter hands out no enumerator.
  IEnumUnknown* none = reinterpret_cast<IEnumUnknown*>(1);
  EXPECT_EQ(mgr_->ReadMessages(0x0409, nullptr, Bstr(L"<Filter><Severity>loud</Severity>").get(), &none), E_INVALIDARG);
  EXPECT_EQ(none, nullptr);
}

TEST_F(ReadingEndToEnd, PositionDirectionSkipAndCloneMoveTheReaderAsDescribed) {
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(kEverything, &reader), S_OK);
  // Items are read ahead in pages; turning still starts right after the last one handed out.
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
  const std::string localBytes = ReadTextFile(local);
  ASSERT_FALSE(localBytes.empty());
  EXPECT_EQ(localBytes, ReadTextFile(Export(kEverything, "adaptor")));
  // Five messages and two children, oldest first (the first holds the children).
  EXPECT_TRUE(RunUnixCommand("test $(xmllint --xpath 'count(//Item) = 7 and count(/*/Item[1]//Item) = 2' '" + local +
                             "') = true"));
}

TEST_F(ReadingEndToEnd, SubscribersSeeNewMessagesWithinTheBufferTimeOrWhenTheBufferIsFull) {
  Subscription errors, full, each;
  ASSERT_EQ(errors.Open(mgr_.get(), L"<Filter><Severity>Error</Severity></Filter>", 300, 100), S_OK);
  ASSERT_EQ(full.Open(mgr_.get(), nullptr, 60000, 2), S_OK);
  ComPtr<IConnectionPoint> other;
  EXPECT_EQ(errors.container->FindConnectionPoint(IID_IDispatch, other.put()), CONNECT_E_NOCONNECTION);
  ComPtr<IEnumConnections> connections;
  CONNECTDATA connection[2] = {};
  ULONG listed = 0;
  ASSERT_EQ(errors.point->EnumConnections(connections.put()), S_OK);
  EXPECT_EQ(connections->Next(2, connection, &listed), S_FALSE);
  ASSERT_EQ(listed, 1u);
  EXPECT_EQ(connection[0].dwCookie, errors.cookie);
  EXPECT_EQ(connection[0].pUnk, errors.events.query<IUnknown>().get()) << "the advised sink itself, in its apartment";
  if (connection[0].pUnk) connection[0].pUnk->Release();

  // A sink advised from a single-threaded apartment is called in it.
  DWORD apartment = 0;
  HRESULT subscribed = E_FAIL;
  std::atomic<bool> ready{false};
  std::thread sta([&] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    apartment = GetCurrentThreadId();
    {
      ComPtr<ITAVDiagnosticLogMgrEx> mgr;
      subscribed = CreateManager(mgr.put());
      if (SUCCEEDED(subscribed)) subscribed = each.Open(mgr.get(), nullptr, 0, 0);
      ready = true;
      // The calls into this apartment come as window messages.
      for (const ULONGLONG end = GetTickCount64() + 10000; each.events->Events().empty() && GetTickCount64() < end;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) DispatchMessageW(&message);
      }
      if (each.point) each.point->Unadvise(each.cookie);
      each.point.reset();
      each.container.reset();
    }
    CoUninitialize();
  });
  for (int waited = 0; !ready && waited < 10000; waited += 10) Sleep(10);
  EXPECT_EQ(subscribed, S_OK);
  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(mgr_.get(), L"Line 4", L"Press");
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Error, L"Press jammed"), S_OK);
  const ULONGLONG committed = GetTickCount64();
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Info, L"not for this subscription"), S_OK);
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Error, L"Press cleared"), S_OK);
  sta.join();
  ASSERT_FALSE(each.events->Events().empty());
  EXPECT_EQ(each.events->Events()[0].texts, (TextList{L"Press jammed"}));
  EXPECT_EQ(each.events->Events()[0].thread, apartment) << "the sink's own apartment, not the subscription's thread";
  ASSERT_TRUE(errors.events->WaitFor(1, 5000));
  ASSERT_TRUE(full.events->WaitFor(1, 10000)) << "two items fill the buffer long before a minute";
  Sleep(400);  // anything further would have come by now
  const auto received = errors.events->Events();
  ASSERT_EQ(received.size(), 1u) << "both errors came within one buffer time";
  EXPECT_EQ(received[0].texts, (TextList{L"Press jammed", L"Press cleared"}));
  EXPECT_GT(received[0].subscription, 0);
  // The buffer time counts from the first item's arrival, with slack for a loaded machine.
  EXPECT_LT(received[0].when - committed, 300u + 1500u);
  EXPECT_EQ(full.events->Events()[0].texts, (TextList{L"Press jammed", L"not for this subscription"}));

  EXPECT_EQ(errors.point->Unadvise(errors.cookie), S_OK);
  EXPECT_EQ(errors.point->Unadvise(errors.cookie), CONNECT_E_NOCONNECTION);
  full.point->Unadvise(full.cookie);
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Error, L"after unadvise"), S_OK);
  Sleep(500);
  EXPECT_EQ(errors.events->Events().size(), 1u) << "an unadvised sink hears nothing more";
}

TEST_F(ReadingEndToEnd, ItemsFromTwoThreadsAreAllStoredAndMovesAfterALongReadStartFromTheCallersPlace) {
  // Runs late: its items would crowd the other tests' exports. Past the first thousand items the
  // next page is asked for ahead of need; a move must still count from the last item handed out.
  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(mgr_.get(), L"Line 9", L"Paging");
  constexpr int kPerThread = 1050, kRead = 1100;
  std::atomic<int> failed{0};
  auto logMany = [&](const wchar_t* name) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (int i = 0; i < kPerThread; ++i)
      failed += FAILED(Log(log.get(), TAVDiagSeverity_Info, name + std::to_wstring(i), false, 0));
    CoUninitialize();
  };
  std::thread first(logMany, L"a"), second(logMany, L"b");
  first.join();
  second.join();
  EXPECT_EQ(failed, 0);
  // A synchronous item after them is answered once everything before it is in.
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Info, L"last"), S_OK);
  TextList stored;  // newest first
  std::istringstream rows(host_->Query("select message_text from messages where provider = 'Paging' order by id desc"));
  for (std::string row; std::getline(rows, row);) stored.push_back(Widen(row));
  ASSERT_EQ(stored.size(), 2u * kPerThread + 1);
  using Move = std::function<HRESULT(ITAVDiagnosticReader*, ComPtr<IEnumUnknown>*)>;
  const std::tuple<const char*, int, Move> moves[] = {
      {"back 2", kRead - 2, [](auto r, auto) { return r->SetPosition(TAVDiagnosticPosition_Current, -2); }},
      {"skip 3", kRead + 3, [](auto r, auto) { return r->Skip(3); }},
      {"clone", kRead, [](auto r, auto c) { return r->Clone(c->put()); }},
      {"turn", kRead - 1, [](auto r, auto) { return r->SetDirection(TAVDiagnosticDirection_Forward); }},
      {"reset", 0, [](auto r, auto) { return r->Reset(); }},
  };
  for (const auto& [move, next, apply] : moves) {
    ComPtr<ITAVDiagnosticReader> reader;
    ComPtr<IEnumUnknown> clone;
    ASSERT_EQ(Read(L"<Filter><Provider>Paging</Provider></Filter>", &reader), S_OK);
    ASSERT_EQ(Texts(reader.get(), kRead), TextList(stored.begin(), stored.begin() + kRead)) << move;
    ASSERT_EQ(apply(reader.get(), &clone), S_OK) << move;
    EXPECT_EQ(Texts(clone ? clone.get() : reader.get(), 1), TextList{stored[next]}) << move;
  }
}

// Last: it stops the shared host and starts it again.
TEST_F(ReadingEndToEnd, WhenTheServiceGoesAwayEverythingFailsWithoutHangingAndLogsReconnectLater) {
  ComPtr<ITAVDiagnosticLogEx> log = CreateLog(mgr_.get(), L"Line 8", L"Restart");
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Warning, L"before"), S_OK);
  ComPtr<ITAVDiagnosticReader> reader;
  ASSERT_EQ(Read(kEverything, &reader), S_OK);
  Subscription subscription;
  ASSERT_EQ(subscription.Open(mgr_.get(), nullptr, 100, 10), S_OK);
  ASSERT_TRUE(host_->Stop(9));
  Sleep(300);  // the link notices that the service went away
  const ULONGLONG start = GetTickCount64();
  ComPtr<IUnknown> element;
  ULONG fetched = 7;
  EXPECT_TRUE(FAILED(reader->Next(1, element.put(), &fetched)));
  EXPECT_EQ(fetched, 0u);
  EXPECT_TRUE(FAILED(reader->SetDirection(TAVDiagnosticDirection_Forward)));
  EXPECT_EQ(subscription.point->Unadvise(subscription.cookie), S_OK);
  EXPECT_TRUE(subscription.events->Events().empty());
  subscription = {};
  reader.reset();
  EXPECT_LT(GetTickCount64() - start, 5000u) << "nothing waited for the request time-out";

  const HRESULT stopped = Log(log.get(), TAVDiagSeverity_Warning, L"while stopped", true, 2000);
  EXPECT_TRUE(FAILED(stopped)) << std::hex << stopped;
  ASSERT_TRUE(host_->Start()) << host_->Log();
  EXPECT_EQ(Log(log.get(), TAVDiagSeverity_Warning, L"after restart"), S_OK);
  EXPECT_EQ(host_->Query("select message_text from messages where provider = 'Restart' order by id"),
            "before\nafter restart\n");
}

}  // namespace
}  // namespace hv::test
