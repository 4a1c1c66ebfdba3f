// Threads that keep their module loaded while they run. A connection's
// threads outlive the connection object (its last reference may even go on one
// of them), so nothing ever joins them; instead each holds a reference on the
// DLL and drops it as it exits, and the code it runs cannot be unmapped under
// it when the client frees the library.
#pragma once
#include <windows.h>

#include <functional>

namespace hv {

// Starts body on a new thread. Returns false when the thread could not start
// (body is then not run). The thread's handle is not kept.
bool StartModuleThread(std::function<void()> body);

}  // namespace hv
