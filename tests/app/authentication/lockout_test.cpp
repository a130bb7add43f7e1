// The lockout's record file as its attempts leave it: each caller's records and each attempt's
// pending record, the slot locks a live attempt holds, the settlements, the window of a lock, the
// limit of attempts in flight, a full file, and the file the faillock tool has opened. Every case
// runs in a private mount namespace with a tmpfs on /var/lib and a passwd of its own.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
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
constexpr uint64_t kMinute = 60;

uint64_t now() {
  return static_cast<uint64_t>(time(nullptr));
}

TallyRecord record(const char* source, uint16_t status, uint64_t time, uint16_t slot = 0) {
  TallyRecord r{{}, slot, status, time};
  snprintf(r.source, sizeof r.source, "%s", source);
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
  writeFile(kFile, std::string(bytes, held.size() * sizeof(TallyRecord)), 0600);
}

// Records as text, each its source, V (settled) or P and its slot (pending) or the raw status and
// reserved field, and its time, "now" from since on; those of the file.
std::vector<std::string> show(const std::vector<TallyRecord>& held, uint64_t since) {
  std::vector<std::string> out;
  for (const TallyRecord& r : held) {
    std::ostringstream text;
    text << std::string(r.source, strnlen(r.source, sizeof r.source)) << ' ';
    if (r.status == kTallyValid && r.reserved == 0) {
      text << 'V';
    } else if (r.status == kTallyPending) {
      text << 'P' << r.reserved;
    } else {
      text << 's' << r.status << 'r' << r.reserved;
    }
    text << ' ' << (r.time >= since ? "now" : std::to_string(r.time));
    out.push_back(text.str());
  }
  return out;
}
std::vector<std::string> shown(uint64_t since) {
  return show(records(), since);
}
uint16_t newestSlot() {
  const auto held = records();
  return held.empty() ? 0 : held.back().reserved;
}
std::string pending(const char* source, uint16_t slot, const std::string& time = "now") {
  return std::string(source) + " P" + std::to_string(slot) + ' ' + time;
}

// A descriptor of the test's own on the record file: another open file description, whose view
// of the slot locks is every attempt's. hold stands in for a live attempt whose record is written
// by hand (or is gone).
class Observer {
 public:
  Observer() : fd_(open(kFile, O_RDWR | O_CLOEXEC)) { EXPECT_TRUE(fd_.valid()); }
  bool held(uint16_t slot) const {
    struct flock lock = sdorqSlotLock(F_WRLCK, slot);
    EXPECT_EQ(fcntl(fd_.get(), F_OFD_GETLK, &lock), 0);
    return lock.l_type != F_UNLCK;
  }
  void hold(uint16_t slot) const {
    struct flock lock = sdorqSlotLock(F_WRLCK, slot);
    EXPECT_EQ(fcntl(fd_.get(), F_OFD_SETLK, &lock), 0);
  }

 private:
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

// Runs the faillock tool on the test's records; its report, "source V" or "source I" a record.
std::vector<std::string> faillock(const char* extra = "") {
  const std::string command =
      std::string("faillock --dir ") + kDir + " --user " + kUser + " " + extra + " 2>&1";
  FILE* tool = popen(command.c_str(), "r");
  EXPECT_NE(tool, nullptr);
  std::vector<std::string> out;
  char line[256];
  while (tool != nullptr && fgets(line, sizeof line, tool) != nullptr) {
    std::istringstream words(line);
    std::string date, clock, type, source, valid;
    if (words >> date >> clock >> type >> source >> valid && type == "SVC") {
      out.push_back(source.append(" ").append(valid));
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

// Before the settlement: another caller's failure and one of mine, then three attempts in flight,
// a peer of mine, a stranger (another caller's) and this one, each with its pending record, its
// slot's lock and one close-on-exec descriptor. The faillock tool shows them and gives the file
// to the user (0660). Each settlement touches only what it must and makes the file root's again.
TEST_F(LockoutRecords, EachSettlementLeavesExactlyItsRecords) {
  using Attempt = std::optional<LockoutAttempt>;
  using Settle = std::function<void(Attempt&)>;
  const Settle clear = [](Attempt& a) { a->clear(); };
  const Settle fail = [](Attempt& a) { a->fail(); };
  const Settle takeBack = [](Attempt& a) { a->takeBack(); };
  const Settle destroy = [](Attempt& a) { a.reset(); };
  // clang-format off
  const struct { const char* name; Settle settle; bool reset; std::vector<std::string> left; } cases[] = {
      {"clear", clear, false, {"theirs", "peer", "stranger"}},
      {"fail", fail, false, {"theirs", "mine", "peer", "stranger", "failed"}},
      {"takeBack", takeBack, false, {"theirs", "mine", "peer", "stranger"}},
      {"destructor", destroy, false, {"theirs", "mine", "peer", "stranger", "failed"}},
      // The administrator resets the file while PAM runs.
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
    std::vector<uint16_t> slots;  // the peer's, the stranger's, this one's
    for (const auto& [counted, caller] :
         {std::pair{&peer, kMe}, {&stranger, kOther}, {&*attempt, kMe}}) {
      ASSERT_EQ(counted->count(kUser, caller), LockoutCount::Counted);
      slots.push_back(newestSlot());
    }
    std::map<std::string, std::string> text = {
        {"theirs", std::string(kTheirs) + " V 100"}, {"mine", std::string(kMine) + " V 200"},
        {"peer", pending(kMine, slots[0])},          {"stranger", pending(kTheirs, slots[1])},
        {"own", pending(kMine, slots[2])},           {"failed", std::string(kMine) + " V now"}};
    const auto texts = [&](const std::vector<std::string>& keys) {
      std::vector<std::string> out;
      out.reserve(keys.size());
      for (const auto& key : keys) {
        out.push_back(text[key]);
      }
      return out;
    };
    const auto before = texts({"theirs", "mine", "peer", "stranger", "own"});
    EXPECT_EQ(shown(since), before);
    EXPECT_EQ(recordDescriptors(), (std::vector<bool>{true, true, true}));
    const std::string theirs = kTheirs, mine = kMine;
    EXPECT_EQ(faillock(),
              (std::vector{theirs + " V", mine + " V", mine + " I", theirs + " I", mine + " I"}));
    ASSERT_EQ(owner(kFile), std::tuple(kUserUid, 0U, 0660U));
    if (c.reset) {
      EXPECT_EQ(faillock("--reset"), std::vector<std::string>{});
    }
    const Observer observer;
    EXPECT_TRUE(observer.held(slots[0]) && observer.held(slots[1]) && observer.held(slots[2]));
    c.settle(attempt);
    EXPECT_EQ(shown(since), texts(c.left));
    EXPECT_EQ(owner(kFile), std::tuple(0U, 0U, 0600U));
    EXPECT_FALSE(observer.held(slots[2]));
    EXPECT_TRUE(observer.held(slots[0]));
    EXPECT_TRUE(observer.held(slots[1]));
    EXPECT_EQ(recordDescriptors().size(), 3U);  // the two others' and the observer's
  }
}

// The records before a count, written by hand (times in minutes before the count), the slots in
// `held` held by the test as by live attempts, and what the count leaves: `left` (empty: the
// records as seeded) and, when counted, its own pending record in a slot that no pending record
// names and nobody held (slot 1 in the first row: an attempt whose record a reset took).
// - A pending record whose slot nobody holds is a failure, its time kept.
// - Five failures of mine, each less than 15 minutes before the latest, lock; another caller's do
//   not count for me.
// - My attempts in flight and my failures of the last 15 minutes make at most five: a further
//   count waits, and ends at once as Cancelled, since a cancel was raised before it (read through
//   the signal descriptor, it stays). Another caller's attempts do not hold me up.
// - A file of 64 records or more keeps, before the next is appended, every pending record and of
//   each source the five newest failures by time; a file of 63 is kept whole; 70 failures of one
//   source leave 5 (the file the end-to-end test writes).
TEST_F(LockoutRecords, TheRecordsBeforeACountDecideItsOutcomeAndWhatItLeaves) {
  sdorqWatchCancel();
  ASSERT_GE(sdorqCancelFd(), 0);
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);
  const uint64_t t = now();
  const auto at = [&](const char* source, uint64_t minutes, uint16_t slot = 0) {
    return record(source, slot == 0 ? kTallyValid : kTallyPending, t - minutes * kMinute, slot);
  };
  const auto mine = [&](uint64_t minutes, uint16_t slot = 0) { return at(kMine, minutes, slot); };
  const auto theirs = [&](uint64_t minutes, uint16_t slot = 0) {
    return at(kTheirs, minutes, slot);
  };
  // The 64 of three sources: my attempt, 40 failures of theirs (the newest first) with their
  // attempt among them, 19 old ones and 3 of mine that are neither failure nor attempt.
  const TallyRecord old = record("old", kTallyValid, 1),
                    mine5 = record(kMine, kTallyPending, 500, 5),
                    theirs6 = record(kTheirs, kTallyPending, 500, 6);
  std::vector<TallyRecord> mixed = {mine5}, almost(63, old);
  for (uint64_t time = 2000; time > 1960; --time) {
    mixed.push_back(record(kTheirs, kTallyValid, time));
  }
  mixed.insert(mixed.begin() + 22, theirs6);
  mixed.insert(mixed.end(), 19, old);
  mixed.insert(mixed.end(), 3, record(kMine, 0, 3000));
  std::vector<TallyRecord> mixedLeft(mixed.begin(), mixed.begin() + 6);
  mixedLeft.push_back(theirs6);
  mixedLeft.insert(mixedLeft.end(), 5, old);
  almost[0] = mine5;
  // clang-format off
  const struct { std::vector<TallyRecord> seeded; std::vector<uint16_t> held; LockoutCount result;
    std::vector<TallyRecord> left; } cases[] = {
      {{mine(1, 7), theirs(1, 8), mine(1, 9)}, {1, 9}, LockoutCount::Counted,
       {mine(1), theirs(1), mine(1, 9)}},
      {{mine(1), mine(1), mine(1), mine(1), mine(1, 7)}, {}, LockoutCount::Locked,
       std::vector(5, mine(1))},
      {{mine(1), mine(1), mine(1), mine(1), theirs(1, 8)}, {}, LockoutCount::Counted,
       {mine(1), mine(1), mine(1), mine(1), theirs(1)}},
      {{mine(14), mine(14), mine(14), mine(14), mine(0)}, {}, LockoutCount::Locked, {}},
      {{mine(16), mine(16), mine(16), mine(16), mine(0)}, {}, LockoutCount::Counted, {}},
      {{mine(14), mine(14), mine(14), mine(0, 1), mine(0, 2)}, {1, 2}, LockoutCount::Cancelled, {}},
      {{mine(14), mine(14), mine(14), mine(14)}, {}, LockoutCount::Counted, {}},
      {{mine(16), mine(16), mine(16), mine(0, 1), mine(0, 2), mine(0, 3), mine(0, 4)}, {1, 2, 3, 4},
       LockoutCount::Counted, {}},
      {{mine(1, 40), mine(0, 1), mine(0, 2), mine(0, 3), mine(0, 4)}, {1, 2, 3, 4},
       LockoutCount::Cancelled, {mine(1), mine(0, 1), mine(0, 2), mine(0, 3), mine(0, 4)}},
      {{mine(14), mine(14), mine(1, 40), mine(0, 1)}, {1}, LockoutCount::Counted,
       {mine(14), mine(14), mine(1), mine(0, 1)}},
      {{theirs(0, 1), theirs(0, 2), theirs(0, 3), theirs(0, 4), theirs(0, 5)}, {1, 2, 3, 4, 5},
       LockoutCount::Counted, {}},
      {almost, {5, 6}, LockoutCount::Counted, {}},
      {std::vector(70, old), {5, 6}, LockoutCount::Counted, std::vector(5, old)},
      {mixed, {5, 6}, LockoutCount::Counted, mixedLeft}};
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
    auto expected = show(c.left.empty() ? c.seeded : c.left, t);
    if (c.result == LockoutCount::Counted) {
      const uint16_t slot = newestSlot();
      EXPECT_NE(slot, 0);
      EXPECT_EQ(std::count(c.held.begin(), c.held.end(), slot), 0) << slot;
      EXPECT_TRUE(observer.held(slot));
      expected.push_back(pending(kMine, slot));
    }
    EXPECT_EQ(shown(t), expected);
  }
}

// Records that cannot be trusted refuse the attempt and nothing is written through them; a
// directory that is there already is used as it is, and a record file the faillock tool gave to
// the user (0660) is made root's again. Each case starts from what a first count made.
TEST_F(LockoutRecords, OnlyRecordsOfRootsOwnAreUsed) {
  const TempDir elsewhere;
  const std::string target = elsewhere / "target";
  using Spoil = std::function<int()>;
  // clang-format off
  const struct { const char* name; Spoil spoil; const char* user = kUser;
    LockoutCount result = LockoutCount::Unusable; } cases[] = {
      {"state directory group-writable", [] { return chmod("/var/lib/dorq", 0720); }},
      {"record directory another group's", [] { return chown(kDir, 0, 23001); }},
      {"record directory a user's", [] { return chown(kDir, 23001, 0); }},
      {"record directory a link", [] {
         return rename(kDir, "/var/lib/dorq/real") | symlink("real", kDir); }},
      {"record file a link", [&] { return unlink(kFile) | symlink(target.c_str(), kFile); }},
      {"record file a second link", [] { return link(kFile, "/var/lib/dorq/second"); }},
      {"record file a directory", [] { return unlink(kFile) | mkdir(kFile, 0700); }},
      {"a name that is no file name", [] { return 0; }, "../dqx"},
      {"no such user", [] { return 0; }, "dqnobody", LockoutCount::NotCounted},
      {"state directory not writable, root's all the same; record file the user's", [] {
         return chmod("/var/lib/dorq", 0500) | chown(kFile, kUserUid, 0) | chmod(kFile, 0660); },
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
      EXPECT_EQ(owner(kFile), std::tuple(0U, 0U, 0600U));
    } else if (c.result == LockoutCount::NotCounted) {
      EXPECT_FALSE(std::filesystem::exists("/var/lib/dorq/faillock/dqnobody"));
    } else if (std::filesystem::is_regular_file(std::filesystem::symlink_status(kFile))) {
      EXPECT_EQ(readFile(kFile), "");
    }
  }
}

}  // namespace
}  // namespace dorq_test
