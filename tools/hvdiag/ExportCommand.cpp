// hvdiag export FILE: the library's XML export of the selected messages.
// The export is one call; it runs on a thread of its own so that a long one
// can show how far the file has grown.
#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

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
    L"The library writes every character of a message as it is. Control characters,\n"
    L"tabs, line breaks, lone surrogates and U+FFFE/U+FFFF cannot be carried by XML: a\n"
    L"parser rejects the file or turns them into spaces. hvdiag checks the file it\n"
    L"wrote, names the messages that hold such characters and exits with 3; \"hvdiag\n"
    L"read --json\" carries every character.\n"
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

// Whether the character at `at` is one that XML cannot carry inside an
// attribute value: a parser rejects the document (control characters, lone
// surrogates, U+FFFE, U+FFFF) or turns it into a space (tab, line breaks).
bool XmlCannotCarry(const std::wstring& text, size_t at) {
  const wchar_t c = text[at];
  if (c < 0x20 || c == 0xFFFE || c == 0xFFFF) return true;
  const auto high = [&](size_t i) { return i < text.size() && text[i] >= 0xD800 && text[i] <= 0xDBFF; };
  const auto low = [&](size_t i) { return i < text.size() && text[i] >= 0xDC00 && text[i] <= 0xDFFF; };
  if (high(at)) return !low(at + 1);
  if (low(at)) return at == 0 || !high(at - 1);
  return false;
}

struct ExportScan {
  long messages = -1;  // -1: the file could not be read
  // The top-level messages (numbered from 1) holding characters XML cannot
  // carry, with their "datetime".
  std::vector<std::pair<long, std::wstring>> unfaithful;
};

// Walks the tags of an export: a top-level message is an Item outside every
// other (a child stands as a closed block inside its parent's). Attribute
// values are quoted and hold no quote: the library escapes it.
ExportScan ScanExport(const std::wstring& path) {
  ExportScan scan;
  unique_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return scan;
  std::wstring text;
  wchar_t buffer[8192];
  DWORD read = 0;
  while (ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
    text.append(buffer, read / sizeof(wchar_t));
  scan.messages = 0;
  long depth = 0;
  size_t itemStart = 0;
  bool inTag = false, inValue = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    if (inValue) {
      if (c == L'"') {
        inValue = false;
      } else if (scan.messages > 0 && XmlCannotCarry(text, i) &&
                 (scan.unfaithful.empty() || scan.unfaithful.back().first != scan.messages)) {
        const size_t at = text.find(L"datetime = \"", itemStart);
        const size_t from = at < i ? at + 12 : i;
        scan.unfaithful.emplace_back(scan.messages, text.substr(from, std::min(text.find(L'"', from), i) - from));
      }
    } else if (inTag) {
      if (c == L'"') inValue = true;
      if (c == L'>') inTag = false;
    } else if (c == L'<') {
      inTag = true;
      if (text.compare(i, 6, L"<Item ") == 0 && depth++ == 0) {
        ++scan.messages;
        itemStart = i;
      }
      if (text.compare(i, 7, L"</Item>") == 0 && depth > 0) --depth;
    }
  }
  return scan;
}

// Names the messages an export cannot carry faithfully; the exit code.
int ReportUnfaithful(const ExportScan& scan) {
  std::wstring names;
  for (const auto& message : scan.unfaithful)
    names += L"  message " + std::to_wstring(message.first) + L" (datetime " + message.second + L")\n";
  Console::Err(L"hvdiag export: " + std::to_wstring(scan.unfaithful.size()) +
               L" message(s) hold characters that XML cannot carry (control characters, tabs, line\n"
               L"breaks, lone surrogates, U+FFFE/U+FFFF); an XML parser rejects the file or changes\n"
               L"them:\n" +
               names + L"\"hvdiag read --json\" with the same options carries every character.\n");
  return kExitNotFaithful;
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
  const ExportScan scan = ScanExport(job->file);
  Console::Out(L"Exported " + std::to_wstring(scan.messages) + L" messages (" + Size(FileSize(job->file)) +
               L") to " + job->file + L"\n");
  return scan.unfaithful.empty() ? 0 : ReportUnfaithful(scan);
}

}  // namespace hv::diag
