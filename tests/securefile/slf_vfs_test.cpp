// The plain open in front of the file-location layer: served files come back
// as layer handles, everything else falls through to the C open.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <string_view>

#include "securefile/slf_file.h"
#include "settings/lfv.h"
#include "tests/securefile/sf_util.h"
#include "tests/support/fault_injection.h"
#include "tests/support/temp_dir.h"

namespace {

using dorq_test::Wrapper;
using sf_test::Fill;
using sf_test::filledAs;

constexpr char kServed[] = "served contents\n";

// The component "comp" serves files named served.txt only.
const void* openComp(const char* relativePath, uint32_t* length) {
  if (!std::string_view(relativePath).ends_with("/served.txt")) {
    return nullptr;
  }
  *length = sizeof kServed - 1;
  return kServed;
}

// The built-in entry serves anything.
const void* openBuiltin(const char*, uint32_t* length) {
  *length = sizeof kServed - 1;
  return kServed;
}

// The home is the test's directory, so files the layer does not serve can
// still be found by the C open.
class LayerOpen : public sf_test::FileTest {
 protected:
  void SetUp() override {
    FileTest::SetUp();
    sf_test::makeDir(at("comp"), 0755);
    sf_test::makeDir(at("other"), 0755);
    dorq_test::writeFile(at("comp/disk.txt"), "on disk\n");
    dorq_test::writeFile(at("other/disk.txt"), "on disk\n");
    memset(&lfvgblp, 0, sizeof lfvgblp);
    memcpy(lfvgblp.home, base().c_str(), base().size() + 1);
    lfvgblp.homeLength = static_cast<uint32_t>(base().size());
    lfvgblp.flags = kLfvFlagHome;
    strcpy(entry_.name, "comp");
    entry_.type = kLfvTypeOwnOpen;
    entry_.openFunc = openComp;
    lfvgblp.tableHead = &entry_;
  }
  void TearDown() override {
    memset(&lfvgblp, 0, sizeof lfvgblp);
    FileTest::TearDown();
  }
  void addBuiltin() {
    lfvgblp.flags |= kLfvFlagBuiltin;
    lfvgblp.builtin.type = kLfvTypeOwnOpen;
    lfvgblp.builtin.openFunc = openBuiltin;
  }

  // Opens with a record full of a pattern, which a served or plain open
  // leaves alone unless the layer itself failed.
  sf_test::Handle open(const std::string& name, int32_t access, int32_t vfsFlags,
                       slosErrRec* record, bool guarded = false) {
    *record = sf_test::patternRecord();
    const auto call = guarded ? SlfFopen2 : SlfFopen;
    return sf_test::Handle(
        call(name.c_str(), base().c_str(), access, 0, kSlfKindNamed, record, vfsFlags));
  }

  lfvEntry entry_{};
};

bool isServed(const sf_test::Handle& handle) {
  if (!handle || handle->isVfs != 1) {
    return false;
  }
  const auto* layer = static_cast<const lfvHandle*>(handle->stream);
  return layer->data == kServed && layer->size == sizeof kServed - 1 && layer->pos == 0;
}

TEST_F(LayerOpen, ServesFilesOfARegisteredComponentForReading) {
  slosErrRec record;
  sf_test::Handle handle = open("comp/served.txt", 0, kSlfVfsTry, &record);
  EXPECT_TRUE(isServed(handle));
  EXPECT_TRUE(sf_test::sameBytes(record, sf_test::patternRecord()));
  // The close hands the layer handle back to the layer and returns its result.
  EXPECT_EQ(SlfFclose(handle.release(), &record, 0), 0);
  // The guarded open leaves such requests to the plain open, unchecked.
  handle = open("comp/../comp/served.txt", 0, kSlfVfsTry, &record, true);
  EXPECT_TRUE(isServed(handle));
}

TEST_F(LayerOpen, UsesTheCOpenWhenNotAskedNotReadingOrNotServed) {
  slosErrRec record;
  // Not asked: the C open finds nothing at the served name.
  EXPECT_FALSE(open("comp/served.txt", 0, 0, &record));
  EXPECT_TRUE(filledAs(record, Fill{-5, ENOENT, "open failed", "SlfFopen1"}));
  // Not reading: the layer is not opened, the C open creates the file.
  sf_test::Handle handle = open("comp/served.txt", 1, kSlfVfsTry, &record);
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->isVfs, 0);
  // A component that is not registered, and an option without the try bit.
  for (const int32_t vfs : {kSlfVfsTry, kSlfVfsOption}) {
    handle = open("other/disk.txt", 0, vfs, &record);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->isVfs, 0);
    EXPECT_TRUE(sf_test::sameBytes(record, sf_test::patternRecord()));
  }
}

// A served component without the file: the layer's report stays in the
// record although the C open then succeeds.
TEST_F(LayerOpen, FallsThroughToTheCOpenWhenTheLayerFindsNothing) {
  slosErrRec record;
  sf_test::Handle handle = open("comp/disk.txt", 0, kSlfVfsTry, &record);
  ASSERT_TRUE(handle);
  EXPECT_EQ(handle->isVfs, 0);
  EXPECT_TRUE(filledAs(record, Fill{-5, 0, "could not find file", "lfvopen"}));
  char buf[32];
  EXPECT_EQ(SlfFgts(handle.get(), buf, sizeof buf, &record, 0), 0);
  EXPECT_STREQ(buf, "on disk\n");
}

// Bit 0x2 becomes the layer's option 1, which lets the built-in entry serve.
TEST_F(LayerOpen, PassesTheOptionBitOnToTheLayer) {
  addBuiltin();
  slosErrRec record;
  EXPECT_TRUE(isServed(open("other/disk.txt", 0, kSlfVfsTry | kSlfVfsOption, &record)));
  sf_test::Handle plain = open("other/disk.txt", 0, kSlfVfsTry, &record);
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->isVfs, 0);
}

// The layer's own handle is the first allocation, the wrapping handle the
// second; when that fails the layer handle goes back (no leak).
TEST_F(LayerOpen, ReportsNoMemoryForTheWrappingHandle) {
  dorq_test::armFault(Wrapper::Malloc, 2, ENOMEM);
  slosErrRec record;
  EXPECT_FALSE(open("comp/served.txt", 0, kSlfVfsTry, &record));
  EXPECT_TRUE(filledAs(record, Fill{-8, ENOMEM, "memory allocation failed", "SlfFopen3"}));
  EXPECT_EQ(dorq_test::callCount(Wrapper::Fopen), 0U);
}

}  // namespace
