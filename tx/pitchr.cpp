// pitchr: sends files to a running catchr, one connection per file.
#include <cstdio>

#include "lb.h"

int main() {
    std::printf("pitchr: not yet able to send\n");
    return 1;
}
