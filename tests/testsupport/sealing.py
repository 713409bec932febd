"""A small producer of encrypted inputs, independent of the module and of the kit."""
import base64

from Crypto.Cipher import AES

KEY = b"sample-aes-key16"
IV = b"sample-iv-16byte"


def pkcs7(data, block=16):
    n = block - len(data) % block
    return data + bytes([n]) * n


def encrypt_plaintext(plaintext):
    """AES-128-CBC of plaintext, whose length must be a multiple of 16."""
    return AES.new(KEY, AES.MODE_CBC, IV).encrypt(plaintext)


def seal(csv_bytes, line_length=None):
    """base64 of the CSV bytes (optionally broken into lines), PKCS#7 fill, AES-128-CBC."""
    text = base64.b64encode(csv_bytes)
    if line_length:
        text = b"\n".join(text[i:i + line_length] for i in range(0, len(text), line_length))
    return encrypt_plaintext(pkcs7(text))


def sealed_inputs(test_csv, sample_csv):
    """The two shipped files for the given CSV texts (str or bytes)."""
    enc = lambda t: seal(t.encode() if isinstance(t, str) else t)
    return {"test.csv.encrypted": enc(test_csv),
            "sample_submission.csv.encrypted": enc(sample_csv)}
