// Members written straight from the stream into their files: which
// layouts allow it, where each byte goes whichever comes first, the file
// or the stream, and that a file taken back is never written again.
#include "install/member_delivery.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "install/test_support.h"

using namespace test_support;

namespace {

typedef config::MemberDelivery<FileSystem> Delivery;
typedef Delivery::Outcome Outcome;

MemberVerifier::Member span(uint64_t start, uint64_t end) { return MemberVerifier::Member{start, end, false, 0}; }

void* handleOf(int fd) { return reinterpret_cast<void*>(static_cast<intptr_t>(fd)); }

class MemberDeliveryTest : public ScratchTest {
 protected:
  // A stream of 64 bytes behind a "header" of 16: members [16,26), [26,46), [46,64).
  void SetUp() override {
    ScratchTest::SetUp();
    stream = pseudoRandomBytes(64, 7);
    fresh();
  }
  // A new stream over the same members.
  void fresh() {
    image.assign(stream.size(), '.');
    delivery.reset({span(16, 26), span(26, 46), span(46, 64)});
  }
  void TearDown() override {
    for (int fd : fds) close(fd);
    ScratchTest::TearDown();
  }

  int newFile(const std::string& name, int flags = O_WRONLY) {
    std::string file = path(name);
    writeBytes(file, "");
    int fd = open(file.c_str(), flags | O_CLOEXEC);
    fds.push_back(fd);
    return fd;
  }

  // Routes the stream from byte at on in pieces of piece bytes; the image
  // records what it is given, and imageWrites how many calls it took.
  FsResult route(uint64_t at, uint64_t end, size_t piece) {
    FsResult code;
    for (uint64_t pos = at; pos < end && code == 0; pos += piece) {
      unsigned n = static_cast<unsigned>(std::min<uint64_t>(piece, end - pos));
      code = delivery.route(pos, reinterpret_cast<const unsigned char*>(stream.data() + pos), n,
                            [this](uint64_t to, const unsigned char* bytes, unsigned count) {
                              image.replace(static_cast<size_t>(to), count, reinterpret_cast<const char*>(bytes),
                                            count);
                              ++imageWrites;
                              return FsResult();
                            });
    }
    return code;
  }

  std::string member(uint64_t start, uint64_t end) const {
    return stream.substr(static_cast<size_t>(start), static_cast<size_t>(end - start));
  }

  Delivery delivery;
  std::string stream;
  std::string image;  // '.' where the image was never written
  unsigned imageWrites = 0;
  std::vector<int> fds;
};

TEST(MemberDeliveryLayoutTest, OnlyMembersInOrderWithoutOverlapAreDelivered) {
  const struct {
    const char* what;
    std::vector<MemberVerifier::Member> members;
    bool possible;
  } cases[] = {
      {"in order, touching", {span(10, 20), span(20, 30)}, true},
      {"in order, with gaps", {span(10, 20), span(25, 30)}, true},
      {"empty members anywhere", {span(10, 20), span(0, 0), span(20, 30), span(5, 5)}, true},
      {"overlapping", {span(10, 20), span(15, 30)}, false},
      {"the same bytes twice", {span(10, 20), span(10, 20)}, false},
      {"out of order", {span(20, 30), span(10, 20)}, false},
      {"no members", {}, true},
  };
  for (const auto& c : cases) {
    Delivery delivery;
    delivery.reset(c.members);
    EXPECT_EQ(c.possible, delivery.possible()) << c.what;
  }
}

// Whatever the pieces, a member with a file goes into it and the others
// into the image at their place, the bytes around a delivered member in
// one write where one piece holds them; nothing of a delivered member
// reaches the image.
TEST_F(MemberDeliveryTest, EachByteGoesOnceIntoItsFileOrTheImage) {
  for (size_t piece : {1u, 3u, 10u, 17u, 64u}) {
    SCOPED_TRACE("pieces of " + std::to_string(piece));
    fresh();
    imageWrites = 0;
    int out = newFile("m1." + std::to_string(piece));
    image.replace(0, 16, stream.substr(0, 16));  // the header went by before delivery
    delivery.startAt(16);
    delivery.deliverTo(1, handleOf(out));
    EXPECT_TRUE(delivery.awaitsStream(1));
    ASSERT_EQ(0u, route(16, 64, piece));
    if (piece == 64) {
      EXPECT_EQ(2u, imageWrites);  // member 0, then member 2
    }

    FsResult failure;
    EXPECT_EQ(Outcome::kInImage, delivery.takeBack(0, failure));
    EXPECT_EQ(Outcome::kDelivered, delivery.takeBack(1, failure));
    EXPECT_EQ(Outcome::kGone, delivery.takeBack(1, failure));  // told once: its bytes are in no image
    EXPECT_EQ(Outcome::kInImage, delivery.takeBack(2, failure));
    EXPECT_EQ(member(26, 46), readBytes(path("m1." + std::to_string(piece))));
    EXPECT_EQ(stream.substr(0, 26) + std::string(20, '.') + member(46, 64), image);
  }
}

// A file that comes after the stream has passed the member's first byte
// (or a member that began before delivery did) leaves the member in the
// image, and its file untouched: the stream waits for no file.
TEST_F(MemberDeliveryTest, LateFileOrEarlyMemberStaysInTheImage) {
  for (bool lateFile : {true, false}) {
    SCOPED_TRACE(lateFile ? "the file came late" : "the member began before delivery");
    fresh();
    int out = newFile("m0");
    delivery.startAt(lateFile ? 16 : 20);
    if (lateFile) {
      ASSERT_EQ(0u, route(16, 20, 4));
    }
    delivery.deliverTo(0, handleOf(out));
    EXPECT_EQ(!lateFile, delivery.awaitsStream(0));
    ASSERT_EQ(0u, route(20, 26, 3));
    FsResult failure;
    EXPECT_EQ(Outcome::kInImage, delivery.takeBack(0, failure));
    EXPECT_EQ("", readBytes(path("m0")));
    EXPECT_EQ(member(20, 26), image.substr(20, 6));
  }
}

// A file taken back halfway is never written again; one whose write fails
// tells the failure, once.
TEST_F(MemberDeliveryTest, TakenBackOrFailedFilesAreLeftAlone) {
  int out = newFile("m1");
  int readOnly = newFile("m2", O_RDONLY);
  delivery.startAt(16);
  delivery.deliverTo(1, handleOf(out));
  delivery.deliverTo(2, handleOf(readOnly));
  ASSERT_EQ(0u, route(16, 36, 5));
  EXPECT_TRUE(delivery.taken(1));
  FsResult failure;
  EXPECT_EQ(Outcome::kCutOff, delivery.takeBack(1, failure));
  ASSERT_EQ(0u, route(36, 64, 5));  // the failure is the member's, not the stream's
  EXPECT_EQ(member(26, 36), readBytes(path("m1")));
  EXPECT_EQ(std::string(28, '.'), image.substr(36));  // nobody wants the rest
  EXPECT_EQ(Outcome::kFailed, delivery.takeBack(2, failure));
  EXPECT_EQ(EBADF, failure.errnoValue());
  EXPECT_EQ(Outcome::kGone, delivery.takeBack(2, failure));
}

// A second run over the same stream delivers nothing, and what the first
// one delivered is in no image: it is refused, never copied as zeros.
TEST_F(MemberDeliveryTest, SecondRunOverTheSameStreamDeliversNothing) {
  int out = newFile("m0");
  int again = newFile("m0.again");
  delivery.startAt(16);
  delivery.deliverTo(0, handleOf(out));
  ASSERT_EQ(0u, route(16, 64, 64));
  FsResult failure;
  EXPECT_EQ(Outcome::kDelivered, delivery.takeBack(0, failure));
  delivery.deliverTo(0, handleOf(again));
  EXPECT_EQ(Outcome::kGone, delivery.takeBack(0, failure));
  EXPECT_EQ("", readBytes(path("m0.again")));
}

}  // namespace
