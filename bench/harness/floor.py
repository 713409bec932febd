"""The floor: the least public pandas can do for the loop, on consolidated frames. One sorted,
consolidated copy of each input at load; per group a positional slice and one copy of the test
rows and of the sample rows, the insert of PlayId into the participant's frame and one copy of it;
the copies collected and concatenated once, at the write."""
import io
import os

import numpy as np
import pandas as pd


class FloorEnv(object):
    """The least work public pandas calls can do for the loop, on consolidated frames. It keeps
    no protocol state and checks nothing: it only does the work every implementation must do."""

    def __init__(self, directory, path):
        self.directory, self.path, self.kept = directory, path, []

    def _read(self, name):
        with open(os.path.join(self.directory, name), "rb") as f:
            return pd.read_csv(io.BytesIO(f.read()), sep=",", low_memory=False)

    def iter_test(self):
        sample = self._read("sample_submission.csv")
        test = self._read("test.csv")
        if test["PlayId"].isna().any():  # rows of a missing key belong to no group
            test = test[test["PlayId"].notna()]
        keys = test["PlayId"].to_numpy()
        order = np.argsort(keys, kind="stable")  # by group, rows in file order within a group
        uniq, starts = np.unique(keys[order], return_index=True)
        bounds = starts.tolist() + [len(order)]
        rows = test.take(order).copy()  # a deep copy consolidates the blocks
        skeys = sample["PlayId"].to_numpy()
        sorder = np.argsort(skeys, kind="stable")
        sstarts = np.searchsorted(skeys[sorder], uniq, side="left").tolist()
        sends = np.searchsorted(skeys[sorder], uniq, side="right").tolist()
        body = sample.drop(columns=["PlayId"]).take(sorder).copy()
        del test, sample
        for g, key in enumerate(uniq.tolist()):
            self.key = key
            yield rows.iloc[bounds[g]:bounds[g + 1]].copy(), body.iloc[sstarts[g]:sends[g]].copy()

    def predict(self, predictions_df):
        predictions_df.insert(0, "PlayId", self.key)
        self.kept.append(predictions_df.copy())

    def accumulated(self):
        return pd.concat(self.kept) if self.kept else pd.DataFrame()

    def write_submission_file(self):
        self.accumulated().to_csv(self.path, index=False)
