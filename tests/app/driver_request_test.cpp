// Request intake from a real pipe: line limits, NUL bytes, carriage returns,
// argument counts, and the bytes left for the job.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "app/dorq_driver.h"
#include "app/dorq_status.h"

namespace {

// A stream over a pipe fed by a writer thread, so large inputs never block.
class PipeInput {
 public:
  explicit PipeInput(std::string bytes) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    readFd_ = fds[0];
    writer_ = std::thread([fd = fds[1], data = std::move(bytes)] {
      size_t done = 0;
      while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n <= 0) {
          break;
        }
        done += static_cast<size_t>(n);
      }
      close(fd);
    });
    stream_ = fdopen(readFd_, "r");
  }
  ~PipeInput() {
    fclose(stream_);
    writer_.join();
  }
  FILE* stream() const { return stream_; }
  // Whatever the reader left in the pipe.
  std::string rest() const {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(readFd_, buf, sizeof buf)) > 0) {
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

 private:
  int readFd_ = -1;
  FILE* stream_ = nullptr;
  std::thread writer_;
};

struct Intake {
  uint32_t status;
  DorqRequest request;
};

class RequestTest : public ::testing::Test {
 protected:
  Intake read(const std::string& bytes) {
    input_ = std::make_unique<PipeInput>(bytes);
    Intake intake{};
    intake.status = dorqReadRequest(input_->stream(), &intake.request);
    requests_.push_back(intake.request);
    return intake;
  }
  void TearDown() override {
    for (auto& request : requests_) {
      dorqReleaseRequest(&request);
    }
  }
  std::unique_ptr<PipeInput> input_;
  std::vector<DorqRequest> requests_;
};

std::string head(const std::string& path = "/bin/true", const std::string& count = "0") {
  return "alice\nsecret\n2\n" + path + "\n" + count + "\n";
}

TEST_F(RequestTest, WholeRequestFillsTheRecordAndVector) {
  const Intake in = read(head("/bin/echo", "2") + "one\ntwo\n");
  ASSERT_EQ(in.status, kStatusOk);
  EXPECT_STREQ(in.request.user, "alice");
  EXPECT_STREQ(in.request.password, "secret");
  EXPECT_EQ(in.request.flags, 2);
  EXPECT_STREQ(in.request.path, "/bin/echo");
  ASSERT_EQ(in.request.slots, 4U);
  EXPECT_EQ(in.request.argv[0], in.request.path);
  EXPECT_STREQ(in.request.argv[1], "one");
  EXPECT_STREQ(in.request.argv[2], "two");
  EXPECT_EQ(in.request.argv[3], nullptr);
}

TEST_F(RequestTest, BytesAfterTheLastLineStayForTheJob) {
  const Intake in = read(head("/bin/cat", "1") + "arg\nleft for the job\nmore");
  ASSERT_EQ(in.status, kStatusOk);
  EXPECT_EQ(input_->rest(), "left for the job\nmore");
}

TEST_F(RequestTest, LastLineWithoutNewlineIsAccepted) {
  const Intake in = read("alice\nsecret\n0\n/bin/true\n1\nlast");
  ASSERT_EQ(in.status, kStatusOk);
  EXPECT_STREQ(in.request.argv[1], "last");
}

TEST_F(RequestTest, CarriageReturnIsKeptAndNulEndsTheLine) {
  using namespace std::string_literals;
  const Intake in = read("alice\r\nse\0cret\n0\n\0/bin/x\n1\nab\0cd\n"s);
  ASSERT_EQ(in.status, kStatusOk);
  EXPECT_STREQ(in.request.user, "alice\r");
  EXPECT_STREQ(in.request.password, "se");
  EXPECT_STREQ(in.request.path, "");
  EXPECT_STREQ(in.request.argv[1], "ab");
}

TEST_F(RequestTest, FlagsAndCountFollowAtoiRules) {
  struct Case {
    const char* flags;
    int expected;
  };
  for (const Case c : {Case{" 6xyz", 6}, Case{"abc", 0}, Case{"-1", -1}, Case{"+4", 4},
                       Case{"99999999999", static_cast<int>(99999999999LL & 0xFFFFFFFF)}}) {
    const Intake in = read(std::string("u\np\n") + c.flags + "\n/bin/true\n0\n");
    ASSERT_EQ(in.status, kStatusOk) << c.flags;
    EXPECT_EQ(in.request.flags, c.expected) << c.flags;
  }
  const Intake notNumber = read(head("/bin/true", "two"));
  ASSERT_EQ(notNumber.status, kStatusOk);
  EXPECT_EQ(notNumber.request.slots, 2U);
}

TEST_F(RequestTest, LineLimits) {
  const std::string fits(kRequestLineMax, 'x');
  const std::string over(kRequestLineMax + 1, 'x');
  struct Case {
    std::string input;
    uint32_t status;
  };
  const Case cases[] = {
      {fits + "\nsecret\n0\n/bin/true\n0\n", kStatusOk},
      {"u\n" + fits + "\n0\n/bin/true\n0\n", kStatusOk},
      {head("/bin/true", "1") + fits, kStatusOk},
      {over + "\nsecret\n0\n/bin/true\n0\n", kStatusLineTooLong},
      {"u\np\n0\n" + over, kStatusLineTooLong},
      {head("/bin/true", "1") + over + "\n", kStatusLineTooLong},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(read(c.input).status, c.status) << c.input.size();
  }
}

TEST_F(RequestTest, MissingLinesGiveStatus3) {
  for (const std::string& input :
       {std::string(), std::string("alice\n"), std::string("alice\nsecret\n0\n/bin/true\n"),
        std::string("alice\nsecret\n0\n/bin/true\n3\none\ntwo\n")}) {
    EXPECT_EQ(read(input).status, kStatusInputEnded) << input;
  }
}

TEST_F(RequestTest, SpecialCounts) {
  const Intake minusOne = read(head("/bin/true", "-1"));
  ASSERT_EQ(minusOne.status, kStatusOk);
  EXPECT_EQ(minusOne.request.slots, 1U);
  EXPECT_EQ(minusOne.request.argv[0], nullptr);
  EXPECT_STREQ(minusOne.request.path, "/bin/true");

  EXPECT_EQ(read(head("/bin/true", "-2")).status, kStatusNoMemory);

  // Billions of slots: the allocation fails (2) or the input runs out (3).
  for (const char* count : {"-3", "-2147483648", "2147483647"}) {
    const uint32_t status = read(head("/bin/true", count) + "a\n").status;
    EXPECT_TRUE(status == kStatusNoMemory || status == kStatusInputEnded) << count << " " << status;
  }
}

}  // namespace
