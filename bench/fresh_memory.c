/* The baseline for the side-by-side comparison: writes N bytes into freshly
 * allocated memory, then writes them to standard output, and nothing else. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    size_t bytes = argc > 1 ? strtoull(argv[1], NULL, 10) : 0;
    unsigned char* block = malloc(bytes + 2);
    if (!block) return 1;
    memset(block, 0x5A, bytes);
    if (fwrite(block, 1, bytes, stdout) != bytes) return 1;
    free(block);
    return 0;
}
