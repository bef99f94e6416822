/* A tiny library whose variants exercise the ABI check. */
#ifndef ABI_SAMPLE_H
#define ABI_SAMPLE_H

#define SAMPLE_API __attribute__((visibility("default")))

struct sample_point {
    int x;
#ifdef SAMPLE_WIDER_POINT
    int z;
#endif
    int y;
};

SAMPLE_API int sample_norm(const struct sample_point* point);
SAMPLE_API int sample_sum(const struct sample_point* point);

#endif
