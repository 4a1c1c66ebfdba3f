// What the viewer's page asks "hvdiag serve" for, answered through the log
// manager as any client of the library would: pages of messages, counts for
// the chart, new messages as server-sent events, exports, field groups, and
// the page's own files.
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "TAVDiagnostics.h"
#include "common/ComPtr.h"
#include "tools/hvdiag/serve/HttpServer.h"

namespace hv::diag {

class ViewerApi final {
 public:
  ViewerApi(std::wstring source, const std::atomic<bool>* stopping) : source_(std::move(source)), stopping_(stopping) {}
  void Handle(const HttpRequest& request, HttpResponder& responder);

 private:
  struct Cursor {
    ComPtr<IEnumUnknown> reader;
    LCID lcid = 0;
    long offset = 0;  // messages handed out so far
  };

  void Messages(const HttpRequest& request, HttpResponder& responder);
  void Counts(const HttpRequest& request, HttpResponder& responder);
  void Events(const HttpRequest& request, HttpResponder& responder);
  void ExportXml(const HttpRequest& request, HttpResponder& responder);
  void ExportJson(const HttpRequest& request, HttpResponder& responder);
  void Groups(const HttpRequest& request, HttpResponder& responder);
  // Opens a reader, newest first, for the request's filter (with MaxCount when
  // limit is above 0); false after answering with the error.
  bool Open(const HttpRequest& request, long limit, LCID lcid, HttpResponder& responder, ComPtr<IEnumUnknown>* reader);

  // One manager for every request: its connection to the service carries the
  // readers of the pages, which must outlive the request that opened them.
  HRESULT Manager(ComPtr<ITAVDiagnosticLogMgrEx>* manager);

  const std::wstring source_;
  std::mutex managerLock_;
  ComPtr<ITAVDiagnosticLogMgrEx> manager_;
  const std::atomic<bool>* stopping_;
  // Readers of pages already shown, so that the next page goes on where the
  // last ended; the oldest are dropped (a dropped one is opened again and moved).
  std::mutex cursorsLock_;
  std::map<uint64_t, Cursor> cursors_;
  uint64_t nextCursor_ = 1;
};

}  // namespace hv::diag
