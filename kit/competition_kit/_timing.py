"""The stand-ins that time the environment's calls in a dry-run.

_bootstrap.load_timing() compiles this file under a file name that holds "importlib" and
"_bootstrap": the warnings machinery skips frames of such files when it walks up the stack (as
it skips the import system's own), so a warning raised inside the environment, with the stack
level its author chose, is reported at the participant's line and not at a wrapper's. Each
wrapper that the participant calls re-raises an error with the wrappers' frames cut from its
traceback and is marked __tracebackhide__ (IPython and pytest leave such frames out), and the
kit's own traceback printing leaves out every frame of this file.

Time is split between the environment (inside its calls) and the participant (between them).
Each accepted answer writes one record "A <environment s> <participant s>" for its group; the
first advance writes "B <s before it>" and "L <s it took>", a reminder "R", the write
"W <s> <1 or 0>", a group served an empty sample frame "E <its PlayId>". Records are written
unbuffered, one os.write each, so a run stopped from outside leaves every record it made.
"""
import collections.abc
import os
import sys
import time
import types
import warnings

clock = time.perf_counter
HIDDEN = (lambda: None).__code__.co_filename  # the name this file was compiled under


class Recorder(object):
    def __init__(self, fd, started):
        self.fd = fd
        self.mark = started  # the end of the last call into the environment (or the start)
        self.own = 0.0       # participant time of the current group so far
        self.env = 0.0       # environment time of the current group so far
        self.loaded = False

    def put(self, line):
        try:
            os.write(self.fd, (line + "\n").encode("ascii"))
        except OSError:
            pass


def cut(tb):
    """tb without its leading frames of this file."""
    while tb is not None and tb.tb_frame.f_code.co_filename == HIDDEN:
        tb = tb.tb_next
    return tb


class TimedGenerator(collections.abc.Generator):
    """The generator of iter_test(), each advance timed."""

    def __init__(self, gen, rec):
        self._gen = gen
        self._rec = rec

    def _advance(self, step):
        rec = self._rec
        begin = clock()
        rec.own += begin - rec.mark
        try:
            item = step()
        finally:
            spent = clock() - begin
        if not rec.loaded and item is not None:
            # reading and decrypting the inputs, then serving the first group
            rec.loaded = True
            rec.put("B %.9f" % rec.own)
            rec.put("L %.9f" % spent)
            rec.own = rec.env = 0.0
        else:
            rec.env += spent
            if item is None:
                rec.put("R")
        if item is not None:
            empty_sample(item, rec)
        rec.mark = clock()
        return item

    def __next__(self):
        __tracebackhide__ = True
        try:
            return self._advance(self._gen.__next__)
        except BaseException as e:
            raise e.with_traceback(cut(e.__traceback__))

    def send(self, value):
        __tracebackhide__ = True
        try:
            return self._advance(lambda: self._gen.send(value))
        except BaseException as e:
            raise e.with_traceback(cut(e.__traceback__))

    def throw(self, *args):
        __tracebackhide__ = True
        try:
            if len(args) > 1 and sys.version_info >= (3, 12):
                # the module warns about this signature with stack level 1, which names the frame
                # that called it, this one: warn for the participant's line instead
                warnings.warn("the (type, exc, tb) signature of throw() is deprecated, use the "
                              "single-arg signature instead.", DeprecationWarning, stacklevel=2)
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", DeprecationWarning)
                    return self._gen.throw(*args)
            return self._gen.throw(*args)
        except BaseException as e:
            raise e.with_traceback(cut(e.__traceback__))

    def close(self):
        __tracebackhide__ = True
        try:
            return self._gen.close()
        except BaseException as e:
            raise e.with_traceback(cut(e.__traceback__))

    def __getattr__(self, name):  # gi_frame, gi_running, __name__, ...
        return getattr(self._gen, name)

    def __repr__(self):
        return repr(self._gen)


def empty_sample(item, rec):
    """Records the PlayId of a group whose sample frame has no rows (the summary names them)."""
    try:
        test_df, sample_df = item
        if len(sample_df) == 0:
            playid = test_df["PlayId"].iloc[0] if len(test_df) else "?"
            rec.put("E " + " ".join(str(playid).split()).encode("ascii", "backslashreplace").decode("ascii"))
    except Exception:  # not the pair the module yields: nothing to say about it
        pass


class TimedEnvironment(object):
    """Stands in for the environment object; forwards every other attribute to it."""

    def __init__(self, env, rec):
        object.__setattr__(self, "_env", env)
        object.__setattr__(self, "_rec", rec)

    def iter_test(self):
        __tracebackhide__ = True
        try:
            return TimedGenerator(self._env.iter_test(), self._rec)
        except BaseException as e:
            raise e.with_traceback(cut(e.__traceback__))

    def predict(self, predictions_df):
        __tracebackhide__ = True
        rec = self._rec
        begin = clock()
        rec.own += begin - rec.mark
        try:
            result = self._env.predict(predictions_df)
        except BaseException as e:
            rec.env += clock() - begin  # a refused answer: the group stays open
            rec.mark = clock()
            raise e.with_traceback(cut(e.__traceback__))
        rec.env += clock() - begin
        rec.put("A %.9f %.9f" % (rec.env, rec.own))  # only an accepted answer gets here
        rec.own = rec.env = 0.0
        rec.mark = clock()
        return result

    def write_submission_file(self):
        __tracebackhide__ = True
        rec = self._rec
        begin = clock()
        try:
            result = self._env.write_submission_file()
        except BaseException as e:
            rec.put("W %.9f 0" % (clock() - begin))
            raise e.with_traceback(cut(e.__traceback__))
        rec.put("W %.9f 1" % (clock() - begin))
        rec.mark = clock()
        return result

    def __getattr__(self, name):
        return getattr(self._env, name)

    def __setattr__(self, name, value):
        setattr(self._env, name, value)

    def __dir__(self):
        return dir(self._env)

    def __repr__(self):
        return repr(self._env)


def stand_in(real, rec):
    """A module that forwards to the real one, with a make_env that times the environment."""

    class ForwardingModule(types.ModuleType):
        def __getattr__(self, name):
            return getattr(real, name)

        def __dir__(self):
            return sorted(set(dir(real)) | set(self.__dict__))

    module = ForwardingModule(real.__name__, real.__doc__)
    for name in ("__file__", "__spec__", "__loader__", "__package__", "__all__"):
        if hasattr(real, name):
            setattr(module, name, getattr(real, name))

    def make_env():
        __tracebackhide__ = True
        try:
            env = real.make_env()
        except BaseException as e:
            raise e.with_traceback(cut(e.__traceback__))
        make_env.__called__ = True
        return TimedEnvironment(env, rec)

    make_env.__called__ = bool(getattr(real.make_env, "__called__", False))
    make_env.__doc__ = real.make_env.__doc__
    module.make_env = make_env
    return module
