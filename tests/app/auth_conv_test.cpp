// The conversation function, called directly with hand-made messages; the
// allocation failures come from the fault injector. Leaks on any path are
// caught by the leak checker of the sanitizer build.
#include <errno.h>
#include <gtest/gtest.h>
#include <security/pam_appl.h>
#include <stdlib.h>
#include <string.h>

#include <ostream>
#include <string>
#include <vector>

#include "app/sdorq_auth.h"
#include "tests/app/auth_support.h"
#include "tests/support/fault_injection.h"

namespace dorq_test {
namespace {

constexpr char kPassword[] = "conv pass: %s %n 42";
constexpr int kOtherStyle = 99;

struct Message {
  int style;
  const char* text;
};

struct ConvCase {
  const char* name;
  std::vector<Message> messages;
};

void PrintTo(const ConvCase& c, std::ostream* os) {
  *os << c.name;
}

// Builds the records PAM would hand over and runs the conversation.
class Conversation {
 public:
  explicit Conversation(const std::vector<Message>& messages) {
    for (const Message& m : messages) {
      records_.push_back({m.style, m.text});
    }
    for (const pam_message& record : records_) {
      pointers_.push_back(&record);
    }
  }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;
  ~Conversation() {
    if (responses != nullptr) {
      for (size_t i = 0; i < records_.size(); ++i) {
        free(responses[i].resp);
      }
      free(responses);
    }
  }

  int run(const char* password, int count) {
    responses = reinterpret_cast<pam_response*>(0x1);  // must be overwritten
    return sdorqUserConv(count, pointers_.data(), &responses, const_cast<char*>(password));
  }
  int run(const char* password) { return run(password, static_cast<int>(records_.size())); }

  pam_response* responses = nullptr;

 private:
  std::vector<pam_message> records_;
  std::vector<const pam_message*> pointers_;
};

// What the trace must show for a conversation that answered every message.
std::vector<std::string> expectedTrace(const std::vector<Message>& messages) {
  std::vector<std::string> trace = {"Enter", "Received password.",
                                    "num_msg : " + std::to_string(messages.size())};
  for (size_t i = 0; i < messages.size(); ++i) {
    trace.push_back("processing i " + std::to_string(i) + " style " +
                    std::to_string(messages[i].style) + " msg> " + messages[i].text);
    trace.push_back(messages[i].style == PAM_PROMPT_ECHO_OFF ? "Provided password."
                                                             : "Ignored Message");
  }
  trace.push_back("Exiting with status 0");
  return trace;
}

class ConvTest : public ::testing::TestWithParam<ConvCase> {
 protected:
  void SetUp() override { resetFaults(); }
  void TearDown() override { resetFaults(); }
};

TEST_P(ConvTest, AnswersOnlyEchoOffPromptsEachWithItsOwnCopy) {
  const std::vector<Message>& messages = GetParam().messages;
  Conversation conversation(messages);
  TraceCapture capture;
  ASSERT_EQ(conversation.run(kPassword), PAM_SUCCESS);
  const std::string trace = capture.text();

  ASSERT_NE(conversation.responses, nullptr);
  std::vector<const char*> answers;
  for (size_t i = 0; i < messages.size(); ++i) {
    const pam_response& response = conversation.responses[i];
    EXPECT_EQ(response.resp_retcode, 0) << i;
    if (messages[i].style == PAM_PROMPT_ECHO_OFF) {
      ASSERT_NE(response.resp, nullptr) << i;
      EXPECT_STREQ(response.resp, kPassword) << i;
      EXPECT_NE(response.resp, kPassword) << "a copy, not the caller's string";
      answers.push_back(response.resp);
    } else {
      EXPECT_EQ(response.resp, nullptr) << i;
    }
  }
  for (size_t i = 0; i < answers.size(); ++i) {
    for (size_t j = i + 1; j < answers.size(); ++j) {
      EXPECT_NE(answers[i], answers[j]) << "two answers share one copy";
    }
  }
  EXPECT_EQ(messagesOf(trace, "sdorqUserConv"), expectedTrace(messages));
  EXPECT_EQ(trace.find("conv pass"), std::string::npos) << trace;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ConvTest,
    ::testing::Values(
        ConvCase{"InfoThenPrompt",
                 {{PAM_TEXT_INFO, "Jobs run here"}, {PAM_PROMPT_ECHO_OFF, "Password: "}}},
        ConvCase{"EchoOnOnly", {{PAM_PROMPT_ECHO_ON, "login: "}}},
        ConvCase{"TwoPrompts",
                 {{PAM_PROMPT_ECHO_OFF, "Password: "}, {PAM_PROMPT_ECHO_OFF, "Again: "}}},
        ConvCase{"EveryStyle",
                 {{PAM_ERROR_MSG, "error"},
                  {PAM_PROMPT_ECHO_ON, "login: "},
                  {PAM_PROMPT_ECHO_OFF, "Password: "},
                  {PAM_TEXT_INFO, "info"},
                  {kOtherStyle, "binary"},
                  {PAM_PROMPT_ECHO_OFF, "Token: "}}}),
    [](const ::testing::TestParamInfo<ConvCase>& info) { return std::string(info.param.name); });

class ConvFailureTest : public ::testing::Test {
 protected:
  void SetUp() override { resetFaults(); }
  void TearDown() override { resetFaults(); }
};

TEST_F(ConvFailureTest, ResponseArrayNotAllocatedGivesBufErrAndReleasesTheCopy) {
  Conversation conversation({{PAM_PROMPT_ECHO_OFF, "Password: "}});
  armFault(Wrapper::Calloc, 1, ENOMEM);
  TraceCapture capture;
  EXPECT_EQ(conversation.run(kPassword), PAM_BUF_ERR);
  const std::string trace = capture.text();
  EXPECT_EQ(conversation.responses, nullptr);
  EXPECT_EQ(messagesOf(trace, "sdorqUserConv"),
            (std::vector<std::string>{"Enter", "Received password.",
                                      "Error allocating pam_response", "Exiting with status 5"}));
}

TEST_F(ConvFailureTest, FirstCopyNotAllocatedIsMadeAgainForThePrompt) {
  Conversation conversation({{PAM_TEXT_INFO, "hello"}, {PAM_PROMPT_ECHO_OFF, "Password: "}});
  armFault(Wrapper::Malloc, 1, ENOMEM);
  ASSERT_EQ(conversation.run(kPassword), PAM_SUCCESS);
  EXPECT_EQ(conversation.responses[0].resp, nullptr);
  ASSERT_NE(conversation.responses[1].resp, nullptr);
  EXPECT_STREQ(conversation.responses[1].resp, kPassword);
  EXPECT_EQ(callCount(Wrapper::Malloc), 2U);
}

TEST_F(ConvFailureTest, LaterCopyNotAllocatedReleasesEveryAnswer) {
  Conversation conversation(
      {{PAM_PROMPT_ECHO_OFF, "Password: "}, {PAM_PROMPT_ECHO_OFF, "Again: "}});
  armFault(Wrapper::Malloc, 2, ENOMEM);
  TraceCapture capture;
  EXPECT_EQ(conversation.run(kPassword), PAM_BUF_ERR);
  const std::string trace = capture.text();
  EXPECT_EQ(conversation.responses, nullptr);
  const std::vector<std::string> messages = messagesOf(trace, "sdorqUserConv");
  EXPECT_TRUE(contains(messages, "Error allocating password copy")) << trace;
  EXPECT_EQ(messages.back(), "Exiting with status 5");
}

TEST_F(ConvFailureTest, UnusedCopyIsReleasedWhenNoPromptAsks) {
  // Nothing to check beyond the result: a copy left behind is a leak, which
  // the sanitizer build reports.
  Conversation conversation({{PAM_TEXT_INFO, "hello"}});
  EXPECT_EQ(conversation.run(kPassword), PAM_SUCCESS);
  EXPECT_EQ(callCount(Wrapper::Malloc), 1U);
}

TEST_F(ConvFailureTest, MessageCountOutsidePamsRangeIsRefused) {
  Conversation conversation({{PAM_PROMPT_ECHO_OFF, "Password: "}});
  for (const int count : {-1, PAM_MAX_NUM_MSG + 1}) {
    EXPECT_EQ(conversation.run(kPassword, count), PAM_BUF_ERR) << count;
    EXPECT_EQ(conversation.responses, nullptr) << count;
  }
  EXPECT_EQ(callCount(Wrapper::Calloc), 0U);
}

}  // namespace
}  // namespace dorq_test
