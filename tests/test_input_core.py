"""Property tests of the reader's core, through the test-only probe module _core_probe.

The core's base64 decoder must answer what the running interpreter's base64.b64decode answers,
on every text; its whole pipeline must answer what the literal steps answer: AES-128-CBC
decryption, a strict UTF-8 decode, base64.b64decode. The probe is looked up in the directory
named by COMPETITION_PROBE_DIR (or this interpreter's build directory); without it the module
is skipped.
"""
import base64
import os
import sys

import pytest
from Crypto.Cipher import AES
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from testsupport.profiles import examples
from testsupport.sealing import IV, KEY, encrypt_plaintext, pkcs7, seal


def _probe_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    default = os.path.join(here, "..", "build", "py%d.%d" % sys.version_info[:2], "tests", "native")
    return os.environ.get("COMPETITION_PROBE_DIR") or default


if os.path.isdir(_probe_dir()) and _probe_dir() not in sys.path:
    sys.path.insert(0, _probe_dir())
probe = pytest.importorskip("_core_probe", reason="the probe module is not built")

CHUNK = probe.CHUNK_SIZE

# Interpreters carrying the base64 fix of 2026 read on past a pad that completes a quantum;
# older ones stop there. Ask this one, and hold the core to the same rule.
SKIP_PADS = base64.b64decode(b"QQ==QQ==") != b"A"

moderate = settings(max_examples=examples(300), deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow])
few = settings(max_examples=examples(60), deadline=None, database=None,
               suppress_health_check=[HealthCheck.too_slow])


def interpreter_b64(text):
    try:
        return base64.b64decode(text)
    except ValueError:  # binascii.Error
        return None


def core_b64(text, skip_pads=SKIP_PADS):
    try:
        return probe.b64decode(text, skip_pads)
    except ValueError:
        return None


def literal_pipeline(ciphertext):
    """The reader's steps as they read: decrypt, decode strictly as UTF-8, decode the base64."""
    try:
        plaintext = AES.new(KEY, AES.MODE_CBC, IV).decrypt(ciphertext)
        return base64.b64decode(plaintext.decode("utf8"))
    except ValueError:  # bad length, UnicodeDecodeError, non-ASCII text, binascii.Error
        return None


def core_pipeline(ciphertext, skip_pads=SKIP_PADS):
    try:
        return probe.decrypt_decode(ciphertext, skip_pads)
    except ValueError:
        return None


# ---- models of the two pad rules, to hold the core to the rule this interpreter lacks -------

ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
SEXTET = {c: i for i, c in enumerate(ALPHABET)}


def _model(text, skip_pads):
    out = bytearray()
    quad = left = pads = 0
    for c in bytearray(text):
        if c == 0x3D:
            if skip_pads:
                pads += 1
            elif quad >= 2:
                pads += 1
                if quad + pads >= 4:
                    return bytes(out)
            continue
        if c not in SEXTET:
            continue
        v, pads = SEXTET[c], 0
        if quad == 1:
            out.append((left << 2 | v >> 4) & 0xFF)
        elif quad == 2:
            out.append((left << 4 | v >> 2) & 0xFF)
        elif quad == 3:
            out.append((left << 6 | v) & 0xFF)
        left = v & (0x3F, 0x0F, 0x03, 0)[quad]
        quad = (quad + 1) % 4
    if quad == 0 or (skip_pads and quad >= 2 and quad + pads >= 4):
        return bytes(out)
    return None


# ---- texts -----------------------------------------------------------------------------------

data_char = st.sampled_from([bytes([c]) for c in ALPHABET])
# what is not data: pads (often), line breaks, PKCS#7 fill and other control characters,
# the URL-safe characters, punctuation
odd_char = st.sampled_from(
    [b"="] * 12 + [b"==", b"\n", b"\n", b"\r\n", b" ", b"-", b"_", b".", b"!", b"\x7f"]
    + [bytes([c]) for c in range(0x20)])
# well-formed pieces, with their own pads
quanta = st.binary(max_size=10).map(base64.b64encode)
token = st.one_of(data_char, quanta, odd_char)
texts = st.lists(token, max_size=24).map(b"".join)
# for the plaintexts: bytes that break the UTF-8 decode or the ASCII-only step
high = st.sampled_from([b"\x80", b"\xff", b"\xc3", "\u00e9".encode("utf8"), "\u20ac".encode("utf8")])

ADVERSARIAL = [b"", b"=", b"====", b"Q", b"QQ", b"QUI", b"QQ=", b"QQ=\n=", b"QQ==QQ==",
               b"QUI=QUJD", b"QUI=QQ", b"QQ=x=", b"=QUJD", b"Q=UJD", b"QUJD=", b"Q-U_J.D",
               b"QUJD\x04\x04\x04\x04", b"QQ==" + b"\x0c" * 12, b"QUJ\x01", b"QU\x80JD"]


@moderate
@given(texts)
def test_b64decode_matches_the_interpreter(text):
    assert core_b64(text) == interpreter_b64(text)


@pytest.mark.parametrize("text", ADVERSARIAL)
def test_b64decode_matches_the_interpreter_on_known_edges(text):
    assert core_b64(text) == interpreter_b64(text)


@moderate
@given(texts)
def test_b64decode_follows_both_pad_rules(text):
    # the model of this interpreter's rule is checked against the interpreter itself,
    # so that the model of the other rule can be trusted
    assert _model(text, SKIP_PADS) == interpreter_b64(text)
    for skip_pads in (False, True):
        assert core_b64(text, skip_pads) == _model(text, skip_pads)


def test_the_pad_rules_differ_only_after_a_completing_pad():
    assert core_b64(b"QQ==QQ==", False) == b"A"
    assert core_b64(b"QQ==QQ==", True) == b"A\x04\x10"
    assert core_b64(b"QUI=QUJD", True) is None  # read on: 7 data characters
    assert core_b64(b"QUI=\x0c\x0c", False) == core_b64(b"QUI=\x0c\x0c", True) == b"AB"


# ---- the pipeline ----------------------------------------------------------------------------

@few
@given(st.binary(max_size=3000), st.one_of(st.none(), st.integers(1, 100)))
@example(b"", None)
@example(b"a,b\n1,2\n", 4)
def test_decrypt_decode_inverts_sealing(data, line_length):
    sealed = seal(data, line_length)
    assert probe.decrypt_decode(sealed, False) == data
    assert probe.decrypt_decode(sealed, True) == data


@st.composite
def plaintexts(draw):
    """Text (base64-like, now and then with a byte of 0x80 or above in it), then a fill to the
    next whole block: PKCS#7, one repeated character, or random bytes."""
    text = draw(texts)
    if draw(st.integers(0, 5)) == 0:
        at = draw(st.integers(0, len(text)))
        text = text[:at] + draw(high) + text[at:]
    n = -len(text) % 16
    kind = draw(st.sampled_from(["pkcs7"] * 3 + ["ascii", "any", b" ", b"\n", b"=", b"A", b"\x90"]))
    if kind == "pkcs7":
        return pkcs7(text)
    if kind in ("ascii", "any"):
        fill = draw(st.binary(min_size=n, max_size=n))
        return text + (bytes(c & 0x7F for c in bytearray(fill)) if kind == "ascii" else fill)
    return text + kind * n


@moderate
@given(plaintexts())
def test_decrypt_decode_matches_the_literal_steps(plaintext):
    ciphertext = encrypt_plaintext(plaintext)
    assert core_pipeline(ciphertext) == literal_pipeline(ciphertext)


@moderate
@given(st.binary(max_size=160))
@example(b"\x00" * 15)
@example(b"\x00" * 17)
def test_decrypt_decode_matches_the_literal_steps_on_any_ciphertext(ciphertext):
    assert core_pipeline(ciphertext) == literal_pipeline(ciphertext)


@few
@given(st.binary(max_size=200))
def test_aes_decrypt_matches_the_cipher_library(data):
    if len(data) % 16:
        with pytest.raises(ValueError):
            probe.aes_decrypt(data)
    else:
        assert probe.aes_decrypt(data) == AES.new(KEY, AES.MODE_CBC, IV).decrypt(data)


def _text_around(at, feature, total):
    """Clean base64 quanta, with `feature` starting at index `at`; line breaks fill the gaps."""
    head = b"QUJD" * (at // 4) + b"\n" * (at % 4) + feature
    tail = b"QUJD" * max(0, (total - len(head)) // 4)
    body = head + tail
    return body + b"\n" * (-len(body) % 16)


@pytest.mark.parametrize("feature", [b"QQ==", b"QUI=", b"QQ=\n=", b"QQ=QUJD", b"Q==QUJD",
                                     b"QQ=", b"QUJ", b"\x80", b"QQ==\xc3\xa9"])
@pytest.mark.parametrize("shift", [4, 3, 2, 1, 0])
def test_decrypt_decode_across_chunk_boundaries(feature, shift):
    plaintext = _text_around(CHUNK - shift, feature, 2 * CHUNK + 40)
    ciphertext = encrypt_plaintext(plaintext)
    assert core_pipeline(ciphertext) == literal_pipeline(ciphertext)


def test_a_high_byte_far_after_the_end_of_the_text_fails():
    text = base64.b64encode(b"a,b\n1,2\n") + b"\n" * (3 * CHUNK)
    ascii_tail = pkcs7(text)
    assert probe.decrypt_decode(encrypt_plaintext(ascii_tail)) == b"a,b\n1,2\n"
    broken = bytearray(ascii_tail)
    broken[-20] = 0xE9
    with pytest.raises(ValueError):
        probe.decrypt_decode(encrypt_plaintext(bytes(broken)))
    assert literal_pipeline(encrypt_plaintext(bytes(broken))) is None


def test_a_large_sealed_file_round_trips():
    data = os.urandom(700000)
    assert probe.decrypt_decode(seal(data, 76)) == data
    assert probe.decrypt_decode(seal(data)) == data
