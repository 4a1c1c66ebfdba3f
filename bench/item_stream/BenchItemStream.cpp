// The item stream on the hot path: a typical item saved and loaded, beside a
// memcpy and a memory-stream write of the same bytes measured in the same
// run; and the description, formatted anew and served from the cache.
//
// Run (from the build tree): wine64 bin/bench_item_stream.exe [seconds per figure]
// Figures are per second of the measuring thread's processor time, and in
// brackets per second of wall-clock time.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/ComObject.h"
#include "common/Unique.h"
#include "item/CTAVDiagnosticLogItem.h"
#include "mgr/XmlExport.h"

namespace {

using Clock = std::chrono::steady_clock;
using hv::ComPtr;
using hv::CTAVDiagnosticLogItem;

double g_seconds = 0.5;
volatile unsigned g_sink = 0;  // keeps the baselines from being optimised away
double g_wallRate = 0;         // the last figure per second of wall-clock time

// The calling thread's processor time so far, in seconds.
double ThreadCpuSeconds() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  auto seconds = [](const FILETIME& t) { return (static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7; };
  return seconds(kernel) + seconds(user);
}

// Calls op in batches until the time is up; operations per second of this
// thread's processor time, so that a machine busy with other work changes the
// figures little (everything measured here runs on the calling thread).
template <class Op>
double PerSecond(Op op) {
  const auto start = Clock::now();
  const double cpuStart = ThreadCpuSeconds();
  long long count = 0;
  double elapsed = 0;
  do {
    for (int i = 0; i < 256; ++i) op();
    count += 256;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  } while (elapsed < g_seconds);
  const double cpu = ThreadCpuSeconds() - cpuStart;
  g_wallRate = count / elapsed;
  return count / (cpu > 0 ? cpu : elapsed);
}

void Put(CTAVDiagnosticLogItem* item, const wchar_t* name, VARIANT value) {
  hv::unique_bstr bname(SysAllocString(name));
  item->PutParam(bname.get(), value);
  VariantClear(&value);
}

VARIANT Text(const std::wstring& text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(text.c_str());
  return v;
}

// Provider, location, a 200-character text with three insertion places,
// three arguments and two extended parameters.
ComPtr<CTAVDiagnosticLogItem> TypicalItem() {
  ComPtr<CTAVDiagnosticLogItem> item = hv::MakeObject<CTAVDiagnosticLogItem>();
  item->ApplySchema(L"<ElementType name=\"batch\" dt:type=\"int\"/><ElementType name=\"operator\" dt:type=\"string\"/>");
  Put(item.get(), L"provider", Text(L"Pump"));
  Put(item.get(), L"location", Text(L"Plant 7 / Hall 3 / Line 2"));
  std::wstring message = L"Pump %1 pressure %2!d! kPa is above the limit of the current recipe step %3; ";
  message.resize(200, L'x');
  Put(item.get(), L"msgtext", Text(message));
  VARIANT list;
  list.vt = VT_ARRAY | VT_VARIANT;
  list.parray = SafeArrayCreateVector(VT_VARIANT, 0, 3);
  VARIANT args[3];
  args[0] = Text(L"P-101");
  args[1].vt = VT_I4;
  args[1].lVal = 412;
  args[2].vt = VT_R8;
  args[2].dblVal = 4.5;
  for (LONG i = 0; i < 3; ++i) SafeArrayPutElement(list.parray, &i, &args[i]);
  VariantClear(&args[0]);
  Put(item.get(), L"arglist", list);
  VARIANT batch;
  batch.vt = VT_I4;
  batch.lVal = 20417;
  Put(item.get(), L"batch", batch);
  Put(item.get(), L"operator", Text(L"PLANT7\\shift-b"));
  return item;
}

void Row(const char* what, double perSecond, size_t bytes) {
  std::printf("  %-44s %12.0f /s  %9.1f MB/s  (wall clock %.0f /s)\n", what, perSecond, perSecond * bytes / 1e6,
              g_wallRate);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_seconds = std::atof(argv[1]);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  {
    ComPtr<CTAVDiagnosticLogItem> item = TypicalItem();
    ComPtr<IStream> stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    item->Save(stream.get(), FALSE);
    STATSTG stat = {};
    stream->Stat(&stat, STATFLAG_NONAME);
    const size_t size = static_cast<size_t>(stat.cbSize.QuadPart);
    std::vector<uint8_t> bytes(size), copy(size);
    HGLOBAL memory = nullptr;
    GetHGlobalFromStream(stream.get(), &memory);
    std::memcpy(bytes.data(), GlobalLock(memory), size);
    GlobalUnlock(memory);
    const LARGE_INTEGER zero = {};

    std::printf("typical item: %zu bytes in stream form\n\n", size);
    std::printf("baselines (same bytes, same run)\n");
    Row("memcpy", PerSecond([&] {
          std::memcpy(copy.data(), bytes.data(), size);
          g_sink += copy[size / 2];
        }), size);
    Row("memory stream: seek + one Write", PerSecond([&] {
          stream->Seek(zero, STREAM_SEEK_SET, nullptr);
          stream->Write(bytes.data(), static_cast<ULONG>(size), nullptr);
        }), size);
    Row("new memory stream + one Write", PerSecond([&] {
          ComPtr<IStream> fresh;
          CreateStreamOnHGlobal(nullptr, TRUE, fresh.put());
          fresh->Write(bytes.data(), static_cast<ULONG>(size), nullptr);
        }), size);

    std::printf("item stream\n");
    Row("GetSizeMax", PerSecond([&] {
          ULARGE_INTEGER measured;
          item->GetSizeMax(&measured);
          g_sink += measured.LowPart;
        }), size);
    Row("Save into a reused stream", PerSecond([&] {
          stream->Seek(zero, STREAM_SEEK_SET, nullptr);
          item->Save(stream.get(), FALSE);
        }), size);
    Row("Save into a new stream", PerSecond([&] {
          ComPtr<IStream> fresh;
          CreateStreamOnHGlobal(nullptr, TRUE, fresh.put());
          item->Save(fresh.get(), FALSE);
        }), size);
    ComPtr<CTAVDiagnosticLogItem> reader = hv::MakeObject<CTAVDiagnosticLogItem>();
    Row("Load into a reused item", PerSecond([&] {
          stream->Seek(zero, STREAM_SEEK_SET, nullptr);
          reader->Load(stream.get());
        }), size);
    Row("new item + Load", PerSecond([&] {
          stream->Seek(zero, STREAM_SEEK_SET, nullptr);
          ComPtr<CTAVDiagnosticLogItem> fresh = hv::MakeObject<CTAVDiagnosticLogItem>();
          fresh->Load(stream.get());
        }), size);

    std::printf("export (one item's lines, written through the export's file buffer)\n");
    {
      wchar_t folder[MAX_PATH] = {};
      GetTempPathW(MAX_PATH, folder);
      const std::wstring path = std::wstring(folder) + L"bench-item-export.xml";
      hv::ExportWriter output;
      output.Create(path.c_str());
      ComPtr<ITAVDiagnosticLogItemEx> exported;
      item->QueryInterface(IID_ITAVDiagnosticLogItemEx, exported.put_void());
      Row("WriteItemXml, description cached", PerSecond([&] { hv::WriteItemXml(output, exported.get(), TRUE); }), 0);
      Row("WriteItemXml of a newly loaded item", PerSecond([&] {
            stream->Seek(zero, STREAM_SEEK_SET, nullptr);
            ComPtr<CTAVDiagnosticLogItem> fresh = hv::MakeObject<CTAVDiagnosticLogItem>();
            fresh->Load(stream.get());
            hv::WriteItemXml(output, static_cast<ITAVDiagnosticLogItemEx*>(fresh.get()), TRUE);
          }), 0);
      output.Close();
      DeleteFileW(path.c_str());
    }

    std::printf("description (GetDescription)\n");
    auto describe = [&](CTAVDiagnosticLogItem* target) {
      BSTR text = nullptr;
      target->GetDescription(&text);
      g_sink += SysStringLen(text);
      SysFreeString(text);
    };
    Row("text with 3 arguments, cached", PerSecond([&] { describe(item.get()); }), 0);
    Row("text with 3 arguments, formatted each time", PerSecond([&] {
          item->SetSource(const_cast<wchar_t*>(L"Pump"));  // empties the cache
          describe(item.get());
        }), 0);
    ComPtr<CTAVDiagnosticLogItem> resource = TypicalItem();
    VARIANT id;
    id.vt = VT_I4;
    id.lVal = 1001;
    Put(resource.get(), L"msgtext", id);
    Row("resource id, provider without DLL, cached", PerSecond([&] { describe(resource.get()); }), 0);
    Row("resource id, provider without DLL, each time", PerSecond([&] {
          resource->SetSource(const_cast<wchar_t*>(L"Pump"));
          describe(resource.get());
        }), 0);
  }
  CoUninitialize();
  return 0;
}
