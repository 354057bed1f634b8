/* console_relay.c - what a terminal program does for its file transfer tool:
 * runs the tool with its standard input and output on pipes and copies
 * between those pipes and the console line (a descriptor it inherits), until
 * the tool closes its output.
 *
 *   console_relay CONSOLE_FD SHELL_COMMAND
 *
 * Prints "status=S data_seconds=T eot_seconds=E": the tool's exit status
 * and the data phase, from the first block on the line (the first SOH or STX
 * either way) to the last byte either way before the tool ended; and from the
 * first block to the last EOT read on its own (what the data took before the
 * receiver's answer to the EOT: lrzsz's rx waits a second for it). The console is read
 * only while the tool runs, so what the far end prints afterwards stays on
 * the line for whoever reads it next. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Writes all of buf; 0 when the far side is gone. */
static int writeAll(int fd, const char* buf, ssize_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, buf, (size_t)n);
        if (w < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return 0;
        }
        buf += w;
        n -= w;
    }
    return 1;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: console_relay CONSOLE_FD SHELL_COMMAND\n");
        return 2;
    }
    int con = atoi(argv[1]);
    int toTool[2], fromTool[2];
    if (pipe2(toTool, O_CLOEXEC) != 0 || pipe2(fromTool, O_CLOEXEC) != 0)
        return 1;
    signal(SIGPIPE, SIG_IGN);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(toTool[0], 0);
        dup2(fromTool[1], 1);
        close(con);
        execl("/bin/sh", "sh", "-c", argv[2], (char*)NULL);
        _exit(127);
    }
    close(toTool[0]);
    close(fromTool[1]);

    double first = 0, last = 0, eot = 0;
    int toolOpen = 1;
    static char buf[65536];
    while (1) {
        struct pollfd fds[2] = {{con, POLLIN, 0}, {fromTool[0], POLLIN, 0}};
        if (poll(fds, 2, 1000) < 0 && errno != EINTR)
            break;
        for (int i = 1; i >= 0; --i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                if (i == 1)
                    goto done; /* the tool ended */
                continue;
            }
            double t = now();
            if (first == 0 && (memchr(buf, 0x01, (size_t)n) || memchr(buf, 0x02, (size_t)n)))
                first = t;
            if (first != 0)
                last = t;
            if (first != 0 && n == 1 && buf[0] == 0x04)
                eot = t;
            if (i == 1)
                writeAll(con, buf, n);
            else if (toolOpen)
                toolOpen = writeAll(toTool[1], buf, n);
        }
    }
done:
    close(toTool[1]);
    int st = 0;
    waitpid(pid, &st, 0);
    printf("status=%d data_seconds=%.6f eot_seconds=%.6f\n", WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st),
           first != 0 ? last - first : 0.0, eot != 0 ? eot - first : 0.0);
    return 0;
}
