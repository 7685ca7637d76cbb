// catchr: receives files sent by pitchr and stores them under the names they were sent with.
#include <cstdio>

#include "lb.h"

int main() {
    std::printf("catchr: not yet able to receive\n");
    return 1;
}
