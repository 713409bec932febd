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
    """The encrypted form of csv_bytes. The fill bytes (1 to 16 of them, each holding the
    fill's length) are all outside the base64 alphabet, so the module's decoder skips them."""
    text = base64.b64encode(csv_bytes)
    fill = 16 - len(text) % 16
    return AES.new(KEY, AES.MODE_CBC, IV).encrypt(text + bytes([fill]) * fill)


def write_temporary(directory, data, prefix=".tmp-"):
    """data in a new temporary file in directory (so that a rename into place is atomic);
    returns its path. Nothing is left behind when writing fails."""
    fd, tmp = tempfile.mkstemp(prefix=prefix, dir=directory)
    try:
        os.chmod(tmp, 0o666 & ~_umask())  # as an ordinary new file, not mkstemp's 0600
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
    except BaseException:
        remove_quietly(tmp)
        raise
    return tmp


def _umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def write_atomically(path, data):
    """Writes data to path through a temporary file in the same directory and a rename, so
    that a failure leaves nothing half-written."""
    tmp = write_temporary(os.path.dirname(os.path.abspath(path)), data)
    try:
        os.replace(tmp, path)
    except BaseException:
        remove_quietly(tmp)
        raise


def remove_quietly(path):
    try:
        os.remove(path)
    except OSError:
        pass


def read_plain_csv(csv_bytes):
    """Parses CSV bytes with the module's reader options."""
    import pandas as pd
    return pd.read_csv(io.BytesIO(csv_bytes), sep=",", low_memory=False)
