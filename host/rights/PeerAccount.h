// The account behind a loopback TCP connection. The kernel's socket table
// (/proc/net/tcp) lists every socket with the account that owns it; the
// client's end of an accepted connection is the entry whose local address is
// the peer's and whose remote address is ours. Wine's Winsock cannot open a
// local (AF_UNIX) socket, so this is how the host learns, from the kernel
// and without anything the client says, whose process connected.
#pragma once
#include <sys/types.h>

#include <string>

namespace hv::host {

// False when the peer is not on this machine's loopback or its socket is
// gone already.
bool PeerAccount(int fd, uid_t* uid);

// The same lookup in a socket table's text: `local` and `remote` as the
// table writes them ("0100007F:EA60"). For the tests of the parser.
bool FindSocketOwner(const std::string& table, const std::string& local, const std::string& remote, uid_t* uid);

}  // namespace hv::host
