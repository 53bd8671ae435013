// The signature and key parsers: the bytes are a signature file and, split
// at the first NUL, a key file. Neither parser may crash or read past its
// input; a signature that parses must verify to a verdict, never abort.
#include <string.h>

#include <string>

#include "install/package_signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = memchr(data, 0, size);
  size_t split = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data) : size;
  std::string signatureText(text, split);
  std::string keyText = split < size ? std::string(text + split + 1, size - split - 1) : std::string();

  SignaturePublicKey key;
  std::string why;
  bool haveKey = parse_public_key(keyText, key, why);
  PackageSignature signature;
  if (parse_signature(signatureText, signature) && haveKey) {
    PackageHash hash;
    hash.update(data, size);
    (void)signature_verdict_word(hash.verify(signature, key));
  }
  (void)signer_from_comment(signatureText);
  // The same bytes as a secret key file, and the hash fed as reads at
  // offsets taken from the input: rereads and gaps must never count twice.
  SignatureSecretKey secret;
  (void)parse_secret_key(keyText, secret, why);
  if (haveKey) {
    SignatureCheck check(key, signature);
    for (size_t at = 0; at + 2 <= size; at += 2) {
      size_t offset = data[at] % (size + 1), count = data[at + 1] % (size - offset + 1);
      check.feed(offset, data + offset, count);
    }
    (void)check.finish();
  }
  return 0;
}
