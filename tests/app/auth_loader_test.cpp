// Authentication when the PAM library is missing, is found under one name
// only, or is a stand-in that lacks an entry point or fails pam_end; and the
// refusal to load anything without an effective user id of 0.
//
// Every case runs in a forked child of a process that never loads libpam
// itself: once a process has loaded the library, the loader finds it by name
// even when its file is hidden. The child's exit status is the result under
// test; its standard error (the trace, and "LOADED <0|1>" when the child
// reports whether libpam is still loaded) comes back through a pipe.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "app/dorq_status.h"
#include "app/sdorq_auth.h"
#include "tests/app/auth_support.h"
#include "tests/harness/sandbox.h"
#include "tests/support/require_root.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

// Exit status of a child that found libpam loaded before its case began.
constexpr int kAlreadyLoaded = 124;

bool loaded(const char* name) {
  void* handle = dlopen(name, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
}

bool libpamLoaded() {
  return loaded("libpam.so.0") || loaded("libpam.so");
}

void reportLoaded() {
  fprintf(stderr, "LOADED %d\n", libpamLoaded() ? 1 : 0);
}

std::vector<std::string> retrievals(const char* upTo) {
  std::vector<std::string> trace;
  for (const char* name :
       {"pam_start", "pam_end", "pam_authenticate", "pam_acct_mgmt", "pam_setcred"}) {
    trace.push_back(std::string("Retrieving ") + name);
    if (std::string(name) == upTo) {
      break;
    }
  }
  return trace;
}

TEST(AuthLoaderTest, NoLibraryGives16AfterOneAttemptWithoutPause) {
  DORQ_REQUIRE_ROOT();
  const auto start = std::chrono::steady_clock::now();
  const ChildOutcome child = runInChild([] {
    Sandbox sandbox;
    sandbox.writeService("su", kPamUnixService);
    sandbox.writeService("dorq", kPamUnixService);
    sandbox.hideLibpam();
    if (libpamLoaded()) {
      return kAlreadyLoaded;
    }
    return static_cast<int>(sdorqAuthenticateUser(kJobUser.name, kJobUser.password));
  });
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(child.status, static_cast<int>(kStatusNoPam)) << child.output;
  EXPECT_EQ(
      messagesOf(child.output, "sdorqAuthenticateUser"),
      (std::vector<std::string>{"Enter", "Credentials", "Verifying credentials via sdorqPAMAuth",
                                "LIBPAM not available", "Exiting with status 16"}));
  EXPECT_EQ(messagesOf(child.output, "sdorqPAMAuth"),
            (std::vector<std::string>{"Enter", "Trying to authenticate with PAM service su",
                                      "No libpam.so available", "No libpam.so.0 available",
                                      "Exit with status 2"}));
  EXPECT_LT(elapsed, std::chrono::seconds(kAuthFailurePauseSeconds));
}

TEST(AuthLoaderTest, OnlyTheSonameLoadsAndTheAttemptGoesOn) {
  DORQ_REQUIRE_ROOT();
  const ChildOutcome child = runInChild([] {
    Sandbox sandbox;
    sandbox.writeService("dqtest", kPamPermitService);
    sandbox.hideLibpamDevName();
    if (libpamLoaded()) {
      return kAlreadyLoaded;
    }
    const int result = sdorqPAMAuth(kJobUser.name, kJobUser.password, "dqtest");
    reportLoaded();
    return result;
  });

  EXPECT_EQ(child.status, kPamAttemptOk) << child.output;
  const std::vector<std::string> trace = messagesOf(child.output, "sdorqPAMAuth");
  EXPECT_TRUE(contains(trace, "No libpam.so available")) << child.output;
  EXPECT_FALSE(contains(trace, "No libpam.so.0 available")) << child.output;
  EXPECT_TRUE(contains(trace, "pam_setcred returned status 0")) << child.output;
  EXPECT_NE(child.output.find("LOADED 0\n"), std::string::npos) << child.output;
}

// Runs one attempt of the "su" service against a stand-in library; returns
// the child's outcome and fills log with the calls the stand-in saw.
ChildOutcome attemptWithFake(const char* library, std::string* log) {
  TempDir dir;
  const std::string logPath = dir / "calls";
  ChildOutcome child = runInChild([&] {
    Sandbox sandbox;
    sandbox.installLibrary(library);
    if (libpamLoaded()) {
      return kAlreadyLoaded;
    }
    setenv("DORQ_FAKE_PAM_LOG", logPath.c_str(), 1);
    const int result = sdorqPAMAuth(kJobUser.name, kJobUser.password, "su");
    reportLoaded();
    return result;
  });
  *log = readFile(logPath);
  return child;
}

TEST(AuthLoaderTest, MissingSetcredGives1WithoutStartingPam) {
  DORQ_REQUIRE_ROOT();
  std::string calls;
  const ChildOutcome child = attemptWithFake(DORQ_FAKE_PAM_NO_SETCRED, &calls);

  EXPECT_EQ(child.status, kPamAttemptOther) << child.output;
  std::vector<std::string> expected = {"Enter", "Trying to authenticate with PAM service su"};
  for (const std::string& line : retrievals("pam_setcred")) {
    expected.push_back(line);
  }
  expected.push_back("Error -1 while retrieving pam_setcred");
  expected.push_back("Exit with status 1");
  EXPECT_EQ(messagesOf(child.output, "sdorqPAMAuth"), expected) << child.output;
  EXPECT_EQ(calls, "") << "the stand-in was called";
  EXPECT_NE(child.output.find("LOADED 0\n"), std::string::npos) << child.output;
}

TEST(AuthLoaderTest, FailingPamEndGives1AfterASuccessfulTransaction) {
  DORQ_REQUIRE_ROOT();
  std::string calls;
  const ChildOutcome child = attemptWithFake(DORQ_FAKE_PAM_END_FAILS, &calls);

  EXPECT_EQ(child.status, kPamAttemptOther) << child.output;
  const std::vector<std::string> trace = messagesOf(child.output, "sdorqPAMAuth");
  ASSERT_GE(trace.size(), 4U) << child.output;
  EXPECT_EQ(std::vector<std::string>(trace.end() - 4, trace.end()),
            (std::vector<std::string>{"pam_setcred returned status 0", "Invoking pam_end",
                                      "Error 4 while invoking pam_end", "Exit with status 1"}))
      << child.output;
  EXPECT_EQ(calls,
            "pam_start su dqjob conv\n"
            "pam_authenticate handle 0\n"
            "pam_acct_mgmt handle 0\n"
            "pam_setcred handle 0\n"
            "pam_end handle 0\n");
  EXPECT_NE(child.output.find("LOADED 0\n"), std::string::npos) << child.output;
}

TEST(AuthLoaderTest, NonZeroEffectiveUserGives5WithoutLoadingPam) {
  DORQ_REQUIRE_ROOT();
  const ChildOutcome child = runInChild([] {
    if (libpamLoaded()) {
      return kAlreadyLoaded;
    }
    if (seteuid(kSchedulerUser.uid) != 0) {
      return 126;
    }
    const int result = static_cast<int>(sdorqAuthenticateUser(kJobUser.name, kJobUser.password));
    reportLoaded();
    return result;
  });

  EXPECT_EQ(child.status, static_cast<int>(kStatusNotSetUid)) << child.output;
  EXPECT_EQ(messagesOf(child.output, "sdorqAuthenticateUser"),
            (std::vector<std::string>{
                "Enter", "Credentials",
                "Dorq has not been setup, euid " + std::to_string(kSchedulerUser.uid),
                "Exiting with status 5"}));
  EXPECT_TRUE(messagesOf(child.output, "sdorqPAMAuth").empty()) << child.output;
  EXPECT_NE(child.output.find("LOADED 0\n"), std::string::npos) << child.output;
}

}  // namespace
}  // namespace dorq_test
