// hvdiag serve: the viewer in the browser. An HTTP server on this machine
// that serves one page and answers it through the library, until Ctrl-C.
#include <atomic>
#include <thread>

#include "common/Unique.h"
#include "tools/hvdiag/Commands.h"
#include "tools/hvdiag/Console.h"
#include "tools/hvdiag/ResultCodes.h"
#include "tools/hvdiag/Values.h"
#include "tools/hvdiag/serve/HttpServer.h"
#include "tools/hvdiag/serve/ViewerApi.h"

namespace hv::diag {
namespace {

const wchar_t kHelp[] =
    L"Usage: hvdiag serve [--listen ADDRESS:PORT] [--source XML]\n"
    L"\n"
    L"Serves the message viewer: open the address it prints in a browser. The page reads,\n"
    L"filters, charts, follows and exports the stored messages through the library, in the\n"
    L"browser's language. Stops on Ctrl-C, or when standard input is a pipe that is closed.\n"
    L"\n"
    L"  --listen ADDRESS:PORT  where to listen (default 127.0.0.1:8470; port 0 takes a free one).\n"
    L"                         The viewer has no authentication: anyone who reaches another\n"
    L"                         address reads every message.\n"
    L"  --source XML           the source-control document naming the adaptor (default: the store)\n";

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  if (g_stop) SetEvent(g_stop);
  return TRUE;
}

// Wine does not always pass Ctrl-C to a program whose console is a Unix
// terminal or none at all: a parent holding the other end of a pipe on
// standard input stops it by closing the pipe.
void StopWhenInputCloses(HANDLE stop) {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE) return;
  std::thread([input, stop] {
    char buffer[256];
    DWORD read = 0;
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    SetEvent(stop);
  }).detach();
}

bool SplitListen(const std::wstring& text, std::string* address, unsigned short* port) {
  const size_t colon = text.rfind(L':');
  if (colon == std::wstring::npos) return false;
  std::wstring host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == L'[' && host.back() == L']') host = host.substr(1, host.size() - 2);
  long number = -1;
  if (host.empty() || !ParseLong(text.substr(colon + 1), &number) || number < 0 || number > 65535) return false;
  *address = ToUtf8(host);
  *port = static_cast<unsigned short>(number);
  return true;
}

}  // namespace

int RunServe(const Words& words) {
  Arguments args(words);
  int exit = 0;
  if (ParseOrExit(L"serve", kHelp, {{L"listen", true}, {L"source", true}}, &args, &exit)) return exit;
  if (!args.Operands().empty()) return ReportUsage(L"serve", L"unexpected argument \"" + args.Operands()[0] + L"\"");
  std::string address;
  unsigned short port = 0;
  if (!SplitListen(args.Value(L"listen", L"127.0.0.1:8470"), &address, &port))
    return ReportUsage(L"serve", L"--listen takes ADDRESS:PORT, such as 127.0.0.1:8470, not \"" +
                                     args.Value(L"listen") + L"\"");

  unique_handle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!stop) return ReportFailure(L"serve", L"CreateEvent", HRESULT_FROM_WIN32(GetLastError()));
  std::atomic<bool> stopping{false};
  ViewerApi api(args.Value(L"source"), &stopping);
  HttpServer server([&api](const HttpRequest& request, HttpResponder& responder) { api.Handle(request, responder); },
                    &stopping);
  std::string error;
  if (!server.Listen(address, port, &error)) {
    Console::Err(L"hvdiag serve: " + FromUtf8(error) + L"\n");
    return kExitFailed;
  }
  if (!server.Loopback())
    Console::Err(L"hvdiag serve: warning: listening on " + FromUtf8(address) +
                 L", which other machines can reach. The viewer has no authentication: anyone who "
                 L"reaches it reads every stored message.\n");
  g_stop = stop.get();
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  StopWhenInputCloses(stop.get());
  std::thread accepting([&server] { server.Run(); });
  const std::string shown = address.find(':') != std::string::npos ? "[" + address + "]" : address;
  Console::Err(L"hvdiag serve: viewer at http://" + FromUtf8(shown) + L":" + std::to_wstring(server.Port()) +
               L"/ (Ctrl-C to stop)\n");

  WaitForSingleObject(stop.get(), INFINITE);
  server.Stop();
  accepting.join();
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  g_stop = nullptr;
  Console::Err(L"hvdiag serve: stopped\n");
  return 0;
}

}  // namespace hv::diag
