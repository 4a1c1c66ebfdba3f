// Early-return helpers: each failure path reads as one line.
#pragma once
#include <windows.h>

#define RETURN_IF_FAILED(expr)                     \
  do {                                             \
    const HRESULT hv_hr_ = (expr);                 \
    if (FAILED(hv_hr_)) return hv_hr_;             \
  } while (0)

#define RETURN_HR_IF(hr, cond)                     \
  do {                                             \
    if (cond) return (hr);                         \
  } while (0)

#define RETURN_HR_IF_NULL(hr, ptr) RETURN_HR_IF(hr, (ptr) == nullptr)
#define RETURN_IF_NULL_ALLOC(ptr) RETURN_HR_IF(E_OUTOFMEMORY, (ptr) == nullptr)
