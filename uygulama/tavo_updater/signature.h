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

// The check before an installation: opens the archive `zip` into *archive,
// the one handle the run reads it through afterwards. Without the key file
// in `hedef`: true (the archive may not have opened: the ZIP reader then
// refuses it). With it: true only when the key file reads and parses and
// `zip` + ".minisig" is a valid signature by that key over the bytes
// *archive reads, as far as the size recorded at its open; otherwise false,
// with *archive closed. *keyed says whether the key file was there. Reads
// the key before anything is written, so a key that the archive brings
// counts from the next update on.
bool openVerifiedArchive(const std::string& hedef, const std::string& zip, InputFile* archive,
                         bool* keyed);

// True when the archive still has the size and times it had when it was
// checked (inputFileUnchanged). On Windows nobody can write it while it is
// open; on POSIX a process with write access could write it in place, so the
// run asks this after its entry loop and fails (rolls back) when it is false.
bool archiveUnchanged(const InputFile& archive);

#endif
