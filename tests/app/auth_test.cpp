// The authentication steps the end-to-end tests cannot reach
// (tests/e2e/pam.bats has the policy's other outcomes): the conversation
// function with hand-made messages and injected allocation failures (the
// sanitizer build catches leaks and answers sharing one copy), and the pause
// after a failed authentication, which a script could only time. The policy
// runs in process against real pam_debug services in a private mount
// namespace; after every attempt libpam must be unloaded again.
#include <dlfcn.h>
#include <security/pam_appl.h>
#include <sys/mount.h>

#include <vector>

#include "app/dorq_status.h"
#include "app/sdorq_auth.h"
#include "tests/support/fault_injection.h"
#include "tests/support/support.h"

// This sleep replaces the C library's for the whole binary: it notes each
// call and cuts the first one of a case short with one second slept, as a
// signal would.
namespace {
std::vector<unsigned> sleeps;
}  // namespace
extern "C" unsigned sleep(unsigned seconds) {
  sleeps.push_back(seconds);
  return sleeps.size() == 1 && seconds > 1 ? seconds - 1 : 0;
}

namespace dorq_test {
namespace {

constexpr char kPassword[] = "conv pass %s %n";

// Runs the conversation over messages of the given styles and releases the
// answers as PAM does. Each answer is listed as its text, "-" when there is
// none; a failed call lists "null" when it left no responses behind.
int converse(const std::vector<int>& styles, int count, const char* password,
             std::vector<std::string>* answers) {
  std::vector<pam_message> records(styles.size());
  std::vector<const pam_message*> pointers(styles.size());
  for (size_t i = 0; i < styles.size(); ++i) {
    records[i] = {styles[i], "prompt: "};
    pointers[i] = &records[i];
  }
  auto* responses = reinterpret_cast<pam_response*>(0x1);  // must be overwritten
  const int result = sdorqUserConv(count, pointers.data(), &responses, const_cast<char*>(password));
  if (result != PAM_SUCCESS) {
    answers->push_back(responses == nullptr ? "null" : "left behind");
    return result;
  }
  for (size_t i = 0; i < styles.size(); ++i) {
    char* answer = responses[i].resp;
    answers->push_back(answer == nullptr ? "-" : answer == password ? "not a copy" : answer);
    answers->back() += responses[i].resp_retcode != 0 ? " retcode" : "";
    free(answer);
  }
  free(responses);
  return result;
}

TEST(ConvTest, AnswersAndRefusals) {
  const std::string p = kPassword;
  const int off = PAM_PROMPT_ECHO_OFF, info = PAM_TEXT_INFO, fail = PAM_BUF_ERR;
  const Wrapper calloc = Wrapper::Calloc, malloc = Wrapper::Malloc;
  // call: which call of `fails` fails; 0: none.
  // clang-format off
  const struct { const char* name; std::vector<int> styles; int count; const char* password;
                 Wrapper fails; unsigned call; int result; std::vector<std::string> answers; }
  cases[] = {
      // Only echo-off prompts are answered, each with a copy of its own.
      {"EveryStyle", {PAM_ERROR_MSG, PAM_PROMPT_ECHO_ON, off, info, 99, off}, 6, kPassword, calloc,
       0, PAM_SUCCESS, {"-", "-", p, "-", "-", p}},
      {"NoPassword", {off}, 1, nullptr, calloc, 0, PAM_SUCCESS, {""}},
      // The copy made on entry is released when no prompt takes it.
      {"NoPrompt", {info}, 1, kPassword, calloc, 0, PAM_SUCCESS, {"-"}},
      {"CountBelowRange", {off}, -1, kPassword, calloc, 0, fail, {"null"}},
      {"CountAboveRange", {off}, PAM_MAX_NUM_MSG + 1, kPassword, calloc, 0, fail, {"null"}},
      {"NoResponseArray", {off}, 1, kPassword, calloc, 1, fail, {"null"}},
      // The copy made on entry fails: the prompt makes it once more.
      {"FirstCopyRetried", {info, off}, 2, kPassword, malloc, 1, PAM_SUCCESS, {"-", p}},
      // A later prompt's copy fails: every earlier answer is released.
      {"LaterCopyFails", {off, off}, 2, kPassword, malloc, 2, fail, {"null"}}};
  // clang-format on
  for (const auto& c : cases) {
    resetFaults();
    armFault(c.fails, c.call, ENOMEM);
    std::vector<std::string> answers;
    EXPECT_EQ(converse(c.styles, c.count, c.password, &answers), c.result) << c.name;
    EXPECT_EQ(answers, c.answers) << c.name;
  }
  resetFaults();
}

std::string debug(const char* auth) {
  return std::string("auth requisite pam_debug.so auth=") + auth +
         "\naccount requisite pam_debug.so\n";
}

TEST(AuthPause, OnlyThePlainFailurePausesAndForTheWholeThreeSeconds) {
  DORQ_REQUIRE_ROOT();
  ASSERT_TRUE(enterPrivateMountNamespace());
  const TempDir pamd;
  ASSERT_TRUE(bindMount(pamd.path(), "/etc/pam.d"));
  const std::vector<unsigned> paused = {3, 2};
  using enum DorqStatus;
  // su, dorq, result; an empty dorq: no library at all, first, before this
  // process has loaded libpam.
  // clang-format off
  const struct { const char *su, *dorq; DorqStatus result; } cases[] = {
      {"success", "", NoPam}, {"success", "auth_err", Ok}, {"auth_err", "success", Ok},
      {"perm_denied", "auth_err", BadPamConf}, {"auth_err", "auth_err", AuthFailed},
      {"perm_denied", "system_err", AuthFailed}, {"auth_err", "perm_denied", AuthFailed}};
  // clang-format on
  for (const auto& c : cases) {
    writeFile(pamd / "su", debug(c.su));
    writeFile(pamd / "dorq", debug(c.dorq));
    std::vector<std::string> hidden;
    for (const char* dir : {"/usr/lib/x86_64-linux-gnu", "/lib/x86_64-linux-gnu"}) {
      const std::string library = std::string(dir) + "/libpam.so.0";
      if (*c.dorq == '\0' && bindMount("/dev/null", library)) {
        hidden.push_back(library);
      }
    }
    sleeps.clear();
    EXPECT_EQ(sdorqAuthenticateUser("dqjob", "pw"), c.result) << c.su << " " << c.dorq;
    EXPECT_EQ(sleeps, c.result == AuthFailed ? paused : std::vector<unsigned>{}) << c.su;
    // Each attempt released the library it loaded.
    EXPECT_EQ(dlopen("libpam.so.0", RTLD_NOW | RTLD_NOLOAD), nullptr) << c.su << " " << c.dorq;
    for (const std::string& library : hidden) {
      umount(library.c_str());
    }
  }
}

}  // namespace
}  // namespace dorq_test
