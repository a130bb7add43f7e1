// The file-location layer, through components that the tests register in the
// process context themselves. The program never registers any, so its
// context stays zero-filled (kNothing below) and serves no path.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "settings/lfv.h"
#include "tests/support/fault_injection.h"

namespace {

constexpr char kContents[] = "served from memory\n";
constexpr char kBuiltinContents[] = "built-in contents\n";
std::string asked;  // the relative path a component was last asked for

const void* serve(const char* relative, uint32_t* length, const char* contents) {
  asked = relative;
  *length = static_cast<uint32_t>(strlen(contents));
  return strstr(relative, "/missing") == nullptr ? contents : nullptr;
}
const void* openOwn(const char* relative, uint32_t* length) {
  return serve(relative, length, kContents);
}
const void* openBuiltin(const char* relative, uint32_t* length) {
  return serve(relative, length, kBuiltinContents);
}
lfvOpenFunc packageTable[3] = {nullptr, nullptr, openOwn};
lfvOpenFunc builtinTable[3] = {nullptr, nullptr, openBuiltin};
lfvEntry entries[3];

void fill(lfvEntry& entry, const char* name, uint8_t type, lfvOpenFunc* table, lfvEntry* next) {
  memset(static_cast<void*>(&entry), 0, sizeof entry);
  strcpy(entry.name, name);
  entry.type = type;
  entry.pkgFuncs = table;
  entry.openFunc = openOwn;
  entry.next = next;
}

enum Ctx { kNothing, kTable, kBuiltin };

// Home /srv/inst; components "rdbms" (own open), "pkg" (package table) and
// "idle" (not served); the built-in entry serves through a table of its own.
void use(Ctx ctx) {
  memset(static_cast<void*>(&lfvgblp), 0, sizeof lfvgblp);
  asked.clear();
  if (ctx == kNothing) {
    return;
  }
  strcpy(lfvgblp.home, "/srv/inst");
  lfvgblp.homeLength = 9;
  lfvgblp.flags = kLfvFlagHome;
  fill(entries[2], "idle", kLfvTypeNotServed, nullptr, nullptr);
  fill(entries[1], "pkg", kLfvTypePackage, packageTable, &entries[2]);
  fill(entries[0], "rdbms", kLfvTypeOwnOpen, nullptr, &entries[1]);
  lfvgblp.tableHead = entries;
  if (ctx == kBuiltin) {
    fill(lfvgblp.builtin, "rdbms", kLfvTypePackage, builtinTable, nullptr);
    lfvgblp.flags |= kLfvFlagBuiltin;
  }
}

// The component is the lower-cased first part of the rest after the home,
// which must fit the buffer whole; a buffer it does not fit is not written.
TEST(FileLocation, ComponentOfAPath) {
  const struct {
    std::string path;
    size_t size;
    std::string expected;  // the component and the rest, or what became of comp
  } cases[] = {
      {"/srv/inst/RDBMS/Admin/x", kLfvNameBuffer, "rdbms/admin/x"},
      {"/srv/inst//pkg/", kLfvNameBuffer, "pkg/"},
      {"/srv/inst2/rdbms/x", kLfvNameBuffer, "2/rdbms/x"},  // a plain prefix test
      {"/srv/inst/env.zan", kLfvNameBuffer, "no component"},
      {"srv/inst/rdbms/x", kLfvNameBuffer, "untouched"},
      {"/srv/inst/rdbms/x", 8, "rdbms/x"},
      {"/srv/inst/rdbms/xy", 8, "untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    use(kTable);
    std::vector<char> comp(c.size + 1, '@');
    char* const end = lfvGetComp(c.path.c_str(), comp.data(), c.size);
    if (end != nullptr) {
      *end = '/';  // undone at the position returned
      EXPECT_EQ(std::string(comp.data()), c.expected);
    } else {
      const bool untouched = comp == std::vector<char>(c.size + 1, '@');
      EXPECT_EQ(untouched ? "untouched" : "no component", c.expected);
    }
  }
  use(kNothing);
}

// Paths by their component: the type, whether the layer serves them, and
// what an open gets. An open asks the serving component for the lower-cased
// path relative to the home; paths not served give null with the record
// untouched, failures of a served path fill it. The built-in entry answers
// for "rdbms" paths, and with option bit 0 for any.
TEST(FileLocation, PathsByComponent) {
  const struct {
    Ctx ctx;
    const char* path;
    int option;
    int type;
    const char* contents;  // null: no handle
    const char* asked;     // "": no component asked
    int32_t code;          // 0: record untouched; -8: no memory for the handle
  } cases[] = {
      {kNothing, "/srv/inst/rdbms/x", 1, kLfvTypeNoEntry, nullptr, "", 0},
      {kTable, "/srv/inst/RDBMS/Admin/x", 0, kLfvTypeOwnOpen, kContents, "rdbms/admin/x", 0},
      {kTable, "/srv/inst//pkg/a/b", 1, kLfvTypePackage, kContents, "pkg/a/b", 0},
      {kTable, "/srv/inst/idle/x", 0, kLfvTypeNotServed, nullptr, "", 0},
      {kTable, "/srv/inst/other/x", 1, kLfvTypeNoEntry, nullptr, "", 0},
      {kTable, "/srv/inst/pkg/missing", 0, kLfvTypePackage, nullptr, "pkg/missing", -5},
      {kTable, "/srv/inst/rdbms/x", 0, kLfvTypeOwnOpen, nullptr, "rdbms/x", -8},
      {kBuiltin, "/srv/inst/RDBMS/x", 0, kLfvTypePackage, kBuiltinContents, "rdbms/x", 0},
      {kBuiltin, "/srv/inst/pkg/y", 0, kLfvTypePackage, kContents, "pkg/y", 0},
      {kBuiltin, "/srv/inst/idle/z", 1, kLfvTypePackage, kBuiltinContents, "idle/z", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    use(c.ctx);
    EXPECT_EQ(lfvtyp(c.path, 0, c.option), c.type);
    const bool served = c.type == kLfvTypePackage || c.type == kLfvTypeOwnOpen;
    EXPECT_EQ(lfvIsVfsMode(c.path, 0, c.option), served ? 1 : 0);
    dorq_test::armFault(dorq_test::Wrapper::Malloc, c.code == -8 ? 1 : 0, ENOMEM);
    slosErrRec record;
    memset(&record, 0x5A, sizeof record);
    lfvHandle* const handle = lfvopen(c.path, &record, c.option);
    EXPECT_EQ(handle == nullptr ? nullptr : handle->data, c.contents);
    if (handle != nullptr) {
      EXPECT_EQ(handle->size, strlen(c.contents));
      EXPECT_EQ(handle->pos, 0U);
      EXPECT_EQ(lfvclose(handle), 0);
    }
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(record.code, c.code == 0 ? 0x5A5A5A5A : c.code);
  }
  use(kNothing);
  dorq_test::resetFaults();
}

}  // namespace
