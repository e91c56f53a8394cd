// Minisign keys and signatures: parsing of their text files and the check
// of a signature over a byte stream, with libsodium's base64 decoder,
// BLAKE2b (crypto_generichash) and Ed25519 (crypto_sign) doing every
// cryptographic step.
#include "signature.h"

#include <sodium.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "constants.h"
#include "paths.h"
#include "platform.h"

namespace {

const std::string untrustedPrefix = "untrusted comment: ";
const std::string trustedPrefix = "trusted comment: ";
const std::size_t hashChunk = 256 * 1024;

// The text's lines without their LF or CR LF ends; false when anything but
// empty lines follows the first `count`.
bool splitLines(const std::string& text, std::size_t count, std::vector<std::string>* lines) {
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
    start = end + 1;
  }
  if (lines->size() < count) return false;
  for (std::size_t i = count; i < lines->size(); ++i)
    if (!(*lines)[i].empty()) return false;
  lines->resize(count);
  return true;
}

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Decodes the whole of `text` (padded standard base64) into exactly `size` bytes.
bool decodeBase64(const std::string& text, unsigned char* out, std::size_t size) {
  std::size_t length = 0;
  const char* end = nullptr;
  return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, &end,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         end == text.data() + text.size() && length == size;
}

// BLAKE2b-512 over everything `read` hands out; false on a read error.
bool hashContent(const ContentReader& read, unsigned char* hash) {
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES_MAX);
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[hashChunk]);
  for (;;) {
    std::int64_t got = read(buffer.get(), hashChunk);
    if (got < 0) return false;
    if (got == 0) break;
    crypto_generichash_update(&state, buffer.get(), std::uint64_t(got));
  }
  return crypto_generichash_final(&state, hash, crypto_generichash_BYTES_MAX) == 0;
}

}  // namespace

bool parseMinisignKey(const std::string& text, MinisignKey* key) {
  std::vector<std::string> lines;
  unsigned char bytes[42];
  if (!splitLines(text, 2, &lines) || !startsWith(lines[0], untrustedPrefix) ||
      !decodeBase64(lines[1], bytes, sizeof bytes) || bytes[0] != 'E' || bytes[1] != 'd')
    return false;
  std::copy(bytes + 2, bytes + 10, key->keyId.begin());
  std::copy(bytes + 10, bytes + 42, key->key.begin());
  return true;
}

bool parseMinisignSignature(const std::string& text, MinisignSignature* signature) {
  std::vector<std::string> lines;
  unsigned char bytes[74];
  if (!splitLines(text, 4, &lines) || !startsWith(lines[0], untrustedPrefix) ||
      !decodeBase64(lines[1], bytes, sizeof bytes) || bytes[0] != 'E' || bytes[1] != 'D' ||
      !startsWith(lines[2], trustedPrefix) ||
      !decodeBase64(lines[3], signature->globalSignature.data(), 64))
    return false;
  std::copy(bytes + 2, bytes + 10, signature->keyId.begin());
  std::copy(bytes + 10, bytes + 74, signature->signature.begin());
  signature->trustedComment = lines[2].substr(trustedPrefix.size());
  return true;
}

bool verifyMinisign(const MinisignKey& key, const MinisignSignature& signature,
                    const ContentReader& read) {
  if (sodium_init() < 0 || signature.keyId != key.keyId) return false;
  // The trusted comment is signed together with the file's signature.
  std::vector<unsigned char> commented(signature.signature.begin(), signature.signature.end());
  commented.insert(commented.end(), signature.trustedComment.begin(),
                   signature.trustedComment.end());
  if (crypto_sign_verify_detached(signature.globalSignature.data(), commented.data(),
                                  commented.size(), key.key.data()) != 0)
    return false;
  unsigned char hash[crypto_generichash_BYTES_MAX];
  return hashContent(read, hash) && crypto_sign_verify_detached(signature.signature.data(), hash,
                                                                sizeof hash, key.key.data()) == 0;
}

bool openVerifiedArchive(const std::string& hedef, const std::string& zip, InputFile* archive,
                         bool* keyed) {
  bool opened = openInputFile(zip, archive);
  std::string keyPath = joinPath(hedef, trustedKeyName);
  *keyed = !pathMissing(keyPath);
  if (!*keyed) return true;
  std::string keyText, signatureText;
  MinisignKey key;
  MinisignSignature signature;
  bool verified = opened && readWholeFile(keyPath, &keyText) && parseMinisignKey(keyText, &key) &&
                  readWholeFile(zip + ".minisig", &signatureText) &&
                  parseMinisignSignature(signatureText, &signature);
  // Read through the run's own handle, no further than its size at the open;
  // a file that ends sooner is not the one that was signed.
  std::uint64_t offset = 0;
  ContentReader read = [&](void* buffer, std::size_t size) -> std::int64_t {
    std::uint64_t left = archive->size - offset;
    std::int64_t got =
        readInputFile(*archive, offset, buffer, std::size_t(std::min<std::uint64_t>(size, left)));
    if (got > 0) offset += std::uint64_t(got);
    return got;
  };
  verified = verified && verifyMinisign(key, signature, read) && offset == archive->size;
  if (!verified) closeInputFile(archive);
  return verified;
}

bool archiveUnchanged(const InputFile& archive) { return inputFileUnchanged(archive); }
