"""The module, make_env and the environment object it builds."""
import gc
import sys
import types
import weakref

import pytest

ONCE = "You can only call `make_env()` once."

COMPETITION_DOC = (
    "Class supporting a timeseries-based Vantor Competition.\n"
    "        \n"
    "        Loop thru the generator provided by `iter_test()` to get samples from the\n"
    "        test set and call `predict()` once to make your prediction of the target\n"
    "        variable(s) for that sample.  Call `write_submission_file()` once you've\n"
    "        completed the loop.\n"
    "        ")
ITER_TEST_DOC = (
    "Generator providing test features for each 'sample' in the test set.\n"
    "\n"
    "            Raises exception if another `next()` is invoked before you've successfully\n"
    "            called `predict()` on your existing sample.\n"
    "\n"
    "            Each value provided will be a tuple of the form `(test_df, sample_prediction_df)`.\n"
    "            - `test_df` is a DataFrame with new 'observations'.  Your job is to supply\n"
    "              a prediction for the target variable(s) given these 'observations'.\n"
    "            - `sample_prediction_df` is a DataFrame indicating the format your predictions\n"
    "              should have.  You should pass a DataFrame with this same format (but your\n"
    "              own values) to `predict()` to make a prediction.\n"
    "            ")
PREDICT_DOC = (
    "Stores the participant's predictions for the current step in `iter_test()`.\n"
    "\n"
    "            Raises Exception if not called after a successful iteration on the `iter_test()` generator.\n"
    "\n"
    "            `prediction_df` arg should have same format as `sample_predictions_df` yielded from `iter_test()`.\n"
    "            ")
WRITE_DOC = (
    "Writes all your predictions to the appropriate CSV file.\n"
    "\n"
    "            Raises exception if called before completing the full `iter_test()` loop.\n"
    "            ")

METHODS = [  # key in the class, __name__, docstring
    ("iter_test", "iter_test", ITER_TEST_DOC),
    ("predict", "predict", PREDICT_DOC),
    ("write_submission_file", "write_submission_file", WRITE_DOC),
    ("_Competition__error", "__error", None),
    ("_Competition__read_csv", "__read_csv", None),
    ("__dir__", "__dir__", None),
]


def assert_plain_exception(exc, msg):
    assert type(exc) is Exception
    assert exc.args == (msg,)
    assert exc.__cause__ is None
    assert exc.__suppress_context__ is True


def test_namespace_in_binding_order(fresh):
    import base64, copy, enum, io, os
    import pandas
    from Crypto.Cipher import AES
    m = fresh()
    names = [k for k in vars(m) if not (k.startswith("__") and k != "__all__")]
    assert names == ["base64", "copy", "AES", "enum", "StringIO", "BytesIO", "os", "pd", "make_env", "__all__"]
    assert (m.base64, m.copy, m.AES, m.enum, m.StringIO, m.BytesIO, m.os, m.pd) == (
        base64, copy, AES, enum, io.StringIO, io.BytesIO, os, pandas)
    assert m.__doc__ is None
    assert m.__all__ == ["make_env"]
    saved = sys.modules.get("competition")
    sys.modules["competition"] = m
    try:
        star = {}
        exec("from competition import *", star)
    finally:
        if saved is None:
            del sys.modules["competition"]
        else:
            sys.modules["competition"] = saved
    assert sorted(k for k in star if k != "__builtins__") == ["make_env"]


def test_make_env_function_attributes(fresh):
    m = fresh()
    f = m.make_env
    assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("make_env", "make_env", "competition", None)
    assert f.__called__ is False
    f.__called__ = "anything"
    assert f.__dict__ == {"__called__": "anything"}


def test_guard_second_call_arguments_and_rearming(fresh):
    m = fresh()
    with pytest.raises(TypeError):
        m.make_env(0)
    with pytest.raises(TypeError):
        m.make_env(x=1)
    assert m.make_env.__called__ is False

    env = m.make_env()
    assert m.make_env.__called__ is True
    with pytest.raises(Exception) as info:
        m.make_env()
    assert_plain_exception(info.value, ONCE)
    assert m.make_env.__called__ is True
    # arguments are refused before the guard is consulted
    with pytest.raises(TypeError):
        m.make_env(0)

    m.make_env.__called__ = 0
    env2 = m.make_env()
    C1, C2 = type(env), type(env2)
    assert C1 is not C2 and C1._state.__class__ is not C2._state.__class__
    assert C2._state.name == "INIT" and m.make_env.__called__ is True


def test_guard_reads_the_global_name_when_called(fresh):
    m = fresh()
    original = m.make_env
    m.make_env = types.SimpleNamespace(__called__=True)
    with pytest.raises(Exception) as info:
        original()
    assert_plain_exception(info.value, ONCE)
    m.make_env = types.SimpleNamespace(__called__=False)
    original()
    assert m.make_env.__called__ is True
    assert original.__called__ is False


def test_failure_while_building_leaves_the_flag(fresh):
    m = fresh()
    real_enum = m.enum
    m.enum = types.SimpleNamespace()  # no Enum
    with pytest.raises(AttributeError):
        m.make_env()
    assert m.make_env.__called__ is False
    m.enum = real_enum
    assert type(m.make_env())._state.value == 1


def test_classes_built_by_make_env(fresh):
    m = fresh()
    env = m.make_env()
    C = type(env)
    assert (C.__name__, C.__qualname__, C.__module__) == (
        "Competition", "make_env.<locals>.Competition", "competition")
    assert C.__mro__ == (C, object) and type(C) is type
    assert C.__doc__ == COMPETITION_DOC
    assert list(k for k in C.__dict__ if k not in ("__module__", "__qualname__", "__doc__",
                                                    "__dict__", "__weakref__")) == \
        ["_state"] + [k for k, _, _ in METHODS]
    assert vars(env) == {}
    State = type(C._state)
    import enum
    assert issubclass(State, enum.Enum) and State.__bases__ == (enum.Enum,)
    assert (State.__qualname__, State.__module__) == ("make_env.<locals>.State", "competition")
    assert State.__doc__ in (None, "An enumeration.")  # the interpreter's default, if any
    assert [(s.name, s.value) for s in State] == [
        ("INIT", 1), ("AWAITING_PREDICT", 2), ("MADE_PREDICTION", 3), ("DONE", 4)]
    assert C._state is State.INIT


def test_methods_names_docs_and_binding(fresh):
    m = fresh()
    env = m.make_env()
    C = type(env)
    for key, name, doc in METHODS:
        f = C.__dict__[key]
        assert getattr(C, key) is f
        assert f.__name__ == name
        assert f.__qualname__ == "make_env.<locals>.Competition." + name
        assert f.__module__ == "competition"
        assert f.__doc__ == doc
        bound = getattr(env, key)
        assert bound.__self__ is env and bound.__func__ is f
        assert f.__get__(None, C) is f


def test_argument_binding_by_position_and_keyword(fresh):
    m = fresh()
    env = m.make_env()
    C = type(env)
    for call in (lambda: env._Competition__error("m"),
                 lambda: env._Competition__error(msg="m"),
                 lambda: C._Competition__error(env, "m"),
                 lambda: C._Competition__error(self=env, msg="m")):
        with pytest.raises(Exception) as info:
            call()
        assert_plain_exception(info.value, "m")
    for bad in (lambda: env._Competition__error(),
                lambda: env._Competition__error("a", "b"),
                lambda: env._Competition__error("a", msg="b"),
                lambda: env._Competition__error(message="a"),
                lambda: env.__dir__(1),
                lambda: env.predict(),
                lambda: env.write_submission_file(1),
                lambda: env.iter_test(x=1)):
        with pytest.raises(TypeError):
            bad()
    assert len(env.__dir__()) == 5


def test_error_raises_plain_exception_with_the_message_unchanged(fresh):
    env = fresh().make_env()
    for msg in ("", "some text", 42, None):
        with pytest.raises(Exception) as info:
            env._Competition__error(msg)
        assert_plain_exception(info.value, msg)
    # raised while another exception is handled: that one is the (suppressed) context
    try:
        try:
            raise KeyError("inner")
        except KeyError:
            env._Competition__error("outer")
    except Exception as e:
        assert isinstance(e.__context__, KeyError) and e.__suppress_context__


def test_dir_shows_five_names(fresh):
    env = fresh().make_env()
    expected = ["__dir__", "__doc__", "iter_test", "predict", "write_submission_file"]
    assert dir(env) == expected
    a, b = env.__dir__(), env.__dir__()
    assert a == expected and a is not b
    assert callable(env.iter_test) and env._state.name == "INIT"


def test_state_lives_on_the_class(fresh):
    env = fresh().make_env()
    C = type(env)
    State = type(C._state)
    other = C()
    env._state = State.AWAITING_PREDICT
    assert C._state is State.INIT and other._state is State.INIT
    # the methods read the class attribute, not the instance's
    with pytest.raises(Exception) as info:
        env.predict(None)
    assert info.value.args == ("You must get the next test sample from `iter_test()` first.",)
    C._state = State.DONE
    assert other._state is State.DONE
    with pytest.raises(Exception) as info:
        other.predict(None)
    assert info.value.args[0].startswith("You have already made predictions")


def test_environments_are_independent(fresh):
    m = fresh()
    env1 = m.make_env()
    m.make_env.__called__ = False
    env2 = m.make_env()
    C1, C2 = type(env1), type(env2)
    C1._state = type(C1._state).DONE
    assert C2._state.name == "INIT"
    with pytest.raises(Exception) as info:
        env2.write_submission_file()
    assert info.value.args == ("You must first complete the `iter_test()` loop.",)


def test_dropped_environment_is_collected(fresh):
    m = fresh()
    env = m.make_env()
    gen = env.iter_test()
    refs = [weakref.ref(o) for o in (env, type(env), type(type(env)._state), type(env).__dict__["predict"], gen)]
    del env, gen
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)
