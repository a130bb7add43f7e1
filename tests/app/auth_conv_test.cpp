// The conversation function with hand-made messages and injected allocation
// failures; the sanitizer build catches leaks and answers sharing one copy.
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

TEST(ConvTest, AnswersAndRefusals) {
  const std::string p = kPassword;
  const int off = PAM_PROMPT_ECHO_OFF;
  const int info = PAM_TEXT_INFO;
  const Wrapper calloc = Wrapper::Calloc;
  const Wrapper malloc = Wrapper::Malloc;
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
      {"CountBelowRange", {off}, -1, kPassword, calloc, 0, PAM_BUF_ERR, {"null"}},
      {"CountAboveRange", {off}, PAM_MAX_NUM_MSG + 1, kPassword, calloc, 0, PAM_BUF_ERR, {"null"}},
      {"NoResponseArray", {off}, 1, kPassword, calloc, 1, PAM_BUF_ERR, {"null"}},
      // The copy made on entry fails: the prompt makes it once more.
      {"FirstCopyRetried", {info, off}, 2, kPassword, malloc, 1, PAM_SUCCESS, {"-", p}},
      // A later prompt's copy fails: every earlier answer is released.
      {"LaterCopyFails", {off, off}, 2, kPassword, malloc, 2, PAM_BUF_ERR, {"null"}},
  };
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

}  // namespace
}  // namespace dorq_test
