"""The test loop written out step by step in plain Python and pandas: the oracle of the loop tests.

``make_env(test_csv, sample_csv)`` builds an environment the way the module does (a ``State``
enumeration and a ``Competition`` class made afresh inside ``make_env``, the run variables in
its scope, the protocol state on the class) but reads its two inputs from CSV bytes held in
memory instead of from the sealed files. The generator, ``predict`` and
``write_submission_file`` do exactly the documented pandas calls in the documented order, so
whatever the module yields, prints, raises and writes for the same inputs can be compared with
what this code yields, prints, raises and writes.
"""
import csv
import enum
import io
import os
import warnings
from io import BytesIO

import pandas as pd

SUBMISSION = "/vantor/working/submission.csv"

MSG_ONCE = "You can only iterate over `iter_test()` once."
MSG_DONE = ("You have already made predictions for the full test set. "
            "Call `write_submission_file()` if you want to submit your predictions.")
MSG_NEXT = "You must get the next test sample from `iter_test()` first."
MSG_FRAME = "You must provide a DataFrame."
MSG_COLUMNS = "Columns in predictions_df do not match expected: [%s]"
MSG_WRITE = "You must first complete the `iter_test()` loop."
REMINDER = ("ERROR: You must call `predict()` successfully before you can continue with "
            "`iter_test()`.")
CONFIRMATION = ("Your submission file has been saved!  Once you `Commit` your Notebook and it "
                "finishes running, you can submit the file to the competition from the Notebook "
                "Viewer `Output` tab.")


def read_csv(data):
    """The reader's parse of decrypted CSV bytes."""
    return pd.read_csv(BytesIO(data), sep=",", low_memory=False)


def append(submission_df, frame):
    """``submission_df.append(frame)``, or the concat to the same effect where pandas has none.

    Some pandas releases warn about append or about concatenating empty frames; the warning is
    not part of the result."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FutureWarning)
        warnings.simplefilter("ignore", DeprecationWarning)
        if hasattr(pd.DataFrame, "append"):
            return submission_df.append(frame)
        return pd.concat([submission_df, frame])


def make_env(test_csv=None, sample_csv=None, path=SUBMISSION, files=None, directory=""):
    """A new environment over the given CSV bytes; the submission is written to ``path``.

    ``files`` (input name -> CSV bytes) may be given instead of the two texts; it is consulted
    when the generator reads, so a caller may change it between runs. A missing or unreadable
    input fails as the reader does, naming ``directory``/name.encrypted."""
    submission_df = None
    active_key_value = None
    active_sample_prediction_df = None
    if files is None:
        files = {"sample_submission.csv": sample_csv, "test.csv": test_csv}

    class State(enum.Enum):
        INIT = enum.auto()
        AWAITING_PREDICT = enum.auto()
        MADE_PREDICTION = enum.auto()
        DONE = enum.auto()

    class Competition:
        _state = State.INIT

        def iter_test(self):
            nonlocal submission_df, active_key_value, active_sample_prediction_df
            if Competition._state != State.INIT:
                self.__error(MSG_ONCE)
            submission_df = pd.DataFrame()
            sample_submission_df = self.__read_csv("sample_submission.csv")
            test_df = self.__read_csv("test.csv")
            grouped = test_df.sort_values(by=['PlayId']).groupby('PlayId')
            for key_value, test_group_df in grouped:
                test_group_df = test_group_df.sort_index()
                active_key_value = key_value
                active_sample_prediction_df = sample_submission_df[
                    sample_submission_df['PlayId'] == active_key_value].drop(columns=['PlayId'])
                Competition._state = State.AWAITING_PREDICT
                yield (test_group_df, active_sample_prediction_df)
                while Competition._state != State.MADE_PREDICTION:
                    print(REMINDER)
                    yield None
            Competition._state = State.DONE

        def predict(self, predictions_df):
            nonlocal submission_df
            if Competition._state == State.DONE:
                self.__error(MSG_DONE)
            if Competition._state != State.AWAITING_PREDICT:
                self.__error(MSG_NEXT)
            if not isinstance(predictions_df, pd.DataFrame):
                self.__error(MSG_FRAME)
            if not predictions_df.columns.equals(active_sample_prediction_df.columns):
                self.__error(MSG_COLUMNS % active_sample_prediction_df.columns)
            predictions_df.insert(0, "PlayId", active_key_value)
            submission_df = append(submission_df, predictions_df.copy())
            Competition._state = State.MADE_PREDICTION

        def write_submission_file(self):
            if Competition._state != State.DONE:
                self.__error(MSG_WRITE)
            submission_df.to_csv(path, index=False)
            print(CONFIRMATION)

        def __error(self, msg):
            raise Exception(msg) from None

        def __read_csv(self, file_name):
            path = os.path.join(directory, file_name) + ".encrypted"
            try:
                return read_csv(files[file_name])
            except BaseException:
                self.__error("Failed to load input file [%s]." % path)

        def __dir__(self):
            return ["__dir__", "__doc__", "iter_test", "predict", "write_submission_file"]

    return Competition()


def scope(env):
    """The run variables of a literal environment, read from the closure of its methods."""
    fn = type(env).predict
    return {name: cell.cell_contents for name, cell in zip(fn.__code__.co_freevars, fn.__closure__)}


def expected_groups(test_csv, sample_csv):
    """[(key, test_group_df, sample_prediction_df)] in the order the loop serves them."""
    env = make_env(test_csv, sample_csv, path=None)
    groups = []
    for test_group_df, sample_df in env.iter_test():
        key = scope(env)["active_key_value"]
        groups.append((key, test_group_df.copy(), sample_df.copy()))
        env.predict(sample_df.copy())
    return groups


def csv_bytes(header, rows):
    """UTF-8 CSV text of a header and rows of cell texts (None for an empty cell)."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(header)
    for row in rows:
        writer.writerow(["" if cell is None else cell for cell in row])
    return out.getvalue().encode("utf-8")


class Target:
    """Environments of the implementation under test, made one after another within one test.

    Normally that is the built module, loaded once through the conftest's ``fresh`` loader: each
    new environment rewrites the sealed inputs beside the module and re-arms the once-only guard
    of ``make_env``. With COMPETITION_LOOP_TARGET=literal it is the loop of this file instead,
    which lets the tests be checked against the oracle itself."""

    literal = os.environ.get("COMPETITION_LOOP_TARGET") == "literal"

    def __init__(self, request):
        self.files = {}
        if self.literal:
            self.module = None
            self.directory = "/literal"
        else:
            self.module = request.getfixturevalue("fresh")()
            self.directory = os.path.dirname(os.path.abspath(self.module.__file__))

    def input_path(self, name):
        return os.path.join(self.directory, name) + ".encrypted"

    def put_inputs(self, test_csv=None, sample_csv=None):
        """Installs the inputs (str or bytes); None removes one."""
        from .sealing import seal
        for name, text in (("test.csv", test_csv), ("sample_submission.csv", sample_csv)):
            data = text.encode("utf-8") if isinstance(text, str) else text
            if self.literal:
                if data is None:
                    self.files.pop(name, None)
                else:
                    self.files[name] = data
                continue
            path = self.input_path(name)
            if data is None:
                if os.path.exists(path):
                    os.remove(path)
            else:
                with open(path, "wb") as f:
                    f.write(seal(data))

    def env(self, test_csv=None, sample_csv=None):
        """A new environment; the inputs are installed first unless both are None."""
        if test_csv is not None or sample_csv is not None:
            self.put_inputs(test_csv, sample_csv)
        if self.literal:
            return make_env(files=self.files, directory=self.directory)
        self.module.make_env.__called__ = False
        return self.module.make_env()
