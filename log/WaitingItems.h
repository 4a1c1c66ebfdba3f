// The delivery copies that wait for the Mux's answer, by id. The id travels as
// "transid" of the "2" message and comes back in the "5" answer; an answer
// whose id is no longer registered (its log stopped waiting) touches nothing.
#pragma once
#include <windows.h>

#include "common/ComPtr.h"

namespace hv {

class CTAVDiagnosticLogItem;

namespace WaitingItems {

// Registers a copy and returns its id: non-zero, unique among the copies
// waiting in this process at the same time.
LONG Register(CTAVDiagnosticLogItem* item);
// The id under which this copy is registered, or 0.
LONG IdOf(CTAVDiagnosticLogItem* item);
// The registered copy with this id (a counted reference), or null.
ComPtr<CTAVDiagnosticLogItem> Find(LONG id);
// After this no answer can reach the copy.
void Unregister(LONG id);
// Remembers the connection that carries the registered copy's message.
void SentThrough(LONG id, const void* connection);
// Ends the wait of every copy sent through this connection, which is gone:
// their outcome stays E_PENDING (unknown). Returns how many were ended.
size_t EndWaitsThrough(const void* connection);

}  // namespace WaitingItems
}  // namespace hv
