// The typed resource tables a module exports: one directory of entries, each a resource
// (type, name, language, bytes) laid out as on Windows, so FindResourceW/LoadResource hand
// out the same bytes a Windows module would (string tables are RT_STRING blocks of 16
// counted UTF-16 strings). Written by the resource compiler, read by libnbwin.
#pragma once

#include <cstdint>

extern "C" {

// A type or a name: an integer id when `text` is null, else the UTF-16 name (upper case,
// as Windows keeps resource names).
struct NbResourceId {
  uint32_t id;
  const char16_t* text;
};

struct NbResourceEntry {
  NbResourceId type;
  NbResourceId name;
  uint16_t language;  // a LANGID; 0 is neutral
  uint16_t reserved;
  uint32_t size;      // bytes at `data`
  const void* data;
};

struct NbResourceDirectory {
  uint32_t magic;    // kNbResourceMagic
  uint32_t version;  // kNbResourceVersion
  uint32_t count;
  const NbResourceEntry* entries;
};

}  // extern "C"

// The exported symbol a module's directory is found by.
#define NB_RESOURCE_DIRECTORY_SYMBOL "NbResources"

inline constexpr uint32_t kNbResourceMagic = 0x5253424E;  // "NBSR"
inline constexpr uint32_t kNbResourceVersion = 1;
// More entries than this is no directory our compiler wrote.
inline constexpr uint32_t kNbResourceMaxEntries = 1u << 20;
