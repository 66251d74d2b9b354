// The dict result of details=True, shared by test and finish.
#include "call.h"

#include "scan_paths.h"

// The statistic with its directional parts, the p-values (-1.0 when not
// computed), the scan path, and where the statistic is reached: the corner's
// row and its array, the orthant's bits (set where the orthant lies strictly
// below the corner), the sign of the difference of shares (+1 when the first
// sample's share is the larger) and which sample's corners reach it; with
// resampled labellings, their statistics as "null_distribution".
PyObject* details_dict(const TestResult* res, const Options* options, uint64_t rvs_rows, uint64_t resampled) {
    PyObject* dict = Py_BuildValue("{s:d,s:d,s:d,s:d,s:d,s:s}", "statistic", res->value, "statistic_x",
                                   res->statistic_x, "statistic_y", res->statistic_y, "binomial_significance",
                                   res->binomial_significance, "permutation_significance",
                                   res->permutation_significance, "scan", scan_paths[options->scan].name);
    if (dict && res->null_distribution) {
        PyObject* null = PyList_New((Py_ssize_t)resampled);
        for (uint64_t k = 0; null && k < resampled; k++) {
            PyObject* value = PyFloat_FromDouble(res->null_distribution[k]);
            if (!value) Py_CLEAR(null);
            else PyList_SET_ITEM(null, (Py_ssize_t)k, value);
        }
        if (!null || PyDict_SetItemString(dict, "null_distribution", null) != 0) Py_CLEAR(dict);
        Py_XDECREF(null);
    }
    if (!dict || res->location_row == UINT64_MAX) return dict;
    const bool in_rvs = res->location_row < rvs_rows;
    PyObject* location =
        Py_BuildValue("{s:K,s:s,s:K,s:i,s:s}", "location_row",
                      (unsigned long long)(in_rvs ? res->location_row : res->location_row - rvs_rows),
                      "location_array", in_rvs ? "rvs" : "cdf", "location_orthant",
                      (unsigned long long)res->location_orthant, "location_sign", res->location_positive ? 1 : -1,
                      "location_corners", res->location_in_y ? "cdf" : "rvs");
    if (!location || PyDict_Update(dict, location) != 0) {
        Py_XDECREF(location);
        Py_DECREF(dict);
        return NULL;
    }
    Py_DECREF(location);
    return dict;
}
