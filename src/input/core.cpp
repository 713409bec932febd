// The reader's pure C++ core: AES-128-CBC decryption through libcrypto's EVP interface, the
// plaintext check and a base64 decoder that answers what the interpreter's non-validating
// base64.b64decode answers, fused into one pass over cache-sized chunks.
#include "input/core.hpp"

#include <cstdlib>
#include <cstring>

#include <openssl/evp.h>

namespace competition {
namespace input {

const unsigned char kKey[16] = {'s', 'a', 'm', 'p', 'l', 'e', '-', 'a',
                                'e', 's', '-', 'k', 'e', 'y', '1', '6'};
const unsigned char kIv[16] = {'s', 'a', 'm', 'p', 'l', 'e', '-', 'i',
                               'v', '-', '1', '6', 'b', 'y', 't', 'e'};

const char* status_text(Status s) {
    switch (s) {
    case Status::ok: return "ok";
    case Status::bad_length: return "the ciphertext is not a whole number of 16-byte blocks";
    case Status::non_ascii: return "the plaintext holds a byte of 0x80 or above";
    case Status::bad_base64: return "the base64 text does not decode (incorrect padding)";
    case Status::cipher_error: return "the cipher library failed";
    case Status::read_error: return "the file could not be read whole";
    }
    return "unknown status";
}

namespace {

// ---- the cipher -------------------------------------------------------------------------

// One EVP decryption context, freed (and its key schedule wiped) on every way out.
class Decryptor {
public:
    Decryptor() : ctx_(EVP_CIPHER_CTX_new()) {}
    ~Decryptor() {
        if (ctx_) EVP_CIPHER_CTX_free(ctx_);
    }
    Decryptor(const Decryptor&) = delete;
    Decryptor& operator=(const Decryptor&) = delete;

    bool start(const unsigned char key[16], const unsigned char iv[16]) {
        return ctx_ && EVP_DecryptInit_ex(ctx_, EVP_aes_128_cbc(), nullptr, key, iv) == 1 &&
               EVP_CIPHER_CTX_set_padding(ctx_, 0) == 1;
    }

    // Decrypts len bytes (a multiple of 16) from in to out (which may be the same place),
    // continuing the CBC chain.
    bool update(const unsigned char* in, unsigned char* out, std::size_t len) {
        constexpr std::size_t kStep = std::size_t(1) << 30;  // EVP counts in int
        while (len > 0) {
            const std::size_t n = len < kStep ? len : kStep;
            int got = 0;
            if (EVP_DecryptUpdate(ctx_, out, &got, in, static_cast<int>(n)) != 1 ||
                got != static_cast<int>(n))
                return false;
            in += n;
            out += n;
            len -= n;
        }
        return true;
    }
    bool update(unsigned char* p, std::size_t len) { return update(p, p, len); }

    // With padding off and whole blocks only, nothing is held back: the end yields nothing.
    bool finish() {
        unsigned char tail[32];
        int got = 0;
        return EVP_DecryptFinal_ex(ctx_, tail, &got) == 1 && got == 0;
    }

private:
    EVP_CIPHER_CTX* ctx_;
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

#if defined(__BYTE_ORDER__) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
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
    static inline std::size_t whole_quanta(unsigned char* buf, std::size_t pos, std::size_t end,
                                           std::size_t& o) {
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

Status aes128_cbc_decrypt(unsigned char* buf, std::size_t len, const unsigned char key[16],
                          const unsigned char iv[16]) {
    if (len % 16 != 0) return Status::bad_length;
    if (len == 0) return Status::ok;
    Decryptor d;
    if (!d.start(key, iv) || !d.update(buf, len) || !d.finish()) return Status::cipher_error;
    return Status::ok;
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

Status b64_decode_inplace(unsigned char* buf, std::size_t len, std::size_t* out_len,
                          PadRule rule) {
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
inline Status one_chunk(Next& next, Decryptor& cipher, Decoder& dec, unsigned char* buf,
                        std::size_t pos, std::size_t n) {
    const unsigned char* src = next(pos, n);
    if (!src) return Status::read_error;
    unsigned char* chunk = buf + pos;
    if (!cipher.update(src, chunk, n)) return Status::cipher_error;
    if (!all_ascii(chunk, n)) return Status::non_ascii;
    // Once a pad has ended the text, the rest is still decrypted and checked (a byte of 0x80
    // or above anywhere fails) but not decoded.
    dec.feed(buf, pos, pos + n);
    return Status::ok;
}

// Every chunk of a ciphertext of len bytes (a multiple of 16), in order, through one CBC chain.
template <typename Next>
inline Status all_chunks(Next& next, unsigned char* buf, std::size_t len,
                         const unsigned char key[16], const unsigned char iv[16], Decoder& dec) {
    if (len == 0) return Status::ok;
    Decryptor cipher;
    if (!cipher.start(key, iv)) return Status::cipher_error;
    for (std::size_t pos = 0; pos < len;) {
        const std::size_t n = len - pos < kChunkSize ? len - pos : kChunkSize;
        const Status status = one_chunk(next, cipher, dec, buf, pos, n);
        if (status != Status::ok) return status;
        pos += n;
    }
    return cipher.finish() ? Status::ok : Status::cipher_error;
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

Status decrypt_decode(const unsigned char* src, unsigned char* buf, std::size_t len,
                      const unsigned char key[16], const unsigned char iv[16], std::size_t* out_len,
                      PadRule rule) {
    return run_pipeline([src](std::size_t pos, std::size_t) { return src + pos; }, buf, len, key, iv,
                        out_len, rule);
}

Status read_decrypt_decode(ReadFn read, void* context, unsigned char* buf, std::size_t len,
                           const unsigned char key[16], const unsigned char iv[16],
                           std::size_t* out_len, PadRule rule) {
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

Status decrypt_decode(unsigned char* buf, std::size_t len, const unsigned char key[16],
                      const unsigned char iv[16], std::size_t* out_len, PadRule rule) {
    return decrypt_decode(buf, buf, len, key, iv, out_len, rule);
}

Status decrypt_decode(unsigned char* buf, std::size_t len, const unsigned char key[16],
                      const unsigned char iv[16], std::size_t* out_len) {
    return decrypt_decode(buf, len, key, iv, out_len, PadRule::stop);
}

} // namespace input
} // namespace competition
