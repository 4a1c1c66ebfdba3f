// The XML export file: UTF-16 little-endian text with a byte-order mark, one
// "Item" block per message, lines ended by a single line feed.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "TAVDiagnostics.h"

namespace hv {

// Writes the export file through a 4096-byte buffer. After the first failed
// write nothing more is written and every call answers that failure.
class ExportWriter final {
 public:
  // Creates the file, or truncates an existing one, for writing only and
  // shared with nobody. E_FAIL when it cannot be created.
  HRESULT Create(const wchar_t* path);
  ~ExportWriter();
  ExportWriter();
  ExportWriter(const ExportWriter&) = delete;
  ExportWriter& operator=(const ExportWriter&) = delete;

  // Text as UTF-16 code units, exactly as given.
  HRESULT Write(const std::wstring& text);
  HRESULT Write(const wchar_t* text, size_t length);
  // A literal, without its terminating NUL.
  template <size_t N>
  HRESULT WriteText(const wchar_t (&text)[N]) {
    return Write(text, N - 1);
  }
  // Text with the characters EscapeXml replaces written as their entities.
  HRESULT WriteEscaped(const std::wstring& text);
  HRESULT WriteBytes(const void* data, size_t size);
  // Flushes the buffer and closes the file; the first failure met so far.
  HRESULT Close();
  HRESULT status() const { return status_; }

  // What the items of one export share from one to the next: the texts of
  // the last values converted and the room of the fields last written.
  struct ItemScratch;
  ItemScratch& scratch();

 private:
  HRESULT FlushBuffer();

  HANDLE file_ = INVALID_HANDLE_VALUE;
  BYTE buffer_[4096];
  size_t used_ = 0;
  HRESULT status_ = S_OK;
  std::unique_ptr<ItemScratch> scratch_;
};

// Replaces the double quote, ampersand, less-than and greater-than signs by
// their entities; every other character, apostrophes included, stays.
std::wstring EscapeXml(const std::wstring& text);

// Writes one item's block: its item line, one line per extended parameter,
// then its child chain, each child closed before the next one starts.
// closeAfterChild is true for a top-level item, whose closing line encloses
// its descendants, and false for a child, which is closed before its own child.
HRESULT WriteItemXml(ExportWriter& output, ITAVDiagnosticLogItemEx* item, BOOL closeAfterChild);

// The whole file around the items: the byte-order mark, declaration and root
// start, and the root's end.
HRESULT WriteExportHeader(ExportWriter& output);
HRESULT WriteExportFooter(ExportWriter& output);

}  // namespace hv
