"""The encrypted CSV reader: one file -> a DataFrame, decrypted in memory only."""
import base64
import io
import os
import types

import pandas as pd
import pytest

from testsupport.sealing import encrypt_plaintext, pkcs7, seal

CSV = b"PlayId,a,b,c\n1,0.5,x,True\n2,,y,False\n3,2.25,,True\n"


def load_failure(path):
    return "Failed to load input file [%s]." % path


def read(m, name, **kw):
    env = m.make_env()
    return env._Competition__read_csv(name, **kw)


def reads_as(fresh, content, name="test.csv"):
    m = fresh({name + ".encrypted": content})
    return m, read(m, name)


def fails_with_path(fresh, content, name="test.csv"):
    m = fresh({name + ".encrypted": content})
    with pytest.raises(Exception) as info:
        read(m, name)
    exc = info.value
    path = os.path.join(os.path.dirname(m.__file__), name + ".encrypted")
    assert type(exc) is Exception and exc.args == (load_failure(path),)
    assert exc.__cause__ is None and exc.__suppress_context__
    return exc


def test_round_trip_equals_read_csv_of_the_plain_bytes(fresh):
    m, df = reads_as(fresh, seal(CSV))
    pd.testing.assert_frame_equal(df, pd.read_csv(io.BytesIO(CSV), sep=",", low_memory=False))
    assert list(df.columns) == ["PlayId", "a", "b", "c"]


def test_fill_and_line_breaks_are_skipped(fresh):
    m, df = reads_as(fresh, seal(CSV, line_length=76))
    pd.testing.assert_frame_equal(df, pd.read_csv(io.BytesIO(CSV)))
    # a fill of 16 bytes when the text is already a multiple of 16 long
    text = base64.b64encode(b"x,y\n1,2\n" + b" " * 4)
    assert len(text) % 16 == 0
    m, df = reads_as(fresh, encrypt_plaintext(pkcs7(text)))
    assert list(df.columns) == ["x", "y"]


def test_header_only_gives_an_empty_frame_with_the_columns(fresh):
    m, df = reads_as(fresh, seal(b"PlayId,t1,t2\n"))
    assert list(df.columns) == ["PlayId", "t1", "t2"] and len(df) == 0


def test_two_reads_give_independent_frames(fresh):
    m = fresh({"test.csv.encrypted": seal(CSV)})
    env = m.make_env()
    a = env._Competition__read_csv("test.csv")
    b = env._Competition__read_csv(file_name="test.csv")
    assert a is not b
    a.iloc[0, 0] = 99
    assert b.iloc[0, 0] == 1


@pytest.mark.parametrize("content", [
    b"",                                             # no CSV to parse
    seal(CSV)[:17],                                  # not a whole number of blocks
    encrypt_plaintext(pkcs7(base64.b64encode(CSV) + b"\x80")),   # a byte of 0x80 or above
    encrypt_plaintext(pkcs7("é".encode() + base64.b64encode(CSV))),
    encrypt_plaintext(pkcs7(base64.b64encode(CSV)[:-1].rstrip(b"="))),  # incomplete final quantum
    seal(b'a,b\n"1,2\n'),                            # unparseable CSV
    seal(b""),                                       # empty CSV
], ids=["empty-file", "17-bytes", "byte-0x80", "utf8-non-ascii", "broken-base64", "unparseable", "empty-csv"])
def test_every_failure_names_the_full_path(fresh, content):
    fails_with_path(fresh, content)


def test_missing_file_and_directory(fresh, tmp_path):
    m = fresh()
    env = m.make_env()
    for name in ("test.csv", "sub"):
        os.makedirs(os.path.join(os.path.dirname(m.__file__), "sub.encrypted"), exist_ok=True)
        with pytest.raises(Exception) as info:
            env._Competition__read_csv(name)
        path = os.path.join(os.path.dirname(m.__file__), name + ".encrypted")
        assert info.value.args == (load_failure(path),)
        assert isinstance(info.value.__context__, OSError)


def test_absolute_name_replaces_the_directory(fresh, tmp_path):
    target = tmp_path / "data" / "x.csv.encrypted"
    target.parent.mkdir()
    target.write_bytes(seal(CSV))
    m = fresh()
    df = read(m, str(tmp_path / "data" / "x.csv"))
    assert len(df) == 3


@pytest.mark.parametrize("name", [b"test.csv", None, 3])
def test_name_that_is_not_text_gives_the_path_error(fresh, name):
    m = fresh({"test.csv.encrypted": seal(CSV)})
    with pytest.raises(TypeError):
        read(m, name)


def test_rebound_globals_are_gone_through(fresh):
    m = fresh({"test.csv.encrypted": seal(CSV, line_length=64)})
    calls = []
    real = m.base64

    def b64decode(text):
        calls.append(type(text))
        return real.b64decode(text)

    m.base64 = types.SimpleNamespace(b64decode=b64decode)
    df = read(m, "test.csv")
    assert calls == [str] and len(df) == 3

    # pd.read_csv is looked up when the reader runs, with the reader's options
    seen = {}
    real_pd = m.pd

    class PandasProxy(object):
        def __getattr__(self, name):
            return getattr(real_pd, name)

        def read_csv(self, stream, **kw):
            seen.update(kw, stream=type(stream))
            return real_pd.read_csv(stream, **kw)

    m.base64 = real
    m.pd = PandasProxy()
    m.make_env.__called__ = False
    read(m, "test.csv")
    assert seen == {"sep": ",", "low_memory": False, "stream": io.BytesIO}


def test_rebound_path_fails_like_the_native_one(fresh):
    m = fresh({"test.csv.encrypted": seal(CSV)[:17]})
    m.BytesIO = lambda b: io.BytesIO(b)
    with pytest.raises(Exception) as info:
        read(m, "test.csv")
    assert info.value.args[0].startswith("Failed to load input file [")
    assert info.value.__context__ is not None


def test_the_plaintext_is_never_written(fresh, tmp_path):
    m = fresh({"test.csv.encrypted": seal(CSV)})
    directory = os.path.dirname(m.__file__)
    before = sorted(os.listdir(directory))
    read(m, "test.csv")
    assert sorted(os.listdir(directory)) == before
