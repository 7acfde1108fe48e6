/* The floor zip-host is measured against: a file compressed or restored as a
 * user would write it with libdeflate alone, with no module, buffer service
 * or switch file. The whole input is read into one malloc'd block; the output
 * goes into another and is written with write(). Restoring does not know the
 * output size: it starts at four times the input and doubles on "no space".
 *
 *   zip-floor compress|decompress IN OUT     exit 0 ok, 1 failure */
#include <fcntl.h>
#include <libdeflate.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(char const* what) {
    fprintf(stderr, "zip-floor: %s\n", what);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 4) return fail("usage: zip-floor compress|decompress IN OUT");
    int compress = strcmp(argv[1], "compress") == 0;
    int in = open(argv[2], O_RDONLY);
    struct stat st;
    if (in < 0 || fstat(in, &st) != 0) return fail("cannot read input");
    size_t n = (size_t)st.st_size, got = 0;
    unsigned char* data = malloc(n + 1);
    if (data == NULL) return fail("out of memory");
    while (got < n) {
        ssize_t r = read(in, data + got, n - got);
        if (r <= 0) return fail("cannot read input");
        got += (size_t)r;
    }
    close(in);

    unsigned char* out = NULL;
    size_t made = 0;
    if (compress) {
        struct libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        size_t room = libdeflate_zlib_compress_bound(c, n);
        out = malloc(room);
        if (c == NULL || out == NULL) return fail("out of memory");
        made = libdeflate_zlib_compress(c, data, n, out, room);
        if (made == 0) return fail("compression failed");
        libdeflate_free_compressor(c);
    } else {
        struct libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        size_t room = n * 4 + 64;
        for (;;) {
            out = realloc(out, room);
            if (d == NULL || out == NULL) return fail("out of memory");
            enum libdeflate_result r = libdeflate_zlib_decompress(d, data, n, out, room, &made);
            if (r == LIBDEFLATE_SUCCESS) break;
            if (r != LIBDEFLATE_INSUFFICIENT_SPACE) return fail("corrupt input");
            room *= 2;
        }
        libdeflate_free_decompressor(d);
    }
    free(data);

    int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return fail("cannot write output");
    for (size_t done = 0; done < made;) {
        ssize_t w = write(fd, out + done, made - done);
        if (w <= 0) return fail("cannot write output");
        done += (size_t)w;
    }
    free(out);
    return close(fd) == 0 ? 0 : fail("cannot write output");
}
