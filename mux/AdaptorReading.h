// Reading and subscribing through the service, shared by the adaptor proxy
// (an adaptor asked for through the log manager) and by the store adaptor
// class (created directly, with a link of its own).
#pragma once
#include <windows.h>
#include <ocidl.h>

#include <memory>

#include "mux/MuxLink.h"

namespace hv {

class CMessageReader;

// An export asks with an adaptor-specific text that starts with "P"; it reads
// oldest first, so that a file reads from top to bottom the way the messages
// came. Every other read is a viewer's and starts with the newest.
HRESULT ReadThroughService(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, BSTR adaptorSpecific,
                           BSTR filters, IEnumUnknown** ppUnkEnum);
// Everything, oldest first: what the local reader hands out.
HRESULT OpenExportReader(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, CMessageReader** reader);
HRESULT SubscribeThroughService(const std::shared_ptr<MuxLink>& link, REFCLSID adaptor, BSTR filters,
                                LONG bufferTimeMs, LONG maxSize, IConnectionPointContainer** subscription);

}  // namespace hv
