// steps.h - step marks for the benchmark's instrumented builds of setup.exe and the floor
//
// Built with BENCH_STEPS defined (bench/CMakeLists.txt: setup-steps, floor-steps),
// each STEP_MARK records the performance counter in memory and STEP_FLUSH appends
// the marks to the file named by the BENCH_STEPS environment variable, one
// "name index ms" a line. STEP_TIMER and STEP_TOTAL add up the time spent in a
// step that repeats, on any thread (a wait between the decoder and the writer),
// written as "total:NAME count ms". In every other build the macros are empty,
// so the shipped setup.exe carries none of it.

#ifndef STEPS_H
#define STEPS_H

#ifdef BENCH_STEPS
void StepMark(const char *name, int index);
void StepFlush(void);
long long StepTicks(void);
void StepTotal(const char *name, long long since);
#define STEP_MARK(name)         StepMark((name), 0)
#define STEP_MARK_N(name, n)    StepMark((name), (n))
#define STEP_FLUSH()            StepFlush()
#define STEP_TIMER(t)           long long t = StepTicks()
#define STEP_TOTAL(name, t)     StepTotal((name), (t))  /* adds the time since STEP_TIMER(t) */
#else
#define STEP_MARK(name)         ((void)0)
#define STEP_MARK_N(name, n)    ((void)0)
#define STEP_FLUSH()            ((void)0)
#define STEP_TIMER(t)           ((void)0)
#define STEP_TOTAL(name, t)     ((void)0)
#endif

#endif
