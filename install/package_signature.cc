#include "install/package_signature.h"

#include <sodium.h>
#include <stdio.h>
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

SignatureSecretKey::~SignatureSecretKey() { sodium_memzero(key, sizeof key); }

bool parse_secret_key(const std::string& text, SignatureSecretKey& key, std::string& why) {
  // "Ed", the key-derivation and checksum algorithms, the salt and the two
  // limits of the derivation, then the id, the key and the checksum.
  const size_t kSecretBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
  const size_t kIdAt = 2 + 2 + 2 + 32 + 8 + 8;
  std::vector<std::string> lines = linesOf(text);
  size_t at = 0;
  if (at < lines.size() && startsWith(lines[at], kUntrusted)) ++at;
  std::vector<uint8_t> raw(kSecretBytes);
  if (at >= lines.size() || !decodeExactly(lines[at], raw.data(), raw.size())) {
    why = "the file is not a secret key";
    return false;
  }
  bool ok = false;
  if (raw[0] != 'E' || raw[1] != 'd' || raw[4] != 'B' || raw[5] != '2') {
    why = "the secret key is not an Ed25519 key";
  } else if (raw[2] != 0 || raw[3] != 0) {
    why = "the secret key is protected by a password, which this tool does not ask for; "
          "use a key made without one (minisign -G -W)";
  } else {
    // The checksum covers the algorithm, the id and the key (a key kept
    // without a password may leave it zero): a key that does not match it
    // is damaged, and would sign for nobody. So is one whose public half
    // is not the one its seed makes.
    const uint8_t* sum = raw.data() + kIdAt + 8 + 64;
    unsigned char computed[crypto_generichash_BYTES];
    std::vector<uint8_t> covered(raw.begin(), raw.begin() + 2);
    covered.insert(covered.end(), raw.begin() + kIdAt, raw.begin() + kIdAt + 8 + 64);
    crypto_generichash(computed, sizeof computed, covered.data(), covered.size(), nullptr, 0);
    ok = sodium_is_zero(sum, sizeof computed) || sodium_memcmp(computed, sum, sizeof computed) == 0;
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(publicKey, secretKey, raw.data() + kIdAt + 8);
    ok = ok && sodium_memcmp(secretKey, raw.data() + kIdAt + 8, sizeof secretKey) == 0;
    if (!ok) why = "the secret key is damaged (its checksum does not match)";
    sodium_memzero(secretKey, sizeof secretKey);
    sodium_memzero(covered.data(), covered.size());
  }
  if (ok) {
    memcpy(key.keyId, raw.data() + kIdAt, sizeof key.keyId);
    memcpy(key.key, raw.data() + kIdAt + 8, sizeof key.key);
  }
  sodium_memzero(raw.data(), raw.size());
  return ok;
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

std::string PackageHash::sign(const SignatureSecretKey& key, const std::string& trustedComment) {
  unsigned char digest[crypto_generichash_BYTES_MAX];
  crypto_generichash_final(&state_->hash, digest, sizeof digest);
  unsigned char line[kSignatureBytes];
  line[0] = 'E';
  line[1] = 'D';
  memcpy(line + 2, key.keyId, sizeof key.keyId);
  crypto_sign_detached(line + 10, nullptr, digest, sizeof digest, key.key);
  std::vector<unsigned char> covered(line + 10, line + 10 + 64);
  covered.insert(covered.end(), trustedComment.begin(), trustedComment.end());
  unsigned char global[64];
  crypto_sign_detached(global, nullptr, covered.data(), covered.size(), key.key);
  auto base64 = [](const unsigned char* bytes, size_t size) {
    std::string text(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(&text[0], text.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    text.resize(strlen(text.c_str()));
    return text;
  };
  char id[17];
  for (int i = 0; i < 8; ++i) snprintf(id + 2 * i, 3, "%02X", key.keyId[7 - i]);
  return std::string(kUntrusted) + "signature from dpkpack secret key " + id + "\n" + base64(line, sizeof line) +
         "\n" + kTrusted + trustedComment + "\n" + base64(global, sizeof global) + "\n";
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
