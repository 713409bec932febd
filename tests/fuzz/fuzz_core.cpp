// libFuzzer target over the reader's core: the cipher, the plaintext check, the base64 decoder
// and the chunked pipeline, each held to a plain reference written here, byte at a time.
//
// The first byte of an input chooses what the rest is:
//   bits 0-1  mode: 0  ciphertext, decrypted with the shipped key and IV
//                   1  plaintext: filled to whole blocks, encrypted with the shipped key and IV,
//                      then fed to the pipeline (so that the base64 layer is reached)
//                   2  plaintext as in 1, behind filler that puts it across the first chunk
//                      boundary: the second byte is how far before the boundary it starts
//                      (modulo the chunk size plus one; the fuzz build uses small chunks)
//                   3  ciphertext, after a 16-byte key and a 16-byte IV
//   bit 2     plaintext modes: PKCS#7 fill (as shipped), else zero bytes to the block
//   bits 3-4  mode 2: the filler: whole quanta cut anywhere, line breaks, lines of 76, spaces
//   bits 5-6  the chunk source of read_decrypt_decode fails on read 1-3 (0: never)
// Every input also goes to the decoder directly, as text, under both pad rules.
//
// A disagreement aborts with a description: libFuzzer keeps the input as a crash.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <openssl/evp.h>

#include "input/core.hpp"

using namespace competition::input;
using Bytes = std::vector<unsigned char>;

namespace {

[[noreturn]] void fail(int line, const char* cond, const char* fmt, ...) {
    std::fprintf(stderr, "\nfuzz_core.cpp:%d: check failed: %s\n  ", line, cond);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "\n");
    std::abort();
}

#define REQUIRE(cond, ...)                               \
    do {                                                 \
        if (!(cond)) fail(__LINE__, #cond, __VA_ARGS__); \
    } while (0)

const char* rule_name(PadRule r) { return r == PadRule::stop ? "stop" : "skip"; }

bool same(const unsigned char* a, const unsigned char* b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

bool zero_from(const Bytes& b, std::size_t from) {
    for (std::size_t i = from; i < b.size(); ++i)
        if (b[i]) return false;
    return true;
}

// ---- references ---------------------------------------------------------------------------

bool ref_ascii(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i] >= 0x80) return false;
    return true;
}

int ref_sextet(unsigned char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// The interpreter's non-validating decoder, one character at a time: data characters
// accumulate in a quantum; anything else but '=' is skipped. Under the stop rule a pad counts
// only with 2 or 3 data characters pending, and when they and the pads since the last of them
// make 4 the text ends there. Under the skip rule every pad is passed over and the end decides:
// a quantum left open needs 2 or 3 data characters and enough pads after the last of them.
bool ref_decode(const unsigned char* in, std::size_t n, PadRule rule, Bytes* out) {
    out->assign(n, 0);  // never more bytes out than characters in
    std::size_t o = 0;
    std::uint32_t acc = 0;  // the bits of the open quantum
    unsigned q = 0;         // its data characters
    unsigned pads = 0;      // pads counted since the last data character
    // The bytes an open quantum of 2 or 3 characters stands for.
    auto flush = [&] {
        if (q == 2) (*out)[o++] = static_cast<unsigned char>(acc >> 4);
        if (q == 3) {
            (*out)[o++] = static_cast<unsigned char>(acc >> 10);
            (*out)[o++] = static_cast<unsigned char>(acc >> 2);
        }
    };
    bool ok = true;
    std::size_t i = 0;
    for (; i < n; ++i) {
        const int v = ref_sextet(in[i]);
        if (v >= 0) {
            acc = (acc << 6) | static_cast<std::uint32_t>(v);
            pads = 0;
            if (++q == 4) {
                (*out)[o++] = static_cast<unsigned char>(acc >> 16);
                (*out)[o++] = static_cast<unsigned char>(acc >> 8);
                (*out)[o++] = static_cast<unsigned char>(acc);
                acc = 0;
                q = 0;
            }
        } else if (in[i] == '=') {
            if (rule == PadRule::skip) {
                ++pads;
            } else if (q >= 2 && q + ++pads >= 4) {
                flush();
                break;
            }
        }
    }
    if (i == n && q != 0) {
        if (rule == PadRule::stop || q < 2 || q + pads < 4) {
            ok = false;
            o = 0;
        } else {
            flush();
        }
    }
    out->resize(o);
    return ok;
}

Bytes encrypt(const Bytes& plain, const unsigned char* key, const unsigned char* iv) {
    Bytes out(plain.size());
    if (plain.empty()) return out;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    const bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv) == 1 &&
                    EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
                    EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size())) == 1 &&
                    static_cast<std::size_t>(n) == plain.size();
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        std::fprintf(stderr, "the target's own encryption failed\n");
        std::abort();
    }
    return out;
}

// ---- the checks ---------------------------------------------------------------------------

// all_ascii over every start and length near the edges of its word loops, on any bytes.
void check_all_ascii(const Bytes& b) {
    const std::size_t n = b.size();
    for (std::size_t start = 0; start < 9 && start <= n; ++start) {
        for (std::size_t len : {n - start, (n - start) / 2, (n - start) % 64, std::size_t(7)}) {
            if (start + len > n) continue;
            const unsigned char* p = n ? b.data() + start : nullptr;
            REQUIRE(all_ascii(p, len) == ref_ascii(p, len), "all_ascii at %zu, length %zu of %zu", start, len, n);
        }
    }
}

// The decoder alone on text, in an exactly sized buffer, against the reference.
void check_decoder(const Bytes& text, PadRule rule) {
    Bytes want;
    const bool ok = ref_decode(text.data(), text.size(), rule, &want);
    Bytes buf = text;
    std::size_t n = 12345;
    const Status s = b64_decode_inplace(buf.empty() ? nullptr : buf.data(), buf.size(), &n, rule);
    REQUIRE(s == (ok ? Status::ok : Status::bad_base64), "%s rule: decoder says %s on %zu bytes of text",
            rule_name(rule), status_text(s), text.size());
    if (ok) {
        REQUIRE(n == want.size() && same(buf.data(), want.data(), n), "%s rule: decoded %zu bytes, the reference %zu",
                rule_name(rule), n, want.size());
    } else {
        REQUIRE(n == 0, "%s rule: failure with %zu bytes reported", rule_name(rule), n);
    }
    if (rule == PadRule::stop) {
        Bytes again = text;
        std::size_t m = 12345;
        const Status t = b64_decode_inplace(again.empty() ? nullptr : again.data(), again.size(), &m);
        REQUIRE(t == s && m == n && again == buf, "the form without a rule is not the stop rule");
    }
}

// A chunk source over the ciphertext that fails on read number fail_at (counting from 1;
// 0: never) and notes any request past the end.
struct Source {
    const Bytes* data;
    std::size_t pos = 0;
    unsigned reads = 0;
    unsigned fail_at = 0;
    bool overrun = false;
};

bool source_read(void* context, unsigned char* dst, std::size_t n) {
    Source* s = static_cast<Source*>(context);
    if (++s->reads == s->fail_at) return false;
    if (n > s->data->size() - s->pos) {
        s->overrun = true;
        return false;
    }
    if (n) std::memcpy(dst, s->data->data() + s->pos, n);
    s->pos += n;
    return true;
}

// What the pipelines over a ciphertext must answer, from its plaintext (already checked
// against the ciphertext).
struct Expected {
    bool whole_blocks;
    std::size_t chunks;          // chunks of the ciphertext
    std::size_t first_high;      // the first chunk that holds a byte of 0x80 or above, or chunks
    bool decodes[2];             // the reference decoder's verdict, per pad rule
    Bytes decoded[2];            // and its bytes

    Expected(const Bytes& cipher, const Bytes& plain) {
        whole_blocks = cipher.size() % 16 == 0;
        chunks = whole_blocks ? (plain.size() + kChunkSize - 1) / kChunkSize : 0;
        first_high = chunks;
        for (std::size_t k = 0; k < chunks && first_high == chunks; ++k) {
            const std::size_t pos = k * kChunkSize;
            const std::size_t n = plain.size() - pos < kChunkSize ? plain.size() - pos : kChunkSize;
            if (!ref_ascii(plain.data() + pos, n)) first_high = k;
        }
        for (int r = 0; r < 2; ++r)
            decodes[r] = whole_blocks && first_high == chunks &&
                         ref_decode(plain.data(), plain.size(), r ? PadRule::skip : PadRule::stop, &decoded[r]);
    }

    // The status of a run whose chunk source fails on read fail_at (from 1; 0: never): the
    // first chunk that fails, fails the run.
    Status status(PadRule rule, unsigned fail_at) const {
        if (!whole_blocks) return Status::bad_length;
        if (fail_at >= 1 && fail_at - 1 < chunks && fail_at - 1 <= first_high) return Status::read_error;
        if (first_high < chunks) return Status::non_ascii;
        return decodes[rule == PadRule::skip] ? Status::ok : Status::bad_base64;
    }
    const Bytes& bytes(PadRule rule) const { return decoded[rule == PadRule::skip]; }
};

// One pipeline's answer against the expected one, and what it left in its buffer: the decoded
// bytes and zeros after them, or zeros only.
void check_outcome(const char* which, PadRule rule, Status s, std::size_t n, const Bytes& buf, Status want_status,
                   const Bytes& want) {
    REQUIRE(s == want_status, "%s, %s rule, %zu bytes: status '%s', expected '%s'", which, rule_name(rule), buf.size(),
            status_text(s), status_text(want_status));
    if (s == Status::ok) {
        REQUIRE(n == want.size() && same(buf.data(), want.data(), n),
                "%s, %s rule: %zu bytes decoded, the reference %zu", which, rule_name(rule), n, want.size());
    } else {
        REQUIRE(n == 0, "%s, %s rule: failure with %zu bytes reported", which, rule_name(rule), n);
    }
    REQUIRE(zero_from(buf, n), "%s, %s rule (%s): a byte past the %zu decoded ones is not zeroed", which,
            rule_name(rule), status_text(s), n);
}

void check_pipelines(const Bytes& cipher, const unsigned char* key, const unsigned char* iv, unsigned fail_at) {
    const std::size_t len = cipher.size();

    // The cipher alone: plain decryption, then encryption back to the ciphertext.
    Bytes plain = cipher;
    const Status d = aes128_cbc_decrypt(len ? plain.data() : nullptr, len, key, iv);
    if (len % 16) {
        REQUIRE(d == Status::bad_length && plain == cipher, "length %zu: '%s', or the buffer changed", len,
                status_text(d));
    } else {
        REQUIRE(d == Status::ok, "decryption of %zu bytes: '%s'", len, status_text(d));
        REQUIRE(encrypt(plain, key, iv) == cipher, "decryption of %zu bytes does not encrypt back", len);
        // The chain: the second half alone, with the last block before it as the IV.
        const std::size_t half = len / 32 * 16;
        if (half > 0) {
            Bytes tail(cipher.begin() + static_cast<std::ptrdiff_t>(half), cipher.end());
            REQUIRE(aes128_cbc_decrypt(tail.data(), tail.size(), key, cipher.data() + half - 16) == Status::ok &&
                        same(tail.data(), plain.data() + half, tail.size()),
                    "the tail from block %zu decrypts differently", half / 16);
        }
        // The portable engine gives the same bytes as the best one (the instructions, where
        // the processor has them), which encrypt back through libcrypto.
        Bytes portable = cipher;
        REQUIRE(aes128_cbc_decrypt(len ? portable.data() : nullptr, len, key, iv, AesEngine::portable) == Status::ok &&
                    portable == plain,
                "the portable engine decrypts %zu bytes differently", len);
        if (len <= 4096) check_all_ascii(plain);  // longer ones: the pipelines' own checks
    }

    const Expected expect(cipher, plain);
    for (PadRule rule : {PadRule::stop, PadRule::skip}) {
        const Bytes& want = expect.bytes(rule);
        const Status want_status = expect.status(rule, 0);

        // In place.
        Bytes buf = cipher;
        std::size_t n = 12345;
        Status s = decrypt_decode(len ? buf.data() : nullptr, len, key, iv, &n, rule);
        check_outcome("in place", rule, s, n, buf, want_status, want);
        if (rule == PadRule::stop) {
            Bytes again = cipher;
            std::size_t m = 12345;
            const Status t = decrypt_decode(len ? again.data() : nullptr, len, key, iv, &m);
            REQUIRE(t == s && m == n && again == buf, "the form without a rule is not the stop rule");
        }

        // From a separate source buffer, which stays as it was.
        const Bytes src = cipher;
        Bytes out(len, 0xA5);
        n = 12345;
        s = decrypt_decode(len ? src.data() : nullptr, len ? out.data() : nullptr, len, key, iv, &n, rule);
        check_outcome("from a source", rule, s, n, out, want_status, want);
        REQUIRE(src == cipher, "the source buffer was written");

        // Through a chunk source, which may fail.
        const Status want_read_status = expect.status(rule, fail_at);
        Source source;
        source.data = &cipher;
        source.fail_at = fail_at;
        Bytes into(len, 0x5A);
        n = 12345;
        s = read_decrypt_decode(source_read, &source, len ? into.data() : nullptr, len, key, iv, &n, rule);
        REQUIRE(!source.overrun, "read past the end of %zu bytes", len);
        check_outcome("chunk source", rule, s, n, into, want_read_status, want);
        if (s == Status::ok) REQUIRE(source.pos == len, "read %zu bytes of %zu", source.pos, len);
        if (len % 16) REQUIRE(source.reads == 0, "a ciphertext of bad length was read");
    }
}

// The filler that puts a plaintext across the first chunk boundary.
Bytes filler(unsigned kind, std::size_t n) {
    Bytes f(n);
    static const char quanta[] = "QUJD";
    for (std::size_t i = 0; i < n; ++i) {
        switch (kind) {
        case 0:
            f[i] = static_cast<unsigned char>(quanta[i % 4]);
            break;
        case 1:
            f[i] = '\n';
            break;
        case 2:
            f[i] = i % 77 == 76 ? '\n' : static_cast<unsigned char>(quanta[i % 77 % 4]);
            break;
        default:
            f[i] = ' ';
            break;
        }
    }
    return f;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    const unsigned mode = flags & 3u;
    const bool pkcs7 = flags & 4u;
    const unsigned kind = (flags >> 3) & 3u;
    const unsigned fail_at = (flags >> 5) & 3u;
    const Bytes rest(data + 1, data + size);

    // The rest as text, straight to the decoder, and to the plaintext check.
    check_decoder(rest, PadRule::stop);
    check_decoder(rest, PadRule::skip);
    check_all_ascii(rest);

    if (mode == 0 || mode == 3) {
        unsigned char key[16], iv[16];
        std::memcpy(key, kKey, 16);
        std::memcpy(iv, kIv, 16);
        std::size_t skip = 0;
        if (mode == 3) {
            for (std::size_t i = 0; i < 32; ++i) {
                const unsigned char c = i < rest.size() ? rest[i] : 0;
                (i < 16 ? key[i] : iv[i - 16]) = c;
            }
            skip = rest.size() < 32 ? rest.size() : 32;
        }
        check_pipelines(Bytes(rest.begin() + static_cast<std::ptrdiff_t>(skip), rest.end()), key, iv, fail_at);
        return 0;
    }

    Bytes plain;
    Bytes text = rest;
    if (mode == 2) {
        if (text.empty()) return 0;
        const std::size_t before = text[0] % (kChunkSize + 1);  // how far before the boundary the text starts
        text.erase(text.begin());
        plain = filler(kind, kChunkSize - before);
    }
    plain.insert(plain.end(), text.begin(), text.end());
    const std::size_t fill = pkcs7 ? 16 - plain.size() % 16 : (16 - plain.size() % 16) % 16;
    plain.insert(plain.end(), fill, pkcs7 ? static_cast<unsigned char>(fill) : 0);

    const Bytes cipher = encrypt(plain, kKey, kIv);
    Bytes decrypted = cipher;
    REQUIRE(
        aes128_cbc_decrypt(decrypted.empty() ? nullptr : decrypted.data(), decrypted.size(), kKey, kIv) == Status::ok &&
            decrypted == plain,
        "the encryption of %zu bytes of plaintext does not decrypt back", plain.size());
    check_pipelines(cipher, kKey, kIv, fail_at);
    return 0;
}
