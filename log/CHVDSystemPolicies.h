// The system audit policy of one location, kept by the log that asked for it.
// The directory lookup that fills it is not made yet: a log never creates one,
// so auditing stays on for every location.
#pragma once
#include <windows.h>

namespace hv {

class CHVDSystemPolicies final {
 public:
  CHVDSystemPolicies() = default;
};

}  // namespace hv
