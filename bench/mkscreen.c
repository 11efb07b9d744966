/* Writes a screenshot-like PPM picture to standard output, for the
 * benchmarks: a flat desktop, a task bar, overlapping windows with title
 * bars, lines of small anti-aliased glyphs on white and on a dark editor
 * background, icons and a photo-like thumbnail.
 *
 *   mkscreen [WIDTH HEIGHT] > screen.ppm        (default 2560 1440) */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

static int w = 2560, h = 1440;
static unsigned char *pix;
static unsigned rnd_state = 4321;

static unsigned rnd(void)
{
    rnd_state = rnd_state * 1103515245u + 12345u;
    return rnd_state >> 16;
}

static void put(int x, int y, int r, int g, int b)
{
    if (x < 0 || y < 0 || x >= w || y >= h)
        return;
    unsigned char *p = pix + ((size_t)y * w + x) * 3;
    p[0] = (unsigned char)r, p[1] = (unsigned char)g, p[2] = (unsigned char)b;
}

static void rect(int x0, int y0, int rw, int rh, int r, int g, int b)
{
    for (int y = y0; y < y0 + rh; y++)
        for (int x = x0; x < x0 + rw; x++)
            put(x, y, r, g, b);
}

/* A glyph of 7x11 pixels: random strokes, their edges blended half way
 * into the background (bg) from the ink (fg). */
static void glyph(int x0, int y0, const int *fg, const int *bg)
{
    unsigned char on[11][7] = {{0}};
    int strokes = 2 + (int)(rnd() % 3);
    for (int s = 0; s < strokes; s++) {
        if (rnd() % 2) {
            int x = 1 + (int)(rnd() % 5), a = (int)(rnd() % 4), b = 6 + (int)(rnd() % 5);
            for (int y = a; y <= b && y < 11; y++)
                on[y][x] = 1;
        } else {
            int y = 2 + (int)(rnd() % 8), a = (int)(rnd() % 3), b = 3 + (int)(rnd() % 4);
            for (int x = a; x <= b; x++)
                on[y][x] = 1;
        }
    }
    for (int y = 0; y < 11; y++)
        for (int x = 0; x < 7; x++) {
            int near = (x > 0 && on[y][x - 1]) + (x < 6 && on[y][x + 1]);
            if (on[y][x])
                put(x0 + x, y0 + y, fg[0], fg[1], fg[2]);
            else if (near)
                put(x0 + x, y0 + y, (fg[0] + 2 * bg[0]) / 3, (fg[1] + 2 * bg[1]) / 3, (fg[2] + 2 * bg[2]) / 3);
        }
}

/* Lines of words inside the rectangle; colours from pal when it has more
 * than one entry (syntax colouring). */
static void text(int x0, int y0, int rw, int rh, const int (*pal)[3], int npal, const int *bg)
{
    for (int y = y0 + 6; y + 14 < y0 + rh; y += 18) {
        int x = x0 + 8 + (int)(rnd() % 4) * 16;
        int end = x0 + rw - 8 - (int)(rnd() % (rw / 2 + 1));
        while (x + 8 < end) {
            const int *fg = pal[rnd() % (unsigned)npal];
            int n = 2 + (int)(rnd() % 9);
            for (int i = 0; i < n && x + 8 < end; i++, x += 8)
                glyph(x, y, fg, bg);
            x += 8;
        }
    }
}

static void window(int x0, int y0, int rw, int rh, int dark)
{
    static const int ink[1][3] = {{30, 30, 30}};
    static const int code[4][3] = {{220, 220, 220}, {86, 156, 214}, {206, 145, 120}, {106, 153, 85}};
    const int white[3] = {255, 255, 255}, editor[3] = {30, 30, 30};
    rect(x0 - 1, y0 - 1, rw + 2, rh + 2, 120, 120, 120);
    rect(x0, y0, rw, 30, 225, 228, 235);
    for (int i = 0; i < 3; i++)
        rect(x0 + rw - 30 - 36 * i, y0 + 8, 14, 14, 90, 90, 90);
    text(x0 + 4, y0 + 6, rw / 3, 24, ink, 1, (const int[]){225, 228, 235});
    if (dark) {
        rect(x0, y0 + 30, rw, rh - 30, editor[0], editor[1], editor[2]);
        text(x0, y0 + 30, rw, rh - 30, code, 4, editor);
    } else {
        rect(x0, y0 + 30, rw, rh - 30, 255, 255, 255);
        rect(x0, y0 + 30, 180, rh - 30, 243, 243, 243);
        text(x0, y0 + 30, 180, rh - 30, ink, 1, (const int[]){243, 243, 243});
        text(x0 + 180, y0 + 30, rw - 180, rh - 30, ink, 1, white);
    }
}

/* A photo-like thumbnail: smooth light, a ball and fine texture. */
static void thumbnail(int x0, int y0, int rw, int rh)
{
    for (int y = 0; y < rh; y++)
        for (int x = 0; x < rw; x++) {
            double fy = (double)y / rh, d = hypot(x - rw * 0.6, y - rh * 0.4) / (rh * 0.3);
            double ball = d < 1 ? 60 * cos(d * 1.57) : 0, tex = 10 * sin(x * 0.2) * sin(y * 0.15);
            put(x0 + x, y0 + y, (int)(120 + 60 * fy + ball * 0.3 + tex), (int)(160 - 40 * fy + ball + tex),
                (int)(200 - 90 * fy + ball * 0.5 - tex));
        }
}

int main(int argc, char **argv)
{
    if (argc >= 3)
        w = atoi(argv[1]), h = atoi(argv[2]);
    if (w < 640 || h < 400 || w > 20000 || h > 20000)
        return 2;
    pix = malloc((size_t)w * h * 3);
    if (!pix)
        return 1;
    rect(0, 0, w, h, 0, 99, 177);
    rect(0, h - 40, w, 40, 32, 32, 40);
    for (int i = 0; i < 12; i++)
        rect(12 + 48 * i, h - 32, 24, 24, 60 + (int)(rnd() % 190), 60 + (int)(rnd() % 190), 60 + (int)(rnd() % 190));
    text(w - 200, h - 34, 190, 30, (const int[][3]){{230, 230, 230}}, 1, (const int[]){32, 32, 40});
    for (int i = 0; i < 8; i++) {
        rect(24, 24 + 96 * i, 48, 48, 200 - 20 * i, 120 + 10 * i, 40 + 25 * i);
        text(8, 76 + 96 * i, 80, 22, (const int[][3]){{255, 255, 255}}, 1, (const int[]){0, 99, 177});
    }
    window(w / 10, h / 12, w / 2, h * 2 / 3, 0);
    thumbnail(w / 10 + 220, h / 12 + 60, w / 5, h / 5);
    window(w * 2 / 5, h / 4, w / 2, h * 2 / 3, 1);
    window(w / 5, h / 2, w / 3, h * 2 / 5 - 50, 0);
    printf("P6\n%d %d\n255\n", w, h);
    fwrite(pix, 3, (size_t)w * h, stdout);
    free(pix);
    return 0;
}
