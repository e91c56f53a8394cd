// Minisign keys and signatures: parsing of their text files and the check
// of a signature over a byte stream, with libsodium's base64 decoder,
// BLAKE2b (crypto_generichash) and Ed25519 (crypto_sign) doing every
// cryptographic step.
#include "signature.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "constants.h"
#include "paths.h"
#include "platform.h"

namespace {

const std::string untrustedPrefix = "untrusted comment: ";
const std::string trustedPrefix = "trusted comment: ";
const std::size_t hashChunk = 256 * 1024;
static_assert(hashChunk % archiveBlock == 0, "the hash reads whole blocks");

// Larger than any signature or key file minisign writes (its comments are
// limited to 1 KiB untrusted and 8 KiB trusted).
const std::uint64_t signatureFileLimit = 16 * 1024;

// Reads the regular file `path` into *text when it holds at most
// signatureFileLimit bytes; a larger file, a device or a FIFO is refused
// without being read whole.
bool readSignatureFile(const std::string& path, std::string* text) {
  InputFile file;
  if (!openInputFile(path, &file, Reading::inPassing)) return false;
  std::string buffer(std::size_t(signatureFileLimit + 1), '\0');
  std::size_t got = 0;
  bool read = file.size <= signatureFileLimit;
  while (read && got < buffer.size()) {
    std::int64_t n = readInputFile(file, got, &buffer[got], buffer.size() - got);
    read = n >= 0;
    if (n <= 0) break;
    got += std::size_t(n);
  }
  closeInputFile(&file);
  // A file that grew past the limit since its open is refused too.
  if (!read || got > signatureFileLimit) return false;
  text->assign(buffer, 0, got);
  return true;
}

static_assert(sizeof(crypto_aead_aes256gcm_state) <= sizeof(ArchiveDigests::gmacState) &&
                  alignof(crypto_aead_aes256gcm_state) <= 16,
              "room for the expanded key");

// A new random key for the digests of this run.
void newDigestKey(ArchiveDigests* digests) {
  randombytes_buf(digests->key.data(), digests->key.size());
  digests->gmac = crypto_aead_aes256gcm_is_available() != 0;
  if (digests->gmac)
    crypto_aead_aes256gcm_beforenm(
        reinterpret_cast<crypto_aead_aes256gcm_state*>(digests->gmacState.data()),
        digests->key.data());
}

// Block `index`'s digest under the run's key.
std::uint64_t blockDigest(const ArchiveDigests& digests, std::uint64_t index,
                          const unsigned char* data, std::size_t size) {
  unsigned char out[crypto_aead_aes256gcm_ABYTES];
  static_assert(sizeof out >= crypto_shorthash_BYTES, "room for either digest");
  if (digests.gmac) {
    unsigned char nonce[crypto_aead_aes256gcm_NPUBBYTES] = {};
    for (int i = 0; i < 8; ++i) nonce[i] = (unsigned char)(index >> (8 * i));
    unsigned char none[1] = {};  // the empty message and its (absent) ciphertext
    unsigned long long length = 0;
    crypto_aead_aes256gcm_encrypt_detached_afternm(
        none, out, &length, none, 0, data, size, nullptr, nonce,
        reinterpret_cast<const crypto_aead_aes256gcm_state*>(digests.gmacState.data()));
  } else {
    crypto_shorthash(out, data, size, digests.key.data());
  }
  std::uint64_t digest = 0;
  std::memcpy(&digest, out, sizeof digest);
  return digest;
}

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

bool blockAsChecked(ArchiveDigests* digests, std::uint64_t index, const void* data,
                    std::size_t size) {
  if (!digests->mismatched && index < digests->blocks.size() &&
      blockDigest(*digests, index, static_cast<const unsigned char*>(data), size) ==
          digests->blocks[std::size_t(index)])
    return true;
  digests->mismatched = true;
  return false;
}

bool openVerifiedArchive(const std::string& hedef, const std::string& zip, InputFile* archive,
                         bool* keyed, ArchiveDigests* digests) {
  bool opened = openInputFile(zip, archive, Reading::steady);
  std::string keyPath = joinPath(hedef, trustedKeyName);
  PathInfo keyFile;
  *keyed = !(lookAt(keyPath, &keyFile) && keyFile.kind == PathKind::missing);
  if (!*keyed) return true;
  std::string keyText, signatureText;
  MinisignKey key;
  MinisignSignature signature;
  bool verified = sodium_init() >= 0 && opened && readSignatureFile(keyPath, &keyText) &&
                  parseMinisignKey(keyText, &key) &&
                  readSignatureFile(zip + ".minisig", &signatureText) &&
                  parseMinisignSignature(signatureText, &signature);
  *digests = ArchiveDigests();
  if (verified) newDigestKey(digests);
  // Read through the run's own handle, no further than its size at the open;
  // a file that ends sooner is not the one that was signed. Every call fills
  // its chunk unless the file ends, so each starts at a block's beginning;
  // the blocks are digested as the hash sees them.
  std::uint64_t offset = 0;
  ContentReader read = [&](void* buffer, std::size_t size) -> std::int64_t {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    std::size_t want = std::size_t(std::min<std::uint64_t>(size, archive->size - offset)), got = 0;
    while (got < want) {
      std::int64_t n = readInputFile(*archive, offset + got, bytes + got, want - got);
      if (n < 0) return -1;
      if (n == 0) break;
      got += std::size_t(n);
    }
    for (std::size_t at = 0; at < got; at += archiveBlock)
      digests->blocks.push_back(blockDigest(*digests, digests->blocks.size(), bytes + at,
                                            std::min(archiveBlock, got - at)));
    offset += got;
    return std::int64_t(got);
  };
  verified = verified && verifyMinisign(key, signature, read) && offset == archive->size;
  if (!verified) closeInputFile(archive);
  return verified;
}
