// The viewer's page, built into hvdiag: its own files and the front-end
// packages it uses, so that the browser fetches nothing from elsewhere.
#pragma once
#include <cstddef>

namespace hv::diag {

struct PageFile {
  const char* name;  // the path below "/", e.g. "app.js"
  const char* type;  // its Content-Type
  const unsigned char* data;
  size_t size;
};

// Generated at build time from tools/hvdiag/page and the npm packages.
extern const PageFile kPageFiles[];
extern const size_t kPageFileCount;

}  // namespace hv::diag
