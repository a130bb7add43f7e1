// File-location layer opens: a path served by a registered component yields
// a small handle over the contents that the component keeps in memory.

#include <string_view>

#include "port/ss_wrappers.h"
#include "securefile/lfv.h"

namespace {

constexpr std::string_view kBuiltinComponent = "rdbms";
// Option bit 0: open through the built-in entry.
constexpr int kOptionBuiltin = 0x1;
// Index of the open function in a package's function table.
constexpr size_t kPackageOpenIndex = 2;

constexpr int32_t kNoFile = -5;
constexpr int32_t kNoHandle = -8;
constexpr char kNoFileMessage[] = "could not find file";
constexpr char kNoHandleMessage[] = "could not allocate file handle";
constexpr char kRoutine[] = "lfvopen";

// The entry that serves comp, or null: the built-in entry for "rdbms" paths
// (or for any path when asked) while it is present, else the table's entry.
lfvEntry* servingEntry(const char* comp, int option) {
  const bool wantsBuiltin =
      (option & kOptionBuiltin) != 0 || std::string_view(comp) == kBuiltinComponent;
  if (wantsBuiltin && (lfvgblp.flags & kLfvFlagBuiltin) != 0) {
    return &lfvgblp.builtin;
  }
  lfvEntry* entry = nullptr;
  return lfvtlsearch(lfvgblp.tableHead, comp, &entry) == 0 ? entry : nullptr;
}

// The entry's open function by its type; null for an entry that is not
// served, or whose registration left the function out.
lfvOpenFunc openFunction(const lfvEntry& entry) {
  if (entry.type == kLfvTypePackage) {
    return entry.pkgFuncs == nullptr ? nullptr : entry.pkgFuncs[kPackageOpenIndex];
  }
  if (entry.type == kLfvTypeOwnOpen) {
    return entry.openFunc;
  }
  return nullptr;
}

}  // namespace

void* slfvMalloc(size_t size) {
  return ssMemMalloc(size);
}

void slfvFree(void* p) {
  ssMemFree(p);
}

// Paths the layer does not serve give null with the record untouched, and the
// caller falls back to the C library's open.
lfvHandle* lfvopen(const char* path, slosErrRec* record, int option) {
  char relative[kLfvNameBuffer];
  char* const slash = lfvGetComp(path, relative, sizeof relative);
  if (slash == nullptr) {
    return nullptr;
  }
  const lfvEntry* const entry = servingEntry(relative, option);
  if (entry == nullptr) {
    return nullptr;
  }
  const lfvOpenFunc open = openFunction(*entry);
  if (open == nullptr) {
    return nullptr;
  }
  // The component and the rest of the path, lower-cased, relative to the home.
  *slash = '/';
  uint32_t length = 0;
  const void* const data = open(relative, &length);
  if (data == nullptr) {
    slosFillErr(record, kNoFile, 0, kNoFileMessage, kRoutine);
    return nullptr;
  }
  auto* const handle = static_cast<lfvHandle*>(slfvMalloc(sizeof(lfvHandle)));
  if (handle == nullptr) {
    slosFillErr(record, kNoHandle, 0, kNoHandleMessage, kRoutine);
    return nullptr;
  }
  handle->size = length;
  handle->pos = 0;
  handle->data = data;
  return handle;
}

// The contents stay with the component; only the handle is released.
int lfvclose(lfvHandle* handle) {
  slfvFree(handle);
  return 0;
}
