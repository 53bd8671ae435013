#include "install/package_signature.h"

#include <sodium.h>
#include <string.h>

#include <vector>

namespace {

const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";
const size_t kKeyBytes = 2 + 8 + 32;
const size_t kSignatureBytes = 2 + 8 + 64;

bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// The file's lines without their line ends (LF or CRLF); a last line
// without a line feed counts.
std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    at = end + 1;
  }
  return lines;
}

// Exactly size bytes of standard base64, nothing before or after.
bool decodeExactly(const std::string& text, uint8_t* out, size_t size) {
  if (sodium_init() < 0) return false;
  std::vector<uint8_t> buffer(size + 3);
  size_t got = 0;
  const char* end = nullptr;
  if (sodium_base642bin(buffer.data(), buffer.size(), text.data(), text.size(), nullptr, &got, &end,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return false;
  if (end != text.data() + text.size() || got != size) return false;
  memcpy(out, buffer.data(), size);
  return true;
}

}  // namespace

bool parse_public_key(const std::string& text, SignaturePublicKey& key, std::string& why) {
  std::vector<std::string> lines = linesOf(text);
  size_t at = 0;
  if (at < lines.size() && startsWith(lines[at], kUntrusted)) ++at;
  if (at >= lines.size() || lines[at].empty()) {
    why = "no key in the file";
    return false;
  }
  uint8_t raw[kKeyBytes];
  if (!decodeExactly(lines[at], raw, sizeof raw)) {
    why = "the key line is not a public key";
    return false;
  }
  if (raw[0] != 'E' || raw[1] != 'd') {
    why = "the key is not an Ed25519 key";
    return false;
  }
  // Anything after the key line but blank lines is not a key file of ours.
  for (size_t i = at + 1; i < lines.size(); ++i) {
    if (!lines[i].empty()) {
      why = "text after the key";
      return false;
    }
  }
  memcpy(key.keyId, raw + 2, sizeof key.keyId);
  memcpy(key.key, raw + 10, sizeof key.key);
  return true;
}

bool parse_signature(const std::string& text, PackageSignature& signature) {
  std::vector<std::string> lines = linesOf(text);
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  if (lines.size() != 4 || !startsWith(lines[0], kUntrusted) || !startsWith(lines[2], kTrusted)) return false;
  uint8_t raw[kSignatureBytes];
  if (!decodeExactly(lines[1], raw, sizeof raw)) return false;
  if (raw[0] != 'E' || (raw[1] != 'D' && raw[1] != 'd')) return false;
  signature.prehashed = raw[1] == 'D';
  memcpy(signature.keyId, raw + 2, sizeof signature.keyId);
  memcpy(signature.signature, raw + 10, sizeof signature.signature);
  signature.trustedComment = lines[2].substr(strlen(kTrusted));
  return decodeExactly(lines[3], signature.globalSignature, sizeof signature.globalSignature);
}

struct PackageHash::State {
  crypto_generichash_state hash;
};

PackageHash::PackageHash() : state_(new State) {
  if (sodium_init() < 0) {
    // Only a missing random source fails here, which hashing does not use.
  }
  crypto_generichash_init(&state_->hash, nullptr, 0, crypto_generichash_BYTES_MAX);
}

PackageHash::~PackageHash() {
  sodium_memzero(state_, sizeof *state_);
  delete state_;
}

void PackageHash::update(const void* data, size_t sizeBytes) {
  crypto_generichash_update(&state_->hash, static_cast<const unsigned char*>(data), sizeBytes);
}

SignatureVerdict PackageHash::verify(const PackageSignature& signature, const SignaturePublicKey& key) {
  if (!signature.prehashed) return SignatureVerdict::kLegacy;
  if (memcmp(signature.keyId, key.keyId, sizeof key.keyId) != 0) return SignatureVerdict::kOtherKey;
  unsigned char digest[crypto_generichash_BYTES_MAX];
  crypto_generichash_final(&state_->hash, digest, sizeof digest);
  if (crypto_sign_verify_detached(signature.signature, digest, sizeof digest, key.key) != 0)
    return SignatureVerdict::kBadSignature;
  if (!trusted_comment_verifies(signature, key)) return SignatureVerdict::kBadTrustedComment;
  return SignatureVerdict::kVerified;
}

bool trusted_comment_verifies(const PackageSignature& signature, const SignaturePublicKey& key) {
  if (sodium_init() < 0) return false;
  // The global signature covers the file's signature and the comment, so
  // neither can be swapped for another's.
  std::vector<unsigned char> covered(signature.signature, signature.signature + sizeof signature.signature);
  covered.insert(covered.end(), signature.trustedComment.begin(), signature.trustedComment.end());
  return crypto_sign_verify_detached(signature.globalSignature, covered.data(), covered.size(), key.key) == 0;
}

SignatureCheck::SignatureCheck(const SignaturePublicKey& key, const PackageSignature& signature)
    : key_(key), signature_(signature) {}

void SignatureCheck::feed(uint64_t offset, const void* data, size_t count) {
  // A read that starts past the hashed prefix leaves a gap: it is not
  // hashed, and whoever finishes reads the rest from hashedBytes() on.
  if (offset > hashed_ || offset + count <= hashed_) return;
  size_t skip = static_cast<size_t>(hashed_ - offset);
  hash_.update(static_cast<const unsigned char*>(data) + skip, count - skip);
  hashed_ += count - skip;
}

SignatureVerdict SignatureCheck::finish() {
  int known = verdict_.load();
  if (known >= 0) return static_cast<SignatureVerdict>(known);
  SignatureVerdict verdict = hash_.verify(signature_, key_);
  verdict_.store(static_cast<int>(verdict));
  return verdict;
}

bool SignatureCheck::decided(SignatureVerdict& verdict) const {
  int known = verdict_.load();
  if (known < 0) return false;
  verdict = static_cast<SignatureVerdict>(known);
  return true;
}

SignatureCheck*& current_signature_check() {
  static thread_local SignatureCheck* check = nullptr;
  return check;
}

std::string signer_from_comment(const std::string& trustedComment) {
  // minisign writes "timestamp:N\tfile:NAME\thashed" unless told otherwise:
  // those fields name no one.
  std::string kept;
  size_t at = 0;
  while (at <= trustedComment.size()) {
    size_t end = trustedComment.find('\t', at);
    if (end == std::string::npos) end = trustedComment.size();
    std::string field = trustedComment.substr(at, end - at);
    if (!startsWith(field, "timestamp:") && !startsWith(field, "file:") && field != "hashed" &&
        !field.empty()) {
      if (!kept.empty()) kept += ' ';
      kept += field;
    }
    at = end + 1;
  }
  for (char& c : kept)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return kept;
}

const char* signature_verdict_word(SignatureVerdict verdict) {
  switch (verdict) {
    case SignatureVerdict::kVerified: return "verified";
    case SignatureVerdict::kMissing: return "missing";
    case SignatureVerdict::kMalformed: return "malformed";
    case SignatureVerdict::kLegacy: return "legacy";
    case SignatureVerdict::kOtherKey: return "other-key";
    case SignatureVerdict::kBadSignature: return "bad";
    case SignatureVerdict::kBadTrustedComment: return "bad-comment";
  }
  return "bad";
}
