#include "app/package_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/resources.h"
#include "platform/test_util.h"

namespace {

// Two keys of the signing tool's format (only their ids and bytes matter
// here: whose key is trusted, never what it verifies).
const char kVendor[] = "untrusted comment: minisign public key 5736B7B44D343B0B\n"
                       "RWQLOzRNtLc2Vw5LYC9kSo2Kbj2dk5d3AUQhKRMOrDinDBHcKKm00joV\n";
const char kOther[] = "untrusted comment: minisign public key E7620F1842B4E81F\n"
                      "RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3\n";

std::string keyBytes(const TrustedKey& key) { return std::string(reinterpret_cast<const char*>(key.key.key), 32); }

std::string parsedBytes(const char* text) {
  SignaturePublicKey key;
  std::string why;
  EXPECT_TRUE(parse_public_key(text, key, why)) << why;
  return std::string(reinterpret_cast<const char*>(key.key), 32);
}

// Who is trusted: the system-wide key alone while it is set (and only while
// root alone can change it), -K only where it names that same key, else
// -K, else the user's own key, else nobody.
TEST(TrustedKeyTest, SystemKeyRulesAndNothingOverridesIt) {
  const bool root = geteuid() == 0;
  enum System { kNoSystem, kSafe, kGroupWritable, kFolderWritable, kNotRoots, kLink, kJunk };
  enum Option { kNoOption, kSame, kOtherKey, kAbsent };
  struct Case {
    const char* what;
    System system;
    Option option;
    bool userKey;  // the user's file holds the other key
    TrustedKey::Source source;
    const char* trusted;  // the key in force; null: refused
  } cases[] = {
      {"nothing anywhere", kNoSystem, kNoOption, false, TrustedKey::kNone, nullptr},
      {"the user's key", kNoSystem, kNoOption, true, TrustedKey::kUser, kOther},
      {"-K before the user's", kNoSystem, kSame, true, TrustedKey::kOption, kVendor},
      {"-K that is not there", kNoSystem, kAbsent, false, TrustedKey::kOption, nullptr},
      {"the system's", kSafe, kNoOption, false, TrustedKey::kSystem, kVendor},
      {"the system's over the user's", kSafe, kNoOption, true, TrustedKey::kSystem, kVendor},
      {"-K naming the system's", kSafe, kSame, false, TrustedKey::kSystem, kVendor},
      {"-K naming another", kSafe, kOtherKey, false, TrustedKey::kSystem, nullptr},
      {"-K not there beside the system's", kSafe, kAbsent, false, TrustedKey::kSystem, nullptr},
      {"group-writable system key", kGroupWritable, kNoOption, true, TrustedKey::kSystem, nullptr},
      {"system key in a writable folder", kFolderWritable, kOtherKey, false, TrustedKey::kSystem, nullptr},
      {"system key of another owner", kNotRoots, kNoOption, true, TrustedKey::kSystem, nullptr},
      {"system key through a link", kLink, kNoOption, true, TrustedKey::kSystem, nullptr},
      {"junk in the system key", kJunk, kNoOption, true, TrustedKey::kSystem, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Another owner can only be made by root.
    if (c.system == kNotRoots && !root) continue;
    ScratchDir dir;
    mkdir((dir / "etc").c_str(), 0755);
    const std::string system = dir / "etc/trusted.pub", user = dir / "user.pub";
    KeyPlaces places;
    places.systemPath = system.c_str();
    places.userPath = user.c_str();
    // Without root the files are the tester's: the owner is then not asked.
    places.systemMustBeRoots = root;
    writeBytes(dir / "vendor.pub", kVendor);
    writeBytes(dir / "other.pub", kOther);
    switch (c.system) {
      case kNoSystem: break;
      case kSafe: writeBytes(system, kVendor); break;
      case kGroupWritable:
        writeBytes(system, kVendor);
        chmod(system.c_str(), 0664);
        break;
      case kFolderWritable:
        writeBytes(system, kVendor);
        chmod((dir / "etc").c_str(), 0777);
        break;
      case kNotRoots:
        writeBytes(system, kVendor);
        ASSERT_EQ(0, chown(system.c_str(), 65534, 65534));
        break;
      case kLink: ASSERT_EQ(0, symlink((dir / "vendor.pub").c_str(), system.c_str())); break;
      case kJunk: writeBytes(system, "untrusted comment: x\nno key\n"); break;
    }
    chmod(system.c_str(), c.system == kGroupWritable ? 0664 : 0644);
    if (c.option != kNoOption) {
      places.hasOption = true;
      const char* name = c.option == kSame ? "vendor.pub" : c.option == kOtherKey ? "other.pub" : "absent.pub";
      places.optionPath = (dir / name).c_str();
    }
    if (c.userKey) writeBytes(user, kOther);

    TrustedKey found = find_trusted_key(places);
    if (c.trusted == nullptr && c.source == TrustedKey::kNone) {
      EXPECT_TRUE(found.refusal.empty());
      EXPECT_EQ(TrustedKey::kNone, found.source);
    } else if (c.trusted == nullptr) {
      EXPECT_FALSE(found.refusal.empty());
      EXPECT_EQ(c.source, found.source);
      // A refusal still pins a key: the run that hears it installs nothing.
      PackageTrust trust(found);
      EXPECT_FALSE(trust.prepare(widen_lib(stdx::string((dir / "kxq5.dpk").c_str()))));
      EXPECT_STREQ("bad-key", trust.word());
    } else {
      EXPECT_TRUE(found.refusal.empty()) << narrow_lib(found.refusal).c_str();
      EXPECT_EQ(c.source, found.source);
      EXPECT_EQ(parsedBytes(c.trusted), keyBytes(found));
    }
  }
}

TEST(TrustedKeyTest, WithoutAKeyNothingIsCheckedAndTheReportsSaySo) {
  set_resource_lang(LANG_EN);
  PackageTrust trust;
  EXPECT_TRUE(trust.prepare(u"/nonexistent/kxq5.dpk"));
  EXPECT_EQ(nullptr, trust.check());
  EXPECT_STREQ("none", trust.word());
  EXPECT_TRUE(trust.refusal().empty());
  EXPECT_EQ(u"Signature not checked: no trusted key is set.", trust.welcomeLine());
}

}  // namespace
