// The reader's pure C++ core: AES-128-CBC decryption (the processor's AES instructions, or
// portable tables), the plaintext check and a base64 decoder that answers what the
// interpreter's non-validating base64.b64decode answers, fused into one pass over cache-sized
// chunks.
#include "input/core.hpp"

#include <cstdlib>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace competition {
namespace input {

const unsigned char kKey[16] = {'s', 'a', 'm', 'p', 'l', 'e', '-', 'a', 'e', 's', '-', 'k', 'e', 'y', '1', '6'};
const unsigned char kIv[16] = {'s', 'a', 'm', 'p', 'l', 'e', '-', 'i', 'v', '-', '1', '6', 'b', 'y', 't', 'e'};

const char* status_text(Status s) {
    switch (s) {
    case Status::ok:
        return "ok";
    case Status::bad_length:
        return "the ciphertext is not a whole number of 16-byte blocks";
    case Status::non_ascii:
        return "the plaintext holds a byte of 0x80 or above";
    case Status::bad_base64:
        return "the base64 text does not decode (incorrect padding)";
    case Status::read_error:
        return "the file could not be read whole";
    }
    return "unknown status";
}

bool aes_instructions_available() {
#if defined(__x86_64__) || defined(__i386__)
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_AES) && (d & bit_SSE2);
#else
    return false;
#endif
}

namespace {

// ---- the cipher -------------------------------------------------------------------------
//
// AES-128 decryption (FIPS 197) in the equivalent inverse cipher's form, with one key schedule
// for two engines: the processor's AES instructions where it has them, else a table-driven
// portable one. No library is involved: a cipher library linked into the module would set up
// process-wide resources (thread-local keys, locks) at its first use, once for every copy of
// the module file a process loads, and fail once they run out.

// The S-box and its inverse, from the multiplicative inverse in GF(2^8) and the affine map.
constexpr unsigned char gmul(unsigned a, unsigned b) {
    unsigned p = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & 1) p ^= a;
        a = (a << 1) ^ ((a & 0x80) ? 0x11B : 0);
        b >>= 1;
    }
    return static_cast<unsigned char>(p);
}

struct CipherTables {
    unsigned char sbox[256];
    unsigned char inv_sbox[256];
    std::uint32_t td[4][256];  // one round of the inverse cipher for a byte, at each column row
};

constexpr std::uint32_t rotr8(std::uint32_t x) { return (x >> 8) | (x << 24); }

constexpr CipherTables make_cipher_tables() {
    CipherTables t{};
    for (unsigned x = 0; x < 256; ++x) {
        unsigned inv = 1;  // x^254, the inverse of x (0 for 0)
        for (unsigned e = 254, base = x; e; e >>= 1, base = gmul(base, base))
            if (e & 1) inv = gmul(inv, base);
        unsigned s = inv;
        for (int i = 1; i < 5; ++i) s ^= ((inv << i) | (inv >> (8 - i))) & 0xFF;
        s ^= 0x63;
        t.sbox[x] = static_cast<unsigned char>(s);
        t.inv_sbox[s] = static_cast<unsigned char>(x);
    }
    for (unsigned x = 0; x < 256; ++x) {
        const unsigned s = t.inv_sbox[x];
        std::uint32_t w = (std::uint32_t(gmul(s, 0x0E)) << 24) | (std::uint32_t(gmul(s, 0x09)) << 16) |
                          (std::uint32_t(gmul(s, 0x0D)) << 8) | gmul(s, 0x0B);
        for (int r = 0; r < 4; ++r, w = rotr8(w)) t.td[r][x] = w;
    }
    return t;
}

constexpr CipherTables kCipher = make_cipher_tables();

inline std::uint32_t load_be(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
inline void store_be(unsigned char* p, std::uint32_t w) {
    p[0] = static_cast<unsigned char>(w >> 24);
    p[1] = static_cast<unsigned char>(w >> 16);
    p[2] = static_cast<unsigned char>(w >> 8);
    p[3] = static_cast<unsigned char>(w);
}

// InvMixColumns of one column word.
inline std::uint32_t inv_mix(std::uint32_t w) {
    const auto& t = kCipher;
    return t.td[0][t.sbox[w >> 24]] ^ t.td[1][t.sbox[(w >> 16) & 0xFF]] ^ t.td[2][t.sbox[(w >> 8) & 0xFF]] ^
           t.td[3][t.sbox[w & 0xFF]];
}

// The decryption round keys of a 128-bit key: the encryption schedule in reverse order, the
// inner rounds passed through InvMixColumns. Words big-endian by column, and the same keys as
// bytes for the instructions.
struct RoundKeys {
    std::uint32_t w[44];
    alignas(16) unsigned char bytes[176];

    explicit RoundKeys(const unsigned char key[16]) {
        std::uint32_t e[44];
        for (int i = 0; i < 4; ++i) e[i] = load_be(key + 4 * i);
        std::uint32_t rcon = 0x01;
        for (int i = 4; i < 44; ++i) {
            std::uint32_t x = e[i - 1];
            if (i % 4 == 0) {
                const auto& s = kCipher.sbox;
                x = (std::uint32_t(s[(x >> 16) & 0xFF]) << 24) | (std::uint32_t(s[(x >> 8) & 0xFF]) << 16) |
                    (std::uint32_t(s[x & 0xFF]) << 8) | s[x >> 24];
                x ^= rcon << 24;
                rcon = gmul(rcon, 2);
            }
            e[i] = e[i - 4] ^ x;
        }
        for (int r = 0; r <= 10; ++r)
            for (int c = 0; c < 4; ++c) {
                const std::uint32_t k = e[4 * (10 - r) + c];
                w[4 * r + c] = r == 0 || r == 10 ? k : inv_mix(k);
            }
        for (int i = 0; i < 44; ++i) store_be(bytes + 4 * i, w[i]);
        volatile_zero(e, sizeof e);
    }
    RoundKeys(const RoundKeys&) = delete;
    RoundKeys& operator=(const RoundKeys&) = delete;
    ~RoundKeys() {
        volatile_zero(w, sizeof w);
        volatile_zero(bytes, sizeof bytes);
    }

    static void volatile_zero(void* p, std::size_t n) {
        volatile unsigned char* v = static_cast<volatile unsigned char*>(p);
        while (n--) *v++ = 0;
    }
};

// One block, in to out (distinct), by the tables. Each output column takes its four bytes from
// the columns that InvShiftRows brings to it: row r from column c - r.
void decrypt_block_portable(const RoundKeys& k, const unsigned char in[16], unsigned char out[16]) {
    auto inner = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t key) {
        const auto& td = kCipher.td;
        return td[0][a >> 24] ^ td[1][(b >> 16) & 0xFF] ^ td[2][(c >> 8) & 0xFF] ^ td[3][d & 0xFF] ^ key;
    };
    auto last = [](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t key) {
        const unsigned char* is = kCipher.inv_sbox;
        return ((std::uint32_t(is[a >> 24]) << 24) | (std::uint32_t(is[(b >> 16) & 0xFF]) << 16) |
                (std::uint32_t(is[(c >> 8) & 0xFF]) << 8) | is[d & 0xFF]) ^
               key;
    };
    const std::uint32_t* rk = k.w;
    std::uint32_t s0 = load_be(in) ^ rk[0], s1 = load_be(in + 4) ^ rk[1], s2 = load_be(in + 8) ^ rk[2],
                  s3 = load_be(in + 12) ^ rk[3];
    for (int r = 1; r < 10; ++r) {
        rk += 4;
        const std::uint32_t t0 = inner(s0, s3, s2, s1, rk[0]), t1 = inner(s1, s0, s3, s2, rk[1]),
                            t2 = inner(s2, s1, s0, s3, rk[2]), t3 = inner(s3, s2, s1, s0, rk[3]);
        s0 = t0;
        s1 = t1;
        s2 = t2;
        s3 = t3;
    }
    rk += 4;
    store_be(out, last(s0, s3, s2, s1, rk[0]));
    store_be(out + 4, last(s1, s0, s3, s2, rk[1]));
    store_be(out + 8, last(s2, s1, s0, s3, rk[2]));
    store_be(out + 12, last(s3, s2, s1, s0, rk[3]));
}

// CBC over n blocks, in to out (the same place or apart), chain holding the ciphertext block
// before the first and left holding the last.
void cbc_portable(const RoundKeys& k, const unsigned char* in, unsigned char* out, std::size_t n,
                  unsigned char chain[16]) {
    unsigned char block[16], plain[16];
    for (std::size_t b = 0; b < n; ++b, in += 16, out += 16) {
        std::memcpy(block, in, 16);
        decrypt_block_portable(k, block, plain);
        for (int i = 0; i < 16; ++i) out[i] = static_cast<unsigned char>(plain[i] ^ chain[i]);
        std::memcpy(chain, block, 16);
    }
    RoundKeys::volatile_zero(plain, sizeof plain);
}

#if defined(__x86_64__) || defined(__i386__)
#define COMPETITION_AES_INSTRUCTIONS 1

__attribute__((target("aes,sse2"))) inline __m128i decrypt_rounds(__m128i x, const __m128i* k) {
    x = _mm_xor_si128(x, k[0]);
    for (int r = 1; r < 10; ++r) x = _mm_aesdec_si128(x, k[r]);
    return _mm_aesdeclast_si128(x, k[10]);
}

// CBC with the instructions, eight blocks at a time (decryption of CBC runs in parallel).
__attribute__((target("aes,sse2"))) void cbc_instructions(const RoundKeys& keys, const unsigned char* in,
                                                          unsigned char* out, std::size_t n, unsigned char chain[16]) {
    __m128i k[11];
    for (int r = 0; r < 11; ++r) k[r] = _mm_load_si128(reinterpret_cast<const __m128i*>(keys.bytes) + r);
    __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
    std::size_t b = 0;
    for (; n - b >= 8; b += 8) {
        const __m128i* src = reinterpret_cast<const __m128i*>(in + 16 * b);
        __m128i c[8], x[8];
        for (int i = 0; i < 8; ++i) c[i] = x[i] = _mm_loadu_si128(src + i);
        for (int i = 0; i < 8; ++i) x[i] = _mm_xor_si128(x[i], k[0]);
        for (int r = 1; r < 10; ++r)
            for (int i = 0; i < 8; ++i) x[i] = _mm_aesdec_si128(x[i], k[r]);
        for (int i = 0; i < 8; ++i) x[i] = _mm_aesdeclast_si128(x[i], k[10]);
        __m128i* dst = reinterpret_cast<__m128i*>(out + 16 * b);
        _mm_storeu_si128(dst, _mm_xor_si128(x[0], prev));
        for (int i = 1; i < 8; ++i) _mm_storeu_si128(dst + i, _mm_xor_si128(x[i], c[i - 1]));
        prev = c[7];
    }
    for (; b < n; ++b) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * b), _mm_xor_si128(decrypt_rounds(c, k), prev));
        prev = c;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), prev);
    RoundKeys::volatile_zero(k, sizeof k);
}
#endif

// One CBC decryption chain: the round keys and the last ciphertext block, wiped when it goes.
class Decryptor {
public:
    Decryptor(const unsigned char key[16], const unsigned char iv[16], AesEngine engine)
        : keys_(key), instructions_(engine == AesEngine::best && aes_instructions_available()) {
        std::memcpy(chain_, iv, 16);
    }
    ~Decryptor() { RoundKeys::volatile_zero(chain_, sizeof chain_); }
    Decryptor(const Decryptor&) = delete;
    Decryptor& operator=(const Decryptor&) = delete;

    // Decrypts len bytes (a multiple of 16) from in to out (the same place, or apart),
    // continuing the chain.
    void update(const unsigned char* in, unsigned char* out, std::size_t len) {
#ifdef COMPETITION_AES_INSTRUCTIONS
        if (instructions_) {
            cbc_instructions(keys_, in, out, len / 16, chain_);
            return;
        }
#endif
        cbc_portable(keys_, in, out, len / 16, chain_);
    }

private:
    RoundKeys keys_;
    bool instructions_;
    unsigned char chain_[16];
};

// ---- the base64 decoder -----------------------------------------------------------------

constexpr unsigned char kSkip = 0xFF;  // not in the alphabet (nor a pad): skipped
constexpr unsigned char kPad = 0x40;   // '='
constexpr std::uint32_t kBad = 0x01000000u;

constexpr int sextet(int c) {
    return c >= 'A' && c <= 'Z'   ? c - 'A'
           : c >= 'a' && c <= 'z' ? c - 'a' + 26
           : c >= '0' && c <= '9' ? c - '0' + 52
           : c == '+'             ? 62
           : c == '/'             ? 63
                                  : -1;
}

// value: the sextet of a character, kPad or kSkip.
// d0..d3: the contribution of a character at position 0..3 of a quantum to the three decoded
// bytes, as a little-endian 24-bit word; kBad for anything outside the alphabet, pads included.
struct Tables {
    unsigned char value[256];
    std::uint32_t d0[256], d1[256], d2[256], d3[256];
};

constexpr Tables make_tables() {
    Tables t{};
    for (int c = 0; c < 256; ++c) {
        const int v = sextet(c);
        if (v < 0) {
            t.value[c] = c == '=' ? kPad : kSkip;
            t.d0[c] = t.d1[c] = t.d2[c] = t.d3[c] = kBad;
            continue;
        }
        const std::uint32_t u = static_cast<std::uint32_t>(v);
        t.value[c] = static_cast<unsigned char>(v);
        t.d0[c] = u << 2;
        t.d1[c] = (u >> 4) | ((u & 0x0Fu) << 12);
        t.d2[c] = ((u >> 2) << 8) | ((u & 0x03u) << 22);
        t.d3[c] = u << 16;
    }
    return t;
}

constexpr Tables kTables = make_tables();

#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndian = true;
#else
constexpr bool kLittleEndian = false;
#endif

inline std::uint32_t quad(const unsigned char* p) {
    return kTables.d0[p[0]] | kTables.d1[p[1]] | kTables.d2[p[2]] | kTables.d3[p[3]];
}

// The state of one decode, carried from chunk to chunk. The write position never passes
// the read position: every decoded byte takes the place of a character already read.
struct Decoder {
    PadRule rule;
    std::size_t out = 0;       // bytes decoded so far, written from buf[0]
    unsigned quad_pos = 0;     // data characters of the current quantum read so far
    unsigned pads = 0;         // pads counted since the last data character
    unsigned left = 0;         // bits of the current quantum not yet written
    bool done = false;         // PadRule::stop: a pad ended the input

    explicit Decoder(PadRule r) : rule(r) {}

    // Decodes buf[pos, end), writing at buf[out].
    void feed(unsigned char* buf, std::size_t pos, std::size_t end) {
        if (done) return;
        // The state is worked on in a local copy: the writes through buf could alias the
        // members, the copy stays in registers.
        Quantum s{out, quad_pos, pads, left};
        while (pos < end) {
            if (s.q == 0) pos = whole_quanta(buf, pos, end, s.o);
            pos = exact(buf, pos, end, s);
        }
        out = s.o;
        quad_pos = s.q;
        pads = s.np;
        left = s.l;
    }

    // The verdict at the end of the input.
    bool finish() const {
        if (done || quad_pos == 0) return true;
        if (rule == PadRule::stop) return false;   // the quantum was never completed
        return quad_pos >= 2 && quad_pos + pads >= 4;
    }

private:
    struct Quantum {
        std::size_t o;  // out
        unsigned q;     // quad_pos
        unsigned np;    // pads
        unsigned l;     // left
    };

    // Fast path, at a quantum boundary only: whole quanta of alphabet characters, as many as
    // follow. (The pad count does not matter here: a data character resets it before it can.)
    static inline std::size_t whole_quanta(unsigned char* buf, std::size_t pos, std::size_t end, std::size_t& o) {
        while (end - pos >= 16) {
            const unsigned char* p = buf + pos;
            const std::uint32_t a = quad(p), b = quad(p + 4), c = quad(p + 8), d = quad(p + 12);
            if ((a | b | c | d) & kBad) break;
            store6(buf + o, a, b);
            store6(buf + o + 6, c, d);
            o += 12;
            pos += 16;
        }
        while (end - pos >= 4) {
            const std::uint32_t a = quad(buf + pos);
            if (a & kBad) break;
            store3(buf + o, a);
            o += 3;
            pos += 4;
        }
        return pos;
    }

    // Exact path, one character at a time, until a quantum completes: anything outside the
    // alphabet, pads, a quantum cut by the end of a chunk. Returns where the fast path may
    // take over (end when the chunk is used up or a pad ended the input).
    inline std::size_t exact(unsigned char* buf, std::size_t pos, std::size_t end, Quantum& s) {
        while (pos < end) {
            const unsigned v = kTables.value[buf[pos++]];
            if (v < 64) {
                if (data(buf, v, s)) break;  // back to the fast path
                continue;
            }
            if (pad_ends_input(v, s)) {
                done = true;
                return end;
            }
            // A line break between quanta: back to the fast path when a clean quantum follows.
            if (s.q == 0 && end - pos >= 4 && !(quad(buf + pos) & kBad)) break;
        }
        return pos;
    }

    // One data character of sextet v: true when it completes the quantum.
    static inline bool data(unsigned char* buf, unsigned v, Quantum& s) {
        s.np = 0;
        switch (s.q) {
        case 0:
            s.l = v;
            s.q = 1;
            return false;
        case 1:
            buf[s.o++] = static_cast<unsigned char>((s.l << 2) | (v >> 4));
            s.l = v & 0x0Fu;
            s.q = 2;
            return false;
        case 2:
            buf[s.o++] = static_cast<unsigned char>((s.l << 4) | (v >> 2));
            s.l = v & 0x03u;
            s.q = 3;
            return false;
        default:
            buf[s.o++] = static_cast<unsigned char>((s.l << 6) | v);
            s.l = 0;
            s.q = 0;
            return true;
        }
    }

    // A character outside the alphabet (v is kPad or kSkip): true when it is a pad that ends
    // the input (PadRule::stop, once the quantum and its pads make 4). Other characters are
    // skipped; so are pads under PadRule::skip, which only counts them.
    inline bool pad_ends_input(unsigned v, Quantum& s) const {
        if (v != kPad) return false;
        if (rule == PadRule::stop) return s.q >= 2 && s.q + ++s.np >= 4;
        if (s.np < 4) ++s.np;
        return false;
    }

    // Writes the 3 bytes of a decoded quantum; little-endian hosts write 4 (one word), the
    // fourth landing on a byte already read that the next quantum, or the final zeroing,
    // overwrites.
    static void store3(unsigned char* dst, std::uint32_t x) {
        if (kLittleEndian) {
            std::memcpy(dst, &x, 4);
        } else {
            dst[0] = static_cast<unsigned char>(x);
            dst[1] = static_cast<unsigned char>(x >> 8);
            dst[2] = static_cast<unsigned char>(x >> 16);
        }
    }
    // Two quanta, 6 bytes; little-endian hosts write 8 (see store3).
    static void store6(unsigned char* dst, std::uint32_t x, std::uint32_t y) {
        if (kLittleEndian) {
            const std::uint64_t w = std::uint64_t(x) | (std::uint64_t(y) << 24);
            std::memcpy(dst, &w, 8);
        } else {
            store3(dst, x);
            store3(dst + 3, y);
        }
    }
};

void zero(unsigned char* p, std::size_t n) {
    if (n) std::memset(p, 0, n);
}

} // namespace

// ---- public interface -------------------------------------------------------------------

Status aes128_cbc_decrypt(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16],
                          AesEngine engine) {
    if (len % 16 != 0) return Status::bad_length;
    if (len == 0) return Status::ok;
    Decryptor d(key, iv, engine);
    d.update(buf, buf, len);
    return Status::ok;
}

Status aes128_cbc_decrypt(unsigned char* buf, std::size_t len, const unsigned char key[16],
                          const unsigned char iv[16]) {
    return aes128_cbc_decrypt(buf, len, key, iv, AesEngine::best);
}

bool all_ascii(const unsigned char* buf, std::size_t len) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ull;
    std::size_t i = 0;
    // 64 bytes at a time: OR eight words together, test once.
    for (; len - i >= 64; i += 64) {
        std::uint64_t w[8];
        std::memcpy(w, buf + i, 64);
        if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) & kHigh) return false;
    }
    for (; len - i >= 8; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, buf + i, 8);
        if (w & kHigh) return false;
    }
    for (; i < len; ++i)
        if (buf[i] & 0x80) return false;
    return true;
}

Status b64_decode_inplace(unsigned char* buf, std::size_t len, std::size_t* out_len, PadRule rule) {
    Decoder dec(rule);
    dec.feed(buf, 0, len);
    if (!dec.finish()) {
        *out_len = 0;
        return Status::bad_base64;
    }
    *out_len = dec.out;
    return Status::ok;
}

Status b64_decode_inplace(unsigned char* buf, std::size_t len, std::size_t* out_len) {
    return b64_decode_inplace(buf, len, out_len, PadRule::stop);
}

namespace {

// One chunk of the pipeline, buf[pos, pos + n): its ciphertext from next(), decrypted into its
// place, checked and decoded.
template <typename Next>
inline Status one_chunk(Next& next, Decryptor& cipher, Decoder& dec, unsigned char* buf, std::size_t pos,
                        std::size_t n) {
    const unsigned char* src = next(pos, n);
    if (!src) return Status::read_error;
    unsigned char* chunk = buf + pos;
    cipher.update(src, chunk, n);
    if (!all_ascii(chunk, n)) return Status::non_ascii;
    // Once a pad has ended the text, the rest is still decrypted and checked (a byte of 0x80
    // or above anywhere fails) but not decoded.
    dec.feed(buf, pos, pos + n);
    return Status::ok;
}

// Every chunk of a ciphertext of len bytes (a multiple of 16), in order, through one CBC chain.
template <typename Next>
inline Status all_chunks(Next& next, unsigned char* buf, std::size_t len, const unsigned char key[16],
                         const unsigned char iv[16], Decoder& dec) {
    if (len == 0) return Status::ok;
    Decryptor cipher(key, iv, AesEngine::best);
    for (std::size_t pos = 0; pos < len;) {
        const std::size_t n = len - pos < kChunkSize ? len - pos : kChunkSize;
        const Status status = one_chunk(next, cipher, dec, buf, pos, n);
        if (status != Status::ok) return status;
        pos += n;
    }
    return Status::ok;
}

// The pipeline over a chunk source: next(pos, n) yields the n ciphertext bytes of buf[pos, pos + n)
// (or null). Whatever the outcome, buf is left zeroed past the decoded bytes.
template <typename Next>
Status run_pipeline(Next next, unsigned char* buf, std::size_t len, const unsigned char key[16],
                    const unsigned char iv[16], std::size_t* out_len, PadRule rule) {
    *out_len = 0;
    Decoder dec(rule);
    Status status = len % 16 != 0 ? Status::bad_length : all_chunks(next, buf, len, key, iv, dec);
    if (status == Status::ok && !dec.finish()) status = Status::bad_base64;
    if (status != Status::ok) {
        zero(buf, len);
        return status;
    }
    zero(buf + dec.out, len - dec.out);
    *out_len = dec.out;
    return Status::ok;
}

} // namespace

Status decrypt_decode(const unsigned char* src, unsigned char* buf, std::size_t len, const unsigned char key[16],
                      const unsigned char iv[16], std::size_t* out_len, PadRule rule) {
    return run_pipeline([src](std::size_t pos, std::size_t) { return src + pos; }, buf, len, key, iv, out_len, rule);
}

Status read_decrypt_decode(ReadFn read, void* context, unsigned char* buf, std::size_t len, const unsigned char key[16],
                           const unsigned char iv[16], std::size_t* out_len, PadRule rule) {
    // Each chunk is read into a small staging area that stays in cache, and decrypted from
    // there into its place in buf.
    unsigned char* staging = static_cast<unsigned char*>(std::malloc(kChunkSize));
    if (!staging) {
        zero(buf, len);
        return Status::read_error;
    }
    Status status = run_pipeline(
        [&](std::size_t, std::size_t n) -> const unsigned char* {
            return read(context, staging, n) ? staging : nullptr;
        },
        buf, len, key, iv, out_len, rule);
    std::free(staging);
    return status;
}

Status decrypt_decode(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16],
                      std::size_t* out_len, PadRule rule) {
    return decrypt_decode(buf, buf, len, key, iv, out_len, rule);
}

Status decrypt_decode(unsigned char* buf, std::size_t len, const unsigned char key[16], const unsigned char iv[16],
                      std::size_t* out_len) {
    return decrypt_decode(buf, len, key, iv, out_len, PadRule::stop);
}

} // namespace input
} // namespace competition
