// What tests/e2e/pam.bats cannot reach: the conversation with hand-made messages and failed
// allocations (ASan sees leaks and shared copies), the pause a script could only time with the
// reason each outcome gives, the lockout's window on a clock of the test's own, and its records
// made with a group and umask dorq's start does not leave it.
#include <dlfcn.h>
#include <security/pam_appl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <tuple>
#include <vector>

#include "app/base/dorq_status.h"
#include "app/authentication/sdorq_auth.h"
#include "app/authentication/sdorq_lockout.h"
#include "app/base/sdorq_signals.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

// Replaces the C library's sleep for the whole binary: notes each call and cuts
// the first one of a case short with one second slept, as a signal would.
static std::vector<unsigned> sleeps;
extern "C" unsigned sleep(unsigned seconds) {
  sleeps.push_back(seconds);
  return sleeps.size() == 1 && seconds > 1 ? seconds - 1 : 0;
}

namespace dorq_test {
namespace {

constexpr char kPassword[] = "conv pass %s %n";

TEST(ConvTest, AnswersAndRefusals) {
  const std::string p = kPassword;
  const int off = PAM_PROMPT_ECHO_OFF, info = PAM_TEXT_INFO, fail = PAM_BUF_ERR;
  // Answers as text ("-": none), released as PAM does; call: which call of `fails` fails (0: none).
  // clang-format off
  const struct { const char* name; std::vector<int> styles; int count; const char* password;
    Wrapper fails; unsigned call; int result; std::vector<std::string> answers; } cases[] = {
      // Only echo-off prompts are answered, each with a copy of its own.
      {"EveryStyle", {PAM_ERROR_MSG, PAM_PROMPT_ECHO_ON, off, info, 99, off}, 6, kPassword, {},
       0, PAM_SUCCESS, {"-", "-", p, "-", "-", p}},
      {"NoPassword", {off}, 1, nullptr, {}, 0, PAM_SUCCESS, {""}},
      // The copy made on entry is released when no prompt takes it.
      {"NoPrompt", {info}, 1, kPassword, {}, 0, PAM_SUCCESS, {"-"}},
      {"CountBelowRange", {off}, -1, kPassword, {}, 0, fail, {}},
      {"CountAboveRange", {off}, PAM_MAX_NUM_MSG + 1, kPassword, {}, 0, fail, {}},
      {"NoResponseArray", {off}, 1, kPassword, Wrapper::Calloc, 1, fail, {}},
      // The copy made on entry fails: the prompt makes it once more.
      {"FirstCopyRetried", {info, off}, 2, kPassword, Wrapper::Malloc, 1, PAM_SUCCESS, {"-", p}},
      // A later prompt's copy fails: every earlier answer is released.
      {"LaterCopyFails", {off, off}, 2, kPassword, Wrapper::Malloc, 2, fail, {}}};
  // clang-format on
  for (const auto& c : cases) {
    resetFaults();
    armFault(c.fails, c.call, ENOMEM);
    std::vector<pam_message> records(c.styles.size());
    std::vector<const pam_message*> pointers;
    for (size_t i = 0; i < records.size(); ++i) {
      records[i] = {c.styles[i], "prompt: "};
      pointers.push_back(&records[i]);
    }
    auto* responses = reinterpret_cast<pam_response*>(0x1);  // must be overwritten
    const int result =
        sdorqUserConv(c.count, pointers.data(), &responses, const_cast<char*>(c.password));
    EXPECT_EQ(result, c.result) << c.name;
    if (result != PAM_SUCCESS) {
      EXPECT_EQ(responses, nullptr) << c.name << ": responses left behind";
      continue;
    }
    std::vector<std::string> answers;
    for (size_t i = 0; i < records.size(); ++i) {
      char* answer = responses[i].resp;
      answers.push_back(answer == nullptr ? "-" : answer == c.password ? "not a copy" : answer);
      answers.back() += responses[i].resp_retcode != 0 ? " retcode" : "";
      free(answer);
    }
    free(responses);
    EXPECT_EQ(answers, c.answers) << c.name;
  }
  resetFaults();
}

TEST(AuthPause, OnlyARefusalPausesAndForTheWholeThreeSeconds) {
  DORQ_REQUIRE_ROOT();
  ASSERT_TRUE(enterPrivateMountNamespace());
  // dqjob is no user here, so nothing is counted; should it be, the records stay in the namespace.
  ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755"), 0);
  const TempDir pamd;
  ASSERT_TRUE(bindMount(pamd.path(), "/etc/pam.d"));
  const char* const libpam = "/lib/x86_64-linux-gnu/libpam.so.0";  // /usr/lib's too, via the link
  const std::vector<unsigned> paused = {3, 2}, none;
  using enum DorqStatus;
  // su, dorq, password, result, reason; an empty dorq: no libpam at all, first, before this process
  // loads it. An empty password is refused even where both services would accept it.
  const char *failed = kReasonAuthFailed, *pw = "pw";
  // clang-format off
  const struct { const char *su, *dorq, *password; DorqStatus result; const char* reason; } cases[] = {
      {"success", "", pw, NoPam, kReasonNoPamLibrary}, {"success", "auth_err", pw, Ok, nullptr},
      {"auth_err", "success", pw, Ok, nullptr}, {"success", "success", "", AuthFailed, kReasonEmptyPassword},
      {"perm_denied", "auth_err", pw, BadPamConf, kReasonSuRefusesDorq},
      {"auth_err", "auth_err", pw, AuthFailed, failed}, {"perm_denied", "system_err", pw, AuthFailed, failed},
      {"auth_err", "perm_denied", pw, AuthFailed, failed}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.su) + " " + c.dorq);
    for (const auto& [service, auth] : {std::pair{"su", c.su}, std::pair{"dorq", c.dorq}}) {
      writeFile(pamd / service, std::string("auth requisite pam_debug.so auth=") + auth +
                                    "\naccount requisite pam_debug.so\n");
    }
    ASSERT_TRUE(*c.dorq != '\0' || bindMount("/dev/null", libpam));
    sleeps.clear();
    const char* reason = "unset";
    const DorqStatus result =
        sdorqAuthenticate({"dqjob", nullptr, nullptr, 0}, c.password, &reason);
    EXPECT_EQ(result, c.result);
    EXPECT_STREQ(reason, c.reason);
    EXPECT_EQ(sleeps, none) << "a pause before the refusal is logged";
    sdorqPauseAfterRefusal(result, reason);
    EXPECT_EQ(sleeps, c.result == AuthFailed ? paused : none);
    EXPECT_EQ(dlopen("libpam.so.0", RTLD_NOW | RTLD_NOLOAD), nullptr) << "libpam left loaded";
    ASSERT_TRUE(*c.dorq != '\0' || umount(libpam) == 0);
  }
}

// A cancel of the caller's cuts the pause short, and a cancelled refusal has none.
TEST(AuthPause, ACancelEndsThePause) {
  sdorqWatchCancel();
  ASSERT_GE(sdorqCancelFd(), 0);
  sleeps.clear();
  sdorqPauseAfterRefusal(DorqStatus::AuthFailed, kReasonCancelled);
  ASSERT_EQ(kill(getpid(), SIGTERM), 0);  // blocked: it waits on the descriptor
  EXPECT_FALSE(sdorqPauseUnlessCancelled(60 * 1000));
  sdorqPauseAfterRefusal(DorqStatus::AuthFailed, kReasonAuthFailed);
  EXPECT_EQ(sdorqCancelled(), SIGTERM);
  EXPECT_EQ(sleeps, std::vector<unsigned>{});
}

// Five failures of one caller, each less than 15 minutes before its latest, lock until 15 minutes
// after it; every other caller's records are not looked at, not even to find the latest.
TEST(Lockout, WindowAndLockPerSource) {
  const uint64_t t = 1'000'000, lock = 15 * 60;
  const char *me = "dorq:23001", *other = "dorq:23002";
  const TallyRecord mine{"dorq:23001", 0, kTallyValid, t};
  std::vector<TallyRecord> five(5, mine), fourValid = five, firstOut = five, oneOther = five;
  fourValid[0].status = 0;
  firstOut[0].time = t - lock;
  oneOther[0] = {"dorq:23002", 0, kTallyValid, t};
  std::vector<TallyRecord> laterOther = five, pendingFifth = five, prefix = five;
  // Another caller's latest is not mine; an attempt in flight is no failure yet.
  laterOther.push_back({"dorq:23002", 0, kTallyValid, t + 2 * lock});
  pendingFifth[4].status = kTallyPending;
  pendingFifth[4].reserved = 1;
  for (auto& r : prefix) {
    r.source[9] = '\0';  // "dorq:2300": another caller, though a prefix of mine
  }
  // clang-format off
  const struct { std::vector<TallyRecord> records; const char* source; uint64_t now; bool locked; } cases[] = {
      {{}, me, t, false}, {five, me, t, true}, {fourValid, me, t, false}, {firstOut, me, t, false},
      {five, me, t + lock - 1, true}, {five, me, t + lock, false},
      {five, me, t - 3600, true},  // clock set back
      {five, other, t, false}, {oneOther, me, t, false}, {laterOther, me, t, true},
      {laterOther, other, t + 2 * lock, false}, {pendingFifth, me, t, false}, {prefix, me, t, false},
      {prefix, "dorq:2300", t, true}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(sdorqTallyLocks(c.records.data(), c.records.size(), c.source, c.now), c.locked)
        << &c - cases;
  }
}

// Made with a foreign group and a umask that takes every bit (dorq's start sets neither, should it
// stop).
TEST(Lockout, RecordsAreRootsAloneWhateverGroupAndUmask) {
  DORQ_REQUIRE_ROOT();
  ASSERT_TRUE(enterPrivateMountNamespace());
  ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755"), 0);
  const mode_t mask = umask(0777);
  ASSERT_EQ(setegid(65534), 0);
  LockoutAttempt attempt;
  EXPECT_EQ(attempt.count("root", 0), LockoutCount::Counted);
  for (const auto& [path, mode] : {std::pair{"/var/lib/dorq", 0700},
                                   {"/var/lib/dorq/faillock", 0700},
                                   {"/var/lib/dorq/faillock/root", 0600}}) {
    struct stat st {};
    EXPECT_EQ(stat(path, &st), 0);
    EXPECT_EQ(std::tuple(st.st_uid, st.st_gid, st.st_mode & 07777), std::tuple(0U, 0U, mode))
        << path;
  }
  EXPECT_EQ(setegid(0), 0);
  umask(mask);
}

}  // namespace
}  // namespace dorq_test
