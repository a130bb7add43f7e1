// Authentication through real PAM as the set-user-ID binary sees it, and the
// rule that no trace sink ever holds the password.
#include "tests/app/e2e_fixture.h"
#include "tests/support/temp_dir.h"

namespace dorq_test {
namespace {

class AuthE2eTest : public E2eTest {};

TEST_F(AuthE2eTest, RealPasswordCheckAndTheSecondService) {
  EXPECT_TRUE(runDorq(jobRequest(0, "/bin/true")).exitedWith(0));

  sandbox_->writeService("su", kPamDenyService);
  const ProcessResult viaDorq = runDorq(jobRequest(0, "/bin/true"), {"-trclvl", "0x11"});
  EXPECT_TRUE(viaDorq.exitedWith(0)) << describe(viaDorq);
  EXPECT_NE(viaDorq.err.find("Succeeded using dorq service"), std::string::npos);

  sandbox_->writeService("dorq", pamEchoUnixService("Welcome to the job host"));
  const ProcessResult withText = runDorq(jobRequest(0, "/bin/true"), {"-trclvl", "0x11"});
  EXPECT_TRUE(withText.exitedWith(0)) << describe(withText);
  EXPECT_NE(withText.err.find("Ignored Message"), std::string::npos);
}

TEST_F(AuthE2eTest, NoTraceSinkEverHoldsThePassword) {
  sandbox_->writeService("su", kPamDenyService);
  sandbox_->writeService("dorq", pamEchoUnixService("text before the prompt"));
  for (const std::string& password :
       {std::string(kJobUser.password), std::string("Wrong-Pw 777")}) {
    const std::string trace = reports_ + "/t";
    const ProcessResult r = runDorq(requestRecord(kJobUser.name, password, 2, "/bin/true"),
                                    {"-trcfile", trace, "-trclvl", "0xFFFF"});
    ASSERT_TRUE(r.started());
    std::string files;
    for (const std::string& name : {"/dorq_" + std::to_string(r.pid) + ".trc"}) {
      files += readFile(reports_ + name);
    }
    EXPECT_NE(files.find("sdorqPAMAuth"), std::string::npos) << "the trace file was written";
    EXPECT_NE(r.err.find("Sending password."), std::string::npos);
    for (const std::string& sink : {r.out, r.err, files}) {
      EXPECT_EQ(sink.find(password), std::string::npos) << password;
    }
  }
}

}  // namespace
}  // namespace dorq_test
