"""Misuse and endurance: many environments, threads, frames kept and mutated by the participant."""
import gc
import os
import threading

import pandas as pd
import pytest

from testsupport.sealing import sealed_inputs

TEST = "PlayId,x,y\n2,1.5,a\n1,2.5,b\n2,3.5,c\n3,4.5,d\n1,5.5,e\n"
SAMPLE = "PlayId,t1,t2\n1,0,0\n2,0,0\n3,0,0\n"
OUR_TYPES = ("function", "scope", "generator")


def our_objects():
    gc.collect()
    return sum(1 for o in gc.get_objects()
               if type(o).__module__ == "competition" and type(o).__name__ in OUR_TYPES)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_once(m):
    m.make_env.__called__ = False
    env = m.make_env()
    for test_df, sample_df in env.iter_test():
        sample_df["t1"] = test_df["x"].sum()
        env.predict(sample_df)
    env.write_submission_file()


def test_many_complete_environments_stay_flat(fresh, submission_path, capsys):
    n = int(os.environ.get("COMPETITION_LEAK_ENVS", "2000"))
    m = fresh(sealed_inputs(TEST, SAMPLE))
    baseline_objects = our_objects()
    for _ in range(max(50, n // 10)):  # warm up pandas' caches
        run_once(m)
    gc.collect()
    rss_before = rss_bytes()
    for _ in range(n):
        run_once(m)
    capsys.readouterr()
    assert our_objects() == baseline_objects
    growth = rss_bytes() - rss_before
    print("rss growth over %d environments: %.1f MiB" % (n, growth / 2.0 ** 20))
    if not os.environ.get("COMPETITION_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert growth < 16 * 2 ** 20
    with open(submission_path) as f:
        assert f.read().splitlines()[0] == "PlayId,t1,t2"


def test_participant_keeps_and_mutates_yielded_frames(env_with, submission_path, capsys):
    m, env = env_with(TEST, SAMPLE)
    kept = []
    for test_df, sample_df in env.iter_test():
        kept.append((test_df, sample_df))
        sample_df["t1"] = 7
        env.predict(sample_df)
        sample_df["t1"] = -1          # after the answer was taken: not seen
        test_df.iloc[:, 1] = 0.0      # the participant's own copy
        del sample_df["PlayId"]
    env.write_submission_file()
    out = pd.read_csv(submission_path)
    assert out["PlayId"].tolist() == [1, 2, 3] and out["t1"].tolist() == [7, 7, 7]
    assert [len(t) for t, _ in kept] == [2, 2, 1]


def test_closed_generator_then_a_fresh_environment(fresh, submission_path, capsys):
    m = fresh(sealed_inputs(TEST, SAMPLE))
    env = m.make_env()
    gen = env.iter_test()
    _, sample_df = next(gen)
    env.predict(sample_df)
    gen.close()
    with pytest.raises(Exception) as info:
        next(env.iter_test())
    assert info.value.args == ("You can only iterate over `iter_test()` once.",)
    with pytest.raises(Exception) as info:
        env.write_submission_file()
    assert info.value.args == ("You must first complete the `iter_test()` loop.",)
    run_once(m)
    assert pd.read_csv(submission_path)["PlayId"].tolist() == [1, 2, 3]


def test_calls_from_other_threads(env_with, submission_path, capsys):
    m, env = env_with(TEST, SAMPLE)
    errors = []

    def answer(frame):
        try:
            frame["t1"] = 1
            env.predict(frame)
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    for _, sample_df in env.iter_test():
        t = threading.Thread(target=answer, args=(sample_df,))
        t.start()
        t.join()
    assert not errors
    env.write_submission_file()
    assert pd.read_csv(submission_path)["PlayId"].tolist() == [1, 2, 3]


def test_racing_threads_never_crash(env_with, capsys):
    m, env = env_with(TEST, SAMPLE)
    gen = env.iter_test()
    seen = set()
    stop = threading.Event()

    def worker():
        while not stop.is_set():
            try:
                item = next(gen)
                if item is not None:
                    item[1]["t1"] = 0
                    env.predict(item[1])
            except StopIteration:
                return
            except Exception as e:
                seen.add(type(e).__name__ + ": " + str(e))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    stop.set()
    allowed = {"ValueError: generator already executing",
               "Exception: You must get the next test sample from `iter_test()` first.",
               "Exception: You have already made predictions for the full test set. Call "
               "`write_submission_file()` if you want to submit your predictions."}
    assert seen <= allowed
    assert type(env)._state.name == "DONE"
