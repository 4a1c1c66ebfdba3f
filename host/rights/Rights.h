// Who may do what: three rights, each given to the members of one group of
// the machine's accounts (or to every account), and always to root and to
// the service's own account.
//
//   log         deliver items ("1", "2")
//   read        readers, subscriptions, the adaptor lists ("3", "4")
//   administer  change an adaptor's enable flags ("8")
//
// A loopback client's account is the owner of its socket as the kernel's
// socket table shows it (see PeerAccount.h).
#pragma once
#include <sys/types.h>

#include <cstdint>
#include <string>

namespace hv::host {

enum Right : uint32_t { kLogRight = 1, kReadRight = 2, kAdministerRight = 4 };

struct RightsSettings {
  // A group name, or "*" for every local account.
  std::string log = "*";
  std::string read = "halvern";
  std::string administer = "halvern";

  // Takes the host keys log_group, read_group and admin_group; `known` says
  // whether `key` was one of them.
  bool Apply(const std::string& key, const std::string& value, bool* known, std::string* error);
};

struct Account {
  bool known = false;
  uid_t uid = 0;
  std::string name;  // "uid 1234" when the account has no name
  uint32_t rights = 0;
};

// The account `uid` and the rights its groups give it.
Account AccountOf(uid_t uid, const RightsSettings& settings);

// A peer whose account the kernel did not tell (its socket already gone):
// the rights every account has, no more.
Account UnknownAccount(const RightsSettings& settings);

// The account called `name` (a client certificate's common name); a name
// that is no account of this machine gets what UnknownAccount gives.
Account AccountNamed(const std::string& name, const RightsSettings& settings);

// "log, read", for log lines and refusals.
std::string RightsText(uint32_t rights);

}  // namespace hv::host
