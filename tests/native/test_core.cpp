// Tests of the reader's core: the cipher against the published CBC vectors, the base64 decoder
// against the interpreter's answers and against two independent models of its loop, and the
// fused pipeline across chunk boundaries, including the zeroing of what it leaves behind.
//
//   core_tests            every check, then one throughput figure (printed, never asserted)
//   core_tests --bench N  only the throughput of decrypt_decode over N MiB of ciphertext
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "input/core.hpp"

using namespace competition::input;
using Bytes = std::vector<unsigned char>;

namespace {

int g_passed = 0;
int g_failed = 0;

#define CHECK(cond, ...)                                                \
    do {                                                                \
        if (cond) {                                                     \
            ++g_passed;                                                 \
        } else {                                                        \
            ++g_failed;                                                 \
            std::printf("FAIL %s:%d: %s: ", __FILE__, __LINE__, #cond); \
            std::printf(__VA_ARGS__);                                   \
            std::printf("\n");                                          \
        }                                                               \
    } while (0)

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes hex(const char* h) {
    Bytes out;
    for (; h[0] && h[1]; h += 2) out.push_back(static_cast<unsigned char>(std::stoi(std::string(h, 2), nullptr, 16)));
    return out;
}

std::string show(const Bytes& b) {
    std::string s;
    char tmp[8];
    for (unsigned char c : b) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            s += static_cast<char>(c);
        } else {
            std::snprintf(tmp, sizeof tmp, "\\x%02x", c);
            s += tmp;
        }
    }
    return s;
}

bool all_zero(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[i]) return false;
    return true;
}

// ---- producers of test inputs -------------------------------------------------------------

Bytes encrypt(const Bytes& plain, const unsigned char* key = kKey, const unsigned char* iv = kIv) {
    Bytes out(plain.size());
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key, iv) == 1 &&
              EVP_CIPHER_CTX_set_padding(ctx, 0) == 1 &&
              EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), static_cast<int>(plain.size())) == 1 &&
              static_cast<std::size_t>(n) == plain.size();
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        std::printf("the test's own encryption failed\n");
        std::exit(2);
    }
    return out;
}

std::string b64encode(const Bytes& data, std::size_t line = 0) {
    static const char a[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string s;
    std::size_t i = 0;
    for (; i + 3 <= data.size(); i += 3) {
        const unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
        s += a[v >> 18];
        s += a[(v >> 12) & 63];
        s += a[(v >> 6) & 63];
        s += a[v & 63];
    }
    if (data.size() - i == 1) {
        const unsigned v = data[i] << 16;
        s += a[v >> 18];
        s += a[(v >> 12) & 63];
        s += "==";
    } else if (data.size() - i == 2) {
        const unsigned v = (data[i] << 16) | (data[i + 1] << 8);
        s += a[v >> 18];
        s += a[(v >> 12) & 63];
        s += a[(v >> 6) & 63];
        s += '=';
    }
    if (!line) return s;
    std::string broken;
    for (std::size_t p = 0; p < s.size(); p += line) {
        if (p) broken += '\n';
        broken += s.substr(p, line);
    }
    return broken;
}

Bytes pkcs7(Bytes b) {
    const std::size_t n = 16 - b.size() % 16;
    b.insert(b.end(), n, static_cast<unsigned char>(n));
    return b;
}

// ---- two models of the interpreter's decoder, written apart from the core -------------------

int sextet(unsigned char c) {
    const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* p = c ? std::strchr(a, c) : nullptr;
    return p ? static_cast<int>(p - a) : -1;
}

struct Quantum {
    Bytes out;
    int q = 0;
    unsigned left = 0;
    void add(unsigned v) {
        switch (q) {
        case 0:
            left = v;
            break;
        case 1:
            out.push_back(static_cast<unsigned char>((left << 2) | (v >> 4)));
            left = v & 15;
            break;
        case 2:
            out.push_back(static_cast<unsigned char>((left << 4) | (v >> 2)));
            left = v & 3;
            break;
        default:
            out.push_back(static_cast<unsigned char>((left << 6) | v));
            left = 0;
            break;
        }
        q = (q + 1) & 3;
    }
};

// PadRule::stop, in the lookahead form of the older interpreters: at quantum position 2 a
// pad ends the input when the next alphabet-or-pad character is a pad too; at 3 it ends it.
bool model_stop(const Bytes& in, Bytes* out) {
    Quantum st;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const unsigned char c = in[i];
        if (c == '=') {
            if (st.q < 2) continue;
            if (st.q == 2) {
                int next = -1;
                for (std::size_t j = i + 1; j < in.size() && next < 0; ++j)
                    if (in[j] == '=' || sextet(in[j]) >= 0) next = in[j];
                if (next != '=') continue;
            }
            *out = st.out;
            return true;
        }
        const int v = sextet(c);
        if (v >= 0) st.add(static_cast<unsigned>(v));
    }
    *out = st.out;
    return st.q == 0;
}

// PadRule::skip: pads never end the input; the end needs enough of them after the last data.
bool model_skip(const Bytes& in, Bytes* out) {
    Quantum st;
    int pads = 0;
    for (unsigned char c : in) {
        if (c == '=') {
            ++pads;
            continue;
        }
        const int v = sextet(c);
        if (v < 0) continue;
        pads = 0;
        st.add(static_cast<unsigned>(v));
    }
    *out = st.out;
    return st.q == 0 || (st.q >= 2 && st.q + pads >= 4);
}

bool model(PadRule rule, const Bytes& in, Bytes* out) {
    return rule == PadRule::stop ? model_stop(in, out) : model_skip(in, out);
}

const char* rule_name(PadRule r) { return r == PadRule::stop ? "stop" : "skip"; }

// Random text over a weighted pool: mostly alphabet, with pads, line breaks, PKCS#7 fill,
// punctuation, control characters and the odd byte of 0x80 or above.
Bytes random_text(std::mt19937_64& rng, std::size_t max_len) {
    static const std::string pool =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
        "QUJDQUJDQUJDQUJDQUJDQUJDQUJDQUJDQUJDQUJD"
        "================\n\n\n\n\r  -_.!:"
        "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x1f\x7f"
        "\x80\xff";
    std::uniform_int_distribution<std::size_t> len_d(0, max_len), pick(0, pool.size() - 1);
    Bytes t(len_d(rng));
    for (auto& c : t) c = static_cast<unsigned char>(pool[pick(rng)]);
    return t;
}

// ---- tests ----------------------------------------------------------------------------------

// NIST SP 800-38A, F.2.2 CBC-AES128.Decrypt.
const char* kNistKey = "2b7e151628aed2a6abf7158809cf4f3c";
const char* kNistIv = "000102030405060708090a0b0c0d0e0f";
const char* kNistCipher =
    "7649abac8119b246cee98e9b12e9197d"
    "5086cb9b507219ee95db113a917678b2"
    "73bed6b8e3c1743b7116e69e22229516"
    "3ff1caa1681fac09120eca307586e1a7";
const char* kNistPlain =
    "6bc1bee22e409f96e93d7e117393172a"
    "ae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52ef"
    "f69f2445df4f9b17ad2b417be66c3710";

void test_nist_vectors() {
    const Bytes key = hex(kNistKey), iv = hex(kNistIv), plain = hex(kNistPlain);
    Bytes buf = hex(kNistCipher);
    CHECK(aes128_cbc_decrypt(buf.data(), buf.size(), key.data(), iv.data()) == Status::ok, "all four blocks");
    CHECK(buf == plain, "plaintext %s", show(buf).c_str());

    // The chain: blocks 3 and 4 alone, with block 2's ciphertext as the IV.
    const Bytes c = hex(kNistCipher);
    Bytes tail(c.begin() + 32, c.end());
    CHECK(aes128_cbc_decrypt(tail.data(), tail.size(), key.data(), c.data() + 16) == Status::ok, "tail");
    CHECK(tail == Bytes(plain.begin() + 32, plain.end()), "blocks 3-4 from the chained IV");

    // Round trip through the test's own encryption, with the shipped key.
    Bytes again = encrypt(plain, key.data(), iv.data());
    CHECK(again == c, "the test encrypts the vectors back to the published ciphertext");

    // The pipeline decrypts the same, and refuses the plaintext (bytes of 0x80 and above),
    // leaving nothing of it behind.
    Bytes whole = hex(kNistCipher);
    std::size_t n = 99;
    CHECK(decrypt_decode(whole.data(), whole.size(), key.data(), iv.data(), &n) == Status::non_ascii, "pipeline");
    CHECK(n == 0 && all_zero(whole.data(), whole.size()), "buffer zeroed on failure");
}

// Both engines, checked against libcrypto: random keys, IVs and lengths (the instructions' path
// takes eight blocks at a time, so every remainder is tried), and the chain cut at a random block.
void test_engines() {
    std::mt19937_64 rng(17);
    int bad = 0;
    for (AesEngine engine : {AesEngine::best, AesEngine::portable}) {
        const char* name = engine == AesEngine::best ? "best" : "portable";
        const Bytes key = hex(kNistKey), iv = hex(kNistIv), plain = hex(kNistPlain);
        Bytes buf = hex(kNistCipher);
        CHECK(aes128_cbc_decrypt(buf.data(), buf.size(), key.data(), iv.data(), engine) == Status::ok && buf == plain,
              "%s: the published vectors", name);
        for (int trial = 0; trial < 400 && bad < 5; ++trial) {
            unsigned char k[16], v[16];
            for (auto& c : k) c = static_cast<unsigned char>(rng());
            for (auto& c : v) c = static_cast<unsigned char>(rng());
            const std::size_t blocks = trial < 40 ? trial : rng() % 300;
            Bytes p(16 * blocks);
            for (auto& c : p) c = static_cast<unsigned char>(rng());
            const Bytes c = encrypt(p, k, v);
            Bytes out = c;
            const Status st = aes128_cbc_decrypt(out.empty() ? nullptr : out.data(), out.size(), k, v, engine);
            const std::size_t cut = blocks ? 16 * (rng() % blocks) : 0;
            Bytes tail(c.begin() + cut, c.end());
            const unsigned char* chained = cut ? c.data() + cut - 16 : v;
            const Status st2 =
                aes128_cbc_decrypt(tail.empty() ? nullptr : tail.data(), tail.size(), k, chained, engine);
            if (st != Status::ok || out != p || st2 != Status::ok || tail != Bytes(p.begin() + cut, p.end())) {
                ++bad;
                CHECK(false, "%s: %zu blocks (cut at %zu) decrypt unlike libcrypto", name, blocks, cut);
            }
        }
    }
    CHECK(bad == 0, "%d mismatches against libcrypto", bad);
    std::printf("AES instructions %s\n", aes_instructions_available()
                                             ? "available: both engines checked"
                                             : "not available: the portable engine checked twice");
}

void test_lengths() {
    for (std::size_t len : {1u, 15u, 17u, 31u, 33u}) {
        Bytes buf(len, 0xAB);
        CHECK(aes128_cbc_decrypt(buf.data(), len, kKey, kIv) == Status::bad_length, "len %zu", len);
        CHECK(buf == Bytes(len, 0xAB), "len %zu: nothing decrypted", len);
        std::size_t n = 99;
        CHECK(decrypt_decode(buf.data(), len, kKey, kIv, &n) == Status::bad_length, "pipeline len %zu", len);
        CHECK(n == 0 && all_zero(buf.data(), len), "len %zu: zeroed", len);
    }
    std::size_t n = 99;
    CHECK(aes128_cbc_decrypt(nullptr, 0, kKey, kIv) == Status::ok, "empty ciphertext");
    CHECK(decrypt_decode(nullptr, 0, kKey, kIv, &n) == Status::ok && n == 0, "empty pipeline");
}

void test_all_ascii() {
    CHECK(all_ascii(nullptr, 0), "empty");
    Bytes buf(203, 'a');
    CHECK(all_ascii(buf.data(), buf.size()), "clean");
    bool every = true;
    for (std::size_t i = 0; i < buf.size(); ++i) {
        for (unsigned char hi : {0x80, 0xC3, 0xFF}) {
            buf[i] = hi;
            // every length that covers i fails, every one that stops short of it passes
            for (std::size_t len : {i, i + 1, buf.size()})
                if (all_ascii(buf.data(), len) != (len <= i)) every = false;
        }
        buf[i] = 0x7F;
    }
    CHECK(every, "a high byte is found at every position and only within the length");
}

struct Case {
    const char* text;
    std::size_t len;       // 0: strlen(text)
    const char* stop;      // expected decoded bytes under PadRule::stop, nullptr: fails
    const char* skip;      // the same under PadRule::skip
};

// Expected values under PadRule::stop are what base64.b64decode answers on 3.6 to 3.13.
const Case kCases[] = {
    {"", 0, "", ""},
    {"=", 0, "", ""},
    {"====", 0, "", ""},
    {"QQ==", 0, "A", "A"},
    {"QUI=", 0, "AB", "AB"},
    {"QUJD", 0, "ABC", "ABC"},
    {"Q", 0, nullptr, nullptr},
    {"QQ", 0, nullptr, nullptr},
    {"QUI", 0, nullptr, nullptr},
    {"QUJDR", 0, nullptr, nullptr},
    {"QUJDRA", 0, nullptr, nullptr},
    {"Q===", 0, nullptr, nullptr},               // a pad after 1 data character is skipped
    {"QQ=", 0, nullptr, nullptr},                // one pad is not enough after 2
    {"QQ=\n=", 0, "A", "A"},                     // the pads may be apart
    {"QQ= ,=tail", 0, "A", nullptr},             // the second pad ends the input (stop)
    {"QQ=QQ=", 0, "A\x04\x10", "A\x04\x10"},   // a lone pad at position 2 is skipped
    {"QQ=x=", 0, "A\x0c", "A\x0c"},              // ... and the next pad at position 3 ends it
    {"=QUJD", 0, "ABC", "ABC"},
    {"Q=UJD", 0, "ABC", "ABC"},
    {"QU=JD", 0, "ABC", "ABC"},
    {"QUJD=", 0, "ABC", "ABC"},
    {"QUJD====QUJD", 0, "ABCABC", "ABCABC"},     // pads between quanta are skipped
    {"QQ==QUJD", 0, "A", nullptr},
    {"QUI=QUJD", 0, "AB", nullptr},
    {"QQ==QQ==", 0, "A", "A\x04\x10"},
    {"QUI=QUI=", 0, "AB", nullptr},
    {"QUI=\n", 0, "AB", "AB"},
    {"QUI=garbage!!", 0, "AB", nullptr},
    {"QUI=Q", 0, "AB", "AB\x10"},
    {"QUI=QQ", 0, "AB", nullptr},
    {"QU\nJD\r\n", 0, "ABC", "ABC"},
    {"Q U J D", 0, "ABC", "ABC"},
    {"Q-U_J.D", 0, "ABC", "ABC"},                // the URL-safe characters are not in the alphabet
    {"\x00Q\x01U\x1fJ\x7f"
     "D",
     8, "ABC", "ABC"},
    {"QU\x80JD\xff", 0, "ABC", "ABC"},           // bytes of 0x80 and above are skipped too
    {"QUJD\x04\x04\x04\x04", 0, "ABC", "ABC"},
    {"QQ==\x0c\x0c\x0c\x0c\x0c\x0c\x0c\x0c\x0c\x0c\x0c\x0c", 0, "A", "A"},
    {"QUJ\x01", 0, nullptr, nullptr},            // fill does not complete a quantum
    {"//==", 0, "\xff", "\xff"},
    {"++++", 0, "\xfb\xef\xbe", "\xfb\xef\xbe"},
};

void test_base64_cases() {
    for (PadRule rule : {PadRule::stop, PadRule::skip}) {
        for (const Case& c : kCases) {
            const std::size_t len = c.len ? c.len : std::strlen(c.text);
            Bytes buf(c.text, c.text + len);
            const Bytes in = buf;
            std::size_t n = 99;
            const Status s = b64_decode_inplace(buf.data(), len, &n, rule);
            const char* want = rule == PadRule::stop ? c.stop : c.skip;
            if (!want) {
                CHECK(s == Status::bad_base64, "%s %s: should fail", rule_name(rule), show(in).c_str());
            } else {
                const Bytes expected = bytes(want);
                CHECK(s == Status::ok && Bytes(buf.begin(), buf.begin() + n) == expected, "%s %s: got %s",
                      rule_name(rule), show(in).c_str(),
                      s == Status::ok ? show(Bytes(buf.begin(), buf.begin() + n)).c_str() : "failure");
            }
            Bytes modeled;
            CHECK(model(rule, in, &modeled) == (want != nullptr) && (!want || modeled == bytes(want)),
                  "%s %s: the model disagrees with the table", rule_name(rule), show(in).c_str());
        }
    }
    // The form without a rule is the stop rule.
    Bytes buf = bytes("QQ==QQ==");
    std::size_t n = 0;
    CHECK(b64_decode_inplace(buf.data(), buf.size(), &n) == Status::ok && n == 1 && buf[0] == 'A', "default rule");
    // Every PKCS#7 fill, after text of every quantum shape.
    for (int fill = 1; fill <= 16; ++fill) {
        for (const char* text : {"QUJD", "QUI=", "QQ=="}) {
            Bytes t = bytes(text);
            t.insert(t.end(), static_cast<std::size_t>(fill), static_cast<unsigned char>(fill));
            const std::size_t want = std::strcmp(text, "QUJD") == 0 ? 3 : std::strcmp(text, "QUI=") == 0 ? 2 : 1;
            CHECK(b64_decode_inplace(t.data(), t.size(), &n) == Status::ok && n == want, "%s + fill %d", text, fill);
        }
    }
}

// The decoder against both models, over random texts: the fast path, its fallbacks and the
// state machine all meet here.
void test_base64_random() {
    std::mt19937_64 rng(20240601);
    int mismatches = 0;
    for (int i = 0; i < 200000; ++i) {
        const Bytes in = random_text(rng, i % 10 == 0 ? 200 : 24);
        for (PadRule rule : {PadRule::stop, PadRule::skip}) {
            Bytes want;
            const bool ok = model(rule, in, &want);
            Bytes buf = in;
            std::size_t n = 0;
            const Status s = b64_decode_inplace(buf.data(), buf.size(), &n, rule);
            const bool same =
                ok ? (s == Status::ok && Bytes(buf.begin(), buf.begin() + n) == want) : s == Status::bad_base64;
            if (!same && ++mismatches <= 5) CHECK(false, "%s %s", rule_name(rule), show(in).c_str());
        }
    }
    CHECK(mismatches == 0, "%d random texts decoded unlike the model", mismatches);
}

// Runs the pipeline over ciphertext of plain (a multiple of 16) and compares it with the
// models: status, decoded bytes, and the zeroed remainder.
bool pipeline_matches(const Bytes& plain, PadRule rule, const char* what) {
    Bytes buf = encrypt(plain);
    std::size_t n = 12345;
    const Status s = decrypt_decode(buf.data(), buf.size(), kKey, kIv, &n, rule);
    Bytes want;
    bool ascii = true;
    for (unsigned char c : plain) ascii = ascii && c < 0x80;
    const bool ok = ascii && model(rule, plain, &want);
    const Status expected = !ascii ? Status::non_ascii : ok ? Status::ok : Status::bad_base64;
    bool good = s == expected;
    if (ok) {
        good = good && n == want.size() && std::equal(want.begin(), want.end(), buf.begin()) &&
               all_zero(buf.data() + n, buf.size() - n);
    } else {
        good = good && n == 0 && all_zero(buf.data(), buf.size());
    }
    CHECK(good, "%s (%s): status %s, expected %s", what, rule_name(rule), status_text(s), status_text(expected));
    return good;
}

Bytes fill_to_block(Bytes t, unsigned char fill = 0) {
    const std::size_t n = (16 - t.size() % 16) % 16;
    t.insert(t.end(), n, fill);
    return t;
}

// Base64 text of `total` bytes with `feature` starting at index `at`: whole quanta before it
// (line breaks make up the rest of the distance), whole quanta and line breaks after it.
Bytes text_with(std::size_t at, const std::string& feature, std::size_t total) {
    Bytes t;
    while (t.size() + 4 <= at) t.insert(t.end(), {'Q', 'U', 'J', 'D'});
    t.resize(at, '\n');
    t.insert(t.end(), feature.begin(), feature.end());
    while (t.size() + 4 <= total) t.insert(t.end(), {'Q', 'U', 'J', 'D'});
    if (t.size() < total) t.resize(total, '\n');
    return t;
}

void test_pipeline_chunks() {
    const std::size_t B = kChunkSize;
    CHECK(B % 16 == 0, "the chunk size is whole blocks");
    const PadRule rules[] = {PadRule::stop, PadRule::skip};
    for (PadRule rule : rules) {
        // A quantum cut by the chunk boundary after 0 to 3 of its characters (the text shifted
        // by k skipped bytes), complete or one character short at the end.
        for (std::size_t k = 0; k < 4; ++k) {
            for (const char* last : {"QUJD", "QUJ"}) {
                Bytes t = text_with(0, last, 2 * B + std::strlen(last));
                t.insert(t.begin(), k, '\r');
                pipeline_matches(fill_to_block(t, '\n'), rule, "quantum across the boundary");
            }
        }
        // Pads on either side of the boundary, or both after it, and what follows them
        // ignored (stop) or decoded on (skip: there it fails, 2 data characters short).
        const struct {
            std::size_t at;
            const char* feature;
            const char* what;
        } edges[] = {
            {B - 3, "QQ==", "pads on either side"},
            {B - 2, "QQ\n=\r=", "both pads in the next chunk"},
            {B - 3, "QUI=", "the one pad in the next chunk"},
            {B - 3, "QQ=QUJD", "a lone pad before the boundary, data after it"},
            {B - 2, "QQ=", "one pad only, data after it"},
            {B - 1, "Q==QUJD", "pads after one data character"},
        };
        for (const auto& e : edges) {
            pipeline_matches(fill_to_block(text_with(e.at, e.feature, B + 40), '\n'), rule, e.what);
            pipeline_matches(fill_to_block(text_with(e.at, e.feature, B + 2), '\n'), rule, e.what);
        }
        // After the terminating pad, a byte of 0x80 or above in a later chunk still fails.
        {
            Bytes t = fill_to_block(text_with(B / 2, "QQ==", 2 * B + 64), '\n');
            t[t.size() - 7] = 0xC3;
            pipeline_matches(t, rule, "high byte after the end of the text");
            t[t.size() - 7] = '\n';
            pipeline_matches(t, rule, "text after the terminating pad");
        }
        // A high byte in the fill of the last block.
        {
            Bytes t = bytes(b64encode(bytes("a,b\n1,2\n")));
            t = fill_to_block(t, 0x90);
            pipeline_matches(t, rule, "high fill");
        }
        // Incomplete text at the very end.
        pipeline_matches(fill_to_block(text_with(3 * B - 5, "QUJ", 3 * B - 2), ' '), rule, "incomplete at the end");
    }
    // Random features near every boundary of a three-chunk text.
    std::mt19937_64 rng(7);
    int bad = 0;
    for (int i = 0; i < 300; ++i) {
        Bytes t = text_with(0, "", 3 * B - 16);
        for (std::size_t edge : {B, 2 * B}) {
            std::uniform_int_distribution<std::size_t> off(0, 12);
            const Bytes f = random_text(rng, 10);
            std::copy(f.begin(), f.end(), t.begin() + static_cast<std::ptrdiff_t>(edge - off(rng)));
        }
        if (i % 2) t.resize(t.size() - rng() % 16);
        t = fill_to_block(t, static_cast<unsigned char>(1 + rng() % 16));
        for (PadRule rule : rules)
            if (!pipeline_matches(t, rule, "random features at the boundaries")) ++bad;
        if (bad > 3) break;
    }
}

void test_round_trip() {
    std::mt19937_64 rng(99);
    for (std::size_t size : {0u, 1u, 2u, 3u, 47u, 100000u, 3000001u}) {
        for (std::size_t line : {0u, 76u}) {
            Bytes data(size);
            for (auto& c : data) c = static_cast<unsigned char>(rng());
            const Bytes plain = pkcs7(bytes(b64encode(data, line)));
            const Bytes cipher = encrypt(plain);
            Bytes buf = cipher;
            CHECK(aes128_cbc_decrypt(buf.data(), buf.size(), kKey, kIv) == Status::ok && buf == plain,
                  "plain decryption of %zu bytes", size);
            buf = cipher;
            std::size_t n = 0;
            const Status s = decrypt_decode(buf.data(), buf.size(), kKey, kIv, &n);
            CHECK(s == Status::ok && n == size && std::equal(data.begin(), data.end(), buf.begin()) &&
                      all_zero(buf.data() + n, buf.size() - n),
                  "round trip of %zu bytes, lines of %zu: %s", size, line, status_text(s));
        }
    }
}

// A chunk source over a byte vector that can be told to fail after some bytes.
struct VectorSource {
    const Bytes* data;
    std::size_t pos;
    std::size_t fail_after;
};

bool vector_read(void* context, unsigned char* dst, std::size_t n) {
    VectorSource* s = static_cast<VectorSource*>(context);
    if (s->pos + n > s->data->size() || s->pos + n > s->fail_after) return false;
    std::memcpy(dst, s->data->data() + s->pos, n);
    s->pos += n;
    return true;
}

void test_read_pipeline() {
    std::mt19937_64 rng(5);
    for (std::size_t size : {std::size_t(0), std::size_t(5), 3 * kChunkSize + 7}) {
        Bytes data(size);
        for (auto& c : data) c = static_cast<unsigned char>(rng());
        const Bytes cipher = encrypt(pkcs7(bytes(b64encode(data, 76))));
        // The same answer as the in-place pipeline.
        Bytes in_place = cipher;
        std::size_t n1 = 0, n2 = 0;
        const Status s1 = decrypt_decode(in_place.data(), in_place.size(), kKey, kIv, &n1);
        Bytes buf(cipher.size(), 0xAA);
        VectorSource source = {&cipher, 0, cipher.size()};
        const Status s2 =
            read_decrypt_decode(vector_read, &source, buf.data(), buf.size(), kKey, kIv, &n2, PadRule::stop);
        CHECK(s1 == Status::ok && s2 == Status::ok && n1 == n2 && n2 == size && buf == in_place,
              "read pipeline of %zu bytes: %s", size, status_text(s2));
        // A source that fails midway: read_error, and nothing left in the buffer.
        if (cipher.size() > kChunkSize) {
            Bytes out(cipher.size(), 0xAA);
            VectorSource failing = {&cipher, 0, kChunkSize + 16};
            std::size_t n = 7;
            const Status s =
                read_decrypt_decode(vector_read, &failing, out.data(), out.size(), kKey, kIv, &n, PadRule::stop);
            CHECK(s == Status::read_error && n == 0 && all_zero(out.data(), out.size()), "failing source: %s",
                  status_text(s));
        }
    }
}

// ---- throughput -------------------------------------------------------------------------------

double bench(std::size_t mib, std::size_t line, int reps) {
    std::mt19937_64 rng(1);
    // CSV-like data: the decoded size that fills about `mib` MiB of ciphertext.
    Bytes data(mib * 1024 * 1024 / 4 * 3);
    for (auto& c : data) c = static_cast<unsigned char>("0123456789,.-\n"[rng() % 14]);
    const Bytes cipher = encrypt(pkcs7(bytes(b64encode(data, line))));
    Bytes buf(cipher.size());
    double best = 0;
    for (int r = 0; r < reps; ++r) {
        std::memcpy(buf.data(), cipher.data(), cipher.size());
        std::size_t n = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const Status s = decrypt_decode(buf.data(), buf.size(), kKey, kIv, &n);
        const auto t1 = std::chrono::steady_clock::now();
        if (s != Status::ok || n != data.size()) {
            std::printf("benchmark decode failed: %s\n", status_text(s));
            return 0;
        }
        const double mbps = cipher.size() / std::chrono::duration<double>(t1 - t0).count() / 1e6;
        if (mbps > best) best = mbps;
    }
    std::printf("decrypt_decode: %.0f MB/s of ciphertext (%.1f MB, %s, best of %d)\n", best, cipher.size() / 1e6,
                line ? "lines of 76" : "one line", reps);
    return best;
}

// The portable engine alone (what a processor without the AES instructions gets).
void bench_portable(std::size_t mib) {
    Bytes buf(mib * 1024 * 1024, 0x5A);
    const auto t0 = std::chrono::steady_clock::now();
    aes128_cbc_decrypt(buf.data(), buf.size(), kKey, kIv, AesEngine::portable);
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("portable AES-128-CBC decryption: %.0f MB/s\n",
                buf.size() / std::chrono::duration<double>(t1 - t0).count() / 1e6);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--bench") == 0) {
        const std::size_t mib = static_cast<std::size_t>(std::atoi(argv[2]));
        bench(mib ? mib : 256, 0, 5);
        bench(mib ? mib : 256, 76, 5);
        bench_portable(mib ? mib : 256);
        return 0;
    }
    test_nist_vectors();
    test_engines();
    test_lengths();
    test_all_ascii();
    test_base64_cases();
    test_base64_random();
    test_pipeline_chunks();
    test_round_trip();
    test_read_pipeline();
    bench(32, 0, 3);
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed ? 1 : 0;
}
