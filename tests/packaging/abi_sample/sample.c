/* Variants, chosen by definitions: SAMPLE_WITH_SUM adds a declared function,
   SAMPLE_WIDER_POINT changes a public type's layout, SAMPLE_LEAK exports an
   undeclared helper, SAMPLE_WITHOUT_NORM drops a function. */
#include "sample.h"

#ifndef SAMPLE_WITHOUT_NORM
int SampleNorm(const struct SamplePoint* point) { return point->x * point->x + point->y * point->y; }
#endif

#ifdef SAMPLE_WITH_SUM
int SampleSum(const struct SamplePoint* point) { return point->x + point->y; }
#endif

#ifdef SAMPLE_LEAK
SAMPLE_API int SampleInternalScale(int value);
int SampleInternalScale(int value) { return 2 * value; }
#endif
