// The block in which the security directory returns the properties of an
// object. The directory allocates every piece with the COM task allocator;
// the reader frees them piece by piece (FreePropertyBlock). Of the block the
// library reads only the property list; the other pieces it frees unread.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <cstddef>

namespace hv {

// One entry of the record list: only its first field is known, a block that
// the reader frees.
struct PropertyRecord {
  void* block;
  BYTE reserved[16];
};

// One property: its name and its value. The 32-bit entry is 32 bytes; the
// 64-bit one, with its larger pointer and VARIANT, is 32 too.
struct PropertyEntry {
  wchar_t* name;
  VARIANT value;
#ifndef _WIN64
  BYTE reserved[8];
#endif
};

// The fixed head of the block; propertyCount entries follow it directly.
struct PropertyBlock {
  void* first;
  void* second;
  BYTE reserved[48];
  ULONG recordCount;
  PropertyRecord* records;
  ULONG propertyCount;
  ULONG reserved2;
};

#ifdef _WIN64
static_assert(sizeof(PropertyRecord) == 24);
static_assert(offsetof(PropertyEntry, value) == 8 && sizeof(PropertyEntry) == 32);
static_assert(offsetof(PropertyBlock, recordCount) == 64);
static_assert(offsetof(PropertyBlock, records) == 72);
static_assert(offsetof(PropertyBlock, propertyCount) == 80);
static_assert(sizeof(PropertyBlock) == 88);
#else
static_assert(sizeof(PropertyRecord) == 20);
static_assert(offsetof(PropertyEntry, value) == 8 && sizeof(PropertyEntry) == 32);
static_assert(offsetof(PropertyBlock, recordCount) == 56);
static_assert(offsetof(PropertyBlock, records) == 60);
static_assert(offsetof(PropertyBlock, propertyCount) == 64);
static_assert(sizeof(PropertyBlock) == 72);
#endif
static_assert(sizeof(PropertyBlock) % alignof(PropertyEntry) == 0);

// Bytes of a block holding count properties.
constexpr size_t PropertyBlockSize(ULONG count) { return sizeof(PropertyBlock) + count * sizeof(PropertyEntry); }

inline PropertyEntry* PropertiesOf(PropertyBlock* block) {
  return reinterpret_cast<PropertyEntry*>(reinterpret_cast<BYTE*>(block) + sizeof(PropertyBlock));
}

// Frees a block and every piece it points to; null does nothing.
void FreePropertyBlock(PropertyBlock* block);

}  // namespace hv
