#include "tools/hvdiag/serve/ViewerApi.h"

#include <oleauto.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ItemView.h"
#include "tools/hvdiag/MessageSink.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"
#include "tools/hvdiag/serve/PageFiles.h"

namespace hv::diag {
namespace {

const char kJson[] = "application/json; charset=utf-8";
constexpr size_t kCursorsKept = 64;
constexpr ULONG kBatch = 256;
// OLE dates count days from 1899-12-30; the page works in Unix seconds.
constexpr double kUnixEpochAsDate = 25569.0;

LCID Language(const HttpRequest& request) {
  LCID lcid = GetUserDefaultLCID();
  if (request.Has(L"lang")) ParseLanguage(request.Param(L"lang"), &lcid);
  return lcid;
}

long Number(const HttpRequest& request, const wchar_t* name, long fallback, long low, long high) {
  long value = fallback;
  if (request.Has(name) && !ParseLong(request.Param(name), &value)) value = fallback;
  return std::clamp(value, low, high);
}

// The filter document of the request's conditions, named as hvdiag's own
// options ("severity", "location-prefix", ...), built as "hvdiag read" builds it.
std::wstring RequestFilter(const HttpRequest& request, long limit) {
  std::vector<OptionSpec> specs = {{L"count", true}};
  AddFilterOptions(&specs);
  Words words;
  for (const OptionSpec& spec : specs) {
    const std::wstring name = spec.name;
    if (name == L"count" || name == L"filter" || name == L"source") continue;
    if (!request.Param(spec.name).empty()) words.push_back(L"--" + name + L"=" + request.Param(spec.name));
  }
  if (limit > 0) words.push_back(L"--count=" + std::to_wstring(limit));
  Arguments args(words);
  std::wstring error, filter = L"<Filter/>";
  if (args.Parse(specs, &error)) BuildFilter(L"serve", args, limit > 0, &filter);
  return filter;
}

void Fail(HttpResponder& responder, const std::wstring& what, HRESULT hr) {
  // A refused filter is the page's mistake; anything else is the service's.
  responder.Send(hr == E_INVALIDARG ? 400 : 502, kJson,
                 ToUtf8(L"{\"error\":" + JsonString(FailureText(what, hr)) + L",\"code\":" + JsonString(Hex(hr)) + L"}"));
}

// Up to `wanted` items of the reader as JSON objects; false when the reader has no more.
bool ReadJson(IEnumUnknown* reader, ULONG wanted, std::vector<std::wstring>* objects, HRESULT* hr) {
  while (wanted > 0) {
    IUnknown* elements[kBatch] = {};
    ULONG fetched = 0;
    const ULONG asked = std::min(wanted, kBatch);
    ClearErrorInfo();
    *hr = reader->Next(asked, elements, &fetched);
    if (FAILED(*hr)) return false;
    for (ULONG i = 0; i < fetched; ++i) {
      ComPtr<IUnknown> element = ComPtr<IUnknown>::attach(elements[i]);
      ItemView view;
      if (SUCCEEDED(ReadItemView(element.get(), &view))) objects->push_back(ItemJson(view));
    }
    wanted -= fetched;
    if (*hr == S_FALSE || fetched < asked) return false;
  }
  return true;
}

double ParamNumber(ITAVDiagnosticLogItemEx* item, const wchar_t* name) {
  unique_bstr bstrName(SysAllocString(name));
  unique_variant value;
  if (FAILED(item->GetParam(bstrName.get(), value.put())) ||
      FAILED(VariantChangeType(value.get(), value.get(), 0, VT_R8)))
    return NAN;
  return value->dblVal;
}

std::string Numbers(const std::vector<double>& values) {
  std::string text = "[";
  char number[32];
  for (size_t i = 0; i < values.size(); ++i) {
    snprintf(number, sizeof(number), "%.15g", values[i]);
    text += (i ? "," : "") + std::string(number);
  }
  return text + "]";
}

// New messages of one browser's event stream, handed over from the Mux
// component's thread; shared with the sink, which may outlive the stream.
struct Feed {
  LCID lcid = 0;
  std::mutex lock;
  std::vector<std::string> events;
  unique_handle ready{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

}  // namespace

HRESULT ViewerApi::Manager(ComPtr<ITAVDiagnosticLogMgrEx>* manager) {
  std::lock_guard<std::mutex> lock(managerLock_);
  if (!manager_) {
    const HRESULT hr = CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_ALL, IID_ITAVDiagnosticLogMgrEx,
                                        manager_.put_void());
    if (FAILED(hr)) return hr;
  }
  *manager = manager_;
  return S_OK;
}

void ViewerApi::Handle(const HttpRequest& request, HttpResponder& responder) {
  const std::string& path = request.path;
  if (path == "/api/messages") return Messages(request, responder);
  if (path == "/api/counts") return Counts(request, responder);
  if (path == "/api/events") return Events(request, responder);
  if (path == "/api/export.xml") return ExportXml(request, responder);
  if (path == "/api/export.jsonl") return ExportJson(request, responder);
  if (path == "/api/groups") return Groups(request, responder);
  const std::string name = path == "/" ? "index.html" : path.substr(1);
  for (size_t i = 0; i < kPageFileCount; ++i)
    if (name == kPageFiles[i].name)
      return responder.Send(200, kPageFiles[i].type,
                            std::string(reinterpret_cast<const char*>(kPageFiles[i].data), kPageFiles[i].size));
  responder.Send(404, "text/plain; charset=utf-8", "Not found: " + path + "\n");
}

bool ViewerApi::Open(const HttpRequest& request, long limit, LCID lcid, HttpResponder& responder,
                     ComPtr<IEnumUnknown>* reader) {
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  HRESULT hr = Manager(&manager);
  if (FAILED(hr)) return Fail(responder, L"creating the log manager", hr), false;
  unique_bstr source(SysAllocString(source_.c_str())), filter(SysAllocString(RequestFilter(request, limit).c_str()));
  ClearErrorInfo();
  hr = manager->ReadMessages(lcid, source.get(), filter.get(), reader->put());
  if (SUCCEEDED(hr) && !*reader) hr = E_POINTER;
  if (FAILED(hr)) return Fail(responder, L"ReadMessages", hr), false;
  return true;
}

void ViewerApi::Messages(const HttpRequest& request, HttpResponder& responder) {
  const LCID lcid = Language(request);
  // Messages are formatted in the language of the thread that reads them.
  SetThreadLocale(lcid);
  const long size = Number(request, L"size", 100, 1, 1000);
  Cursor cursor;
  long cursorId = 0;
  if (ParseLong(request.Param(L"cursor"), &cursorId)) {
    std::lock_guard<std::mutex> lock(cursorsLock_);
    const auto found = cursors_.find(static_cast<uint64_t>(cursorId));
    if (found != cursors_.end() && found->second.lcid == lcid) {
      cursor = std::move(found->second);
      cursors_.erase(found);
    }
  }
  if (!cursor.reader) {
    if (!Open(request, 0, lcid, responder, &cursor.reader)) return;
    cursor.lcid = lcid;
    // A page whose reader was dropped: the newest `offset` are skipped.
    cursor.offset = Number(request, L"offset", 0, 0, LONG_MAX);
    ComPtr<ITAVDiagnosticReader> reader;
    if (cursor.offset > 0 && SUCCEEDED(cursor.reader.query(&reader))) {
      ClearErrorInfo();
      const HRESULT hr = reader->SetPosition(TAVDiagnosticPosition_End, cursor.offset);
      if (FAILED(hr)) return Fail(responder, L"SetPosition", hr);
    }
  }
  std::vector<std::wstring> objects;
  HRESULT hr = S_OK;
  const bool more = ReadJson(cursor.reader.get(), static_cast<ULONG>(size), &objects, &hr);
  if (FAILED(hr)) return Fail(responder, L"reading the next messages", hr);
  cursor.offset += static_cast<long>(objects.size());
  std::wstring json = L"{\"messages\":[";
  for (size_t i = 0; i < objects.size(); ++i) json += (i ? L",\n" : L"\n") + objects[i];
  json += L"],\"more\":" + std::wstring(more ? L"true" : L"false") + L",\"offset\":" + std::to_wstring(cursor.offset);
  if (more) {
    std::lock_guard<std::mutex> lock(cursorsLock_);
    const uint64_t id = nextCursor_++;
    json += L",\"cursor\":\"" + std::to_wstring(id) + L"\"";
    cursors_[id] = std::move(cursor);
    while (cursors_.size() > kCursorsKept) cursors_.erase(cursors_.begin());
  }
  responder.Send(200, kJson, ToUtf8(json + L"}"));
}

void ViewerApi::Counts(const HttpRequest& request, HttpResponder& responder) {
  // Counting walks the messages one by one, so only the newest are counted.
  const long limit = Number(request, L"limit", 20000, 1, 1000000);
  const long buckets = Number(request, L"buckets", 120, 1, 2000);
  ComPtr<IEnumUnknown> reader;
  if (!Open(request, limit, Language(request), responder, &reader)) return;
  std::vector<std::pair<double, unsigned long>> stamps;
  for (;;) {
    IUnknown* elements[kBatch] = {};
    ULONG fetched = 0;
    ClearErrorInfo();
    const HRESULT hr = reader->Next(kBatch, elements, &fetched);
    if (FAILED(hr)) return Fail(responder, L"reading the messages to count", hr);
    for (ULONG i = 0; i < fetched; ++i) {
      ComPtr<IUnknown> element = ComPtr<IUnknown>::attach(elements[i]);
      ComPtr<ITAVDiagnosticLogItemEx> item;
      if (FAILED(element.query(&item))) continue;
      const double date = ParamNumber(item.get(), L"datetime");
      const double severity = ParamNumber(item.get(), L"severity");
      if (std::isfinite(date) && date > 0)
        stamps.emplace_back((date - kUnixEpochAsDate) * 86400.0, std::isfinite(severity) ? static_cast<unsigned long>(severity) : 0);
    }
    if (hr == S_FALSE || fetched < kBatch || *stopping_) break;
  }
  double from = 0, to = 0;
  if (!stamps.empty()) {
    from = to = stamps[0].first;
    for (const auto& stamp : stamps) from = std::min(from, stamp.first), to = std::max(to, stamp.first);
  }
  const double width = std::max(1.0, std::ceil((to - from + 1) / buckets));
  const size_t count = stamps.empty() ? 0 : static_cast<size_t>((to - from) / width) + 1;
  // Stacked by the most severe bit a message has: Error, Warning, Info, Audit.
  std::vector<double> times(count), series[4] = {std::vector<double>(count), std::vector<double>(count),
                                                  std::vector<double>(count), std::vector<double>(count)};
  for (size_t i = 0; i < count; ++i) times[i] = from + i * width;
  for (const auto& stamp : stamps) {
    const size_t bucket = std::min(count - 1, static_cast<size_t>((stamp.first - from) / width));
    int kind = 0;
    while (kind < 3 && !(stamp.second & (1u << kind))) ++kind;
    series[kind][bucket] += 1;
  }
  char head[160];
  snprintf(head, sizeof(head), "{\"counted\":%zu,\"limit\":%ld,\"from\":%.15g,\"to\":%.15g,\"width\":%.15g,",
           stamps.size(), limit, from, to, width);
  responder.Send(200, kJson,
                 std::string(head) + "\"times\":" + Numbers(times) + ",\"severities\":[" + Numbers(series[0]) + "," +
                     Numbers(series[1]) + "," + Numbers(series[2]) + "," + Numbers(series[3]) + "]}");
}

void ViewerApi::Events(const HttpRequest& request, HttpResponder& responder) {
  auto feed = std::make_shared<Feed>();
  feed->lcid = Language(request);
  if (!responder.BeginStream("text/event-stream; charset=utf-8")) return;
  // A failure is told as an event: the browser's EventSource shows nothing of
  // an error answer, and the page closes the stream when it reads one.
  auto fail = [&responder](const std::wstring& what, HRESULT hr) {
    responder.Write(ToUtf8(L"event: failure\ndata: {\"error\":" + JsonString(FailureText(what, hr)) + L"}\n\n"));
  };
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  HRESULT hr = Manager(&manager);
  if (FAILED(hr)) return fail(L"creating the log manager", hr);
  unique_bstr source(SysAllocString(source_.c_str())), filter(SysAllocString(RequestFilter(request, 0).c_str()));
  ComPtr<IConnectionPointContainer> subscription;
  ClearErrorInfo();
  hr = manager->CreateMessageSubscription(feed->lcid, source.get(), filter.get(), 100, 256, subscription.put());
  if (SUCCEEDED(hr) && !subscription) hr = E_POINTER;
  if (FAILED(hr)) return fail(L"CreateMessageSubscription", hr);
  ComPtr<IConnectionPoint> point;
  if (FAILED(hr = subscription->FindConnectionPoint(DIID__ITAVDiagnosticMessageSubscriptionEvents, point.put())))
    return fail(L"FindConnectionPoint", hr);
  ComPtr<MessageSink> sink = ComPtr<MessageSink>::attach(MessageSink::Create([feed](IUnknown* element) {
    SetThreadLocale(feed->lcid);
    ItemView view;
    if (FAILED(ReadItemView(element, &view))) return;
    std::lock_guard<std::mutex> lock(feed->lock);
    feed->events.push_back("data: " + ToUtf8(ItemJson(view)) + "\n\n");
    SetEvent(feed->ready.get());
  }));
  if (!sink) return fail(L"creating the event sink", E_OUTOFMEMORY);
  DWORD cookie = 0;
  if (FAILED(hr = point->Advise(sink.get(), &cookie))) return fail(L"Advise", hr);
  bool open = responder.Write("retry: 3000\nevent: ready\ndata: {}\n\n");
  for (int quiet = 0; open && !*stopping_;) {
    WaitForSingleObject(feed->ready.get(), 1000);
    std::vector<std::string> events;
    {
      std::lock_guard<std::mutex> lock(feed->lock);
      events.swap(feed->events);
    }
    for (const std::string& event : events) open = open && responder.Write(event);
    // A comment now and then finds out whether the browser is still there.
    if (events.empty() && ++quiet >= 15) open = responder.Write(": still here\n\n"), quiet = 0;
  }
  point->Unadvise(cookie);
}

void ViewerApi::ExportXml(const HttpRequest& request, HttpResponder& responder) {
  const LCID lcid = Language(request);
  SetThreadLocale(lcid);
  wchar_t folder[MAX_PATH + 1], file[MAX_PATH + 1];
  if (!GetTempPathW(MAX_PATH + 1, folder) || !GetTempFileNameW(folder, L"hvx", 0, file))
    return Fail(responder, L"making a temporary file", HRESULT_FROM_WIN32(GetLastError()));
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  HRESULT hr = Manager(&manager);
  if (SUCCEEDED(hr)) {
    unique_bstr source(SysAllocString(source_.c_str())), filter(SysAllocString(RequestFilter(request, 0).c_str())),
        path(SysAllocString(file));
    ClearErrorInfo();
    hr = manager->PersistMessages(lcid, source.get(), filter.get(), TAVDiagnosticFileFormat_XML, path.get());
  }
  std::string bytes;
  if (SUCCEEDED(hr)) {
    unique_handle handle(CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    char buffer[65536];
    DWORD read = 0;
    while (handle.get() != INVALID_HANDLE_VALUE && ReadFile(handle.get(), buffer, sizeof(buffer), &read, nullptr) && read)
      bytes.append(buffer, read);
  }
  DeleteFileW(file);
  if (FAILED(hr)) return Fail(responder, L"PersistMessages", hr);
  // The library writes UTF-16 with a byte-order mark, which XML readers recognise.
  responder.Send(200, "application/xml", bytes, "attachment; filename=\"messages.xml\"");
}

void ViewerApi::ExportJson(const HttpRequest& request, HttpResponder& responder) {
  const LCID lcid = Language(request);
  SetThreadLocale(lcid);
  ComPtr<IEnumUnknown> reader;
  if (!Open(request, 0, lcid, responder, &reader)) return;
  if (!responder.BeginStream("application/x-ndjson; charset=utf-8", "attachment; filename=\"messages.jsonl\"")) return;
  for (bool more = true; more && !*stopping_;) {
    std::vector<std::wstring> objects;
    HRESULT hr = S_OK;
    more = ReadJson(reader.get(), kBatch, &objects, &hr);
    std::wstring lines;
    for (const std::wstring& object : objects) lines += object + L"\n";
    // A failure halfway cannot change the status any more: it ends the file with a line saying so.
    if (FAILED(hr)) lines += L"{\"error\":" + JsonString(FailureText(L"reading the next messages", hr)) + L"}\n";
    if (!responder.Write(ToUtf8(lines))) return;
  }
}

void ViewerApi::Groups(const HttpRequest& request, HttpResponder& responder) {
  const LCID lcid = Language(request);
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  ComPtr<ITAVDiagnosticLogDisplay> display;
  HRESULT hr = Manager(&manager);
  if (SUCCEEDED(hr)) hr = manager.query(&display);
  if (FAILED(hr)) return Fail(responder, L"asking the manager for ITAVDiagnosticLogDisplay", hr);
  unique_variant names, types;
  ClearErrorInfo();
  if (FAILED(hr = display->GetReaderFieldGroupNames(lcid, names.get(), types.get())))
    return Fail(responder, L"GetReaderFieldGroupNames", hr);
  const std::vector<std::wstring> nameList = VariantStrings(*names.get());
  std::vector<std::wstring> typeList = VariantStrings(*types.get());
  typeList.resize(nameList.size());
  std::wstring json = L"[";
  for (size_t i = 0; i < nameList.size(); ++i) {
    unique_bstr name(SysAllocString(nameList[i].c_str())), type(SysAllocString(typeList[i].c_str())), definition;
    ClearErrorInfo();
    if (FAILED(hr = display->GetGroupDefinition(lcid, name.get(), type.get(), definition.put())))
      return Fail(responder, L"GetGroupDefinition", hr);
    json += (i ? L"," : L"") + std::wstring(L"{\"name\":") + JsonString(nameList[i]) + L",\"type\":" +
            JsonString(typeList[i]) + L",\"definition\":" + JsonString(definition ? definition.get() : L"") + L"}";
  }
  responder.Send(200, kJson, ToUtf8(json + L"]"));
}

}  // namespace hv::diag
