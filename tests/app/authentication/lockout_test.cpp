// The lockout's record file as its attempts leave it: each caller's records and each attempt's
// pending record, the slot locks a live attempt holds, the settlements, the limit of attempts in
// flight, a full file, and the file the faillock tool has opened. Every case runs in a private
// mount namespace with a tmpfs on /var/lib and a passwd of its own.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "app/authentication/sdorq_lockout.h"
#include "app/base/sdorq_signals.h"
#include "tests/support/support.h"

namespace dorq_test {
namespace {

constexpr char kUser[] = "dqjob";  // uid 23001 in the test's passwd
constexpr uid_t kUserUid = 23001;
constexpr char kDir[] = "/var/lib/dorq/faillock";
constexpr char kFile[] = "/var/lib/dorq/faillock/dqjob";
constexpr uid_t kMe = 23001, kOther = 23002;  // two callers
constexpr char kMine[] = "dorq:23001", kTheirs[] = "dorq:23002";

uint64_t now() {
  return static_cast<uint64_t>(time(nullptr));
}

TallyRecord record(const char* source, uint16_t status, uint64_t time, uint16_t slot = 0) {
  TallyRecord r{};
  snprintf(r.source, sizeof r.source, "%s", source);
  r.reserved = slot;
  r.status = status;
  r.time = time;
  return r;
}

std::vector<TallyRecord> records() {
  const std::string bytes = readFile(kFile);
  std::vector<TallyRecord> out(bytes.size() / sizeof(TallyRecord));
  if (!out.empty()) {
    memcpy(out.data(), bytes.data(), out.size() * sizeof(TallyRecord));
  }
  return out;
}

// The record file as dorq makes it, holding these records.
void seed(const std::vector<TallyRecord>& held) {
  ASSERT_TRUE(std::filesystem::create_directories(kDir));
  ASSERT_EQ(chmod("/var/lib/dorq", 0700) | chmod(kDir, 0700), 0);
  const auto* bytes = reinterpret_cast<const char*>(held.data());
  writeFile(kFile, held.empty() ? "" : std::string(bytes, held.size() * sizeof(TallyRecord)), 0600);
}

// A record as text: source, V (settled), P and its slot (pending) or the raw status and reserved
// field, and its time, "now" from since on.
std::string show(const TallyRecord& r, uint64_t since) {
  std::ostringstream out;
  out << std::string(r.source, strnlen(r.source, sizeof r.source)) << ' ';
  if (r.status == kTallyValid && r.reserved == 0) {
    out << 'V';
  } else if (r.status == kTallyPending) {
    out << 'P' << r.reserved;
  } else {
    out << 's' << r.status << 'r' << r.reserved;
  }
  out << ' ';
  if (r.time >= since) {
    out << "now";
  } else {
    out << r.time;
  }
  return out.str();
}
std::vector<std::string> shown(uint64_t since) {
  std::vector<std::string> out;
  for (const TallyRecord& r : records()) {
    out.push_back(show(r, since));
  }
  return out;
}
uint16_t newestSlot() {
  const auto held = records();
  return held.empty() ? 0 : held.back().reserved;
}

// A descriptor of the test's own on the record file: another open file description, whose
// view of the slot locks is every attempt's.
class Observer {
 public:
  Observer() : fd_(open(kFile, O_RDWR | O_CLOEXEC)) { EXPECT_TRUE(fd_.valid()); }
  bool held(uint16_t slot) const {
    struct flock lock = slotRange(F_WRLCK, slot);
    EXPECT_EQ(fcntl(fd_.get(), F_OFD_GETLK, &lock), 0);
    return lock.l_type != F_UNLCK;
  }
  // Stands in for a live attempt whose record is written by hand (or is gone).
  void hold(uint16_t slot) const {
    struct flock lock = slotRange(F_WRLCK, slot);
    EXPECT_EQ(fcntl(fd_.get(), F_OFD_SETLK, &lock), 0);
  }

 private:
  static struct flock slotRange(short type, uint16_t slot) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kPendingLockBase + slot;
    lock.l_len = 1;
    return lock;
  }
  UniqueFd fd_;
};

// The descriptors of this process open on the record file, and whether each is close-on-exec.
std::vector<bool> recordDescriptors() {
  std::vector<bool> out;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (std::filesystem::read_symlink(entry.path(), ignored) == kFile) {
      const int flags = fcntl(std::stoi(entry.path().filename()), F_GETFD);
      out.push_back(flags >= 0 && (flags & FD_CLOEXEC) != 0);
    }
  }
  return out;
}

std::tuple<uid_t, gid_t, mode_t> owner(const char* path) {
  struct stat st {};
  EXPECT_EQ(lstat(path, &st), 0) << path;
  return {st.st_uid, st.st_gid, st.st_mode & 07777};
}

// Runs the faillock tool on the test's records; its report as (source, V or I) pairs.
std::vector<std::pair<std::string, std::string>> faillock(const char* extra = "") {
  const std::string command =
      std::string("faillock --dir ") + kDir + " --user " + kUser + " " + extra + " 2>&1";
  FILE* tool = popen(command.c_str(), "r");
  EXPECT_NE(tool, nullptr);
  std::vector<std::pair<std::string, std::string>> out;
  char line[256];
  while (tool != nullptr && fgets(line, sizeof line, tool) != nullptr) {
    std::istringstream words(line);
    std::string date, clock, type, source, valid;
    if (words >> date >> clock >> type >> source >> valid && type == "SVC") {
      out.emplace_back(source, valid);
    }
  }
  EXPECT_EQ(tool == nullptr ? -1 : pclose(tool), 0) << command;
  return out;
}

class LockoutRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    DORQ_REQUIRE_ROOT();
    ASSERT_TRUE(enterPrivateMountNamespace());
    ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755"), 0);
    writeFile(etc_ / "passwd",
              "root:x:0:0::/root:/bin/sh\ndqjob:x:23001:23001::/:/bin/sh\n"
              "../dqx:x:23005:23005::/:/bin/sh\n");
    ASSERT_TRUE(passwd_ = bindMount(etc_ / "passwd", "/etc/passwd"));
  }
  // Every later case's namespace is a copy of this one: the host's passwd is back before it.
  void TearDown() override { EXPECT_TRUE(!passwd_ || umount("/etc/passwd") == 0); }
  static void fresh() { removeTree("/var/lib/dorq"); }

  TempDir etc_;
  bool passwd_ = false;
};

TEST_F(LockoutRecords, ACountedAttemptHoldsItsSlotUntilItSettles) {
  const uint64_t since = now();
  LockoutAttempt first, second;
  ASSERT_EQ(first.count(kUser, kMe), LockoutCount::Counted);
  const uint16_t slot = newestSlot();
  ASSERT_EQ(second.count(kUser, kMe), LockoutCount::Counted);
  const uint16_t other = newestSlot();
  EXPECT_NE(slot, 0);
  EXPECT_NE(other, slot);
  const std::string p = std::string(kMine) + " P";
  EXPECT_EQ(shown(since), (std::vector<std::string>{p + std::to_string(slot) + " now",
                                                    p + std::to_string(other) + " now"}));
  // Each attempt keeps one descriptor, close-on-exec, until it settles.
  EXPECT_EQ(recordDescriptors(), (std::vector<bool>{true, true}));
  const Observer observer;
  EXPECT_TRUE(observer.held(slot));
  EXPECT_TRUE(observer.held(other));
  first.takeBack();
  EXPECT_FALSE(observer.held(slot));
  EXPECT_TRUE(observer.held(other));
  EXPECT_EQ(recordDescriptors().size(), 2U);  // the second attempt's and the observer's
}

// Five records before the attempt: another caller's failure, a failure of mine, another pending
// attempt of mine and one of another caller. Each settlement touches only what it must.
TEST_F(LockoutRecords, EachSettlementLeavesExactlyItsRecords) {
  using Attempt = std::optional<LockoutAttempt>;
  using Settle = std::function<void(Attempt&)>;
  const Settle clear = [](Attempt& a) { a->clear(); };
  const Settle fail = [](Attempt& a) { a->fail(); };
  const Settle takeBack = [](Attempt& a) { a->takeBack(); };
  const Settle destroy = [](Attempt& a) { a.reset(); };
  // theirs, mine: the failures; peer, stranger: the other attempts; failed: this one, settled.
  // clang-format off
  const struct { const char* name; Settle settle; bool reset; std::vector<std::string> left; } cases[] = {
      {"clear", clear, false, {"theirs", "peer", "stranger"}},
      {"fail", fail, false, {"theirs", "mine", "peer", "stranger", "failed"}},
      {"takeBack", takeBack, false, {"theirs", "mine", "peer", "stranger"}},
      {"destructor", destroy, false, {"theirs", "mine", "peer", "stranger", "failed"}},
      // The administrator resets the file while PAM runs; the tool leaves it the user's.
      {"fail after a reset", fail, true, {"failed"}}, {"clear after a reset", clear, true, {}},
      {"takeBack after a reset", takeBack, true, {}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    const uint64_t since = now();
    seed({record(kTheirs, kTallyValid, 100), record(kMine, kTallyValid, 200)});
    LockoutAttempt peer, stranger;
    Attempt attempt(std::in_place);
    ASSERT_EQ(peer.count(kUser, kMe), LockoutCount::Counted);
    const uint16_t peerSlot = newestSlot();
    ASSERT_EQ(stranger.count(kUser, kOther), LockoutCount::Counted);
    const uint16_t strangerSlot = newestSlot();
    ASSERT_EQ(attempt->count(kUser, kMe), LockoutCount::Counted);
    const uint16_t slot = newestSlot();
    const auto p = [](const char* source, uint16_t s) {
      return std::string(source) + " P" + std::to_string(s) + " now";
    };
    std::map<std::string, std::string> text = {{"theirs", std::string(kTheirs) + " V 100"},
                                               {"mine", std::string(kMine) + " V 200"},
                                               {"peer", p(kMine, peerSlot)},
                                               {"stranger", p(kTheirs, strangerSlot)},
                                               {"failed", std::string(kMine) + " V now"}};
    if (c.reset) {
      EXPECT_EQ(faillock("--reset"), decltype(faillock()){});
      ASSERT_EQ(owner(kFile), std::tuple(kUserUid, 0U, 0660U));
    }
    c.settle(attempt);
    std::vector<std::string> expected;
    for (const auto& key : c.left) {
      expected.push_back(text[key]);
    }
    EXPECT_EQ(shown(since), expected);
    EXPECT_EQ(owner(kFile), std::tuple(0U, 0U, 0600U));
    const Observer observer;
    EXPECT_FALSE(observer.held(slot));
    EXPECT_TRUE(observer.held(peerSlot));
    EXPECT_TRUE(observer.held(strangerSlot));
    EXPECT_EQ(recordDescriptors().size(), 3U);  // the two others' and the observer's
  }
}

// Pending records written by hand; the slots in `held` are held by the test, as by live attempts
// (slot 1: an attempt whose record a reset took). The next count settles every pending record
// whose slot nobody holds as a failure (its time kept), and takes a slot that is neither named
// by a pending record nor held.
TEST_F(LockoutRecords, AnAttemptThatDiedPendingIsAFailureAtTheNextCount) {
  const uint64_t t = now() - 60;
  const std::string ts = std::to_string(t);
  const auto me = [&](uint16_t status, uint16_t slot) { return record(kMine, status, t, slot); };
  const TallyRecord failed = me(kTallyValid, 0), pending7 = me(kTallyPending, 7),
                    theirs8 = record(kTheirs, kTallyPending, t, 8), pending9 = me(kTallyPending, 9);
  const std::string mineV = std::string(kMine) + " V " + ts,
                    theirsV = std::string(kTheirs) + " V " + ts;
  const std::vector<TallyRecord> fourFailed(4, failed);
  // clang-format off
  const struct { std::vector<TallyRecord> seeded; std::vector<uint16_t> held; LockoutCount result;
    std::vector<std::string> left; } cases[] = {
      {{pending7, theirs8, pending9}, {1, 9}, LockoutCount::Counted,
       {mineV, theirsV, std::string(kMine) + " P9 " + ts, "new"}},
      // A fifth failure of mine locks; another caller's does not count for me.
      {{failed, failed, failed, failed, pending7}, {}, LockoutCount::Locked,
       {mineV, mineV, mineV, mineV, mineV}},
      {{failed, failed, failed, failed, theirs8}, {}, LockoutCount::Counted,
       {mineV, mineV, mineV, mineV, theirsV, "new"}}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    fresh();
    seed(c.seeded);
    const Observer observer;
    for (const uint16_t slot : c.held) {
      observer.hold(slot);
    }
    LockoutAttempt attempt;
    ASSERT_EQ(attempt.count(kUser, kMe), c.result);
    auto expected = c.left;
    if (expected.back() == "new") {
      const uint16_t slot = newestSlot();
      EXPECT_NE(slot, 0);
      EXPECT_EQ(std::count(c.held.begin(), c.held.end(), slot), 0) << slot;
      EXPECT_TRUE(observer.held(slot));
      expected.back() = std::string(kMine) + " P" + std::to_string(slot) + " now";
    }
    EXPECT_EQ(shown(t + 1), expected);
  }
}

// The attempts of one caller in flight and its failures of the last 15 minutes make at most
// five; a further attempt waits. A cancel signal, read through the signal descriptor, is raised
// before the first wait and stays: every wait ends at once, as Cancelled.
TEST_F(LockoutRecords, AtMostFiveAttemptsOfOneCallerInFlightAndAWaitEndsAtACancel) {
  sdorqWatchCancel();
  ASSERT_GE(sdorqCancelFd(), 0);
  std::vector<std::optional<LockoutAttempt>> mine(5);
  for (auto& attempt : mine) {
    ASSERT_EQ(attempt.emplace().count(kUser, kMe), LockoutCount::Counted);
  }
  LockoutAttempt other;
  EXPECT_EQ(other.count(kUser, kOther), LockoutCount::Counted);  // another caller is not held up
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  const size_t before = records().size();
  LockoutAttempt sixth;
  EXPECT_EQ(sixth.count(kUser, kMe), LockoutCount::Cancelled);
  EXPECT_EQ(records().size(), before);  // nothing written for the sixth
  mine[2]->clear();
  EXPECT_EQ(sixth.count(kUser, kMe), LockoutCount::Counted);
  mine.clear();
  other.takeBack();
  sixth.takeBack();

  // In flight (held by live attempts) and failed: recent, older than the window, or a pending
  // record nobody holds, which is a failure.
  const uint64_t t = now();
  // clang-format off
  const struct { size_t recent, old, dead, live; LockoutCount result; } cases[] = {
      {3, 0, 0, 2, LockoutCount::Cancelled}, {4, 0, 0, 0, LockoutCount::Counted},
      {0, 3, 0, 4, LockoutCount::Counted}, {0, 0, 1, 4, LockoutCount::Cancelled},
      {2, 0, 1, 1, LockoutCount::Counted}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    fresh();
    std::vector<TallyRecord> seeded(c.recent, record(kMine, kTallyValid, t - 60));
    seeded.insert(seeded.end(), c.old, record(kMine, kTallyValid, t - 15 * 60 - 60));
    seeded.insert(seeded.end(), c.dead, record(kMine, kTallyPending, t - 30, 40));
    seed(seeded);
    std::vector<std::optional<LockoutAttempt>> live(c.live);
    for (auto& attempt : live) {
      ASSERT_EQ(attempt.emplace().count(kUser, kMe), LockoutCount::Counted);
    }
    LockoutAttempt next;
    EXPECT_EQ(next.count(kUser, kMe), c.result);
  }
}

// A file of 64 records or more keeps, before the next is appended, every pending record (here
// held by the test, as by live attempts) and of each source the five newest failures by time; a
// file of 63 is kept whole. 70 failures of one source leave 5 (the file the end-to-end test
// writes).
TEST_F(LockoutRecords, AFullFileKeepsEveryPendingRecordAndTheNewestFiveFailuresOfEachSource) {
  const TallyRecord old = record("old", kTallyValid, 1),
                    mine5 = record(kMine, kTallyPending, 500, 5),
                    theirs6 = record(kTheirs, kTallyPending, 500, 6);
  std::vector<TallyRecord> mixed = {mine5};
  for (uint64_t i = 0; i < 40; ++i) {
    mixed.push_back(record(kTheirs, kTallyValid, 2000 - i));  // the newest come first
    if (i == 20) {
      mixed.push_back(theirs6);
    }
  }
  mixed.insert(mixed.end(), 19, old);
  mixed.insert(mixed.end(), 3, record(kMine, 0, 3000));  // no failure, not pending: not kept
  const std::string p5 = std::string(kMine) + " P5 500", p6 = std::string(kTheirs) + " P6 500";
  std::vector<std::string> mixedLeft = {p5};
  for (const char* time : {"2000", "1999", "1998", "1997", "1996"}) {
    mixedLeft.push_back(kTheirs + std::string(" V ") + time);
  }
  mixedLeft.push_back(p6);
  mixedLeft.insert(mixedLeft.end(), 5, "old V 1");
  std::vector<TallyRecord> almost(62, old);
  almost.insert(almost.begin(), mine5);
  std::vector<std::string> almostLeft(62, "old V 1");
  almostLeft.insert(almostLeft.begin(), p5);
  // clang-format off
  const struct { const char* name; std::vector<TallyRecord> seeded; std::vector<std::string> left; } cases[] = {
      {"63", almost, almostLeft}, {"70 of one source", std::vector<TallyRecord>(70, old),
       std::vector<std::string>(5, "old V 1")}, {"64 of three sources", mixed, mixedLeft}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    seed(c.seeded);
    const Observer observer;
    observer.hold(5);
    observer.hold(6);
    LockoutAttempt attempt;
    ASSERT_EQ(attempt.count(kUser, kMe), LockoutCount::Counted);
    auto expected = c.left;
    expected.push_back(std::string(kMine) + " P" + std::to_string(newestSlot()) + " now");
    EXPECT_EQ(shown(3001), expected);
  }
}

// The faillock tool shows an attempt in flight as invalid and a failure as valid, and gives the
// file to the user (0660) each time it opens it: the next settlement or count makes it root's.
TEST_F(LockoutRecords, TheFaillockToolSeesTheRecordsAndItsOwnerAndModeAreRepaired) {
  using Report = std::vector<std::pair<std::string, std::string>>;
  LockoutAttempt first, second;
  ASSERT_EQ(first.count(kUser, kMe), LockoutCount::Counted);
  EXPECT_EQ(faillock(), (Report{{kMine, "I"}}));
  ASSERT_EQ(owner(kFile), std::tuple(kUserUid, 0U, 0660U));
  first.fail();
  EXPECT_EQ(owner(kFile), std::tuple(0U, 0U, 0600U));
  EXPECT_EQ(faillock(), (Report{{kMine, "V"}}));
  ASSERT_EQ(owner(kFile), std::tuple(kUserUid, 0U, 0660U));
  ASSERT_EQ(second.count(kUser, kOther), LockoutCount::Counted);
  EXPECT_EQ(owner(kFile), std::tuple(0U, 0U, 0600U));
  EXPECT_EQ(faillock(), (Report{{kMine, "V"}, {kTheirs, "I"}}));
}

// Records that cannot be trusted refuse the attempt and nothing is written through them; a
// directory that is there already is used as it is. Each case starts from what a first count made.
TEST_F(LockoutRecords, OnlyRecordsOfRootsOwnAreUsed) {
  const TempDir elsewhere;
  const std::string target = elsewhere / "target";
  using Spoil = std::function<int()>;
  // clang-format off
  const struct { const char* name; Spoil spoil; const char* user; LockoutCount result; } cases[] = {
      {"state directory group-writable", [] { return chmod("/var/lib/dorq", 0720); }, kUser,
       LockoutCount::Unusable},
      {"record directory another group's", [] { return chown(kDir, 0, 23001); }, kUser,
       LockoutCount::Unusable},
      {"record directory a user's", [] { return chown(kDir, 23001, 0); }, kUser,
       LockoutCount::Unusable},
      {"record directory a link", [] {
         return rename(kDir, "/var/lib/dorq/real") | symlink("real", kDir); }, kUser,
       LockoutCount::Unusable},
      {"record file a link", [&] {
         return unlink(kFile) | symlink(target.c_str(), kFile); }, kUser, LockoutCount::Unusable},
      {"record file a second link", [] { return link(kFile, "/var/lib/dorq/second"); }, kUser,
       LockoutCount::Unusable},
      {"record file a directory", [] { return unlink(kFile) | mkdir(kFile, 0700); }, kUser,
       LockoutCount::Unusable},
      {"a name that is no file name", [] { return 0; }, "../dqx", LockoutCount::Unusable},
      {"no such user", [] { return 0; }, "dqnobody", LockoutCount::NotCounted},
      {"state directory not writable, root's all the same", [] { return chmod("/var/lib/dorq", 0500); },
       kUser, LockoutCount::Counted}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fresh();
    writeFile(target, "untouched");
    {
      LockoutAttempt made;
      ASSERT_EQ(made.count(kUser, kMe), LockoutCount::Counted);
      made.takeBack();
    }
    ASSERT_EQ(c.spoil(), 0);
    LockoutAttempt attempt;
    EXPECT_EQ(attempt.count(c.user, kMe), c.result);
    EXPECT_EQ(readFile(target), "untouched");
    EXPECT_FALSE(std::filesystem::exists("/var/lib/dorq/dqx"));
    if (c.result == LockoutCount::Counted) {
      EXPECT_EQ(owner("/var/lib/dorq"), std::tuple(0U, 0U, 0500U));
    } else if (c.result == LockoutCount::NotCounted) {
      EXPECT_FALSE(std::filesystem::exists("/var/lib/dorq/faillock/dqnobody"));
    } else if (std::filesystem::is_regular_file(std::filesystem::symlink_status(kFile))) {
      EXPECT_EQ(readFile(kFile), "");
    }
  }
}

}  // namespace
}  // namespace dorq_test
