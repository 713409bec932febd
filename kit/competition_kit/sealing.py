"""The shipped file format: base64 of the CSV bytes, PKCS#7 fill, AES-128-CBC."""
import base64
import io
import os
import tempfile

from Crypto.Cipher import AES

KEY = b"sample-aes-key16"
IV = b"sample-iv-16byte"
SUFFIX = ".encrypted"


def seal_bytes(csv_bytes):
    text = base64.b64encode(csv_bytes)
    fill = 16 - len(text) % 16
    return AES.new(KEY, AES.MODE_CBC, IV).encrypt(text + bytes([fill]) * fill)


def write_atomically(path, data):
    """Writes data to path through a temporary file in the same directory and a rename, so
    that a failure leaves nothing half-written."""
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".tmp-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


def read_plain_csv(csv_bytes):
    """Parses CSV bytes with the module's reader options."""
    import pandas as pd
    return pd.read_csv(io.BytesIO(csv_bytes), sep=",", low_memory=False)
