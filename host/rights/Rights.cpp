#include "rights/Rights.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <vector>

namespace hv::host {
namespace {

bool InGroup(const std::string& group, uid_t uid, const passwd* pw) {
  if (group == "*") return true;
  const struct group* g = ::getgrnam(group.c_str());
  if (!g || !pw) return false;
  int count = 64;
  std::vector<gid_t> groups = std::vector<gid_t>(size_t(count));
  if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) {
    groups.resize(size_t(count));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &count) < 0) return false;
  }
  for (int i = 0; i < count; ++i)
    if (groups[size_t(i)] == g->gr_gid) return true;
  return false;
}

}  // namespace

bool RightsSettings::Apply(const std::string& key, const std::string& value, bool* known, std::string* error) {
  std::string* target = key == "log_group" ? &log : key == "read_group" ? &read : key == "admin_group" ? &administer
                                                                                                      : nullptr;
  *known = target != nullptr;
  if (!target) return true;
  if (value.empty() || value.find_first_of(" \t:") != std::string::npos)
    return *error = key + " must be a group name or *", false;
  *target = value;
  return true;
}

Account AccountOf(uid_t uid, const RightsSettings& settings) {
  Account a;
  a.known = true;
  a.uid = uid;
  passwd pwBuffer;
  passwd* pw = nullptr;
  char text[4096];
  ::getpwuid_r(uid, &pwBuffer, text, sizeof text, &pw);
  a.name = pw ? pw->pw_name : "uid " + std::to_string(uid);
  if (uid == 0 || uid == ::geteuid()) {
    a.rights = kLogRight | kReadRight | kAdministerRight;
    return a;
  }
  if (InGroup(settings.log, uid, pw)) a.rights |= kLogRight;
  if (InGroup(settings.read, uid, pw)) a.rights |= kReadRight;
  if (InGroup(settings.administer, uid, pw)) a.rights |= kAdministerRight;
  return a;
}

Account UnknownAccount(const RightsSettings& settings) {
  Account a;
  a.name = "an unknown account";
  if (settings.log == "*") a.rights |= kLogRight;
  if (settings.read == "*") a.rights |= kReadRight;
  if (settings.administer == "*") a.rights |= kAdministerRight;
  return a;
}

Account AccountNamed(const std::string& name, const RightsSettings& settings) {
  // Only plain account names are looked up; the name is the client's text.
  bool plain = !name.empty() && name.size() <= 32 && name.find_first_not_of(
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") == std::string::npos;
  passwd pwBuffer;
  passwd* pw = nullptr;
  char text[4096];
  if (plain) ::getpwnam_r(name.c_str(), &pwBuffer, text, sizeof text, &pw);
  if (pw) return AccountOf(pw->pw_uid, settings);
  Account a = UnknownAccount(settings);
  if (plain) a.name = "certificate name " + name + " (no such account)";
  return a;
}

std::string RightsText(uint32_t rights) {
  std::string text;
  const char* names[] = {"log", "read", "administer"};
  for (int i = 0; i < 3; ++i)
    if (rights & (1u << i)) text += (text.empty() ? "" : ", ") + std::string(names[i]);
  return text.empty() ? "none" : text;
}

}  // namespace hv::host
