#include "install/package_signature.h"

#include "install/signed_reads.h"

#include <spawn.h>
#include <sys/wait.h>
#include <algorithm>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/test_util.h"

extern char** environ;

namespace {

// Runs the real signing tool, with no shell; its exit status.
int run(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t pid;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", 0, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", 1, 0);
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

SignatureVerdict check(const std::string& package, const std::string& signatureText,
                       const std::string& keyText) {
  SignaturePublicKey key;
  std::string why;
  if (!parse_public_key(keyText, key, why)) ADD_FAILURE() << "key refused: " << why;
  PackageSignature signature;
  if (!parse_signature(signatureText, signature)) return SignatureVerdict::kMalformed;
  PackageHash hash;
  // Fed in uneven pieces, as the reader hands them out.
  for (size_t at = 0; at < package.size(); at += 7) hash.update(package.data() + at, std::min<size_t>(7, package.size() - at));
  return hash.verify(signature, key);
}

class SignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (run({"minisign", "-v"}) != 0) GTEST_SKIP() << "the minisign tool is not installed";
    package_ = std::string("package bytes \x00\x01\xff", 17) + std::string(100000, 'x');
    writeBytes(dir_ / "kxq5.dpk", package_);
    for (const char* who : {"vendor", "other"}) {
      ASSERT_EQ(0, run({"minisign", "-G", "-W", "-p", dir_ / (std::string(who) + ".pub"), "-s",
                        dir_ / (std::string(who) + ".key")}));
    }
    ASSERT_EQ(0, run({"minisign", "-S", "-s", dir_ / "vendor.key", "-m", dir_ / "kxq5.dpk", "-t",
                      "KX Templates Ltd\ttimestamp:1765360000\tfile:kxq5.dpk\thashed"}));
    signature_ = readBytes(dir_ / "kxq5.dpk.minisig");
    key_ = readBytes(dir_ / "vendor.pub");
  }

  ScratchDir dir_;
  std::string package_, signature_, key_;
};

TEST_F(SignatureTest, ToolsSignatureVerifiesAndEveryTamperingIsToldApart) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < signature_.size();) {
    size_t end = signature_.find('\n', at);
    lines.push_back(signature_.substr(at, end - at));
    at = end + 1;
  }
  ASSERT_EQ(4u, lines.size());
  auto joined = [](std::vector<std::string> l) { return l[0] + "\n" + l[1] + "\n" + l[2] + "\n" + l[3] + "\n"; };
  // One bit of the signature's own bytes, inside its base64 (the key id
  // and algorithm come first: the last characters are signature bytes).
  std::vector<std::string> badSig = lines;
  badSig[1][badSig[1].size() - 4] = badSig[1][badSig[1].size() - 4] == 'A' ? 'B' : 'A';
  std::vector<std::string> badComment = lines;
  badComment[2] += " (edited)";
  std::string otherPackage = package_;
  otherPackage[5] ^= 1;
  ASSERT_EQ(0, run({"minisign", "-S", "-s", dir_ / "other.key", "-m", dir_ / "kxq5.dpk", "-x",
                    dir_ / "other.minisig"}));

  struct Case {
    const char* what;
    std::string package, signature;
    SignatureVerdict verdict;
  } cases[] = {
      {"as signed", package_, signature_, SignatureVerdict::kVerified},
      {"CRLF line ends", package_,
       lines[0] + "\r\n" + lines[1] + "\r\n" + lines[2] + "\r\n" + lines[3] + "\r\n", SignatureVerdict::kVerified},
      {"one bit of the package", otherPackage, signature_, SignatureVerdict::kBadSignature},
      {"package cut short", package_.substr(0, package_.size() - 1), signature_, SignatureVerdict::kBadSignature},
      {"package extended", package_ + "x", signature_, SignatureVerdict::kBadSignature},
      {"one bit of the signature", package_, joined(badSig), SignatureVerdict::kBadSignature},
      {"trusted comment edited", package_, joined(badComment), SignatureVerdict::kBadTrustedComment},
      {"another key's signature", package_, readBytes(dir_ / "other.minisig"), SignatureVerdict::kOtherKey},
      {"signature file cut short", package_, signature_.substr(0, signature_.size() / 2),
       SignatureVerdict::kMalformed},
      {"empty signature file", package_, "", SignatureVerdict::kMalformed},
      {"junk", package_, "untrusted comment: x\nnot base64!\ntrusted comment: y\n====\n", SignatureVerdict::kMalformed},
      {"lines swapped", package_, joined({lines[0], lines[3], lines[2], lines[1]}), SignatureVerdict::kMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(signature_verdict_word(c.verdict), signature_verdict_word(check(c.package, c.signature, key_)));
  }
}

// An old-style signature is over the file's bytes rather than their hash:
// refused with its own verdict (the package would have to be held whole).
TEST_F(SignatureTest, LegacySignatureIsToldApart) {
  ASSERT_EQ(0, run({"minisign", "-S", "-l", "-s", dir_ / "vendor.key", "-m", dir_ / "kxq5.dpk", "-x",
                    dir_ / "legacy.minisig"}));
  EXPECT_EQ(SignatureVerdict::kLegacy, check(package_, readBytes(dir_ / "legacy.minisig"), key_));
}

// The reads of an inflater: pieces of any size, a second pass from the
// start after a hand-over, overlaps, and a gap that the finish fills from
// the file. The hash must be that of the file, each byte once.
TEST_F(SignatureTest, ReadsInAnyOrderHashTheFileOnce) {
  SignaturePublicKey key;
  std::string why;
  ASSERT_TRUE(parse_public_key(key_, key, why));
  PackageSignature signature;
  ASSERT_TRUE(parse_signature(signature_, signature));
  const uint64_t size = package_.size();
  struct Read {
    uint64_t at, count;
  };
  struct Case {
    const char* what;
    std::vector<Read> reads;
    uint64_t hashedAfterReads;
  } cases[] = {
      {"one read", {{0, size}}, size},
      {"small pieces", {{0, 7}, {7, 4096}, {4103, size - 4103}}, size},
      {"a second pass after 1000 bytes", {{0, 1000}, {0, 600}, {600, size - 600}}, size},
      {"overlapping reads", {{0, 5000}, {4000, 3000}, {6999, size - 6999}}, size},
      {"a gap, then the rest", {{0, 1000}, {2000, size - 2000}}, 1000},
      {"nothing read", {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SignatureCheck check(key, signature);
    for (const Read& r : c.reads) check.feed(r.at, package_.data() + r.at, static_cast<size_t>(r.count));
    EXPECT_EQ(c.hashedAfterReads, check.hashedBytes());
    EXPECT_EQ(0u, finish_signature_check<FileSystem>(check, widen_lib(stdx::string((dir_ / "kxq5.dpk").c_str()))));
    SignatureVerdict verdict;
    ASSERT_TRUE(check.decided(verdict));
    EXPECT_EQ(SignatureVerdict::kVerified, verdict);
  }
  // A piece that differs from the file counts where it is first read.
  SignatureCheck changed(key, signature);
  std::string other = package_;
  other[10] ^= 1;
  changed.feed(0, other.data(), 100);
  changed.feed(0, package_.data(), package_.size());
  EXPECT_EQ(ERROR_INVALID_DATA, finish_signature_check<FileSystem>(changed, widen_lib(stdx::string((dir_ / "kxq5.dpk").c_str()))));
  SignatureVerdict verdict;
  ASSERT_TRUE(changed.decided(verdict));
  EXPECT_EQ(SignatureVerdict::kBadSignature, verdict);
}

// Signing as dpkpack does: with the tool's own unencrypted secret key, a
// signature that the tool verifies; keys it cannot use are refused with
// words of their own.
TEST_F(SignatureTest, SignaturesMadeHereVerifyWithTheTool) {
  SignatureSecretKey secret;
  std::string why;
  ASSERT_TRUE(parse_secret_key(readBytes(dir_ / "vendor.key"), secret, why)) << why;
  PackageHash hash;
  hash.update(package_.data(), package_.size());
  writeBytes(dir_ / "ours.minisig", hash.sign(secret, "KX Templates Ltd"));
  EXPECT_EQ(0, run({"minisign", "-V", "-q", "-p", dir_ / "vendor.pub", "-m", dir_ / "kxq5.dpk", "-x",
                    dir_ / "ours.minisig"}));
  EXPECT_EQ(SignatureVerdict::kVerified, check(package_, readBytes(dir_ / "ours.minisig"), key_));
  EXPECT_EQ(SignatureVerdict::kOtherKey, check(package_, readBytes(dir_ / "ours.minisig"),
                                               readBytes(dir_ / "other.pub")));

  std::string text = readBytes(dir_ / "vendor.key");
  size_t line = text.find('\n') + 1;
  std::string encrypted = text;
  encrypted.replace(line, 8, "RWRTY0Iy");  // "Ed", "Sc", "B2": kept under a password
  std::string damaged = text;
  damaged[line + 100] = damaged[line + 100] == 'A' ? 'B' : 'A';  // inside the key's bytes
  struct Case {
    const char* what;
    std::string text;
    const char* words;
  } cases[] = {
      {"kept under a password", encrypted, "password"},
      {"a byte of the key", damaged, "damaged"},
      {"a public key", key_, "not a secret key"},
      {"junk", "untrusted comment: x\njunk\n", "not a secret key"},
      {"empty", "", "not a secret key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SignatureSecretKey refused;
    why.clear();
    EXPECT_FALSE(parse_secret_key(c.text, refused, why));
    EXPECT_NE(std::string::npos, why.find(c.words)) << why;
  }
}

TEST(SignatureKeyTest, KeyFilesAreReadOrRefused) {
  const std::string line = "RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3";
  SignaturePublicKey key;
  std::string why;
  struct Case {
    const char* what;
    std::string text;
    bool accepted;
  } cases[] = {
      {"with comment", "untrusted comment: minisign public key E7620F1842B4E81F\n" + line + "\n", true},
      {"bare line", line, true},
      {"CRLF", "untrusted comment: k\r\n" + line + "\r\n", true},
      {"empty", "", false},
      {"comment only", "untrusted comment: k\n", false},
      {"cut short", line.substr(0, 40), false},
      {"junk after", line + "\nsomething else\n", false},
      {"not base64", "untrusted comment: k\n" + std::string(56, '*') + "\n", false},
      {"a secret key", "untrusted comment: minisign encrypted secret key\nRWRTY0Iy" + std::string(200, 'A') + "\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.accepted, parse_public_key(c.text, key, why)) << why;
  }
}

TEST(SignerTest, TrustedCommentNamesTheSigner) {
  EXPECT_EQ("KX Templates Ltd", signer_from_comment("KX Templates Ltd\ttimestamp:1765360000\tfile:kxq5.dpk\thashed"));
  EXPECT_EQ("", signer_from_comment("timestamp:1765360000\tfile:kxq5.dpk\thashed"));
  EXPECT_EQ("Evil?Co", signer_from_comment("Evil\x1b" "Co"));
}

}  // namespace
