"""The shipped file format: base64 of the CSV bytes, PKCS#7 fill, AES-128-CBC.

Inputs can be gigabytes, so the work here is done in pieces: a file is read in chunks into one
buffer, pandas parses it through a small reader over that buffer (no copy), and sealing encrypts
and writes it chunk by chunk. Peak memory stays near one copy of the data beyond pandas' own
parse, each phase can report its progress, and Ctrl-C is taken within a fraction of a second.
"""
import base64
import io
import os
import tempfile
import threading

from Crypto.Cipher import AES

from . import progress

KEY = b"sample-aes-key16"
IV = b"sample-iv-16byte"
SUFFIX = ".encrypted"
# bytes of plain text per step of sealing: a multiple of 12, so that each step's base64 text
# is whole quanta and a multiple of the cipher's 16-byte block
SEAL_CHUNK = 12 << 20
READ_CHUNK = 16 << 20


def seal_chunks(csv_bytes):
    """The encrypted form of csv_bytes, piece by piece. The fill bytes (1 to 16 of them, each
    holding the fill's length) are all outside the base64 alphabet, so the module's decoder
    skips them."""
    view = memoryview(csv_bytes)
    cipher = AES.new(KEY, AES.MODE_CBC, IV)  # one chain across the pieces
    n = len(view)
    start = 0
    while True:
        stop = min(n, start + SEAL_CHUNK)
        text = base64.b64encode(view[start:stop])
        if stop == n:
            fill = 16 - len(text) % 16
            yield cipher.encrypt(text + bytes([fill]) * fill)
            return
        yield cipher.encrypt(text)
        start = stop


def seal_bytes(csv_bytes):
    """The encrypted form of csv_bytes, whole."""
    return b"".join(seal_chunks(csv_bytes))


def sealed_size(n):
    """The size of the sealed form of n bytes of CSV."""
    text = 4 * ((n + 2) // 3)
    return text + 16 - text % 16


def write_sealed(directory, csv_bytes, label=None, prefix=".tmp-"):
    """The sealed form of csv_bytes in a new temporary file in directory, written piece by piece;
    returns its path. With a label, a large input shows its progress as "<label>: sealing ...".
    Nothing is left behind when writing fails or is interrupted."""
    total = len(csv_bytes)
    phase = progress.Phase(label, "sealing", total, show=label is not None and total >= progress.LARGE)
    done = [0]

    def pieces():
        for piece in seal_chunks(csv_bytes):
            yield piece
            done[0] = min(total, done[0] + SEAL_CHUNK)
            phase.update(done[0])

    try:
        tmp = write_temporary(directory, pieces(), prefix)
    except BaseException:
        phase.abandon()
        raise
    spent = phase.elapsed()
    phase.done("sealed %s into %s in %s (%s)" % (progress.size(total), progress.size(sealed_size(total)),
                                                 progress.seconds(spent), progress.throughput(total, spent)))
    return tmp


def write_temporary(directory, data, prefix=".tmp-"):
    """data (bytes, or an iterable of bytes written in turn) in a new temporary file in
    directory (so that a rename into place is atomic); returns its path. Nothing is left behind
    when writing fails."""
    fd, tmp = tempfile.mkstemp(prefix=prefix, dir=directory)
    try:
        os.chmod(tmp, 0o666 & ~_umask())  # as an ordinary new file, not mkstemp's 0600
        with os.fdopen(fd, "wb") as f:
            for piece in ([data] if isinstance(data, (bytes, bytearray, memoryview)) else data):
                f.write(piece)
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


def read_input(path, label=None):
    """The bytes of the file at path, read in chunks into one buffer (a bytearray). With a
    label, a large file shows its progress as "<label>: reading ..."."""
    with open(path, "rb") as f:
        total = os.fstat(f.fileno()).st_size
        phase = progress.Phase(label, "reading", total, show=label is not None and total >= progress.LARGE)
        try:
            buf = bytearray(total)
            view = memoryview(buf)
            done = 0
            while done < total:
                got = f.readinto(view[done:min(total, done + READ_CHUNK)])
                if not got:  # the file shrank while being read
                    break
                done += got
                phase.update(done)
            view.release()
            if done < total:
                del buf[done:]
            else:
                rest = f.read()  # the file grew while being read
                if rest:
                    buf += rest
        except BaseException:
            phase.abandon()
            raise
    spent = phase.elapsed()
    phase.done("read %s in %s (%s)" % (progress.size(len(buf)), progress.seconds(spent),
                                       progress.throughput(len(buf), spent)))
    return buf


class Cancelled(BaseException):
    """Raised into a parse whose waiter has gone (Ctrl-C)."""


class _Reader(io.BufferedIOBase):
    """A binary file over a buffer, without a copy of it, counting what pandas has taken. (pandas
    reads it itself, or through a TextIOWrapper over it: it is a proper binary stream.)"""

    mode = "rb"

    def __init__(self, data, cancel):
        io.BufferedIOBase.__init__(self)
        self.view = memoryview(data)
        self.pos = 0
        self.cancel = cancel

    def readable(self):
        return True

    def read(self, n=-1):
        if self.cancel.is_set():
            raise Cancelled()
        if n is None or n < 0:
            n = len(self.view) - self.pos
        piece = self.view[self.pos:self.pos + n].tobytes()
        self.pos += len(piece)
        return piece

    read1 = read

    def readinto(self, b):
        piece = self.read(len(b))
        b[:len(piece)] = piece
        return len(piece)

    readinto1 = readinto


def read_plain_csv(csv_bytes, label=None):
    """Parses CSV bytes with the module's reader options.

    pandas reads them through a counting reader in a worker thread, so that a large input shows
    its progress ("<label>: parsing ...", with a label) and Ctrl-C is taken at once; when it
    is, the parse is stopped at pandas' next read."""
    import pandas as pd
    total = len(csv_bytes)
    phase = progress.Phase(label, "parsing", total, show=label is not None and total >= progress.LARGE)
    cancel = threading.Event()
    reader = _Reader(csv_bytes, cancel)

    def tick():
        taken = reader.pos
        phase.update(taken, "converting columns" if taken >= total else None)

    try:
        frame = progress.in_worker(lambda: pd.read_csv(reader, sep=",", low_memory=False), tick, cancel)
    except BaseException:
        phase.abandon()
        raise
    spent = phase.elapsed()
    phase.done("parsed %s (%d rows, %d columns) in %s (%s)" % (
        progress.size(total), len(frame), frame.shape[1], progress.seconds(spent), progress.throughput(total, spent)))
    return frame


def read_sealed(directory, module_path, names):
    """The frames of the sealed inputs names in directory, decrypted in memory by the module's
    own reader (module.read_inputs), in a worker thread: Ctrl-C is taken at once, and large
    inputs show the phase on stderr."""
    from .module import read_inputs
    paths = [os.path.join(directory, n + SUFFIX) for n in names]
    total = sum(os.path.getsize(p) for p in paths if os.path.isfile(p))
    label = " and ".join(os.path.basename(p) for p in paths)
    phase = progress.Phase(label, "decrypting and parsing in memory", None, show=total >= progress.LARGE)
    try:
        frames = progress.in_worker(lambda: read_inputs(directory, module_path, names), phase.update)
    except BaseException:
        phase.abandon()
        raise
    spent = phase.elapsed()
    phase.done("decrypted and parsed %s in memory in %s (%s)" % (
        progress.size(total), progress.seconds(spent), progress.throughput(total, spent)))
    return frames


_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="
_NOT_BASE64 = bytes(b for b in range(256) if b not in _ALPHABET)


def unsealed_pieces(path, chunk=READ_CHUNK):
    """The CSV bytes of a sealed file, piece by piece, decrypted and decoded here in Python
    (for the kit's own checks, which need little of a file: a column, a header). Bytes outside
    the base64 alphabet (the fill) are skipped, as the module's decoder skips them."""
    cipher = AES.new(KEY, AES.MODE_CBC, IV)
    carry = b""
    with open(path, "rb") as f:
        rest = b""
        while True:
            block = f.read(chunk)
            data = rest + block
            if block:
                cut = len(data) - len(data) % 16
                data, rest = data[:cut], data[cut:]
            elif len(data) % 16:
                raise ValueError("%s is not a sealed file (its size is not a multiple of 16)" % path)
            text = carry + cipher.decrypt(data).translate(None, _NOT_BASE64)
            whole = len(text) - len(text) % 4
            if not block:
                if len(text) % 4:
                    raise ValueError("%s does not decode (its base64 text is cut short)" % path)
                yield base64.b64decode(text)
                return
            carry = text[whole:]
            if whole:
                yield base64.b64decode(text[:whole])


class _Pieces(io.RawIOBase):
    """A binary stream over an iterator of bytes."""

    def __init__(self, pieces):
        io.RawIOBase.__init__(self)
        self.pieces = iter(pieces)
        self.left = b""

    def readable(self):
        return True

    def readinto(self, b):
        while not self.left:
            self.left = next(self.pieces, None)
            if self.left is None:
                self.left = b""
                return 0
        n = min(len(b), len(self.left))
        b[:n] = self.left[:n]
        self.left = self.left[n:]
        return n


def sealed_column(path, column="PlayId"):
    """One column of a sealed CSV, read as a stream: its memory is that of the column, not of
    the file. (In pieces: a column whose values change kind across the file may come out as
    object where the whole parse gives another dtype.)"""
    import warnings
    import pandas as pd
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a DtypeWarning of the pieced parse
        stream = io.BufferedReader(_Pieces(unsealed_pieces(path)), 1 << 20)
        return pd.read_csv(stream, sep=",", usecols=[column])[column]


def sealed_header(path):
    """The column names of a sealed CSV, from its first line."""
    import pandas as pd
    head = b""
    for piece in unsealed_pieces(path, 1 << 16):
        head += piece
        if b"\n" in head:
            break
    return list(pd.read_csv(io.BytesIO(head.split(b"\n", 1)[0] + b"\n"), sep=",", nrows=0).columns)


def sealed_head(path, rows=1000):
    """The first rows of a sealed CSV (its columns and, as far as they tell, their dtypes)."""
    import pandas as pd
    head = b""
    for piece in unsealed_pieces(path, 1 << 20):
        head += piece
        if head.count(b"\n") > rows:
            head = b"\n".join(head.split(b"\n", rows + 1)[:rows + 1]) + b"\n"
            break
    return pd.read_csv(io.BytesIO(head), sep=",", low_memory=False)
