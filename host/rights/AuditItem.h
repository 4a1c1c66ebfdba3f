// The audit message the host stores for each accepted flag change: an item
// stream like a client's, severity Audit, every audience, the account that
// made the change as its user, "tarnhost" as its provider.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace hv::host {

std::vector<uint8_t> AuditItemStream(const std::string& text, const std::string& account);

}  // namespace hv::host
