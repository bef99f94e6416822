/* A tiny library whose variants exercise the ABI check. */
#ifndef ABI_SAMPLE_H
#define ABI_SAMPLE_H

#define SAMPLE_API __attribute__((visibility("default")))

struct SamplePoint {
    int x;
#ifdef SAMPLE_WIDER_POINT
    int z;
#endif
    int y;
};

SAMPLE_API int SampleNorm(const struct SamplePoint* point);
SAMPLE_API int SampleSum(const struct SamplePoint* point);

#endif
