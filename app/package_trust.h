// Whether the package may be installed by who signed it: the public key an
// administrator pinned (the -K option, else the system-wide key file that
// only root can write, else the user's own key file), the signature file
// beside the package, and what the check of the two came to. Without any
// key the package is installed as it always was, and every report says it
// was not checked. Kept free of GTK, for tests without a display.
#pragma once

#include <memory>
#include <string>

#include "install/package_signature.h"
#include "platform/stdx_string.h"

// The system-wide key. It counts only while root alone can change it: the
// file and its folder belong to root and are writable by nobody else.
constexpr const char* kSystemKeyPath = "/etc/kxq5/trusted.pub";
// The user's own key, below the user's configuration folder; used only
// where no system-wide key is set.
constexpr const char* kUserKeyName = "kxq5/trusted.pub";
// The signature's file is the package's name with this added.
constexpr const char* kSignatureSuffix = ".minisig";

// Where the keys are looked for.
struct KeyPlaces {
  bool hasOption = false;    // -K was given
  stdx::string optionPath;   // its file
  stdx::string systemPath;   // the system-wide file
  stdx::string userPath;     // the user's file; empty when there is no home
  bool systemMustBeRoots = true;  // the system file must belong to root
};

// The places of this process: the -K option set with set_key_option, the
// system-wide path, and the user's file under $XDG_CONFIG_HOME or
// ~/.config.
void set_key_option(const stdx::string& path);
void clear_key_option();
KeyPlaces key_places();

// The pinned key, or why there is none to be had.
struct TrustedKey {
  enum Source { kNone, kOption, kSystem, kUser };
  Source source = kNone;
  stdx::string path;
  SignaturePublicKey key;
  // Set when a key is set but cannot be used: nothing may be installed.
  stdx::u16string refusal;
};
TrustedKey find_trusted_key(const KeyPlaces& places);

// The package's trust as the run goes: prepared before anything is
// written, decided as the package is read.
class PackageTrust {
 public:
  // No key pinned: nothing to check.
  PackageTrust() = default;
  explicit PackageTrust(const TrustedKey& key) : key_(key) {}

  // Everything that can be judged before the package is read: the key, the
  // signature file beside packagePath (missing, unreadable, malformed, by
  // another key, in the old format, a trusted comment that does not
  // verify). False, with refusal() set, when the package must not be
  // installed; else check() is ready for the reads (null without a key).
  bool prepare(const stdx::u16string& packagePath);

  bool pinned() const { return key_.source != TrustedKey::kNone; }
  SignatureCheck* check() { return check_.get(); }
  // Refused, before or after the reads: the message in the interface
  // language. Empty when not refused (yet).
  stdx::u16string refusal() const;
  // The summary line's word: none, verified, missing, malformed, legacy,
  // other-key, bad, bad-comment, unreadable or bad-key.
  const char* word() const;
  // The welcome page's line: who signed, or that nothing was checked.
  stdx::u16string welcomeLine() const;
  // Decided: verified under the pinned key.
  bool verified() const;
  // The package proved damaged: a package changed after it was signed is
  // damaged too, and under a pinned key the user hears it in those words.
  // Decides the check from the file when its reads did not (after they
  // ended: the reading thread is gone). The refusal, or empty.
  stdx::u16string refusalOnDamage(const stdx::u16string& packagePath);

 private:
  TrustedKey key_;
  stdx::u16string signaturePath_;
  PackageSignature signature_;
  std::unique_ptr<SignatureCheck> check_;
  // Refused before the reads: the word and the message.
  const char* earlyWord_ = nullptr;
  stdx::u16string earlyRefusal_;
};

// The message for a verdict other than verified; signaturePath names the
// signature's file where the words need it.
stdx::u16string signature_verdict_text(SignatureVerdict verdict, const stdx::u16string& signaturePath);
