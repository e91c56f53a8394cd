// The publisher's signature on an update: minisign public keys and
// signatures, read from their text files and checked over the archive's
// bytes with libsodium. An installation that holds the key file
// "tavo_updater.pub" takes only archives signed by that key.
#ifndef TAVO_UPDATER_SIGNATURE_H
#define TAVO_UPDATER_SIGNATURE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct InputFile;

// A minisign public key (algorithm "Ed"): its key id and Ed25519 key.
struct MinisignKey {
  std::array<unsigned char, 8> keyId{};
  std::array<unsigned char, 32> key{};
};

// A minisign signature of the prehashed kind (algorithm "ED"): the Ed25519
// signature of the file's BLAKE2b-512 hash, and the trusted comment with its
// own signature over signature || comment.
struct MinisignSignature {
  std::array<unsigned char, 8> keyId{};
  std::array<unsigned char, 64> signature{};
  std::string trustedComment;
  std::array<unsigned char, 64> globalSignature{};
};

// Reads a public key file: an "untrusted comment: " line, then the key in
// base64 (42 bytes: "Ed", key id, key), then nothing but line ends. Lines
// may end in LF or CR LF. False for anything else.
bool parseMinisignKey(const std::string& text, MinisignKey* key);

// Reads a signature file: an "untrusted comment: " line, the signature in
// base64 (74 bytes: "ED", key id, signature), a "trusted comment: " line and
// its signature in base64 (64 bytes), then nothing but line ends. False for
// anything else, also for the legacy algorithm "Ed" (not prehashed).
bool parseMinisignSignature(const std::string& text, MinisignSignature* signature);

// Hands out the next bytes of the signed content into `buffer` (at most
// `size`): returns how many, 0 at its end, or -1 on a read error.
typedef std::function<std::int64_t(void* buffer, std::size_t size)> ContentReader;

// True when `signature` names `key`'s id, its trusted comment carries a valid
// signature by `key`, and the content that `read` hands out, to its end, has
// the BLAKE2b-512 hash that `key` signed. The comment is checked first, so a
// bad signature costs no read.
bool verifyMinisign(const MinisignKey& key, const MinisignSignature& signature,
                    const ContentReader& read);

// What every later read of a signed archive is checked against: a digest of
// each of its blocks (archiveBlock bytes at multiples of archiveBlock; the
// last one may be shorter), taken from the very bytes the signature check
// hashed, under a random key of this run that nothing outside the process
// ever sees, so a file system that answers differently the second time
// cannot match them. The digest is GMAC (AES-256-GCM over the block as
// associated data, the block's index as nonce) where the processor has AES
// and carry-less multiplication, else SipHash-2-4; 64 bits of it are kept.
struct ArchiveDigests {
  std::array<unsigned char, 32> key{};
  bool gmac = false;
  alignas(16) std::array<unsigned char, 512> gmacState{};  // the expanded AES key
  std::vector<std::uint64_t> blocks;
  bool mismatched = false;  // a block read back differently (set by blockAsChecked)
};

const std::size_t archiveBlock = 64 * 1024;

// True when the `size` bytes at `data` are block `index` as the check read
// it. Otherwise false, and from then on digests->mismatched is set and every
// block counts as changed.
bool blockAsChecked(ArchiveDigests* digests, std::uint64_t index, const void* data,
                    std::size_t size);

// The check before an installation: opens the archive `zip` into *archive,
// the one handle the run reads it through afterwards. Without the key file
// in `hedef`: true (the archive may not have opened: the ZIP reader then
// refuses it), *digests left empty. With it: true only when the key file
// reads and parses, `zip` + ".minisig" (a regular file of at most a few KiB,
// as a signature is) is a valid signature by that key over the bytes
// *archive reads, as far as the size recorded at its open, and *digests
// holds those bytes' block digests; otherwise false, with *archive closed.
// *keyed says whether the key file was there. Reads the key before anything
// is written, so a key that the archive brings counts from the next update
// on.
bool openVerifiedArchive(const std::string& hedef, const std::string& zip, InputFile* archive,
                         bool* keyed, ArchiveDigests* digests);

#endif
