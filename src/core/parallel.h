// Runs the parts of a computation on threads of their own.
#ifndef TESSARIN_PARALLEL_H
#define TESSARIN_PARALLEL_H

#include <stdint.h>

// Runs body(context, t) for t = 0 .. count - 1: part 0 on the calling thread,
// the others on threads of their own. A part whose thread cannot be had runs
// on the calling thread afterwards, so the work is done either way. The parts
// must not call back into the caller (the interpreter, say) unless they run on
// the calling thread.
void run_parallel(uint32_t count, void (*body)(void*, uint32_t), void* context);

#endif
