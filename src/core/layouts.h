// What the scan paths read besides the coordinates and multiplicities: the
// vector layout, and the folded weights of one or of every labelling.
#ifndef TESSARIN_LAYOUTS_H
#define TESSARIN_LAYOUTS_H

#include <stdint.h>

#include "loading.h"

// With one labelling, each point's two multiplicities fold into one signed
// weight size_y * cx - size_x * cy, so that one counter per orthant holds the
// scaled difference itself. Every partial sum of the weights lies within
// size_x * size_y of zero, so folding applies while that product fits a
// signed 64-bit word.
bool weights_fold(const DataSet* s);

// The largest magnitude among the folded weights, 0 when they do not fold.
int64_t largest_folded_weight(const DataSet* s);

// Whether the weights of several labellings fold into 32 bits: size_x *
// size_y must fit a signed 32-bit word, so that every weight and every
// orthant sum of them does.
bool labelling_weights_fit(const DataSet* s);

// Lays out what the path options->scan needs (its row's `prepares`).
[[nodiscard]] int prepare_scan_path(DataSet* s, const Options* options, const Loading& load);

#endif
