// The conversation function, called directly with hand-made messages; the
// allocation failures come from the fault injector. A leak on any path is
// caught by the leak checker of the sanitizer build, and two answers sharing
// one copy by the double release.
#include <errno.h>
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "app/sdorq_auth.h"
#include "tests/support/fault_injection.h"

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

struct ConvCase {
  const char* name;
  std::vector<int> styles;
  int count;
  const char* password;
  Wrapper fails;
  unsigned call;  // 0: nothing fails
  int result;
  std::vector<std::string> answers;
};

TEST(ConvTest, AnswersAndRefusals) {
  const std::string p = kPassword;
  // clang-format off
  const ConvCase cases[] = {
      // Only echo-off prompts are answered, each with a copy of its own.
      {"EveryStyle", {PAM_ERROR_MSG, PAM_PROMPT_ECHO_ON, PAM_PROMPT_ECHO_OFF, PAM_TEXT_INFO, 99,
                      PAM_PROMPT_ECHO_OFF}, 6, kPassword, Wrapper::Calloc, 0, PAM_SUCCESS,
       {"-", "-", p, "-", "-", p}},
      {"NoPassword", {PAM_PROMPT_ECHO_OFF}, 1, nullptr, Wrapper::Calloc, 0, PAM_SUCCESS, {""}},
      // The copy made on entry is released when no prompt takes it.
      {"NoPrompt", {PAM_TEXT_INFO}, 1, kPassword, Wrapper::Calloc, 0, PAM_SUCCESS, {"-"}},
      {"CountBelowRange", {PAM_PROMPT_ECHO_OFF}, -1, kPassword, Wrapper::Calloc, 0, PAM_BUF_ERR,
       {"null"}},
      {"CountAboveRange", {PAM_PROMPT_ECHO_OFF}, PAM_MAX_NUM_MSG + 1, kPassword, Wrapper::Calloc,
       0, PAM_BUF_ERR, {"null"}},
      {"NoResponseArray", {PAM_PROMPT_ECHO_OFF}, 1, kPassword, Wrapper::Calloc, 1, PAM_BUF_ERR,
       {"null"}},
      // The copy made on entry fails: the prompt makes it once more.
      {"FirstCopyRetried", {PAM_TEXT_INFO, PAM_PROMPT_ECHO_OFF}, 2, kPassword, Wrapper::Malloc, 1,
       PAM_SUCCESS, {"-", p}},
      // A later prompt's copy fails: every earlier answer is released.
      {"LaterCopyFails", {PAM_PROMPT_ECHO_OFF, PAM_PROMPT_ECHO_OFF}, 2, kPassword,
       Wrapper::Malloc, 2, PAM_BUF_ERR, {"null"}},
  };
  // clang-format on
  for (const ConvCase& c : cases) {
    resetFaults();
    armFault(c.fails, c.call, ENOMEM);
    std::vector<std::string> answers;
    EXPECT_EQ(converse(c.styles, c.count, c.password, &answers), c.result) << c.name;
    EXPECT_EQ(answers, c.answers) << c.name;
  }
  resetFaults();
}

}  // namespace
}  // namespace dorq_test
