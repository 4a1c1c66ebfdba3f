// Reading and exporting through an adaptor the test Mux hands out: which adaptor a document
// opens, what it is given, when reading is left to the caller, the export file byte for byte.
#include <olectl.h>

#include <array>
#include <fstream>
#include <memory>
#include <regex>
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
const std::wstring kOtherClsid = L"{5d0c1e2f-3a4b-4c6d-8e9f-a0b1c2d3e4f5}";  // in lower case
const CLSID kOtherAdaptor = {0x5d0c1e2f, 0x3a4b, 0x4c6d, {0x8e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0xe4, 0xf5}};

unique_bstr Bstr(const std::wstring& text) { return unique_bstr(SysAllocString(text.c_str())); }
// A text without the line breaks and indentation the XML writer may add; "(null)" for none.
std::wstring TextOf(BSTR text) {
  return text ? std::regex_replace(std::wstring(text, SysStringLen(text)), std::wregex(L"[\r\n\t]"), L"") : L"(null)";
}

// The adaptor: records each call as "Method lcid filters [buffer size] settings" and
// hands itself out as the enumerator of its elements. Registered over the real class,
// it is also the default adaptor's local reader, handing out one element a call.
class FakeAdaptor final : public IAdaptorReader,
                          public ILocalLogReader,
                          public IClassFactory,
                          public IEnumUnknown,
                          public ComObject {
 public:
  HV_COM_OBJECT(FakeAdaptor)
  static const QIEntry kInterfaces[];
  STDMETHODIMP Read(ULONG lcid, BSTR specific, BSTR filters, IEnumUnknown** items) override {
    calls.push_back(L"Read " + std::to_wstring(lcid) + L" " + TextOf(filters) + L" " + TextOf(specific));
    next_ = 0;
    if (SUCCEEDED(result) && handOut) (*items = this)->AddRef();
    return result;
  }
  STDMETHODIMP Next(ULONG count, IUnknown** out, ULONG* fetched) override {
    ULONG given = 0;
    for (; given < count && next_ < elements.size(); ++given) elements[next_++].copy_to(&out[given]);
    if (fetched) *fetched = given;
    return given == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG) override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override { return E_NOTIMPL; }
  STDMETHODIMP Clone(IEnumUnknown**) override { return E_NOTIMPL; }
  STDMETHODIMP Subscribe(ULONG lcid, BSTR specific, BSTR filters, LONG bufferTime, LONG maxSize,
                         IConnectionPointContainer** subscription) override {
    calls.push_back(L"Subscribe " + std::to_wstring(lcid) + L" " + TextOf(filters) + L" " +
                    std::to_wstring(bufferTime) + L" " + std::to_wstring(maxSize) + L" " + TextOf(specific));
    *subscription = nullptr;
    return result;
  }
  STDMETHODIMP ReadNext(long* stateA, IUnknown** item, long a, long b, long* stateB) override {
    const size_t n = received.size();
    received.push_back({*stateA, a, b, *stateB});
    *stateA = 1000 + static_cast<long>(n);
    *stateB = 2000 + static_cast<long>(n);
    *item = nullptr;
    if (n < elements.size()) elements[n].copy_to(item);
    return n + 1 >= elements.size() ? lastResult : S_OK;
  }
  STDMETHODIMP CreateInstance(IUnknown*, REFIID riid, void** ppv) override { return QueryInterface(riid, ppv); }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }
  std::vector<std::wstring> calls;
  std::vector<std::array<long, 4>> received;  // stateA, a, b, stateB of each ReadNext
  std::vector<ComPtr<IUnknown>> elements;
  HRESULT result = S_OK, lastResult = S_FALSE;
  bool handOut = true;

 private:
  ~FakeAdaptor() override = default;
  size_t next_ = 0;
};
using Calls = std::vector<std::wstring>;
const QIEntry FakeAdaptor::kInterfaces[] = {HV_QI_ENTRY(FakeAdaptor, IAdaptorReader),
                                            HV_QI_ENTRY(FakeAdaptor, ILocalLogReader),
                                            HV_QI_ENTRY(FakeAdaptor, IClassFactory),
                                            HV_QI_ENTRY(FakeAdaptor, IEnumUnknown), HV_QI_END};
// An out-parameter a failed or declined call must leave as it was.
IEnumUnknown* const kUntouched = reinterpret_cast<IEnumUnknown*>(0x1234);
// An object that is no item.
ComPtr<IUnknown> NotAnItem() { return MakeObject<FakeAdaptor>().query<IUnknown>(); }

// An item of the library with these fields (datetime, location, provider,
// audience, severity, msgtext, username, verbosity and userdescription, as
// many as given) and, when a schema is given, these extended parameters (a
// value of digits only as a number).
ComPtr<IUnknown> MakeItem(const std::vector<std::wstring>& fields, const std::wstring& schema = L"",
                          const std::vector<std::pair<std::wstring, std::wstring>>& extended = {}) {
  static const std::pair<const wchar_t*, VARTYPE> kFields[] = {
      {L"datetime", VT_DATE}, {L"location", VT_BSTR}, {L"provider", VT_BSTR},  {L"audience", VT_I4},
      {L"severity", VT_I4},   {L"msgtext", VT_BSTR},  {L"username", VT_BSTR}, {L"verbosity", VT_I4},
      {L"userdescription", VT_BSTR}};
  // Items without a schema come from the registered library: to this program's copy of the export
  // they are another implementation's items, read through their interface, written the same way.
  ComPtr<ITAVDiagnosticLogItemEx> item;
  if (schema.empty()) {
    EXPECT_EQ(CreateItem(item.put()), S_OK);
  } else {
    ComPtr<CTAVDiagnosticLogItem> object = MakeObject<CTAVDiagnosticLogItem>();
    EXPECT_EQ(object->ApplySchema(schema), S_OK);
    item = object.query<ITAVDiagnosticLogItemEx>();
  }
  auto put = [&](const std::wstring& name, VARTYPE type, const std::wstring& text) {
    unique_variant value;
    value->vt = type;
    if (type == VT_BSTR) value->bstrVal = SysAllocString(text.c_str());
    else if (type == VT_DATE) value->date = std::stod(text);
    else value->lVal = std::stol(text);
    EXPECT_EQ(item->PutParam(Bstr(name).get(), *value.get()), S_OK) << Narrow(name);
  };
  for (size_t i = 0; i < fields.size(); ++i) put(kFields[i].first, kFields[i].second, fields[i]);
  for (const auto& [name, value] : extended)
    put(name, value.find_first_not_of(L"0123456789") == std::wstring::npos ? VT_I4 : VT_BSTR, value);
  return item.query<IUnknown>();
}

const std::wstring kHead = L"<?xml version=\"1.0\" encoding=\"utf-16\" ?>\n<TAVDiagnosticItems>\n";
const std::wstring kTail = L"</TAVDiagnosticItems>\n";

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
    ASSERT_EQ(CoRegisterClassObject(CLSID_HVStoreAdaptor, static_cast<IClassFactory*>(adaptor_.get()),
                                    CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_),
              S_OK);
    file_ = BinDir() + L"reading-export-" + std::to_wstring(GetCurrentProcessId()) + L".xml";
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
  HRESULT Export(const std::wstring& source, const std::wstring& filters,
                 TAVDiagnosticFileFormat format = TAVDiagnosticFileFormat_XML) {
    return mgr_->PersistMessages(0x409, Bstr(source).get(), Bstr(filters).get(), format, Bstr(file_).get());
  }
  // The export file's text after its UTF-16 byte-order mark.
  std::wstring Written() {
    std::ifstream file(file_.c_str(), std::ios::binary);
    if (!file) return L"(no file)";
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.compare(0, 2, "\xFF\xFE") != 0) return L"(no UTF-16 byte-order mark)";
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
  }

  std::unique_ptr<TestMuxLibrary> mux_;
  ComPtr<ITAVDiagnosticLogMgrEx> mgr_;
  ComPtr<FakeAdaptor> adaptor_;
  std::wstring file_;
  DWORD cookie_ = 0;
};

// A source-control document for the default adaptor, or another.
std::wstring Document(const std::wstring& inner, const std::wstring& clsid = kDefaultClsid) {
  return L"<Source AdaptorCLSID=\"" + clsid + L"\">" + inner + L"</Source>";
}
std::wstring Logs(const std::vector<std::wstring>& entries, const wchar_t* element = L"AdaptorSpecific") {
  std::wstring logs = L"<" + std::wstring(element) + L"><Logs>";
  for (const auto& entry : entries) logs += entry.empty() ? L"<Log/>" : L"<Log>" + entry + L"</Log>";
  return logs + L"</Logs></" + element + L">";
}

using SourceControl = ComTest;
TEST_F(SourceControl, LocalWhenTheDefaultAdaptorReadsOnlyLocalhostLogs) {
  const std::tuple<const char*, std::wstring, bool> cases[] = {
      {"empty", L"", true},
      {"not well-formed", L"<Source AdaptorCLSID=\"" + kOtherClsid + L"\">", true},
      {"no adaptor named", L"<Source>" + Logs({L"\\\\plant7\\logs"}) + L"</Source>", true},
      {"localhost in any case, in a path", Document(Logs({L"C:\\LocalHost\\logs\\line3", L"localhost"})), true},
      {"one log elsewhere", Document(Logs({L"localhost", L"\\\\plant7\\logs"})), false},
      {"default in lower case", Document(Logs({L"localhost"}), L"{1b67abec-0e98-4b4f-9a72-a366625f20d6}"), false},
      {"another adaptor", Document(Logs({L"localhost"}), kOtherClsid), false},
      {"settings not the first child", Document(L"<Note/>" + Logs({L"plant7"})), true},
      {"Logs not first", Document(L"<AdaptorSpecific><Mode/><Logs><Log>plant7</Log></Logs></AdaptorSpecific>"), true},
      {"names compared with case", Document(Logs({L"plant7"}, L"adaptorspecific")), true},
      {"no logs", Document(L"<AdaptorSpecific><Logs/></AdaptorSpecific>"), true},
      {"a log without text", Document(Logs({L"localhost", L""})), false},
      {"several lines", Document(L"\n<AdaptorSpecific>\n <Logs>\n  <Log>plant7</Log>\n </Logs>\n</AdaptorSpecific>\n"),
       false},
  };
  for (const auto& [what, text, local] : cases) EXPECT_EQ(IsLocalSourceDocument(Bstr(text).get()), local) << what;
  EXPECT_TRUE(IsLocalSourceDocument(nullptr));
}

TEST_F(ReadingTest, TheDocumentNamesTheAdaptorThatGetsTheCallersArgumentsUnchanged) {
  // No document: the default adaptor, no settings; the rest goes through as given.
  ComPtr<IEnumUnknown> items;
  ASSERT_EQ(mgr_->ReadMessages(0x407, nullptr, Bstr(L"severity=1").get(), items.put()), S_OK);
  EXPECT_EQ(items.get(), static_cast<IEnumUnknown*>(adaptor_.get())) << "the adaptor's enumerator";
  // Another adaptor in lower case; of two settings elements the last counts.
  const std::wstring twice = Document(Logs({L"first"}) + L"<Other/>" + Logs({L"second"}), kOtherClsid);
  ASSERT_EQ(mgr_->ReadMessages(0, Bstr(twice).get(), nullptr, items.put()), S_OK);
  // A subscription: the adaptor's, with the caller's arguments and its result.
  adaptor_->result = CONNECT_E_CANNOTCONNECT;
  IConnectionPointContainer* subscription = nullptr;
  const unique_bstr local = Bstr(Document(Logs({L"localhost"})));
  EXPECT_EQ(mgr_->CreateMessageSubscription(0x407, local.get(), nullptr, 250, 40, &subscription),
            CONNECT_E_CANNOTCONNECT);

  EXPECT_EQ(adaptor_->calls, (Calls{L"Read 1031 severity=1 (null)", L"Read 0 (null) " + Logs({L"second"}),
                                     L"Subscribe 1031 (null) 250 40 " + Logs({L"localhost"})}));
  // The adaptor requests name the store, then the other adaptor.
  ASSERT_EQ(mux_->MessageCount(), 3);
  for (LONG i = 0; i < 2; ++i) {
    ComPtr<IMuxMessage> request;
    const BYTE* data = nullptr;
    ULONG size = 0;
    ASSERT_EQ(mux_->MessageAt(i, request.put(), nullptr), S_OK);
    request->GetData(&data, &size);
    ASSERT_EQ(size, sizeof(CLSID));
    EXPECT_TRUE(IsEqualCLSID(*reinterpret_cast<const CLSID*>(data), i ? kOtherAdaptor : CLSID_HVStoreAdaptor));
  }
}

TEST_F(ReadingTest, ABadDocumentAnAdaptorThatCannotReadOrAFailedRequestStopEveryOperation) {
  const std::pair<std::wstring, HRESULT> cases[] = {
      {Document(L"", L"{1234}"), CO_E_CLASSSTRING},
      {Document(L"", L"HVMux.MuxService"), CO_E_CLASSSTRING},
      {Document(L"", L""), CO_E_CLASSSTRING},
      {L"<Source AdaptorCLSID=\"" + kOtherClsid + L"\"><AdaptorSpecific>", S_OK},  // not well-formed: any failure
  };
  for (const auto& [text, expected] : cases) {
    ComPtr<IEnumUnknown> items;
    const HRESULT hr = mgr_->ReadMessages(0, Bstr(text).get(), nullptr, items.put());
    EXPECT_TRUE(expected == S_OK ? FAILED(hr) : hr == expected) << Narrow(text) << std::hex << hr;
    EXPECT_EQ(mgr_->PersistMessages(0, Bstr(text).get(), nullptr, TAVDiagnosticFileFormat_XML, Bstr(file_).get()), hr);
    EXPECT_EQ(Written(), L"(no file)") << Narrow(text);
  }
  EXPECT_EQ(mux_->MessageCount(), 0) << "nothing is sent for a bad document";

  AnswerAdaptorRequestsWith(MakeItem({}).get());
  const unique_bstr filters = Bstr(L"x");
  IEnumUnknown* items = kUntouched;
  IConnectionPointContainer* subscription = nullptr;
  EXPECT_EQ(mgr_->ReadMessages(0, nullptr, filters.get(), &items), E_NOINTERFACE);
  EXPECT_EQ(mgr_->ReadLocalMessages(0, nullptr, filters.get(), &items), E_NOINTERFACE);
  EXPECT_EQ(mgr_->CreateMessageSubscription(0, nullptr, filters.get(), 100, 10, &subscription), E_NOINTERFACE);
  EXPECT_EQ(Export(L"", L"x"), E_NOINTERFACE);
  EXPECT_EQ(items, kUntouched);
  // The Mux answers the request with a failure: it comes back unchanged.
  ASSERT_EQ(mux_->SetTransactReply("3", S_OK, "MSGTYPE=3\0HRESULT=-2147221164\0", nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(mgr_->ReadMessages(0, nullptr, filters.get(), &items), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(mgr_->CreateMessageSubscription(0, nullptr, filters.get(), 100, 10, &subscription), REGDB_E_CLASSNOTREG);
  EXPECT_EQ(Written(), L"(no file)");
  EXPECT_TRUE(adaptor_->calls.empty());
}

TEST_F(ReadingTest, LocalLogsWithoutAFilterAreLeftToTheCallerOnlyAfterTheMuxAnswered) {
  IEnumUnknown* items = kUntouched;
  EXPECT_EQ(mgr_->ReadLocalMessages(0, nullptr, nullptr, &items), S_FALSE);
  EXPECT_EQ(mux_->MessageCount(), 1) << "the adaptor is opened first";
  // Local logs named explicitly: the same.
  const std::wstring local = Document(Logs({L"localhost"}));
  EXPECT_EQ(mgr_->ReadLocalMessages(0, Bstr(local).get(), Bstr(L"").get(), &items), S_FALSE);
  EXPECT_EQ(items, kUntouched);
  EXPECT_TRUE(adaptor_->calls.empty());

  // A filter, or a log elsewhere, goes to the adaptor like ReadMessages.
  adaptor_->result = S_FALSE;  // the adaptor's own result comes back
  ComPtr<IEnumUnknown> read;
  EXPECT_EQ(mgr_->ReadLocalMessages(0x409, Bstr(local).get(), Bstr(L"severity=2").get(), read.put()), S_FALSE);
  EXPECT_TRUE(read) << "the adaptor's enumerator";
  const std::wstring remote = Document(Logs({L"localhost", L"plant7"}));
  EXPECT_EQ(mgr_->ReadLocalMessages(0x409, Bstr(remote).get(), nullptr, read.put()), S_FALSE);
  EXPECT_EQ(adaptor_->calls, (Calls{L"Read 1033 severity=2 " + Logs({L"localhost"}),
                                     L"Read 1033 (null) " + Logs({L"localhost", L"plant7"})}));

  // Without the Mux nothing is decided locally: the connection's failure.
  ASSERT_EQ(mgr_->ReleaseLogs(), S_OK);
  mux_->FailConnect(-1, HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_EQ(mgr_->ReadLocalMessages(0, nullptr, nullptr, &items), HRESULT_FROM_WIN32(WSAECONNREFUSED));
  EXPECT_EQ(items, kUntouched);
}

// An item with two extended parameters and a child that has a child, with
// characters that need escaping in every escaped field; then a plain item.
std::vector<ComPtr<IUnknown>> ExportedItems() {
  ComPtr<IUnknown> top = MakeItem({L"45000.5", L"Line <3>", L"Pump & Valve", L"8", L"1",
                                   L"Pressure \"high\" & rising <fast>", L"O'Neil & co", L"3", L"said \"stop\""},
                                  L"<element name=\"Batch\" type=\"int\"/><element name=\"Note\"/>",
                                  {{L"batch", L"12"}, {L"note", L"a<b> & 'c'"}});
  ComPtr<IUnknown> child = MakeItem({L"45000.25", L"Valve", L"Seal", L"2", L"2", L"cause", L"svc", L"0"},
                                    L"<element name=\"Code\"/>", {{L"code", L"E42"}});
  ComPtr<IUnknown> grandchild = MakeItem({L"45000", L"Seal", L"", L"2", L"4", L"root cause", L"svc", L"1"});
  EXPECT_EQ(child.query<ITAVDiagnosticLogItemEx>()->SetChild(grandchild.get()), S_OK);
  EXPECT_EQ(top.query<ITAVDiagnosticLogItemEx>()->SetChild(child.get()), S_OK);
  return {top, MakeItem({L"45001", L"Line <4>", L"Mixer", L"1", L"4", L"ok & \"done\"", L"op", L"0"})};
}

const std::wstring kExportedTop =
    L"\t<Item datetime = \"3/15/2023 12:00:00 PM\" location = \"Line &lt;3&gt;\" provider = \"Pump &amp; Valve\" "
    L"audience = \"8\" severity = \"1\" message = \"Pressure &quot;high&quot; &amp; rising &lt;fast&gt;\" "
    L"username = \"O'Neil &amp; co\" verbosity = \"3\" userdescription = \"said &quot;stop&quot;\">\n"
    L"\t\t<ExtendedParam Name = \"batch\" Value = \"12\" />\n"
    L"\t\t<ExtendedParam Name = \"note\" Value = \"a&lt;b&gt; &amp; 'c'\" />\n"
    L"\t<Item datetime = \"3/15/2023 6:00:00 AM\" location = \"Valve\" provider = \"Seal\" audience = \"2\" "
    L"severity = \"2\" message = \"cause\" username = \"svc\" verbosity = \"0\" userdescription = \"\">\n"
    L"\t\t<ExtendedParam Name = \"code\" Value = \"E42\" />\n"
    L"\t</Item>\n"
    L"\t<Item datetime = \"3/15/2023\" location = \"Seal\" provider = \"\" audience = \"2\" severity = \"4\" "
    L"message = \"root cause\" username = \"svc\" verbosity = \"1\" userdescription = \"\">\n"
    L"\t</Item>\n"
    L"\t</Item>\n";
const std::wstring kExportedPlain =
    L"\t<Item datetime = \"3/16/2023\" location = \"Line &lt;4&gt;\" provider = \"Mixer\" audience = \"1\" severity = \"4\" "
    L"message = \"ok &amp; &quot;done&quot;\" username = \"op\" verbosity = \"0\" userdescription = \"\">\n"
    L"\t</Item>\n";

TEST_F(ReadingTest, TheExportWritesEachItemWithItsChainAndEscapedTexts) {
  // Through the adaptor, asked for an export with the caller's locale and filter; no item is skipped.
  std::vector<ComPtr<IUnknown>> items = ExportedItems();
  adaptor_->elements = {items[0], NotAnItem(), items[1]};
  ASSERT_EQ(Export(L"", L"severity=1"), S_OK);
  EXPECT_EQ(Written(), kHead + kExportedTop + kExportedPlain + kTail);
  EXPECT_EQ(adaptor_->calls, Calls{L"Read 1033 severity=1 P"});

  // Local logs without a filter: read in this process, the reader's state passed back; the second
  // call hands out nothing, the last an item with S_FALSE.
  adaptor_->elements = {items[0], nullptr, items[1]};
  ASSERT_EQ(Export(L"", L""), S_OK);
  EXPECT_EQ(Written(), kHead + kExportedTop + kExportedPlain + kTail);
  EXPECT_EQ(adaptor_->calls.size(), 1u);
  EXPECT_EQ(mux_->MessageCount(), 2) << "the adaptor is still opened through the Mux";
  using Received = std::vector<std::array<long, 4>>;
  EXPECT_EQ(adaptor_->received, (Received{{0, 1, 0, -1}, {1000, 1, 0, 2000}, {1001, 1, 0, 2001}}));

  // A reader failing part-way leaves what was written and the closing line.
  adaptor_->received.clear();
  adaptor_->elements = {items[1], nullptr};
  adaptor_->lastResult = E_UNEXPECTED;
  ASSERT_EQ(Export(Document(Logs({L"LOCALHOST"})), L""), S_OK);
  EXPECT_EQ(Written(), kHead + kExportedPlain + kTail);
  EXPECT_EQ(adaptor_->received.size(), 2u);
}

TEST_F(ReadingTest, ExportOfNothingAndHowTheFileIsCreated) {
  // An older, longer file is replaced; no items give the frame alone.
  std::ofstream(file_.c_str(), std::ios::binary) << std::string(10000, 'x');
  const std::wstring source = Document(Logs({L"plant7"}));
  ASSERT_EQ(Export(source, L""), S_OK);
  EXPECT_EQ(Written(), kHead + kTail);
  EXPECT_EQ(adaptor_->calls, Calls{L"Read 1033  P" + Logs({L"plant7"})});

  // A Read that succeeds without an enumerator falls back to the local reader.
  adaptor_->elements = {ExportedItems()[1]};
  adaptor_->handOut = false;
  adaptor_->result = S_FALSE;
  EXPECT_EQ(Export(source, L"x"), S_FALSE) << "the read's result is the export's";
  EXPECT_EQ(Written(), kHead + kExportedPlain + kTail);

  // Failures: the format, the adaptor's read, a file someone else holds.
  const LONG sent = mux_->MessageCount();
  EXPECT_EQ(Export(L"", L"x", static_cast<TAVDiagnosticFileFormat>(1)), E_INVALIDARG);
  EXPECT_EQ(mux_->MessageCount(), sent);
  adaptor_->result = E_ACCESSDENIED;
  EXPECT_EQ(Export(L"", L"x"), E_ACCESSDENIED);
  adaptor_->result = S_OK;
  adaptor_->handOut = true;
  HANDLE held = CreateFileW(file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Export(L"", L"x"), E_FAIL);
  CloseHandle(held);
  EXPECT_EQ(Written(), kHead + kExportedPlain + kTail) << "the file is left as it was";
  EXPECT_EQ(mgr_->PersistMessages(0, nullptr, Bstr(L"x").get(), TAVDiagnosticFileFormat_XML, nullptr), E_FAIL);
}

}  // namespace
}  // namespace hv::test
