// The init of the full-system test guests: runs each command line of /batch
// with its output captured, frames what it got on the console for the host to
// check, and powers the machine off.
//
// /batch holds one case a line, fields separated by tabs: the file that takes
// standard output, the program, then its arguments.

#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

enum { max_batch = 1 << 16, max_args = 64 };

static const char batch_file[] = "/batch";
static const char out_file[] = "/out";
static const char err_file[] = "/err";

static char batch[max_batch];
static char chunk[1 << 12];

static int create(const char *path)
{
    return open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

static void emit_file(const char *label, const char *path)
{
    struct stat st;
    int fd = open(path, O_RDONLY);
    if (fd < 0 || fstat(fd, &st) != 0) {
        printf("@@%s missing\n", label);
        return;
    }
    printf("@@%s %lld\n", label, (long long)st.st_size);
    fflush(stdout);
    ssize_t n;
    while ((n = read(fd, chunk, sizeof chunk)) > 0)
        if (write(1, chunk, n) != n)
            break;
    close(fd);
}

static void run_case(int number, char *line)
{
    char *argv[max_args + 1];
    int argc = 0;
    for (char *word = line, *next; word && argc < max_args; word = next) {
        next = strchr(word, '\t');
        if (next)
            *next++ = '\0';
        argv[argc++] = word;
    }
    argv[argc] = nullptr;
    if (argc < 2)
        return;

    // Truncated first, so that a case whose output goes elsewhere does not
    // show the last one's.
    close(create(out_file));
    pid_t pid = fork();
    if (pid == 0) {
        int out = create(argv[0]), err = create(err_file);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) {
            perror(argv[0]);
            _exit(127);
        }
        close(out);
        close(err);
        char *empty_env[] = {nullptr};
        execve(argv[1], argv + 1, empty_env);
        perror("execve");
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    printf("@@case %d %s %d\n", number, WIFSIGNALED(status) ? "signal" : "exit",
           WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
    emit_file("out", out_file);
    emit_file("err", err_file);
}

int main()
{
    mount("devtmpfs", "/dev", "devtmpfs", 0, nullptr);
    mount("proc", "/proc", "proc", 0, nullptr);

    // The console's output processing would turn each "\n" into "\r\n".
    struct termios tio;
    if (tcgetattr(1, &tio) == 0) {
        tio.c_oflag &= ~OPOST;
        tcsetattr(1, TCSANOW, &tio);
    }

    int fd = open(batch_file, O_RDONLY);
    ssize_t size = fd < 0 ? 0 : read(fd, batch, sizeof batch - 1);
    batch[size > 0 ? size : 0] = '\0';
    int number = 0;
    for (char *line = strtok(batch, "\n"); line; line = strtok(nullptr, "\n"))
        run_case(number++, line);
    printf("@@done %d\n", number);
    fflush(stdout);
    sync();
    reboot(RB_POWER_OFF);
    return 0;
}
