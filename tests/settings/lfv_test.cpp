// The file-location layer, through components that the tests register in the
// process context themselves (the program never registers any).
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <array>
#include <string>
#include <string_view>
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
  const std::string_view path(relative);
  if (path.substr(path.find('/')) == "/missing") {
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
  for (size_t i = 0; i < sizeof ctx; ++i) {
    if (bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

// A record full of marks, to see that a call left it alone.
slosErrRec markedRecord() {
  slosErrRec record;
  memset(&record, 0x5A, sizeof record);
  return record;
}
bool unchanged(const slosErrRec& record) {
  const slosErrRec marked = markedRecord();
  return memcmp(&record, &marked, sizeof record) == 0;
}

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

  static void fillEntry(lfvEntry& entry, const char* name, uint8_t type) {
    memset(static_cast<void*>(&entry), 0, sizeof entry);
    strcpy(entry.name, name);
    entry.type = type;
    if (type == kLfvTypePackage) {
      entry.pkgFuncs = packageTable;
    } else if (type == kLfvTypeOwnOpen) {
      entry.openFunc = openOwn;
    }
  }

  // Home /srv/inst; components "rdbms" (own open), "pkg" (package table),
  // "idle" (registered, not served).
  void registerComponents() {
    memcpy(lfvgblp.home, kHome, sizeof kHome);
    lfvgblp.homeLength = static_cast<uint32_t>(strlen(kHome));
    lfvgblp.flags |= kLfvFlagHome;
    fillEntry(entries_[0], "rdbms", kLfvTypeOwnOpen);
    fillEntry(entries_[1], "pkg", kLfvTypePackage);
    fillEntry(entries_[2], "idle", kLfvTypeNotServed);
    entries_[0].next = &entries_[1];
    entries_[1].next = &entries_[2];
    lfvgblp.tableHead = entries_.data();
  }

  // The built-in entry, served through a package table of its own.
  static void registerBuiltin() {
    fillEntry(lfvgblp.builtin, "rdbms", kLfvTypePackage);
    lfvgblp.builtin.pkgFuncs = builtinTable;
    lfvgblp.flags |= kLfvFlagBuiltin;
  }

  std::array<lfvEntry, 3> entries_{};
};

TEST_F(FileLocation, ZeroFilledContextServesNothing) {
  for (const char* path : {"/srv/inst/rdbms/admin/x", "/", "", "rdbms/x", "/srv/inst/env.zan"}) {
    SCOPED_TRACE(path);
    for (int option : {0, 1}) {
      EXPECT_EQ(lfvIsVfsMode(path, 0, option), 0);
      EXPECT_EQ(lfvtyp(path, 0, option), kLfvTypeNoEntry);
      slosErrRec record = markedRecord();
      EXPECT_EQ(lfvopen(path, &record, option), nullptr);
      EXPECT_TRUE(unchanged(record));
    }
    char comp[kLfvNameBuffer];
    EXPECT_EQ(lfvGetComp(path, comp, sizeof comp), nullptr);
  }
  EXPECT_EQ(lfvtyp("rdbms", 1, 0), kLfvTypeNoEntry);
  EXPECT_TRUE(asked.empty());
  EXPECT_TRUE(isZeroFilled(lfvgblp));
}

TEST_F(FileLocation, LowerCaseCopy) {
  char dst[32];
  EXPECT_EQ(lstlo(dst, "Srv/RDBMS/Admin-9_Z.TRC"), dst);
  EXPECT_STREQ(dst, "srv/rdbms/admin-9_z.trc");
  EXPECT_EQ(lstlo(dst, ""), dst);
  EXPECT_STREQ(dst, "");
}

struct CompCase {
  const char* path;
  const char* component;  // null: no component
  const char* relative;
};

TEST_F(FileLocation, ComponentOfAPath) {
  registerComponents();
  const CompCase cases[] = {
      {"/srv/inst/RDBMS/admin/x", "rdbms", "rdbms/admin/x"},
      {"/srv/inst//rdbms/admin/x", "rdbms", "rdbms/admin/x"},
      {"/srv/inst/Pkg/", "pkg", "pkg/"},
      // A plain prefix test, not a directory test.
      {"/srv/inst2/rdbms/x", "2", "2/rdbms/x"},
      {"/srv/inst/env.zan", nullptr, nullptr},
      {"/srv/inst/", nullptr, nullptr},
      {"/srv/inst", nullptr, nullptr},
      {"/srv/ins", nullptr, nullptr},
      {"/srv/other/rdbms/x", nullptr, nullptr},
      {"srv/inst/rdbms/x", nullptr, nullptr},
  };
  for (const CompCase& c : cases) {
    SCOPED_TRACE(c.path);
    char comp[kLfvNameBuffer];
    char* const end = lfvGetComp(c.path, comp, sizeof comp);
    if (c.component == nullptr) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    ASSERT_NE(end, nullptr);
    EXPECT_STREQ(comp, c.component);
    EXPECT_EQ(end, comp + strlen(c.component));
    *end = '/';
    EXPECT_STREQ(comp, c.relative);
  }
}

// A rest that does not fit the buffer whole is not served, and the buffer is
// not written (the sanitizer build would catch a write past it).
TEST_F(FileLocation, RestThatDoesNotFitIsNotServed) {
  registerComponents();
  char small[8];
  memset(small, '@', sizeof small);
  EXPECT_EQ(lfvGetComp("/srv/inst/rdbms/xy", small, sizeof small), nullptr);
  EXPECT_EQ(std::string(small, sizeof small), std::string(sizeof small, '@'));
  EXPECT_EQ(lfvGetComp("/srv/inst/rdbms/x", small, sizeof small), small + 5);
  EXPECT_EQ(lfvGetComp("/srv/inst/rdbms/x", small, 0), nullptr);

  const std::string fits = "/srv/inst/rdbms/" + std::string(1023 - 6, 'f');
  const std::string tooLong = fits + "f";
  char comp[kLfvNameBuffer];
  EXPECT_EQ(lfvGetComp(fits.c_str(), comp, sizeof comp), comp + 5);
  EXPECT_EQ(lfvGetComp(tooLong.c_str(), comp, sizeof comp), nullptr);
  EXPECT_EQ(lfvIsVfsMode(tooLong.c_str(), 0, 0), 0);
}

TEST_F(FileLocation, TableSearch) {
  registerComponents();
  lfvEntry* found = nullptr;
  EXPECT_EQ(lfvtlsearch(lfvgblp.tableHead, "pkg", &found), 0);
  EXPECT_EQ(found, &entries_[1]);
  EXPECT_EQ(lfvtlsearch(lfvgblp.tableHead, "idle", &found), 0);
  EXPECT_EQ(found, &entries_[2]);
  found = nullptr;
  EXPECT_EQ(lfvtlsearch(lfvgblp.tableHead, "PKG", &found), -5);
  EXPECT_EQ(lfvtlsearch(lfvgblp.tableHead, "pk", &found), -5);
  EXPECT_EQ(lfvtlsearch(lfvgblp.tableHead, "", &found), -5);
  EXPECT_EQ(lfvtlsearch(nullptr, "pkg", &found), -5);
  EXPECT_EQ(found, nullptr);
}

struct TypeCase {
  const char* key;
  int mode;
  int option;
  int type;
};

void expectTypes(const std::vector<TypeCase>& cases) {
  for (const TypeCase& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " mode " + std::to_string(c.mode) + " option " +
                 std::to_string(c.option));
    EXPECT_EQ(lfvtyp(c.key, c.mode, c.option), c.type);
    const bool served = c.type == kLfvTypePackage || c.type == kLfvTypeOwnOpen;
    EXPECT_EQ(lfvIsVfsMode(c.key, c.mode, c.option), served ? 1 : 0);
  }
}

TEST_F(FileLocation, TypesOfRegisteredComponents) {
  registerComponents();
  expectTypes({
      {"/srv/inst/RDBMS/admin/x", 0, 0, kLfvTypeOwnOpen},
      {"/srv/inst/pkg/a", 0, 0, kLfvTypePackage},
      {"/srv/inst/idle/a", 0, 0, kLfvTypeNotServed},
      {"/srv/inst/other/a", 0, 0, kLfvTypeNoEntry},
      {"/srv/inst/env.zan", 0, 0, kLfvTypeNoEntry},
      {"/elsewhere/rdbms/x", 0, 0, kLfvTypeNoEntry},
      // Without the built-in entry, option bit 0 changes nothing.
      {"/srv/inst/pkg/a", 0, 1, kLfvTypePackage},
      // Names are looked up unchanged.
      {"rdbms", 1, 0, kLfvTypeOwnOpen},
      {"pkg", 2, 0, kLfvTypePackage},
      {"RDBMS", 1, 0, kLfvTypeNoEntry},
      {"/srv/inst/rdbms/x", 1, 0, kLfvTypeNoEntry},
      {"rdbms", 7, 0, kLfvTypeNoEntry},
  });
}

TEST_F(FileLocation, SwitchedOffLayerAnswersZero) {
  registerComponents();
  registerBuiltin();
  lfvgblp.flags |= kLfvFlagOff;
  expectTypes({
      {"/srv/inst/rdbms/x", 0, 0, kLfvTypeNotServed},
      {"/srv/inst/pkg/a", 0, 1, kLfvTypeNotServed},
      {"/srv/inst/other/a", 0, 0, kLfvTypeNotServed},
      {"/elsewhere/x", 0, 0, kLfvTypeNotServed},
      {"pkg", 1, 0, kLfvTypeNotServed},
  });
}

TEST_F(FileLocation, BuiltinEntry) {
  registerComponents();
  registerBuiltin();
  expectTypes({
      // "rdbms" paths go to the built-in entry, not to the table's.
      {"/srv/inst/RDBMS/x", 0, 0, kLfvTypePackage},
      {"/srv/inst/pkg/a", 0, 0, kLfvTypePackage},
      {"/srv/inst/idle/a", 0, 0, kLfvTypeNotServed},
      // With option bit 0 it answers for any key.
      {"/srv/inst/idle/a", 0, 1, kLfvTypePackage},
      {"/elsewhere/x", 0, 1, kLfvTypePackage},
      {"rdbms", 1, 0, kLfvTypeOwnOpen},
  });
  // Without a table only option bit 0 reaches it.
  lfvgblp.tableHead = nullptr;
  expectTypes({
      {"/srv/inst/rdbms/x", 0, 0, kLfvTypeNoEntry},
      {"/srv/inst/rdbms/x", 0, 1, kLfvTypePackage},
  });
}

// Opens through the entry's own open function (type 4) and through the
// package's function table (type 2), with the lower-cased relative path.
TEST_F(FileLocation, OpenServesTheComponentsContents) {
  registerComponents();
  struct OpenCase {
    const char* path;
    int option;
    const char* relative;
  };
  const OpenCase cases[] = {
      {"/srv/inst/RDBMS/Admin/x", 0, "rdbms/admin/x"},
      {"/srv/inst//pkg/a/b", 0, "pkg/a/b"},
      {"/srv/inst/pkg/a", 1, "pkg/a"},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.path);
    asked.clear();
    slosErrRec record = markedRecord();
    lfvHandle* const handle = lfvopen(c.path, &record, c.option);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->data, kContents);
    EXPECT_EQ(handle->size, strlen(kContents));
    EXPECT_EQ(handle->pos, 0U);
    EXPECT_EQ(asked, std::vector<std::string>{c.relative});
    EXPECT_TRUE(unchanged(record));
    EXPECT_EQ(lfvclose(handle), 0);
  }
}

TEST_F(FileLocation, OpenThroughTheBuiltinEntry) {
  registerComponents();
  registerBuiltin();
  for (const auto& [path, option] :
       {std::pair{"/srv/inst/rdbms/x", 0}, std::pair{"/srv/inst/pkg/y", 1},
        std::pair{"/srv/inst/unregistered/z", 1}}) {
    SCOPED_TRACE(path);
    slosErrRec record = markedRecord();
    lfvHandle* const handle = lfvopen(path, &record, option);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->data, kBuiltinContents);
    EXPECT_EQ(lfvclose(handle), 0);
  }
  // Without option bit 0 other components still come from the table.
  slosErrRec record = markedRecord();
  lfvHandle* const handle = lfvopen("/srv/inst/pkg/y", &record, 0);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->data, kContents);
  EXPECT_EQ(lfvclose(handle), 0);
}

// Paths the layer does not serve give null with the record untouched.
TEST_F(FileLocation, OpenOfUnservedPathsLeavesTheRecord) {
  registerComponents();
  const char* const paths[] = {"/srv/inst/env.zan", "/elsewhere/rdbms/x", "/srv/inst/other/x",
                               "/srv/inst/idle/x"};
  for (const char* path : paths) {
    SCOPED_TRACE(path);
    slosErrRec record = markedRecord();
    EXPECT_EQ(lfvopen(path, &record, 0), nullptr);
    EXPECT_TRUE(unchanged(record));
  }
  // Option bit 0 without the built-in entry changes nothing.
  slosErrRec record = markedRecord();
  EXPECT_EQ(lfvopen("/srv/inst/other/x", &record, 1), nullptr);
  EXPECT_TRUE(unchanged(record));
  EXPECT_TRUE(asked.empty());
}

void expectReport(const slosErrRec& record, int32_t code, const char* message) {
  EXPECT_EQ(record.code, code);
  EXPECT_EQ(record.osError, 0);
  EXPECT_STREQ(record.message, message);
  EXPECT_STREQ(record.routine, "lfvopen");
}

TEST_F(FileLocation, OpenReportsAFileTheComponentDoesNotHave) {
  registerComponents();
  for (const char* path : {"/srv/inst/rdbms/missing", "/srv/inst/pkg/missing"}) {
    SCOPED_TRACE(path);
    slosErrRec record = markedRecord();
    EXPECT_EQ(lfvopen(path, &record, 0), nullptr);
    expectReport(record, -5, "could not find file");
  }
}

TEST_F(FileLocation, OpenReportsNoMemoryForTheHandle) {
  registerComponents();
  dorq_test::armFault(dorq_test::Wrapper::Malloc, 1, ENOMEM);
  slosErrRec record = markedRecord();
  EXPECT_EQ(lfvopen("/srv/inst/rdbms/admin/x", &record, 0), nullptr);
  expectReport(record, -8, "could not allocate file handle");
  EXPECT_EQ(asked, std::vector<std::string>{"rdbms/admin/x"});
}

}  // namespace
