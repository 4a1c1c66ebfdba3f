// Reading, subscribing and exporting through an adaptor that the test Mux
// hands out: which adaptor a source-control document opens, what it is given,
// when reading is left to the caller, and the export file byte for byte.
#include <olectl.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/ComObject.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "mgr/CTAVDiagnosticLogMgr.h"
#include "mgr/SourceControl.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"
#include "testmux/TestMuxControl.h"

namespace hv::test {
namespace {

const std::wstring kDefaultClsid = L"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}";
// Another adaptor, written in lower case.
const std::wstring kOtherClsid = L"{5d0c1e2f-3a4b-4c6d-8e9f-a0b1c2d3e4f5}";
const CLSID kOtherAdaptor = {0x5d0c1e2f, 0x3a4b, 0x4c6d, {0x8e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};

unique_bstr Bstr(const std::wstring& text) {
  return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// --- Doubles of the adaptor side -------------------------------------------

class FakeEnum final : public IEnumUnknown, public ComObject {
 public:
  HV_COM_OBJECT(FakeEnum)
  static const QIEntry kInterfaces[];
  explicit FakeEnum(std::vector<ComPtr<IUnknown>> elements) : elements_(std::move(elements)) {}

  STDMETHODIMP Next(ULONG count, IUnknown** out, ULONG* fetched) override {
    ULONG given = 0;
    for (; given < count && next_ < elements_.size(); ++given) elements_[next_++].copy_to(&out[given]);
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override {
    next_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(IEnumUnknown**) override { return E_NOTIMPL; }

 private:
  ~FakeEnum() override = default;
  std::vector<ComPtr<IUnknown>> elements_;
  size_t next_ = 0;
};
const QIEntry FakeEnum::kInterfaces[] = {HV_QI_ENTRY(FakeEnum, IEnumUnknown), HV_QI_END};

// What the manager passed to the adaptor's reader.
struct ReaderCall {
  std::string method;
  ULONG lcid = 0;
  bool specificNull = true;
  std::wstring specific;
  std::wstring filters;
  LONG bufferTime = 0;
  LONG maxSize = 0;
};

class FakeAdaptor final : public IAdaptorReader, public ComObject {
 public:
  HV_COM_OBJECT(FakeAdaptor)
  static const QIEntry kInterfaces[];
  FakeAdaptor() = default;

  STDMETHODIMP Read(ULONG lcid, BSTR specific, BSTR filters, IEnumUnknown** ppEnum) override {
    Record("Read", lcid, specific, filters, 0, 0);
    if (FAILED(result) || !handOutEnumerator) return result;
    ComPtr<FakeEnum> items = MakeObject<FakeEnum>(elements);
    *ppEnum = items.release();
    return result;
  }
  STDMETHODIMP Subscribe(ULONG lcid, BSTR specific, BSTR filters, LONG bufferTime, LONG maxSize,
                         IConnectionPointContainer** subscription) override {
    Record("Subscribe", lcid, specific, filters, bufferTime, maxSize);
    *subscription = nullptr;
    return result;
  }

  std::vector<ReaderCall> calls;
  std::vector<ComPtr<IUnknown>> elements;
  HRESULT result = S_OK;
  bool handOutEnumerator = true;

 private:
  ~FakeAdaptor() override = default;
  void Record(const char* method, ULONG lcid, BSTR specific, BSTR filters, LONG bufferTime, LONG maxSize) {
    ReaderCall call;
    call.method = method;
    call.lcid = lcid;
    call.specificNull = specific == nullptr;
    if (specific) call.specific.assign(specific, SysStringLen(specific));
    if (filters) call.filters.assign(filters, SysStringLen(filters));
    call.bufferTime = bufferTime;
    call.maxSize = maxSize;
    calls.push_back(call);
  }
};
const QIEntry FakeAdaptor::kInterfaces[] = {HV_QI_ENTRY(FakeAdaptor, IAdaptorReader), HV_QI_END};

// The default adaptor's local reader, registered in this process over the
// real class: it hands out one element a call and keeps its own state in the
// two values the caller carries for it.
class FakeLocalReader final : public ILocalLogReader, public IClassFactory, public ComObject {
 public:
  HV_COM_OBJECT(FakeLocalReader)
  static const QIEntry kInterfaces[];
  FakeLocalReader() = default;

  STDMETHODIMP ReadNext(long* stateA, IUnknown** ppItem, long a, long b, long* stateB) override {
    received.push_back({*stateA, a, b, *stateB});
    const size_t index = received.size() - 1;
    *stateA = 1000 + static_cast<long>(index);
    *stateB = 2000 + static_cast<long>(index);
    *ppItem = nullptr;
    if (index < elements.size()) elements[index].copy_to(ppItem);
    return index + 1 >= elements.size() ? lastResult : S_OK;
  }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    return outer ? CLASS_E_NOAGGREGATION : QueryInterface(riid, ppv);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

  struct Call {
    long stateA, a, b, stateB;
  };
  std::vector<Call> received;
  std::vector<ComPtr<IUnknown>> elements;
  HRESULT lastResult = S_FALSE;

 private:
  ~FakeLocalReader() override = default;
};
const QIEntry FakeLocalReader::kInterfaces[] = {HV_QI_ENTRY(FakeLocalReader, ILocalLogReader),
                                                HV_QI_ENTRY(FakeLocalReader, IClassFactory), HV_QI_END};

// --- Items -----------------------------------------------------------------

struct ItemFields {
  double date;
  const wchar_t* location;
  const wchar_t* provider;
  long audience;
  long severity;
  const wchar_t* message;
  const wchar_t* user;
  long verbosity;
  const wchar_t* description;  // null: none
};

// Takes the value over: a text is freed once it was stored.
void Put(ITAVDiagnosticLogItemEx* item, const wchar_t* name, VARIANT value) {
  EXPECT_EQ(item->PutParam(Bstr(name).get(), value), S_OK) << Narrow(name);
  VariantClear(&value);
}
VARIANT Text(const wchar_t* text) {
  VARIANT value;
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  return value;
}
VARIANT Number(long number) {
  VARIANT value;
  value.vt = VT_I4;
  value.lVal = number;
  return value;
}

// An item of the library with these fields and, when a schema is given, its
// extended parameters set in order.
ComPtr<ITAVDiagnosticLogItemEx> MakeItem(const ItemFields& f, const std::wstring& schema = L"",
                                         const std::vector<VARIANT>& extended = {}) {
  ComPtr<CTAVDiagnosticLogItem> object = MakeObject<CTAVDiagnosticLogItem>();
  ComPtr<ITAVDiagnosticLogItemEx> item = object.query<ITAVDiagnosticLogItemEx>();
  if (!schema.empty()) {
    EXPECT_EQ(object->ApplySchema(schema), S_OK);
  }
  VARIANT date;
  date.vt = VT_DATE;
  date.date = f.date;
  Put(item.get(), L"datetime", date);
  Put(item.get(), L"location", Text(f.location));
  Put(item.get(), L"provider", Text(f.provider));
  Put(item.get(), L"audience", Number(f.audience));
  Put(item.get(), L"severity", Number(f.severity));
  Put(item.get(), L"msgtext", Text(f.message));
  Put(item.get(), L"username", Text(f.user));
  Put(item.get(), L"verbosity", Number(f.verbosity));
  if (f.description) Put(item.get(), L"userdescription", Text(f.description));
  for (ULONG i = 0; i < extended.size(); ++i) {
    unique_bstr name;
    unique_variant old;
    EXPECT_EQ(item->ParameterNameAndValue(i, name.put(), old.get()), S_OK);
    Put(item.get(), name.get(), extended[i]);
  }
  return item;
}

std::vector<uint8_t> FileBytes(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> Utf16File(const std::wstring& text) {
  std::vector<uint8_t> bytes = {0xFF, 0xFE};
  for (wchar_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  return bytes;
}

std::wstring AsText(const std::vector<uint8_t>& bytes) {
  std::wstring text;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) text += static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8));
  return text;
}

const std::wstring kHead = L"<?xml version=\"1.0\" encoding=\"utf-16\" ?>\n<TAVDiagnosticItems>\n";
const std::wstring kTail = L"</TAVDiagnosticItems>\n";

// --- Fixture ---------------------------------------------------------------

class ReadingTest : public ComTest {
 protected:
  void SetUp() override {
    ComTest::SetUp();
    DeleteMachineValue(L"Software\\Corvala Software\\Halvern Diagnostics", L"InterprocessTransport");
    mux_ = std::make_unique<TestMuxLibrary>(BinDir() + L"TestMux.dll");
    ASSERT_TRUE(mux_->ok());
    mux_->Reset();
    ASSERT_EQ(CreateObject<CTAVDiagnosticLogMgr>(nullptr, IID_ITAVDiagnosticLogMgrEx, mgr_.put_void()), S_OK);
    adaptor_ = MakeObject<FakeAdaptor>();
    AnswerAdaptorRequestsWith(static_cast<IAdaptorReader*>(adaptor_.get()));
    // A file under the test's TMPDIR, which Unix programs can open too.
    char folder[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableA("TMPDIR", folder, MAX_PATH), 0u);
    file_ = WindowsPathOf(std::string(folder) + "/reading-export-" + std::to_string(GetCurrentProcessId()) + ".xml");
    DeleteFileW(file_.c_str());
  }
  void TearDown() override {
    if (cookie_) CoRevokeClassObject(cookie_);
    DeleteFileW(file_.c_str());
    mgr_.reset();
    mux_.reset();
    ComTest::TearDown();
  }

  void AnswerAdaptorRequestsWith(IUnknown* object) {
    const BYTE record[272] = {};
    ASSERT_EQ(mux_->SetTransactReply("3", S_OK, "MSGTYPE=3\0HRESULT=0\0", nullptr, record, sizeof(record), object),
              S_OK);
  }

  // The class ids of the adaptor requests sent so far.
  std::vector<CLSID> AdaptorRequests() {
    std::vector<CLSID> ids;
    for (LONG i = 0; i < mux_->MessageCount(); ++i) {
      ComPtr<IMuxMessage> message;
      EXPECT_EQ(mux_->MessageAt(i, message.put(), nullptr), S_OK);
      const char* type = message->GetField("MSGTYPE");
      EXPECT_STREQ(type, "3");
      const BYTE* data = nullptr;
      ULONG size = 0;
      message->GetData(&data, &size);
      CLSID id = CLSID_NULL;
      if (size == sizeof(CLSID)) std::memcpy(&id, data, sizeof(id));
      ids.push_back(id);
    }
    return ids;
  }

  ComPtr<FakeLocalReader> RegisterLocalReader() {
    ComPtr<FakeLocalReader> reader = MakeObject<FakeLocalReader>();
    EXPECT_EQ(CoRegisterClassObject(CLSID_HVStoreAdaptor, static_cast<IClassFactory*>(reader.get()),
                                    CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_),
              S_OK);
    return reader;
  }

  HRESULT Export(const std::wstring& source, const std::wstring& filters,
                 TAVDiagnosticFileFormat format = TAVDiagnosticFileFormat_XML) {
    return mgr_->PersistMessages(0x409, Bstr(source).get(), Bstr(filters).get(), format, Bstr(file_).get());
  }

  std::unique_ptr<TestMuxLibrary> mux_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  ComPtr<FakeAdaptor> adaptor_;
  std::wstring file_;
  DWORD cookie_ = 0;
};

std::wstring Document(const std::wstring& clsid, const std::wstring& inner) {
  return L"<Source AdaptorCLSID=\"" + clsid + L"\">" + inner + L"</Source>";
}
std::wstring Logs(const std::vector<std::wstring>& entries) {
  std::wstring logs = L"<AdaptorSpecific><Logs>";
  for (const auto& entry : entries) logs += L"<Log>" + entry + L"</Log>";
  return logs + L"</Logs></AdaptorSpecific>";
}

// --- Source control ----------------------------------------------------------

TEST(SourceControl, LocalWhenTheDefaultAdaptorReadsOnlyLocalhostLogs) {
  const std::wstring lowerDefault = L"{1b67abec-0e98-4b4f-9a72-a366625f20d6}";
  struct Case {
    const char* what;
    std::wstring text;
    bool local;
  } cases[] = {
      {"empty", L"", true},
      {"not well-formed", L"<Source AdaptorCLSID=\"" + kOtherClsid + L"\">", true},
      {"no adaptor named", L"<Source>" + Logs({L"\\\\plant7\\logs"}) + L"</Source>", true},
      {"localhost in any case, inside a path",
       Document(kDefaultClsid, Logs({L"C:\\LocalHost\\logs\\line3", L"localhost"})), true},
      {"one log elsewhere", Document(kDefaultClsid, Logs({L"localhost", L"\\\\plant7\\logs"})), false},
      {"default adaptor in lower case", Document(lowerDefault, Logs({L"localhost"})), false},
      {"another adaptor", Document(kOtherClsid, Logs({L"localhost"})), false},
      {"settings not the first child", Document(kDefaultClsid, L"<Note/>" + Logs({L"plant7"})), true},
      {"Logs not first in the settings",
       Document(kDefaultClsid, L"<AdaptorSpecific><Mode/><Logs><Log>plant7</Log></Logs></AdaptorSpecific>"), true},
      {"names compared with case", Document(kDefaultClsid, L"<adaptorspecific><Logs><Log>plant7</Log></Logs>"
                                                           L"</adaptorspecific>"),
       true},
      {"no logs", Document(kDefaultClsid, L"<AdaptorSpecific><Logs/></AdaptorSpecific>"), true},
      {"a log without text", Document(kDefaultClsid, L"<AdaptorSpecific><Logs><Log>localhost</Log><Log/></Logs>"
                                                     L"</AdaptorSpecific>"),
       false},
      {"laid out on several lines",
       L"<Source AdaptorCLSID=\"" + kDefaultClsid +
           L"\">\n  <AdaptorSpecific>\n    <Logs>\n      <Log>plant7</Log>\n    </Logs>\n  </AdaptorSpecific>\n"
           L"</Source>\n",
       false},
  };
  ASSERT_HRESULT_SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  for (const Case& c : cases) {
    EXPECT_EQ(IsLocalSourceDocument(Bstr(c.text).get()), c.local) << c.what;
  }
  EXPECT_TRUE(IsLocalSourceDocument(nullptr));
  CoUninitialize();
}

TEST_F(ReadingTest, TheDocumentNamesTheAdaptorAndItsSettingsReachTheReaderUnchanged) {
  ComPtr<IEnumUnknown> items;
  adaptor_->elements.push_back(MakeItem({45000.5, L"a", L"b", 2, 4, L"m", L"u", 0, nullptr}).query<IUnknown>());
  // No document: the default adaptor, no settings; the rest goes through as given.
  ASSERT_EQ(mgr_->ReadMessages(0x407, nullptr, Bstr(L"severity=1").get(), items.put()), S_OK);
  ASSERT_TRUE(items);
  ComPtr<IUnknown> first;
  ULONG fetched = 0;
  EXPECT_EQ(items->Next(1, first.put(), &fetched), S_OK);
  EXPECT_EQ(fetched, 1u);

  // Another adaptor in lower case; of two settings elements the last counts.
  const std::wstring twice = Document(kOtherClsid, Logs({L"first"}) + L"<Other/>" + Logs({L"second"}));
  items.reset();
  ASSERT_EQ(mgr_->ReadMessages(0, Bstr(twice).get(), nullptr, items.put()), S_OK);

  ASSERT_EQ(adaptor_->calls.size(), 2u);
  EXPECT_EQ(adaptor_->calls[0].method, "Read");
  EXPECT_EQ(adaptor_->calls[0].lcid, 0x407u);
  EXPECT_TRUE(adaptor_->calls[0].specificNull);
  EXPECT_EQ(adaptor_->calls[0].filters, L"severity=1");
  EXPECT_FALSE(adaptor_->calls[1].specificNull);
  const std::wstring& specific = adaptor_->calls[1].specific;
  EXPECT_EQ(specific.rfind(L"<AdaptorSpecific>", 0), 0u) << Narrow(specific);
  EXPECT_NE(specific.find(L"<Log>second</Log>"), std::wstring::npos) << Narrow(specific);
  EXPECT_EQ(specific.find(L"first"), std::wstring::npos) << Narrow(specific);
  EXPECT_EQ(adaptor_->calls[1].filters, L"");

  const std::vector<CLSID> requests = AdaptorRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(IsEqualCLSID(requests[0], CLSID_HVStoreAdaptor));
  EXPECT_TRUE(IsEqualCLSID(requests[1], kOtherAdaptor));
}

TEST_F(ReadingTest, ABadDocumentFailsBeforeAnythingIsSent) {
  struct Case {
    const char* what;
    std::wstring text;
    HRESULT expected;  // S_OK: any failure
  } cases[] = {
      {"class id without its braces' form", Document(L"{1234}", L""), CO_E_CLASSSTRING},
      {"class id as a name", Document(L"HVMux.MuxService", L""), CO_E_CLASSSTRING},
      {"empty class id", Document(L"", L""), CO_E_CLASSSTRING},
      {"not well-formed", L"<Source AdaptorCLSID=\"" + kOtherClsid + L"\"><AdaptorSpecific>", S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ComPtr<IEnumUnknown> items;
    const HRESULT hr = mgr_->ReadMessages(0, Bstr(c.text).get(), nullptr, items.put());
    if (c.expected == S_OK)
      EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    else
      EXPECT_EQ(hr, c.expected);
    EXPECT_EQ(mgr_->PersistMessages(0, Bstr(c.text).get(), nullptr, TAVDiagnosticFileFormat_XML,
                                    Bstr(file_).get()),
              hr);
    EXPECT_EQ(GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES) << "no file for a failed export";
  }
  EXPECT_EQ(mux_->MessageCount(), 0);
  EXPECT_TRUE(adaptor_->calls.empty());
}

TEST_F(ReadingTest, AnAdaptorThatCannotReadOrAFailedRequestStopsAllFourOperations) {
  ComPtr<FakeEnum> notAReader = MakeObject<FakeEnum>(std::vector<ComPtr<IUnknown>>{});
  AnswerAdaptorRequestsWith(static_cast<IEnumUnknown*>(notAReader.get()));
  const unique_bstr filters = Bstr(L"x");
  IEnumUnknown* sentinel = reinterpret_cast<IEnumUnknown*>(0x1234);
  IEnumUnknown* items = sentinel;
  EXPECT_EQ(mgr_->ReadMessages(0, nullptr, filters.get(), &items), E_NOINTERFACE);
  EXPECT_EQ(mgr_->ReadLocalMessages(0, nullptr, filters.get(), &items), E_NOINTERFACE);
  IConnectionPointContainer* subscription = nullptr;
  EXPECT_EQ(mgr_->CreateMessageSubscription(0, nullptr, filters.get(), 100, 10, &subscription), E_NOINTERFACE);
  EXPECT_EQ(mgr_->PersistMessages(0, nullptr, filters.get(), TAVDiagnosticFileFormat_XML, Bstr(file_).get()),
            E_NOINTERFACE);
  EXPECT_EQ(items, sentinel);

  // The Mux answers the request with a failure: it comes back unchanged.
  ASSERT_EQ(mux_->SetTransactReply("3", S_OK, "MSGTYPE=3\0HRESULT=-2147221164\0", nullptr, nullptr, 0, nullptr),
            S_OK);
  EXPECT_EQ(mgr_->ReadMessages(0, nullptr, filters.get(), &items), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(mgr_->CreateMessageSubscription(0, nullptr, filters.get(), 100, 10, &subscription),
            REGDB_E_CLASSNOTREG);
  EXPECT_EQ(GetFileAttributesW(file_.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_TRUE(adaptor_->calls.empty());
}

TEST_F(ReadingTest, LocalLogsWithoutAFilterAreLeftToTheCallerOnlyAfterTheMuxAnswered) {
  IEnumUnknown* sentinel = reinterpret_cast<IEnumUnknown*>(0x1234);
  IEnumUnknown* items = sentinel;
  EXPECT_EQ(mgr_->ReadLocalMessages(0, nullptr, nullptr, &items), S_FALSE);
  EXPECT_EQ(items, sentinel);
  EXPECT_EQ(mux_->MessageCount(), 1) << "the adaptor is opened first";
  EXPECT_TRUE(adaptor_->calls.empty());

  // Local logs named explicitly: the same.
  const std::wstring local = Document(kDefaultClsid, Logs({L"localhost"}));
  EXPECT_EQ(mgr_->ReadLocalMessages(0, Bstr(local).get(), Bstr(L"").get(), &items), S_FALSE);
  EXPECT_TRUE(adaptor_->calls.empty());

  // A filter, or a log elsewhere, goes to the adaptor like ReadMessages.
  adaptor_->result = S_FALSE;  // the adaptor's own result comes back
  ComPtr<IEnumUnknown> read;
  EXPECT_EQ(mgr_->ReadLocalMessages(0x409, Bstr(local).get(), Bstr(L"severity=2").get(), read.put()), S_FALSE);
  EXPECT_TRUE(read) << "the adaptor's enumerator";
  read.reset();
  const std::wstring remote = Document(kDefaultClsid, Logs({L"localhost", L"plant7"}));
  EXPECT_EQ(mgr_->ReadLocalMessages(0x409, Bstr(remote).get(), nullptr, read.put()), S_FALSE);
  ASSERT_EQ(adaptor_->calls.size(), 2u);
  EXPECT_EQ(adaptor_->calls[0].filters, L"severity=2");
  EXPECT_NE(adaptor_->calls[1].specific.find(L"plant7"), std::wstring::npos);

  // Without the Mux nothing is decided locally: the connection's failure.
  ASSERT_EQ(mgr_->ReleaseLogs(), S_OK);
  const HRESULT refused = HRESULT_FROM_WIN32(WSAECONNREFUSED);
  mux_->FailConnect(-1, refused);
  EXPECT_EQ(mgr_->ReadLocalMessages(0, nullptr, nullptr, &items), refused);
  EXPECT_EQ(items, sentinel);
  mux_->FailConnect(0, S_OK);
}

TEST_F(ReadingTest, ASubscriptionIsTheAdaptorsWithTheCallersArguments) {
  adaptor_->result = CONNECT_E_CANNOTCONNECT;
  IConnectionPointContainer* subscription = reinterpret_cast<IConnectionPointContainer*>(0x1234);
  const std::wstring source = Document(kDefaultClsid, Logs({L"localhost"}));
  EXPECT_EQ(mgr_->CreateMessageSubscription(0x407, Bstr(source).get(), nullptr, 250, 40, &subscription),
            CONNECT_E_CANNOTCONNECT);
  ASSERT_EQ(adaptor_->calls.size(), 1u);
  const ReaderCall& call = adaptor_->calls[0];
  EXPECT_EQ(call.method, "Subscribe");
  EXPECT_EQ(call.lcid, 0x407u);
  EXPECT_EQ(call.bufferTime, 250);
  EXPECT_EQ(call.maxSize, 40);
  EXPECT_NE(call.specific.find(L"<Log>localhost</Log>"), std::wstring::npos);
}

// --- Export ------------------------------------------------------------------

const std::wstring kSchema = L"<element name=\"Batch\" type=\"int\"/><element name=\"Note\"/>";

// An item with two extended parameters and a child that has a child, with
// characters that need escaping in every escaped field; then a plain item.
std::vector<ComPtr<IUnknown>> ExportedItems() {
  ComPtr<ITAVDiagnosticLogItemEx> top =
      MakeItem({45000.5, L"Line <3>", L"Pump & Valve", 8, 1, L"Pressure \"high\" & rising <fast>", L"O'Neil & co",
                3, L"said \"stop\""},
               kSchema, {Number(12), Text(L"a<b & 'c'")});
  ComPtr<ITAVDiagnosticLogItemEx> child =
      MakeItem({45000.25, L"Valve", L"Seal", 2, 2, L"cause", L"svc", 0, nullptr}, L"<element name=\"Code\"/>",
               {Text(L"E42")});
  ComPtr<ITAVDiagnosticLogItemEx> grandchild =
      MakeItem({45000.0, L"Seal", L"", 2, 4, L"root cause", L"svc", 1, nullptr});
  EXPECT_EQ(child->SetChild(grandchild.get()), S_OK);
  EXPECT_EQ(top->SetChild(child.get()), S_OK);
  ComPtr<ITAVDiagnosticLogItemEx> plain = MakeItem({45001.0, L"Line 4", L"Mixer", 1, 4, L"ok", L"op", 0, nullptr});
  return {top.query<IUnknown>(), plain.query<IUnknown>()};
}

const std::wstring kExportedItems =
    L"\t<Item datetime = \"3/15/2023 12:00:00 PM\" location = \"Line &lt;3&gt;\" provider = \"Pump &amp; Valve\" "
    L"audience = \"8\" severity = \"1\" message = \"Pressure &quot;high&quot; &amp; rising &lt;fast&gt;\" "
    L"username = \"O'Neil &amp; co\" verbosity = \"3\" userdescription = \"said &quot;stop&quot;\">\n"
    L"\t\t<ExtendedParam Name = \"batch\" Value = \"12\" />\n"
    L"\t\t<ExtendedParam Name = \"note\" Value = \"a&lt;b &amp; 'c'\" />\n"
    L"\t<Item datetime = \"3/15/2023 6:00:00 AM\" location = \"Valve\" provider = \"Seal\" audience = \"2\" "
    L"severity = \"2\" message = \"cause\" username = \"svc\" verbosity = \"0\" userdescription = \"\">\n"
    L"\t\t<ExtendedParam Name = \"code\" Value = \"E42\" />\n"
    L"\t</Item>\n"
    L"\t<Item datetime = \"3/15/2023\" location = \"Seal\" provider = \"\" audience = \"2\" severity = \"4\" "
    L"message = \"root cause\" username = \"svc\" verbosity = \"1\" userdescription = \"\">\n"
    L"\t</Item>\n"
    L"\t</Item>\n"
    L"\t<Item datetime = \"3/16/2023\" location = \"Line 4\" provider = \"Mixer\" audience = \"1\" severity = \"4\" "
    L"message = \"ok\" username = \"op\" verbosity = \"0\" userdescription = \"\">\n"
    L"\t</Item>\n";

TEST_F(ReadingTest, TheExportWritesEachItemWithItsChainAndEscapedTexts) {
  adaptor_->elements = ExportedItems();
  // An element that is not a log item is skipped.
  adaptor_->elements.insert(adaptor_->elements.begin() + 1,
                            MakeObject<FakeEnum>(std::vector<ComPtr<IUnknown>>{}).query<IUnknown>());
  ASSERT_EQ(Export(L"", L"severity=1"), S_OK);
  const std::vector<uint8_t> bytes = FileBytes(file_);
  const std::vector<uint8_t> expected = Utf16File(kHead + kExportedItems + kTail);
  EXPECT_EQ(bytes, expected) << Narrow(AsText(bytes));

  // The adaptor was asked for an export, with the caller's locale and filter.
  ASSERT_EQ(adaptor_->calls.size(), 1u);
  EXPECT_EQ(adaptor_->calls[0].specific, L"P");
  EXPECT_FALSE(adaptor_->calls[0].specificNull);
  EXPECT_EQ(adaptor_->calls[0].lcid, 0x409u);
  EXPECT_EQ(adaptor_->calls[0].filters, L"severity=1");
}

TEST_F(ReadingTest, TheExportReadsLocalLogsInProcessAndPassesTheReadersStateBack) {
  ComPtr<FakeLocalReader> reader = RegisterLocalReader();
  std::vector<ComPtr<IUnknown>> items = ExportedItems();
  // The second call hands out nothing, the last call hands out an item together with S_FALSE.
  reader->elements = {items[0], nullptr, items[1]};
  ASSERT_EQ(Export(L"", L""), S_OK);
  EXPECT_EQ(FileBytes(file_), Utf16File(kHead + kExportedItems + kTail)) << Narrow(AsText(FileBytes(file_)));
  EXPECT_TRUE(adaptor_->calls.empty());
  EXPECT_EQ(mux_->MessageCount(), 1) << "the adaptor is still opened through the Mux";
  ASSERT_EQ(reader->received.size(), 3u);
  for (size_t i = 0; i < reader->received.size(); ++i) {
    const auto& call = reader->received[i];
    EXPECT_EQ(call.a, 1);
    EXPECT_EQ(call.b, 0);
    EXPECT_EQ(call.stateA, i == 0 ? 0 : 1000 + static_cast<long>(i) - 1);
    EXPECT_EQ(call.stateB, i == 0 ? -1 : 2000 + static_cast<long>(i) - 1);
  }

  // A reader failing part-way leaves what was written and the closing line.
  reader->received.clear();
  reader->elements = {items[1], nullptr};
  reader->lastResult = E_UNEXPECTED;
  const std::wstring local = Document(kDefaultClsid, Logs({L"LOCALHOST"}));
  ASSERT_EQ(Export(local, L""), S_OK);
  const std::wstring plain = kExportedItems.substr(kExportedItems.rfind(L"\t<Item"));
  EXPECT_EQ(FileBytes(file_), Utf16File(kHead + plain + kTail));
  EXPECT_EQ(reader->received.size(), 2u);
}

TEST_F(ReadingTest, ExportOfNothingAndHowTheFileIsCreated) {
  // An older, longer file is replaced; no items give the frame alone.
  {
    std::ofstream old(file_.c_str(), std::ios::binary);
    old << std::string(10000, 'x');
  }
  const std::wstring source = Document(kDefaultClsid, Logs({L"plant7"}));
  ASSERT_EQ(Export(source, L""), S_OK);
  EXPECT_EQ(FileBytes(file_), Utf16File(kHead + kTail));
  ASSERT_EQ(adaptor_->calls.size(), 1u);
  EXPECT_EQ(adaptor_->calls[0].specific.rfind(L"P<AdaptorSpecific>", 0), 0u) << Narrow(adaptor_->calls[0].specific);

  // A Read that succeeds without an enumerator falls back to the local reader.
  ComPtr<FakeLocalReader> reader = RegisterLocalReader();
  reader->elements = {ExportedItems()[1]};
  adaptor_->handOutEnumerator = false;
  adaptor_->result = S_FALSE;
  EXPECT_EQ(Export(source, L"x"), S_FALSE) << "the read's result is the export's";
  const std::wstring plain = kExportedItems.substr(kExportedItems.rfind(L"\t<Item"));
  EXPECT_EQ(FileBytes(file_), Utf16File(kHead + plain + kTail));

  // Failures: the format, the adaptor's read, a file someone else holds.
  const std::vector<uint8_t> before = FileBytes(file_);
  const LONG sent = mux_->MessageCount();
  EXPECT_EQ(Export(L"", L"x", static_cast<TAVDiagnosticFileFormat>(1)), E_INVALIDARG);
  EXPECT_EQ(mux_->MessageCount(), sent);
  adaptor_->result = E_ACCESSDENIED;
  EXPECT_EQ(Export(L"", L"x"), E_ACCESSDENIED);
  EXPECT_EQ(FileBytes(file_), before);
  adaptor_->result = S_OK;
  adaptor_->handOutEnumerator = true;
  HANDLE held = CreateFileW(file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Export(L"", L"x"), E_FAIL);
  CloseHandle(held);
  EXPECT_EQ(FileBytes(file_), before);
  EXPECT_EQ(mgr_->PersistMessages(0, nullptr, Bstr(L"x").get(), TAVDiagnosticFileFormat_XML, nullptr), E_FAIL);
}

}  // namespace
}  // namespace hv::test
