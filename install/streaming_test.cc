// The package inflating while it is used: the checks that follow the image
// as it grows, a reader whose header is ready before the rest, and install
// runs that wait for bytes, are cancelled while waiting, or meet damage
// after they have begun to copy.
#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "install/faulty_file_system.h"
#include "install/installer.h"
#include "install/member_verifier.h"
#include "install/test_support.h"

using namespace test_support;

namespace {

unsigned crcOf(const std::string& bytes, size_t from, size_t count) {
  return static_cast<unsigned>(
      crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + from), static_cast<uInt>(count)));
}

// Random members over a random image, handed over in random pieces, give
// what checking each member on its own over the finished image gives.
TEST(MemberVerifierTest, AgreesWithAStraightCheckHoweverTheImageArrives) {
  unsigned seed = 1;
  auto next = [&seed](unsigned n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % n;
  };
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string image = pseudoRandomBytes(1 + next(5000), round);
    std::vector<MemberVerifier::Member> members;
    bool expectSound = true;
    for (unsigned m = next(8); m > 0; --m) {
      uint64_t start = next(static_cast<unsigned>(image.size()) + 2);
      uint64_t end = start + next(1500) * (next(4) != 0);  // some members are empty
      bool inside = end <= image.size();
      unsigned crc = inside ? crcOf(image, start, end - start) : 0;
      bool wrong = next(6) == 0;
      bool checked = next(5) != 0;
      members.push_back({start, end, checked, wrong ? crc ^ 0x10u : crc});
      if (!inside || (checked && wrong)) expectSound = false;
    }
    MemberVerifier verifier;
    verifier.reset(members);
    unsigned code = 0;
    for (size_t at = 0; at < image.size() && code == 0;) {
      size_t piece = std::min<size_t>(1 + next(700), image.size() - at);
      code = verifier.consume(at, reinterpret_cast<const unsigned char*>(image.data() + at), piece);
      at += piece;
    }
    if (code == 0) code = verifier.finish(image.size());
    EXPECT_EQ(expectSound ? 0u : static_cast<unsigned>(ERROR_INVALID_DATA), code);
  }
}

// A decompressor whose "package" is the image itself, let through only as
// far as the test allows: the test decides how much of the image exists.
struct GatedDecompressor {
  static std::mutex mutex;
  static std::condition_variable moved;
  static size_t allowed;  // bytes that may pass
  static bool waiting;    // the decompressor waits for the gate

  static void allow(size_t bytes) {
    std::lock_guard<std::mutex> hold(mutex);
    allowed = bytes;
    moved.notify_all();
  }

  template <class FS>
  FsResult unpackTo(const stdx::u16string& source, lz_detail::WriteFunction write,
                    void* context) const {
    std::string image = readBytes(u8(source));
    const size_t kPiece = 512;
    for (size_t at = 0; at < image.size(); at += kPiece) {
      size_t piece = std::min(kPiece, image.size() - at);
      {
        std::unique_lock<std::mutex> lock(mutex);
        waiting = true;
        moved.notify_all();
        moved.wait(lock, [&] { return allowed >= at + piece; });
        waiting = false;
      }
      FsResult code = write(context, image.data() + at, static_cast<unsigned>(piece));
      if (code != 0) return code;
    }
    return 0;
  }
};
std::mutex GatedDecompressor::mutex;
std::condition_variable GatedDecompressor::moved;
size_t GatedDecompressor::allowed = 0;
bool GatedDecompressor::waiting = false;

typedef config::InstallData<GatedDecompressor, FileSystem> GatedReader;
typedef BasicInstallProcessData<GatedReader> GatedProcessData;

// The real installer over the gated reader.
typedef BasicInstaller<FileSystem, GatedDecompressor> GatedInstaller;

class StreamingTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    GatedDecompressor::allow(0);
    target = path("target");
  }
  void TearDown() override {
    GatedDecompressor::allow(static_cast<size_t>(-1));  // no inflater may stay blocked
    ScratchTest::TearDown();
  }

  // Three members with checksums; the last one large. damageLast flips a
  // byte of it, so the damage lies far behind the header.
  std::string image(bool damageLast) {
    std::vector<TestMember> members = {{"a.txt", "new a", fileTime(5000)},
                                       {"sub/b.txt", pseudoRandomBytes(3000, 2), fileTime(5000)},
                                       {"sub/big.bin", pseudoRandomBytes(200000, 3), fileTime(5000)}};
    std::vector<package_format::MemberRecord> records;
    std::string data;
    for (const TestMember& m : members) {
      package_format::MemberRecord r;
      r.name = u16(m.name);
      r.lastWriteTime = m.time;
      r.offset = static_cast<uint32_t>(data.size());
      r.size = static_cast<uint32_t>(m.data.size());
      r.hasChecksum = true;
      r.checksum = crcOf(m.data, 0, m.data.size());
      data += m.data;
      records.push_back(r);
    }
    std::string header = package_format::encodeHeader({product("en", "P", "V", "")}, false, records);
    headerBytes = header.size();
    if (damageLast) data[data.size() - 10] ^= 0x40;
    return header + data;
  }

  std::string writeImage(bool damageLast) {
    std::string file = path("image.bin");
    writeBytes(file, image(damageLast));
    return file;
  }

  void makeOldTarget() {
    makeDirs(target + "/sub");
    writeBytes(target + "/a.txt", "old a");
    setModificationTime(target + "/a.txt", 1000);
  }

  // A run over an image of which only the header and the two small
  // members can be inflated until the test opens the gate.
  struct GatedRun {
    GatedReader reader;
    GatedProcessData data;
    GatedInstaller installer;
    FsResult code;
    std::thread thread;

    ~GatedRun() {
      GatedDecompressor::allow(static_cast<size_t>(-1));
      if (thread.joinable()) thread.join();
    }
    // Both small members are staged once the inflater waits at the gate
    // and the run waits for the big one.
    static void waitAtGate() {
      std::unique_lock<std::mutex> lock(GatedDecompressor::mutex);
      GatedDecompressor::moved.wait(lock, [] { return GatedDecompressor::waiting; });
    }
    void finish() {
      GatedDecompressor::allow(static_cast<size_t>(-1));
      thread.join();
    }
    stdx::u16string statusText() {
      unsigned state = 0;
      stdx::u16string text;
      int percent = 0;
      data.getInstallState(state, text, percent);
      EXPECT_EQ(code, state);
      return text;
    }
  };

  // allowed: the bytes of the image that exist at first; by default the
  // header, a.txt, b.txt and the first bytes of big.bin.
  void startRun(GatedRun& run, bool damageLast, size_t allowed = 0) {
    std::string file = writeImage(damageLast);
    GatedDecompressor::allow(allowed != 0 ? allowed : headerBytes + 4000);
    ASSERT_EQ(0u, run.reader.openHeader(u16(file)));
    // Where big.bin's first bytes are there before the run begins, they
    // are in the image before the run can ask for them: the whole member
    // stays there.
    if (allowed == 0) {
      ASSERT_NO_FATAL_FAILURE(awaitImageSize(run.reader, headerBytes + 3006));
    }
    run.data.init(&run.reader, u16(target));
    run.thread = std::thread([&run] { run.code = run.installer.run(&run.data); });
  }

  static void awaitImageSize(GatedReader& reader, size_t bytes) {
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(reader.imageHandle()));
    struct stat st;
    for (int i = 0; i < 5000; ++i) {
      ASSERT_EQ(0, fstat(fd, &st));
      if (static_cast<size_t>(st.st_size) >= bytes) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    FAIL() << "the image stays at " << st.st_size << " bytes";
  }

  std::string target;
  size_t headerBytes = 0;
};

TEST_F(StreamingTest, HeaderIsReadyWhileTheRestIsStillToCome) {
  std::string file = writeImage(false);
  GatedDecompressor::allow(headerBytes + 600);
  GatedReader reader;
  ASSERT_EQ(0u, reader.openHeader(u16(file)));
  ASSERT_EQ(3u, reader.files.size());
  EXPECT_EQ(u"P", reader.products.at(0).productName);
  EXPECT_EQ(config::kErrorPending, reader.awaitImage(0));
  // Members become usable once their bytes exist and have been checked.
  GatedDecompressor::allow(headerBytes + 4000);
  EXPECT_EQ(0u, reader.awaitMember(1, -1));
  EXPECT_EQ(config::kErrorPending, reader.awaitMember(2, 10));
  GatedDecompressor::allow(static_cast<size_t>(-1));
  EXPECT_EQ(0u, reader.awaitMember(2, -1));
  EXPECT_EQ(0u, reader.awaitImage(-1));
  EXPECT_EQ(0u, reader.copy(2, u16(path("big.out"))));
  EXPECT_EQ(image(false).substr(image(false).size() - 200000), readBytes(path("big.out")));
}

// The run copies what exists, then waits; damage behind everything it
// copied makes it undo all of it, as the package's fault.
TEST_F(StreamingTest, DamageFoundAfterTheCopyBeganUndoesTheRun) {
  makeOldTarget();
  TreeSnapshot before = snapshotTree(target);
  GatedRun run;
  ASSERT_NO_FATAL_FAILURE(startRun(run, true));
  run.finish();
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_DATA), run.code);
  EXPECT_TRUE(run.installer.packageFailed());
  EXPECT_EQ(resourceText("IDS_ERROR_DAMAGEDSOURCE"), run.statusText());
  EXPECT_TRUE(snapshotTree(target) == before);
}

// A run waiting for bytes that do not come ends on a cancel, undone; so
// does one whose package stops inflating.
TEST_F(StreamingTest, CancelEndsARunThatWaitsForThePackage) {
  for (bool stopInflating : {false, true}) {
    SCOPED_TRACE(stopInflating ? "the inflate stopped" : "the run cancelled");
    makeOldTarget();
    TreeSnapshot before = snapshotTree(target);
    GatedRun run;
    ASSERT_NO_FATAL_FAILURE(startRun(run, false));
    GatedRun::waitAtGate();
    if (stopInflating) {
      run.reader.stopInflating();
      GatedDecompressor::allow(static_cast<size_t>(-1));  // let it see the stop
    } else {
      run.data.setCancel(true);
    }
    run.thread.join();
    EXPECT_EQ(static_cast<unsigned>(ERROR_CANCELLED), run.code);
    EXPECT_FALSE(run.installer.packageFailed());
    EXPECT_TRUE(snapshotTree(target) == before);
  }
}

// The run gives the image's storage back as it goes (or never puts the
// members there): after it, the image holds no data, the members are
// whole, and a member whose bytes are not in the image is refused rather
// than copied as zeros.
TEST_F(StreamingTest, ImageStorageIsGivenBackAndNeverCopiedFromAgain) {
  std::vector<TestMember> members;
  for (int i = 0; i < 4; ++i)
    members.push_back({"m" + std::to_string(i) + ".bin", pseudoRandomBytes(5u << 20, 10 + i), fileTime(5000)});
  PackageReader reader;
  ASSERT_EQ(0u, reader.openHeader(u16(writePackage(makeImage({}, false, members)))));
  InstallProcessData data;
  data.init(&reader, u16(target));
  Installer installer(0);
  ASSERT_EQ(0u, installer.run(&data));
  for (const TestMember& m : members) EXPECT_TRUE(readBytes(target + "/" + m.name) == m.data) << m.name;
  struct stat st;
  ASSERT_EQ(0, fstat(static_cast<int>(reinterpret_cast<intptr_t>(reader.imageHandle())), &st));
  EXPECT_LT(st.st_blocks * 512, 1 << 20);
  EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_PARAMETER), reader.copy(0, u16(path("again"))));
}

// A temporary directory that stops taking the image after the copy began
// (here a file-size limit: EFBIG) is no damage of the package: the run is
// undone and the user is told which directory and why.
TEST_F(StreamingTest, ImageThatCannotBeWrittenNamesTheTemporaryDirectory) {
  makeOldTarget();
  TreeSnapshot before = snapshotTree(target);
  GatedRun run;
  ASSERT_NO_FATAL_FAILURE(startRun(run, false));
  GatedRun::waitAtGate();
  // Past this size no file of the process grows: the image's next piece fails.
  struct rlimit saved;
  ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
  struct rlimit limited = saved;
  limited.rlim_cur = headerBytes + 8000;
  void (*savedSignal)(int) = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
  run.finish();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, savedSignal);

  EXPECT_NE(0u, run.code);
  EXPECT_FALSE(run.installer.packageFailed());
  stdx::u16string text = run.statusText();
  EXPECT_NE(stdx::u16string::npos, text.find(temp_dir_line(u16(tempDir), EFBIG))) << u8(text);
  EXPECT_TRUE(snapshotTree(target) == before);
}

// Waits until the run has made member index's file and given it to the
// stream, which it does before the member's bytes come.
void awaitFileFor(GatedReader& reader, size_t index) {
  for (int i = 0; i < 5000; ++i) {
    if (reader.delivery().awaitsStream(index)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  FAIL() << "the run gave no file for member " << index;
}

// A member whose file is made before its bytes come is written once,
// straight from the stream: the image never holds it, and a write that
// fails there is the target's failure, undone like any other.
TEST_F(StreamingTest, MemberWhoseFileIsReadyIsWrittenOnceFromTheStream) {
  for (bool fileTooBig : {false, true}) {
    SCOPED_TRACE(fileTooBig ? "the member's file cannot grow" : "a whole run");
    ScratchTest::TearDown();
    SetUp();
    makeOldTarget();
    TreeSnapshot before = snapshotTree(target);
    GatedRun run;
    ASSERT_NO_FATAL_FAILURE(startRun(run, false, headerBytes + 3005));  // up to big.bin's first byte
    GatedRun::waitAtGate();
    ASSERT_NO_FATAL_FAILURE(awaitFileFor(run.reader, 2));
    struct rlimit saved;
    ASSERT_EQ(0, getrlimit(RLIMIT_FSIZE, &saved));
    struct rlimit limited = saved;
    limited.rlim_cur = 100000;  // the image never comes near it
    void (*savedSignal)(int) = signal(SIGXFSZ, SIG_IGN);
    if (fileTooBig) {
      ASSERT_EQ(0, setrlimit(RLIMIT_FSIZE, &limited));
    }
    run.finish();
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedSignal);

    struct stat st;
    ASSERT_EQ(0, fstat(static_cast<int>(reinterpret_cast<intptr_t>(run.reader.imageHandle())), &st));
    EXPECT_LE(static_cast<size_t>(st.st_size), headerBytes + 3005);
    if (!fileTooBig) {
      ASSERT_EQ(0u, run.code);
      EXPECT_EQ(pseudoRandomBytes(200000, 3), readBytes(target + "/sub/big.bin"));
      EXPECT_EQ(5000, modificationTime(target + "/sub/big.bin"));
      EXPECT_EQ(static_cast<unsigned>(ERROR_INVALID_PARAMETER), run.reader.copy(2, u16(path("again"))));
    } else {
      EXPECT_NE(0u, run.code);
      EXPECT_FALSE(run.installer.packageFailed());
      stdx::u16string text = run.statusText();
      EXPECT_NE(stdx::u16string::npos, text.find(u"big.bin")) << u8(text);
      EXPECT_EQ(stdx::u16string::npos, text.find(u16(tempDir))) << u8(text);
      EXPECT_TRUE(snapshotTree(target) == before);
    }
  }
}

typedef config::InstallData<LZCompressor, FaultyFileSystem> FaultyReader;

// Each side of a failed open, as the system fails it: the package file
// (opened or read by the inflate) and the image in the temporary directory
// are named with their errno; only bad bytes are the package's fault.
TEST_F(StreamingTest, FailureOfAnOpenTellsWhichSideFailed) {
  std::string good = writePackage(image(false));
  std::string damaged = writePackage(image(true), false, "damaged.dpk");
  const struct {
    const char* what;
    FaultyFileSystem::Operation operation;
    int errnoValue;
    bool damagedPackage;
    config::ImageFailure::Side side;
  } cases[] = {
      {"package refused", FaultyFileSystem::kCreateFile, EACCES, false, config::ImageFailure::kPackageFile},
      {"package unreadable", FaultyFileSystem::kReadFile, EIO, false, config::ImageFailure::kPackageFile},
      {"image not created", FaultyFileSystem::kCreateTempFile, EROFS, false, config::ImageFailure::kTempDir},
      {"image not written", FaultyFileSystem::kWriteFile, EFBIG, false, config::ImageFailure::kTempDir},
      {"bad bytes", FaultyFileSystem::kNone, 0, true, config::ImageFailure::kPackageBytes},
  };
  for (const auto& c : cases) {
    for (bool streaming : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (streaming ? ", header first" : ", whole image"));
      FaultyFileSystem::reset();
      if (c.operation != FaultyFileSystem::kNone) FaultyFileSystem::failOn(c.operation, 1, c.errnoValue);
      FaultyReader reader;
      const std::string& package = c.damagedPackage ? damaged : good;
      FsResult code = streaming ? reader.openHeader(u16(package)) : reader.open(u16(package));
      if (code == 0) code = reader.awaitImage(-1);
      EXPECT_NE(0u, code);
      EXPECT_EQ(c.errnoValue, code.errnoValue());
      config::ImageFailure failure = reader.failureOf(code);
      EXPECT_EQ(c.side, failure.side);
      std::string expectedPath = c.side == config::ImageFailure::kPackageFile ? package
                                 : c.side == config::ImageFailure::kTempDir ? tempDir + "/"
                                                                            : "";
      EXPECT_EQ(expectedPath, u8(failure.path));
    }
  }
}

}  // namespace
