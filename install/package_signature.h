// Detached signatures of a package in the format administrators already
// use for the tools they fetch: a public key file and a ".minisig" file
// beside the package, Ed25519 over the BLAKE2b-512 hash of the file, with
// a trusted comment covered by a second (global) signature. The
// cryptography is libsodium's; this file only parses the two text formats,
// feeds the package's bytes to the hash as they are read, and tells the
// verdicts apart so that each is reported with words of its own.
//
// Thread safety: the parsers are pure functions; a PackageHash is used by
// one thread at a time (the one reading the package).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>

// An Ed25519 public key with the 8-byte id that signatures name it by.
struct SignaturePublicKey {
  uint8_t keyId[8] = {};
  uint8_t key[32] = {};
};

// An Ed25519 secret key as a key file holds it, with its id. Wiped when it
// goes.
struct SignatureSecretKey {
  uint8_t keyId[8] = {};
  uint8_t key[64] = {};
  SignatureSecretKey() = default;
  SignatureSecretKey(const SignatureSecretKey&) = delete;
  SignatureSecretKey& operator=(const SignatureSecretKey&) = delete;
  ~SignatureSecretKey();
};

// A detached signature as its file holds it.
struct PackageSignature {
  bool prehashed = true;  // "ED": over the file's BLAKE2b-512 hash; "Ed": over the bytes
  uint8_t keyId[8] = {};
  uint8_t signature[64] = {};
  std::string trustedComment;  // the text after "trusted comment: ", as bytes
  uint8_t globalSignature[64] = {};
};

// Why a key or signature file was refused, or what the check came to.
enum class SignatureVerdict {
  kVerified,           // made by the pinned key over these bytes and this comment
  kMissing,            // no signature file beside the package
  kMalformed,          // the signature file is not one (cut short, junk, wrong lines)
  kLegacy,             // an old signature over the whole file, not over its hash
  kOtherKey,           // made by another key than the pinned one
  kBadSignature,       // the package is not the one that was signed
  kBadTrustedComment,  // the trusted comment was changed after signing
};

// Reads a public key file: an optional "untrusted comment: " line, then
// the base64 of "Ed", the key id and the key. Lines may end in CRLF.
// False, with why (English, for the log and tests), when it is not one.
bool parse_public_key(const std::string& text, SignaturePublicKey& key, std::string& why);

// Reads a signature file: "untrusted comment: " line, the base64 of the
// algorithm, key id and signature, "trusted comment: " line, the base64 of
// the global signature. False when the text is not one.
bool parse_signature(const std::string& text, PackageSignature& signature);

// Reads a secret key file as the signing tool writes it: an optional
// "untrusted comment: " line, then the base64 of the algorithms, the
// key-derivation parameters, the key id, the key and its checksum. Only a
// key stored without a password is taken; one that needs a password is
// refused with why saying so, as is a damaged one.
bool parse_secret_key(const std::string& text, SignatureSecretKey& key, std::string& why);

// The package's hash, fed while the package is read, so the check costs
// no second read.
class PackageHash {
 public:
  PackageHash();
  ~PackageHash();
  PackageHash(const PackageHash&) = delete;
  PackageHash& operator=(const PackageHash&) = delete;

  void update(const void* data, size_t sizeBytes);
  // The verdict for signature by key, over everything fed so far; call once.
  SignatureVerdict verify(const PackageSignature& signature, const SignaturePublicKey& key);
  // The signature file's text for everything fed so far, made with key and
  // carrying trustedComment (one line); call once, instead of verify.
  std::string sign(const SignatureSecretKey& key, const std::string& trustedComment);

 private:
  struct State;
  State* state_;
};

// Whether the global signature covers this signature and its trusted
// comment under key: the comment can be judged before the package is read.
bool trusted_comment_verifies(const PackageSignature& signature, const SignaturePublicKey& key);

// One package's check against a pinned key, fed by the reads of the package
// as they happen. A reader may go back to the start (an inflater that hands
// over to another): only bytes that continue what was hashed count, so a
// second pass adds nothing and the hash is that of the file, read once.
//
// Thread safety: feed() and finish() belong to the thread that reads the
// package; decided() may be asked from any thread.
class SignatureCheck {
 public:
  SignatureCheck(const SignaturePublicKey& key, const PackageSignature& signature);

  void feed(uint64_t offset, const void* data, size_t count);
  // How far the file was hashed without a gap.
  uint64_t hashedBytes() const { return hashed_; }
  // The verdict over the bytes fed so far; the first call decides, later
  // ones repeat it.
  SignatureVerdict finish();
  // False until finish() has decided.
  bool decided(SignatureVerdict& verdict) const;

 private:
  SignaturePublicKey key_;
  PackageSignature signature_;
  PackageHash hash_;
  uint64_t hashed_ = 0;
  std::atomic<int> verdict_{-1};
};

// The check that the package reads of this thread feed; null when none.
SignatureCheck*& current_signature_check();

// The signer's name as a trusted comment gives it: the comment itself,
// less minisign's "timestamp:N\tfile:NAME" fields when that is all it holds
// (then empty), with control characters replaced by "?" so it can be shown.
std::string signer_from_comment(const std::string& trustedComment);

// The word a summary line gives a verdict ("verified", "missing", ...).
const char* signature_verdict_word(SignatureVerdict verdict);
