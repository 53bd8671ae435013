#include "app/package_trust.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "install/failure_words.h"
#include "install/signed_reads.h"
#include "platform/resources.h"

namespace {

// Key and signature files are a few lines: anything longer is not one, and
// is not read whole.
const off_t kMaxSmallFileBytes = 64 << 10;

stdx::string g_keyOption;
bool g_hasKeyOption = false;

// key's text with %1 and %2 replaced in one pass (a path may hold "%2").
stdx::u16string filled(const char* key, const stdx::u16string& first,
                       const stdx::u16string& second = stdx::u16string()) {
  stdx::u16string text = LoadResString(key);
  stdx::u16string result;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'%' && i + 1 < text.size() && (text[i + 1] == u'1' || text[i + 1] == u'2')) {
      result += text[i + 1] == u'1' ? first : second;
      ++i;
    } else {
      result += text[i];
    }
  }
  return result;
}

// What reading a small file came to.
enum class Read { kDone, kAbsent, kFailed, kTooLong, kNotRegular };

// Reads path whole into text, through one descriptor: a FIFO does not
// hold the open up, and what is checked (owner, mode) is what is read.
// noLinks refuses a symbolic link as the last component (ELOOP).
Read read_small_file(const stdx::string& path, bool noLinks, std::string& text, struct stat& st, int& error) {
  error = 0;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (noLinks ? O_NOFOLLOW : 0));
  if (fd < 0) {
    error = errno;
    return error == ENOENT || error == ENOTDIR ? Read::kAbsent : Read::kFailed;
  }
  Read result = Read::kDone;
  if (fstat(fd, &st) != 0) {
    error = errno;
    result = Read::kFailed;
  } else if (!S_ISREG(st.st_mode)) {
    result = Read::kNotRegular;
  } else if (st.st_size > kMaxSmallFileBytes) {
    result = Read::kTooLong;
  } else {
    char buffer[4096];
    text.clear();
    for (;;) {
      ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        error = errno;
        result = Read::kFailed;
        break;
      }
      if (got == 0) break;
      text.append(buffer, static_cast<size_t>(got));
      if (text.size() > static_cast<size_t>(kMaxSmallFileBytes)) {
        result = Read::kTooLong;
        break;
      }
    }
  }
  close(fd);
  return result;
}

// Reads and parses the key file at path; false with key.refusal set.
bool load_key(const stdx::string& path, bool noLinks, TrustedKey& key, struct stat& st) {
  std::string text;
  int error = 0;
  Read read = read_small_file(path, noLinks, text, st, error);
  stdx::u16string name = widen_lib(path);
  if (read == Read::kAbsent || read == Read::kFailed) {
    key.refusal = LoadResString("IDS_SIG_KEYREAD") + u" " + failure_cause_line(name, error);
    return false;
  }
  std::string why;
  if (read != Read::kDone || !parse_public_key(text, key.key, why)) {
    key.refusal = filled("IDS_SIG_KEYJUNK", name);
    return false;
  }
  return true;
}

bool same_key(const SignaturePublicKey& a, const SignaturePublicKey& b) {
  return memcmp(a.keyId, b.keyId, sizeof a.keyId) == 0 && memcmp(a.key, b.key, sizeof a.key) == 0;
}

// The system-wide key file's folder must be root's and closed to others
// too: else another user could put a file of his own in its place.
bool folder_is_roots(const stdx::string& path, bool mustBeRoots) {
  size_t slash = path.rfind('/');
  stdx::string folder = slash == stdx::string::npos ? stdx::string(".")
                        : slash == 0                ? stdx::string("/")
                                                    : path.substr(0, slash);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return false;
  return (!mustBeRoots || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

void set_key_option(const stdx::string& path) {
  g_hasKeyOption = true;
  g_keyOption = path;
}

void clear_key_option() {
  g_hasKeyOption = false;
  g_keyOption.clear();
}

KeyPlaces key_places() {
  KeyPlaces places;
  places.hasOption = g_hasKeyOption;
  places.optionPath = g_keyOption;
  places.systemPath = kSystemKeyPath;
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  if (config != nullptr && config[0] == '/') {
    places.userPath = stdx::string(config) + "/" + kUserKeyName;
  } else if (home != nullptr && home[0] == '/') {
    places.userPath = stdx::string(home) + "/.config/" + kUserKeyName;
  }
  return places;
}

TrustedKey find_trusted_key(const KeyPlaces& places) {
  TrustedKey found;
  // The system-wide key first: while it is set, nothing else is trusted.
  TrustedKey system;
  struct stat st;
  std::string text;
  int error = 0;
  Read there = read_small_file(places.systemPath, true, text, st, error);
  if (there != Read::kAbsent) {
    system.source = TrustedKey::kSystem;
    system.path = places.systemPath;
    bool safe = there != Read::kFailed && there != Read::kNotRegular &&
                (!places.systemMustBeRoots || st.st_uid == 0) && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 &&
                folder_is_roots(places.systemPath, places.systemMustBeRoots);
    if (there == Read::kFailed && error != ELOOP) {
      system.refusal = LoadResString("IDS_SIG_KEYREAD") + u" " + failure_cause_line(widen_lib(system.path), error);
      return system;
    }
    if (!safe) {
      system.refusal = filled("IDS_SIG_KEYUNSAFE", widen_lib(system.path));
      return system;
    }
    if (!load_key(places.systemPath, true, system, st)) return system;
    if (!places.hasOption) return system;
    // -K may only name the key that is pinned already: a user must not
    // trust another key past the administrator's.
    TrustedKey option;
    if (!load_key(places.optionPath, false, option, st)) {
      system.refusal = option.refusal;
      return system;
    }
    if (!same_key(option.key, system.key))
      system.refusal = filled("IDS_SIG_KEYCONFLICT", widen_lib(places.optionPath), widen_lib(system.path));
    return system;
  }
  if (places.hasOption) {
    found.source = TrustedKey::kOption;
    found.path = places.optionPath;
    load_key(found.path, false, found, st);
    return found;
  }
  if (places.userPath.empty()) return found;
  Read user = read_small_file(places.userPath, false, text, st, error);
  if (user == Read::kAbsent) return found;
  found.source = TrustedKey::kUser;
  found.path = places.userPath;
  load_key(found.path, false, found, st);
  return found;
}

bool PackageTrust::prepare(const stdx::u16string& packagePath) {
  check_.reset();
  earlyWord_ = nullptr;
  earlyRefusal_.clear();
  if (!pinned()) return true;
  if (!key_.refusal.empty()) {
    earlyWord_ = "bad-key";
    earlyRefusal_ = key_.refusal;
    return false;
  }
  signaturePath_ = packagePath + widen_lib(kSignatureSuffix);
  std::string text;
  struct stat st;
  int error = 0;
  Read read = read_small_file(narrow_lib(signaturePath_), false, text, st, error);
  SignatureVerdict verdict = SignatureVerdict::kVerified;
  if (read == Read::kAbsent) {
    verdict = SignatureVerdict::kMissing;
  } else if (read == Read::kFailed) {
    earlyWord_ = "unreadable";
    earlyRefusal_ = LoadResString("IDS_SIG_UNREADABLE") + u" " + failure_cause_line(signaturePath_, error);
    return false;
  } else if (read != Read::kDone || !parse_signature(text, signature_)) {
    verdict = SignatureVerdict::kMalformed;
  } else if (!signature_.prehashed) {
    verdict = SignatureVerdict::kLegacy;
  } else if (memcmp(signature_.keyId, key_.key.keyId, sizeof key_.key.keyId) != 0) {
    verdict = SignatureVerdict::kOtherKey;
  } else if (!trusted_comment_verifies(signature_, key_.key)) {
    // The global signature covers the file's signature too: whether the
    // comment or the signature was changed, only the package's hash can
    // tell. Read for that here, on this failing path alone.
    SignatureCheck whole(key_.key, signature_);
    finish_signature_check<FileSystem>(whole, packagePath);
    SignatureVerdict decided = SignatureVerdict::kBadTrustedComment;
    if (whole.decided(decided) && decided == SignatureVerdict::kBadSignature) verdict = decided;
    else verdict = SignatureVerdict::kBadTrustedComment;
  }
  if (verdict != SignatureVerdict::kVerified) {
    earlyWord_ = signature_verdict_word(verdict);
    earlyRefusal_ = signature_verdict_text(verdict, signaturePath_);
    return false;
  }
  check_.reset(new SignatureCheck(key_.key, signature_));
  return true;
}

stdx::u16string PackageTrust::refusal() const {
  if (!earlyRefusal_.empty()) return earlyRefusal_;
  SignatureVerdict verdict;
  if (check_ && check_->decided(verdict) && verdict != SignatureVerdict::kVerified)
    return signature_verdict_text(verdict, signaturePath_);
  return stdx::u16string();
}

const char* PackageTrust::word() const {
  if (earlyWord_ != nullptr) return earlyWord_;
  SignatureVerdict verdict;
  if (check_ && check_->decided(verdict)) return signature_verdict_word(verdict);
  return "none";
}

bool PackageTrust::verified() const {
  SignatureVerdict verdict;
  return check_ && check_->decided(verdict) && verdict == SignatureVerdict::kVerified;
}

stdx::u16string PackageTrust::refusalOnDamage(const stdx::u16string& packagePath) {
  SignatureVerdict verdict;
  if (check_ && !check_->decided(verdict)) finish_signature_check<FileSystem>(*check_, packagePath);
  return refusal();
}

stdx::u16string PackageTrust::welcomeLine() const {
  if (!check_) return LoadResString("IDS_SIG_NOTCHECKED");
  // The trusted comment is verified already (prepare): the name in it is
  // the signer's own, while the package's bytes are checked as they are read.
  std::string signer = signer_from_comment(signature_.trustedComment);
  if (signer.empty()) {
    char id[17];
    for (int i = 0; i < 8; ++i) snprintf(id + 2 * i, 3, "%02X", signature_.keyId[7 - i]);
    signer = id;
  }
  return filled("IDS_SIG_SIGNER", widen_lib(stdx::string(signer.c_str())));
}

stdx::u16string signature_verdict_text(SignatureVerdict verdict, const stdx::u16string& signaturePath) {
  switch (verdict) {
    case SignatureVerdict::kMissing: return filled("IDS_SIG_MISSING", signaturePath);
    case SignatureVerdict::kMalformed: return filled("IDS_SIG_MALFORMED", signaturePath);
    case SignatureVerdict::kLegacy: return LoadResString("IDS_SIG_LEGACY");
    case SignatureVerdict::kOtherKey: return LoadResString("IDS_SIG_OTHERKEY");
    case SignatureVerdict::kBadSignature: return LoadResString("IDS_SIG_BAD");
    case SignatureVerdict::kBadTrustedComment: return LoadResString("IDS_SIG_BADCOMMENT");
    case SignatureVerdict::kVerified: break;
  }
  return stdx::u16string();
}
