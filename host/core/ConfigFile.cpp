#include "core/ConfigFile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "core/Utf.h"

namespace hv::host {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// A mask written as a number 0 to 15, "all", "none", or names joined by ",",
// "|" or "+".
bool ParseMask(std::string_view text, const char* const names[4], uint32_t* mask) {
  std::string t = Lower(Trim(text));
  if (t.empty()) return false;
  if (t == "all") return *mask = 0xF, true;
  if (t == "none") return *mask = 0, true;
  if (std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    if (t.size() > 2) return false;
    uint32_t v = uint32_t(std::stoul(t));
    if (v > 15) return false;
    *mask = v;
    return true;
  }
  uint32_t m = 0;
  size_t pos = 0;
  while (pos <= t.size()) {
    size_t end = t.find_first_of(",|+", pos);
    if (end == std::string::npos) end = t.size();
    std::string word(Trim(std::string_view(t).substr(pos, end - pos)));
    bool found = false;
    for (int i = 0; i < 4; ++i)
      if (word == names[i]) m |= 1u << i, found = true;
    if (!found) return false;
    pos = end + 1;
  }
  *mask = m;
  return true;
}

const char* const kSeverityNames[4] = {"error", "warning", "info", "audit"};
const char* const kAudienceNames[4] = {"veltra", "dev", "eng", "op"};

bool IsAbsolute(const std::string& path) { return !path.empty() && path[0] == '/'; }

std::string Resolve(const std::string& baseDir, const std::string& path) {
  if (path.empty() || IsAbsolute(path) || baseDir.empty()) return path;
  return baseDir + "/" + path;
}

Guid MakeGuid(const char* text) {
  Guid g;
  Guid::Parse(text, &g);
  return g;
}

}  // namespace

const Guid& ConfigFile::StoreAdaptorClsid() {
  // HVStoreAdaptor, the default adaptor of the system (interfaces/HVMux.idl).
  static const Guid g = MakeGuid("{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}");
  return g;
}

const Guid& ConfigFile::ForwarderAdaptorClsid() {
  static const Guid g = MakeGuid("{ED34F366-7CA7-4E2D-824E-7213D595AFB2}");
  return g;
}

HostSettings ConfigFile::Defaults() {
  HostSettings s;
  AdaptorSettings store;
  store.kind = AdaptorKind::Store;
  store.name = "Message store";
  store.clsid = StoreAdaptorClsid();
  store.enableFlags = {0xF, 0xF, 0xF, 0xF};
  AdaptorSettings forwarder;
  forwarder.kind = AdaptorKind::Forwarder;
  forwarder.name = "Syslog forwarder";
  forwarder.clsid = ForwarderAdaptorClsid();
  forwarder.enableFlags = {0, 0, 0, 0};
  s.adaptors = {store, forwarder};
  return s;
}

bool ConfigFile::ParseSeverities(std::string_view text, uint32_t* mask) { return ParseMask(text, kSeverityNames, mask); }
bool ConfigFile::ParseAudiences(std::string_view text, uint32_t* mask) { return ParseMask(text, kAudienceNames, mask); }

bool ConfigFile::Validate(const AdaptorSettings& a, std::string* error) {
  std::string label = "adaptor \"" + a.name + "\"";
  size_t units = Utf8ToUtf16(a.name).size();
  if (units == 0 || units > 129) {
    *error = label + ": the name must have 1 to 129 characters";
    return false;
  }
  if (a.clsid.IsNull()) {
    *error = label + ": no clsid";
    return false;
  }
  if (a.audienceMask == 0 || a.audienceMask > kAllAudiences || a.severityMask == 0 ||
      a.severityMask > kAllSeverities) {
    *error = label + ": audiences and severities must each name at least one";
    return false;
  }
  for (int i = 0; i < 4; ++i) {
    uint8_t flags = a.enableFlags[i];
    if (flags & ~a.severityMask) {
      *error = label + ": enable." + kAudienceNames[i] + " names a severity the adaptor does not handle";
      return false;
    }
    if (flags && !(a.audienceMask & (1u << i))) {
      *error = label + ": enable." + kAudienceNames[i] + " is set for an audience the adaptor does not serve";
      return false;
    }
  }
  return true;
}

bool ConfigFile::Load(const std::string& path, HostSettings* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read configuration " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  std::string baseDir;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) baseDir = path.substr(0, slash);
  if (!Parse(text.str(), baseDir, out, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool ConfigFile::Parse(std::string_view text, const std::string& baseDir, HostSettings* out, std::string* error) {
  HostSettings s;
  struct Pending {
    AdaptorSettings settings;
    std::set<std::string> keys;
    std::vector<std::string> forwarderKeys;
    int line = 0;
  };
  std::vector<Pending> adaptors;
  std::set<std::string> topKeys;
  int lineNo = 0;
  auto fail = [&](const std::string& what) {
    *error = "line " + std::to_string(lineNo) + ": " + what;
    return false;
  };

  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNo;
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      if (Lower(line) != "[adaptor]") return fail("unknown section " + std::string(line));
      adaptors.push_back(Pending());
      adaptors.back().line = lineNo;
      adaptors.back().settings.enableFlags = {0xFF, 0xFF, 0xFF, 0xFF};  // not given yet
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected key = value");
    std::string key = Lower(Trim(line.substr(0, eq)));
    std::string value(Trim(line.substr(eq + 1)));

    if (adaptors.empty()) {
      if (!topKeys.insert(key).second) return fail(key + " is given twice");
      if (key == "listen") {
        s.listen = value;
      } else if (key == "database") {
        s.database = Resolve(baseDir, value);
      } else if (key == "log_file") {
        s.logFile = Resolve(baseDir, value);
      } else if (key == "tls_certificate" || key == "tls_key" || key == "tls_client_ca") {
        if (value.empty()) return fail(key + " needs a file");
        (key == "tls_key" ? s.tls.key : key == "tls_client_ca" ? s.tls.clientCa : s.tls.certificate) =
            Resolve(baseDir, value);
      } else if (key == "tls_required") {
        if (value != "yes" && value != "no") return fail("tls_required must be yes or no");
        s.tls.required = value == "yes";
      } else if (key == "max_connections") {
        if (value.empty() || value.size() > 5 || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            std::stoul(value) == 0)
          return fail("max_connections must be a number from 1 to 99999");
        s.maxConnections = std::stoul(value);
      } else {
        bool known;
        std::string why;
        if (!s.limits.Apply(key, value, &known, &why)) return fail(why);
        if (!known && !s.rights.Apply(key, value, &known, &why)) return fail(why);
        if (!known) return fail("unknown key " + key);
      }
      continue;
    }

    Pending& p = adaptors.back();
    AdaptorSettings& a = p.settings;
    if (!p.keys.insert(key).second) return fail(key + " is given twice");
    if (key == "kind") {
      std::string k = Lower(value);
      if (k == "store") a.kind = AdaptorKind::Store;
      else if (k == "forwarder") a.kind = AdaptorKind::Forwarder;
      else return fail("kind must be store or forwarder");
    } else if (key == "name") {
      a.name = value;
    } else if (key == "clsid") {
      if (!Guid::Parse(value, &a.clsid)) return fail("clsid must be written {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
    } else if (key == "audiences") {
      if (!ParseAudiences(value, &a.audienceMask)) return fail("audiences: " + value + " is not an audience mask");
    } else if (key == "severities") {
      if (!ParseSeverities(value, &a.severityMask)) return fail("severities: " + value + " is not a severity mask");
    } else if (key.compare(0, 7, "enable.") == 0) {
      std::string audience = key.substr(7);
      int index = -1;
      for (int i = 0; i < 4; ++i)
        if (audience == kAudienceNames[i]) index = i;
      if (index < 0) return fail("unknown audience in " + key);
      uint32_t mask;
      if (!ParseSeverities(value, &mask)) return fail(key + ": " + value + " is not a severity mask");
      a.enableFlags[index] = uint8_t(mask);
    } else if (IsForwarderKey(key)) {
      std::string why;
      if (!ApplyForwarderKey(key, value, &a.forwarder, &why)) return fail(why);
      p.forwarderKeys.push_back(key);
    } else {
      return fail("unknown key " + key);
    }
  }

  int tlsFiles = int(topKeys.count("tls_certificate") + topKeys.count("tls_key") + topKeys.count("tls_client_ca"));
  if (tlsFiles != 0 && tlsFiles != 3) return *error = "tls_certificate, tls_key and tls_client_ca go together", false;
  if (s.tls.required && tlsFiles == 0) return *error = "tls_required = yes needs tls_certificate, tls_key and tls_client_ca", false;

  std::set<Guid> seen;
  int stores = 0;
  for (Pending& p : adaptors) {
    lineNo = p.line;
    AdaptorSettings& a = p.settings;
    if (!p.keys.count("kind") || !p.keys.count("name") || !p.keys.count("clsid"))
      return fail("an adaptor needs kind, name and clsid");
    // An enable line left out enables what the adaptor handles for every
    // audience it serves.
    for (int i = 0; i < 4; ++i)
      if (a.enableFlags[i] == 0xFF) a.enableFlags[i] = (a.audienceMask & (1u << i)) ? uint8_t(a.severityMask) : 0;
    std::string why;
    if (!Validate(a, &why)) return fail(why);
    if (!seen.insert(a.clsid).second) return fail("clsid " + a.clsid.ToRegistryString() + " is used twice");
    if (a.kind == AdaptorKind::Store && ++stores > 1) return fail("only one store adaptor can run");
    if (a.kind != AdaptorKind::Forwarder && !p.forwarderKeys.empty())
      return fail(p.forwarderKeys.front() + " is a key of forwarder adaptors only");
    s.adaptors.push_back(a);
  }
  *out = std::move(s);
  return true;
}

}  // namespace hv::host
