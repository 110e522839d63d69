// steps.h - step marks for the benchmark's instrumented builds of setup.exe and the floor
//
// Built with BENCH_STEPS defined (bench/CMakeLists.txt: setup-steps, floor-steps),
// each STEP_MARK records the performance counter in memory and STEP_FLUSH appends
// the marks to the file named by the BENCH_STEPS environment variable, one
// "name index ms" a line. In every other build the macros are empty, so the
// shipped setup.exe carries none of it.

#ifndef STEPS_H
#define STEPS_H

#ifdef BENCH_STEPS
void StepMark(const char *name, int index);
void StepFlush(void);
#define STEP_MARK(name)         StepMark((name), 0)
#define STEP_MARK_N(name, n)    StepMark((name), (n))
#define STEP_FLUSH()            StepFlush()
#else
#define STEP_MARK(name)         ((void)0)
#define STEP_MARK_N(name, n)    ((void)0)
#define STEP_FLUSH()            ((void)0)
#endif

#endif
