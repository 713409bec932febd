// The reader's pure C++ core: AES-128-CBC decryption, the plaintext check and the base64 decoder.
// No Python in here, so that it can be unit-tested and fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace competition {
namespace input {

enum class Status {
    ok,
    bad_length,   // ciphertext length is not a whole number of 16-byte blocks
    non_ascii,    // a plaintext byte is 0x80 or above
    bad_base64,   // the base64 text does not decode (what binascii reports as an error)
    read_error,   // the chunk source could not deliver the bytes (read_decrypt_decode)
};

const char* status_text(Status s);

// The fixed key and IV of the shipped files.
extern const unsigned char kKey[16];
extern const unsigned char kIv[16];

// Which implementation of AES decrypts: the processor's AES instructions when it has them
// (best), or the portable table-driven one. Both give the same bytes; the pipeline below
// always takes the best.
enum class AesEngine { best, portable };

// Does this processor have the AES instructions (AES-NI) that AesEngine::best uses?
bool aes_instructions_available();

// Plain CBC decryption of every block, in place; no fill is tested or removed.
// Fails with bad_length when len is not a multiple of 16. Uses no library and no
// process-wide resource: it cannot fail otherwise.
Status aes128_cbc_decrypt(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16]);
Status aes128_cbc_decrypt(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16],
                          AesEngine engine);

// Decodes base64 text in place, exactly as the interpreter's non-validating
// base64.b64decode(text) does for ASCII text: characters outside the alphabet are skipped,
// a pad that completes a quantum ends the input, and an incomplete final quantum fails.
// Bytes of 0x80 and above are not expected here (the caller checks); they are skipped.
// On ok, *out_len is the number of decoded bytes, written from buf[0].
Status b64_decode_inplace(unsigned char* buf, std::size_t len, std::size_t* out_len);

// How the interpreter's non-validating decoder reads the pad character '='. The two rules
// differ only on text that holds alphabet characters after a pad that completes a quantum.
enum class PadRule {
    // A pad read while 2 or 3 data characters of the current quantum are pending counts;
    // once the quantum and its pads make 4, the input ends there and the rest is ignored.
    // Other pads are skipped. The long-standing behaviour (3.6 up to 3.13.0, at least).
    stop,
    // Every pad is skipped and decoding goes on to the end of the input, which must not leave
    // 1 data character pending, nor 2 or 3 without enough pads after the last of them.
    // The behaviour of the releases that carry the base64 fix of CPython gh-145264 (2026).
    skip,
};

// b64_decode_inplace with the given pad rule (the form above uses PadRule::stop).
Status b64_decode_inplace(unsigned char* buf, std::size_t len, std::size_t* out_len, PadRule rule);

// True when every byte is below 0x80.
bool all_ascii(const unsigned char* buf, std::size_t len);

// The whole pipeline of one file, in place, in one pass over cache-sized chunks:
// decrypt, check that every plaintext byte is below 0x80, decode the base64.
// On ok, buf[0, *out_len) holds the decoded bytes. Whatever the outcome, every byte of
// buf past the decoded bytes (all of it on failure) is zeroed before returning, so
// that no plaintext is left behind in the buffer.
Status decrypt_decode(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16],
                      std::size_t* out_len);

// decrypt_decode with the given pad rule (the form above uses PadRule::stop).
Status decrypt_decode(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16],
                      std::size_t* out_len, PadRule rule);

// decrypt_decode with the ciphertext read from src (which may be buf itself) and decrypted into
// buf, chunk by chunk, so that a file mapped into memory is read once, straight into buf.
Status decrypt_decode(const unsigned char* src, unsigned char* buf, std::size_t len, const unsigned char key[16],
                      const unsigned char iv[16], std::size_t* out_len, PadRule rule);

// Fills dst with exactly n bytes of the ciphertext, in order; false when it cannot.
using ReadFn = bool (*)(void* context, unsigned char* dst, std::size_t n);

// decrypt_decode of a len-byte ciphertext that read() delivers chunk by chunk: each chunk is
// decrypted into its place in buf as it arrives, so that the file is read once, straight
// through the cache into buf. Fails with read_error when read() does.
Status read_decrypt_decode(ReadFn read, void* context, unsigned char* buf, std::size_t len, const unsigned char key[16],
                           const unsigned char iv[16], std::size_t* out_len, PadRule rule);

// decrypt_decode works through its buffer in chunks of this many bytes (a multiple of 16).
// The fuzz target builds the core with small chunks (COMPETITION_INPUT_CHUNK_SIZE), so that
// short inputs cross many chunk boundaries.
#ifdef COMPETITION_INPUT_CHUNK_SIZE
constexpr std::size_t kChunkSize = COMPETITION_INPUT_CHUNK_SIZE;
#else
constexpr std::size_t kChunkSize = std::size_t(64) * 1024;
#endif
static_assert(kChunkSize > 0 && kChunkSize % 16 == 0, "chunks are whole AES blocks");

} // namespace input
} // namespace competition
