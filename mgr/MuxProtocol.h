// Field names, message types and number text of the Mux protocol messages.
#pragma once
#include <windows.h>

#include <cstdio>
#include <string>

namespace hv {

inline constexpr const char kFieldMsgType[] = "MSGTYPE";
inline constexpr const char kFieldTransId[] = "transid";
inline constexpr const char kFieldHResult[] = "HRESULT";
// In a "3" reply: "1" when the Mux answers a "8" sent as a transact with its result.
inline constexpr const char kFieldFlagsReply[] = "FLAGSREPLY";

inline constexpr const char kMsgItem[] = "1";              // an item, no answer wanted
inline constexpr const char kMsgItemAnswerWanted[] = "2";  // an item answered by a "5"
inline constexpr const char kMsgAdaptorRequest[] = "3";    // one adaptor's record and interface
inline constexpr const char kMsgAdaptorList[] = "4";       // the installed adaptors' class ids
inline constexpr const char kMsgItemAnswer[] = "5";        // the outcome of a "2"
inline constexpr const char kMsgCategoryFlags[] = "8";     // new enable flags of one adaptor

inline constexpr DWORD kMuxTimeoutMs = 10000;

// Signed base 10, a leading "-" for negative values and nothing else.
inline std::string FormatDecimal(long value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%ld", value);
  return text;
}

}  // namespace hv
