// hvdiag export FILE: the library's XML export of the selected messages.
// The export is one call; it runs on a thread of its own so that a long one
// can show how far the file has grown.
#include <memory>
#include <string>

#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"

namespace hv::diag {
namespace {

const wchar_t kHelp[] =
    L"Usage: hvdiag export [OPTIONS] FILE\n"
    L"\n"
    L"Saves the stored messages that the filter selects, with their extended\n"
    L"parameters and child items, to FILE as XML (UTF-16). An existing FILE is replaced. An\n"
    L"export that takes longer than a second shows its progress on standard error.\n"
    L"\n"
    L"  --count N        at most N messages\n"
    L"  --lang LANG      the language of formatted messages: en, de, ... or a locale id\n"
    L"\n";

struct ExportJob {
  LCID lcid = 0;
  std::wstring source, filter, file;
  HRESULT result = E_FAIL;
  std::wstring errorText;  // taken on the export's thread, where it was set
};

DWORD WINAPI RunExportJob(void* parameter) {
  auto* job = static_cast<ExportJob*>(parameter);
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  // Descriptions are formatted on this thread, in its locale's language.
  SetThreadLocale(job->lcid);
  ComPtr<ITAVDiagnosticLogMgrEx> manager;
  job->result = CoCreateInstance(CLSID_TAVDiagnosticLogMgr, nullptr, CLSCTX_ALL, IID_ITAVDiagnosticLogMgrEx,
                                 manager.put_void());
  if (SUCCEEDED(job->result)) {
    unique_bstr source(SysAllocString(job->source.c_str())), filter(SysAllocString(job->filter.c_str())),
        file(SysAllocString(job->file.c_str()));
    ClearErrorInfo();
    job->result = manager->PersistMessages(job->lcid, source.get(), filter.get(), TAVDiagnosticFileFormat_XML,
                                           file.get());
    if (FAILED(job->result)) job->errorText = TakeErrorInfoText();
  }
  manager.reset();
  CoUninitialize();
  return 0;
}

ULONGLONG FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Top-level messages of an export: item lines outside every other item (a
// child stands as a closed block inside its parent's).
long CountMessages(const std::wstring& path) {
  unique_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return -1;
  std::wstring text;
  wchar_t buffer[8192];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    text.append(buffer, read / sizeof(wchar_t));
  long count = 0, depth = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find(L'\n', at);
    if (end == std::wstring::npos) end = text.size();
    const std::wstring line = text.substr(at, end - at);
    if (line.compare(0, 7, L"\t<Item ") == 0) {
      if (depth == 0) ++count;
      ++depth;
    } else if (line == L"\t</Item>") {
      --depth;
    }
    at = end + 1;
  }
  return count;
}

std::wstring Size(ULONGLONG bytes) {
  if (bytes < 10 * 1024) return std::to_wstring(bytes) + L" bytes";
  if (bytes < 10 * 1024 * 1024) return std::to_wstring(bytes / 1024) + L" KiB";
  return std::to_wstring(bytes / (1024 * 1024)) + L" MiB";
}

}  // namespace

int RunExport(const Words& words) {
  Arguments args(words);
  std::vector<OptionSpec> specs = {{L"count", true}, {L"lang", true}};
  AddFilterOptions(&specs);
  int exit = 0;
  if (ParseOrExit(L"export", (std::wstring(kHelp) + kFilterHelp).c_str(), specs, &args, &exit)) return exit;
  if (args.Operands().size() != 1) return ReportUsage(L"export", L"give the FILE to write as one argument");
  auto job = std::make_unique<ExportJob>();
  if (!BuildFilter(L"export", args, true, &job->filter)) return kExitUsage;
  if (!ApplyLanguage(L"export", args, &job->lcid)) return kExitUsage;
  job->source = args.Value(L"source");
  wchar_t full[MAX_PATH * 4];
  const DWORD length = GetFullPathNameW(args.Operands()[0].c_str(), MAX_PATH * 4, full, nullptr);
  if (length == 0 || length >= MAX_PATH * 4)
    return ReportUsage(L"export", L"\"" + args.Operands()[0] + L"\" is not a file name");
  job->file = full;

  unique_handle thread(CreateThread(nullptr, 0, RunExportJob, job.get(), 0, nullptr));
  if (!thread) return ReportFailure(L"export", L"CreateThread", HRESULT_FROM_WIN32(GetLastError()));
  const bool console = Console::ErrIsConsole();
  bool progressShown = false;
  for (DWORD waited = 0; WaitForSingleObject(thread.get(), 1000) == WAIT_TIMEOUT; waited += 1000) {
    const std::wstring progress = L"exporting to " + job->file + L": " + Size(FileSize(job->file)) + L" written";
    Console::Err(console ? L"\r" + progress : progress + L"\n");
    progressShown = true;
  }
  if (progressShown && console) Console::Err(L"\n");
  if (FAILED(job->result)) {
    if (!job->errorText.empty()) {
      // The reason was taken on the export's thread; hand it over to this one.
      ICreateErrorInfo* create = nullptr;
      if (SUCCEEDED(CreateErrorInfo(&create))) {
        unique_bstr text(SysAllocString(job->errorText.c_str()));
        create->SetDescription(text.get());
        IErrorInfo* info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
          SetErrorInfo(0, info);
          info->Release();
        }
        create->Release();
      }
    }
    return ReportFailure(L"export", L"PersistMessages to \"" + job->file + L"\"", job->result);
  }
  Console::Out(L"Exported " + std::to_wstring(CountMessages(job->file)) + L" messages (" +
               Size(FileSize(job->file)) + L") to " + job->file + L"\n");
  return 0;
}

}  // namespace hv::diag
