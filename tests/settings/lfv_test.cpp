// The file-location layer, through components that the tests register in the
// process context themselves (the program never registers any).
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "settings/lfv.h"
#include "tests/support/fault_injection.h"

namespace {

constexpr char kHome[] = "/srv/inst";
constexpr char kContents[] = "served from memory\n";
constexpr char kBuiltinContents[] = "built-in contents\n";

// The relative paths the open functions were asked for.
std::vector<std::string> asked;

const void* serve(const char* relative, uint32_t* length, const char* contents) {
  asked.emplace_back(relative);
  if (strstr(relative, "/missing") != nullptr) {
    return nullptr;
  }
  *length = static_cast<uint32_t>(strlen(contents));
  return contents;
}
const void* openOwn(const char* relative, uint32_t* length) {
  return serve(relative, length, kContents);
}
const void* openBuiltin(const char* relative, uint32_t* length) {
  return serve(relative, length, kBuiltinContents);
}
lfvOpenFunc packageTable[3] = {nullptr, nullptr, openOwn};
lfvOpenFunc builtinTable[3] = {nullptr, nullptr, openBuiltin};

bool isZeroFilled(const lfvContext& ctx) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  return std::all_of(bytes, bytes + sizeof ctx, [](unsigned char b) { return b == 0; });
}

// The ways the tests set the context up.
enum Ctx { kNothing, kTable, kBuiltin, kOff, kBuiltinOnly };

class FileLocation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(isZeroFilled(lfvgblp));
    asked.clear();
    dorq_test::resetFaults();
  }
  // Back to the program's state: nothing recorded, nothing registered.
  void TearDown() override {
    memset(static_cast<void*>(&lfvgblp), 0, sizeof lfvgblp);
    dorq_test::resetFaults();
  }

  static void fillEntry(lfvEntry& entry, const char* name, uint8_t type, lfvOpenFunc* table) {
    memset(static_cast<void*>(&entry), 0, sizeof entry);
    strcpy(entry.name, name);
    entry.type = type;
    entry.pkgFuncs = table;
    entry.openFunc = table == nullptr ? openOwn : nullptr;
  }

  // Home /srv/inst; components "rdbms" (own open), "pkg" (package table),
  // "idle" (registered, not served); the built-in entry (package table).
  void use(Ctx setup) {
    memset(static_cast<void*>(&lfvgblp), 0, sizeof lfvgblp);
    if (setup == kNothing) {
      return;
    }
    memcpy(lfvgblp.home, kHome, sizeof kHome);
    lfvgblp.homeLength = static_cast<uint32_t>(strlen(kHome));
    lfvgblp.flags = kLfvFlagHome;
    fillEntry(entries_[0], "rdbms", kLfvTypeOwnOpen, nullptr);
    fillEntry(entries_[1], "pkg", kLfvTypePackage, packageTable);
    fillEntry(entries_[2], "idle", kLfvTypeNotServed, nullptr);
    entries_[0].next = &entries_[1];
    entries_[1].next = &entries_[2];
    lfvgblp.tableHead = setup == kBuiltinOnly ? nullptr : entries_;
    if (setup != kTable) {
      fillEntry(lfvgblp.builtin, "rdbms", kLfvTypePackage, builtinTable);
      lfvgblp.flags |= kLfvFlagBuiltin | (setup == kOff ? kLfvFlagOff : 0);
    }
  }

  lfvEntry entries_[3]{};
};

// The component is the lower-cased first part of the rest after the home,
// which must fit the buffer whole; a buffer it does not fit is not written.
TEST_F(FileLocation, ComponentOfAPath) {
  const std::string fits = "/srv/inst/rdbms/" + std::string(1023 - 6, 'f');
  const struct {
    Ctx setup;
    std::string path;
    size_t size;
    const char* relative;  // comp with the cut undone; null: none; "": none, comp untouched
  } cases[] = {
      {kTable, "/srv/inst/RDBMS/Admin/x", kLfvNameBuffer, "rdbms/admin/x"},
      {kTable, "/srv/inst//pkg/", kLfvNameBuffer, "pkg/"},
      {kTable, "/srv/inst2/rdbms/x", kLfvNameBuffer, "2/rdbms/x"},  // a plain prefix test
      {kTable, "/srv/inst/env.zan", kLfvNameBuffer, nullptr},
      {kTable, "/srv/inst/", kLfvNameBuffer, nullptr},
      {kTable, "/srv/ins", kLfvNameBuffer, nullptr},
      {kTable, "srv/inst/rdbms/x", kLfvNameBuffer, nullptr},
      {kTable, "/srv/inst/rdbms/x", 8, "rdbms/x"},
      {kTable, "/srv/inst/rdbms/xy", 8, ""},
      {kTable, fits, kLfvNameBuffer, fits.c_str() + 10},
      {kTable, fits + "f", kLfvNameBuffer, ""},
      {kNothing, "/srv/inst/rdbms/x", kLfvNameBuffer, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path.substr(0, 40));
    use(c.setup);
    std::vector<char> comp(c.size + 1, '@');
    char* const end = lfvGetComp(c.path.c_str(), comp.data(), c.size);
    if (c.relative == nullptr || *c.relative == '\0') {
      EXPECT_EQ(end, nullptr);
      EXPECT_TRUE(c.relative == nullptr || comp == std::vector<char>(c.size + 1, '@'));
      continue;
    }
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end, comp.data() + (strchr(c.relative, '/') - c.relative));
    *end = '/';
    EXPECT_STREQ(comp.data(), c.relative);
  }
}

// Paths by component, names (modes 1 and 2) unchanged; the built-in entry
// answers for "rdbms" paths, and with option bit 0 for any key.
TEST_F(FileLocation, TypeOfAKey) {
  const struct {
    Ctx setup;
    const char* key;
    int mode;
    int option;
    int type;
  } cases[] = {
      {kNothing, "/srv/inst/rdbms/x", 0, 1, kLfvTypeNoEntry},
      {kTable, "/srv/inst/RDBMS/admin/x", 0, 0, kLfvTypeOwnOpen},
      {kTable, "/srv/inst/pkg/a", 0, 1, kLfvTypePackage},
      {kTable, "/srv/inst/idle/a", 0, 0, kLfvTypeNotServed},
      {kTable, "/srv/inst/other/a", 0, 0, kLfvTypeNoEntry},
      {kTable, "/srv/inst/env.zan", 0, 0, kLfvTypeNoEntry},
      {kTable, "rdbms", 1, 0, kLfvTypeOwnOpen},
      {kTable, "pkg", 2, 0, kLfvTypePackage},
      {kTable, "RDBMS", 1, 0, kLfvTypeNoEntry},
      {kTable, "/srv/inst/rdbms/x", 1, 0, kLfvTypeNoEntry},
      {kTable, "rdbms", 7, 0, kLfvTypeNoEntry},
      {kBuiltin, "/srv/inst/RDBMS/x", 0, 0, kLfvTypePackage},
      {kBuiltin, "/srv/inst/idle/a", 0, 0, kLfvTypeNotServed},
      {kBuiltin, "/srv/inst/idle/a", 0, 1, kLfvTypePackage},
      {kBuiltin, "/elsewhere/x", 0, 1, kLfvTypePackage},
      {kBuiltin, "rdbms", 1, 0, kLfvTypeOwnOpen},
      {kBuiltinOnly, "/srv/inst/rdbms/x", 0, 0, kLfvTypeNoEntry},
      {kBuiltinOnly, "/srv/inst/rdbms/x", 0, 1, kLfvTypePackage},
      {kOff, "/srv/inst/pkg/a", 0, 1, kLfvTypeNotServed},
      {kOff, "pkg", 1, 0, kLfvTypeNotServed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.setup) + " " + c.key + " mode " + std::to_string(c.mode) +
                 " option " + std::to_string(c.option));
    use(c.setup);
    EXPECT_EQ(lfvtyp(c.key, c.mode, c.option), c.type);
    const bool served = c.type == kLfvTypePackage || c.type == kLfvTypeOwnOpen;
    EXPECT_EQ(lfvIsVfsMode(c.key, c.mode, c.option), served ? 1 : 0);
  }
}

// An open asks the serving component for the lower-cased path relative to
// the home and hands out a handle over its contents; paths not served give
// null with the record untouched, failures of a served path fill it.
TEST_F(FileLocation, Open) {
  const struct {
    Ctx setup;
    const char* path;
    int option;
    bool noMemory;
    const char* contents;  // null: no handle
    const char* asked;     // null: no component asked
    int32_t code;          // 0: record untouched
  } cases[] = {
      {kNothing, "/srv/inst/rdbms/x", 1, false, nullptr, nullptr, 0},
      {kTable, "/srv/inst/RDBMS/Admin/x", 0, false, kContents, "rdbms/admin/x", 0},
      {kTable, "/srv/inst//pkg/a/b", 1, false, kContents, "pkg/a/b", 0},
      {kTable, "/srv/inst/env.zan", 0, false, nullptr, nullptr, 0},
      {kTable, "/elsewhere/rdbms/x", 0, false, nullptr, nullptr, 0},
      {kTable, "/srv/inst/other/x", 1, false, nullptr, nullptr, 0},
      {kTable, "/srv/inst/idle/x", 0, false, nullptr, nullptr, 0},
      {kTable, "/srv/inst/pkg/missing", 0, false, nullptr, "pkg/missing", -5},
      {kTable, "/srv/inst/rdbms/x", 0, true, nullptr, "rdbms/x", -8},
      {kBuiltin, "/srv/inst/rdbms/x", 0, false, kBuiltinContents, "rdbms/x", 0},
      {kBuiltin, "/srv/inst/pkg/y", 0, false, kContents, "pkg/y", 0},
      {kBuiltin, "/srv/inst/other/z", 1, false, kBuiltinContents, "other/z", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.setup) + " " + c.path);
    use(c.setup);
    asked.clear();
    dorq_test::armFault(dorq_test::Wrapper::Malloc, c.noMemory ? 1 : 0, ENOMEM);
    slosErrRec record;
    memset(&record, 0x5A, sizeof record);
    lfvHandle* const handle = lfvopen(c.path, &record, c.option);
    EXPECT_EQ(handle == nullptr ? nullptr : handle->data, c.contents);
    if (handle != nullptr) {
      EXPECT_EQ(handle->size, strlen(c.contents));
      EXPECT_EQ(handle->pos, 0U);
      EXPECT_EQ(lfvclose(handle), 0);
    }
    EXPECT_EQ(asked,
              c.asked == nullptr ? std::vector<std::string>{} : std::vector<std::string>{c.asked});
    if (c.code == 0) {
      EXPECT_EQ(record.code, 0x5A5A5A5A);
    } else {
      EXPECT_EQ(record.code, c.code);
      EXPECT_STREQ(record.routine, "lfvopen");
    }
  }
}

}  // namespace
