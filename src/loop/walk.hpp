// How the generator walks the test set: the groups of test rows by PlayId, in ascending order,
// each with its sample prediction frame. Two ways, chosen once at the first advance:
//
//   the literal walk (literal_walk.cpp): a pandas group-by over the sorted copy, a sort of each
//   group by row label, and an element-wise mask over the sample submission, step by step;
//
//   the indexed walk (indexed_walk.cpp, indexed_chunks.cpp): the same groups from working
//   copies built once, sorted so that each group's rows are contiguous and consolidated, each
//   group served as a copy of one slice. It is chosen only where the run's pandas allows the
//   fast paths (pandas_api.hpp) and it yields exactly what the literal walk yields.
#pragma once

#include <memory>

#include "py/ref.hpp"

namespace competition {

namespace pandas_api {
class Facts;
} // namespace pandas_api

class Walk {
public:
    virtual ~Walk() = default;
    // The next group: true with *key and *test_group_df set, false when there is none.
    // Errors throw py::Error, as everywhere in the walks.
    virtual bool next_group(py::Ref* key, py::Ref* test_group_df) = 0;
    // The sample prediction frame of the group just taken, for its key as stored.
    virtual py::Ref sample_frame(PyObject* sample_submission_df, PyObject* key) = 0;
    virtual int traverse(visitproc visit, void* arg) = 0;
    virtual void clear() = 0;
};

// The walk over the frames the reader returned, step by step.
std::unique_ptr<Walk> literal_walk(PyObject* test_df);
// The indexed walk, or null when the frames are not eligible (the caller then takes the
// literal walk). An ordinary exception while it is built also means "not eligible" (see
// fast_path in support.hpp); what else it raises ends the advance.
std::unique_ptr<Walk> indexed_walk(PyObject* test_df, PyObject* sample_submission_df, const pandas_api::Facts& facts);

// The sample rows of one key, as the literal steps select them:
// sample_submission_df[sample_submission_df['PlayId'] == key].drop(columns=['PlayId'])
py::Ref literal_sample_frame(PyObject* sample_submission_df, PyObject* key);

} // namespace competition
