/* Writes a photo-like PPM picture (smooth light, shapes, fine texture and
 * a little noise) of the given size to standard output, for the
 * benchmarks: mkphoto WIDTH HEIGHT [SEED] > photo.ppm */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static unsigned rnd_state = 12345;

static unsigned rnd(void)
{
    rnd_state = rnd_state * 1103515245u + 12345u;
    return rnd_state >> 16;
}

static unsigned char clamp(double v)
{
    return v < 0 ? 0 : v > 255 ? 255 : (unsigned char)v;
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    int w = atoi(argv[1]), h = atoi(argv[2]);
    if (argc > 3)
        rnd_state = (unsigned)atoi(argv[3]);
    if (w <= 0 || h <= 0 || w > 20000 || h > 20000)
        return 2;
    unsigned char *row = malloc((size_t)w * 3);
    if (!row)
        return 1;
    printf("P6\n%d %d\n255\n", w, h);
    double cx = w * 0.6, cy = h * 0.4, rad = (w < h ? w : h) * 0.25;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double fx = (double)x / w, fy = (double)y / h;
            double sky = 200 - 120 * fy;
            double d = hypot(x - cx, y - cy);
            double ball = d < rad ? 60 * cos(d / rad * 1.57) : 0;
            double tex = 12 * sin(x * 0.09) * sin(y * 0.07);
            double n = (int)(rnd() % 9) - 4;
            row[3 * x] = clamp(sky * 0.6 + ball * 0.3 + tex + n + 40 * fx);
            row[3 * x + 1] = clamp(sky * 0.8 + ball + tex * 0.5 + n);
            row[3 * x + 2] = clamp(90 + 100 * fy + ball * 0.5 - tex + n);
        }
        fwrite(row, 3, (size_t)w, stdout);
    }
    free(row);
    return 0;
}
