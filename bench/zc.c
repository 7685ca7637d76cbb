/* The zero-copy reference pair for the benchmark: "zc send FILE ADDR PORT" sends a file with
 * sendfile(); "zc recv FILE ADDR PORT" takes one connection and splices it into FILE through
 * a pipe. No header, no reply: the floor that catchr and pitchr are measured against. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

static void die(const char* what) {
    perror(what);
    exit(1);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: zc send|recv FILE ADDR PORT\n");
        return 2;
    }
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons((unsigned short)atoi(argv[4]))};
    if (inet_pton(AF_INET, argv[3], &sa.sin_addr) != 1) die("address");
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    if (sd < 0) die("socket");
    if (strcmp(argv[1], "send") == 0) {
        int fd = open(argv[2], O_RDONLY);
        struct stat st;
        if (fd < 0 || fstat(fd, &st) != 0) die("open");
        if (connect(sd, (struct sockaddr*)&sa, sizeof sa) != 0) die("connect");
        off_t off = 0;
        while (off < st.st_size)
            if (sendfile(sd, fd, &off, (size_t)(st.st_size - off)) <= 0) die("sendfile");
        close(sd);
        return 0;
    }
    int on = 1;
    setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(sd, (struct sockaddr*)&sa, sizeof sa) != 0 || listen(sd, 1) != 0) die("listen");
    int cd = accept(sd, NULL, NULL);
    int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int p[2];
    if (cd < 0 || fd < 0 || pipe(p) != 0) die("accept");
    for (;;) {
        ssize_t n = splice(cd, NULL, p[1], NULL, 1 << 20, SPLICE_F_MOVE | SPLICE_F_MORE);
        if (n < 0) die("splice");
        if (n == 0) break;
        while (n > 0) {
            ssize_t w = splice(p[0], NULL, fd, NULL, (size_t)n, SPLICE_F_MOVE | SPLICE_F_MORE);
            if (w <= 0) die("splice out");
            n -= w;
        }
    }
    return close(fd) == 0 ? 0 : 1;
}
