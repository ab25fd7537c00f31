#include "program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "netns.h"

namespace {

long now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return long(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

Program::~Program()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    for (int fd : fds_)
        if (fd >= 0) close(fd);
}

bool Program::start(const std::string &path, const std::vector<std::string> &args,
                    const std::string &netns)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    std::vector<char *> argv{const_cast<char *>(path.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);

    fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        if (!netns.empty() && !enter_netns(netns)) _exit(126);
        const int nul = open("/dev/null", O_RDONLY);
        if (nul < 0 || dup2(nul, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    if (pid_ < 0) {
        close(out[0]);
        close(err[0]);
        return false;
    }
    fds_[0] = out[0];
    fds_[1] = err[0];
    for (int fd : fds_) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return true;
}

void Program::pump(int ms)
{
    pollfd p[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
    if (fds_[0] < 0 && fds_[1] < 0) {
        (void)poll(nullptr, 0, ms);
        return;
    }
    if (poll(p, 2, ms) <= 0) return;
    std::string *dst[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
        if (fds_[i] < 0 || !p[i].revents) continue;
        char buf[4096];
        for (;;) {
            const ssize_t n = read(fds_[i], buf, sizeof buf);
            if (n > 0) {
                dst[i]->append(buf, size_t(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                close(fds_[i]);
                fds_[i] = -1;
            }
            break;
        }
    }
}

bool Program::wait_for(const std::function<bool()> &cond, int ms)
{
    const long deadline = now_ms() + ms;
    for (;;) {
        if (cond()) return true;
        const long left = deadline - now_ms();
        if (left <= 0) return false;
        pump(left < 50 ? int(left) : 50);
    }
}

bool Program::wait_out(const std::string &text, int ms)
{
    return wait_for([&] { return out_.find(text) != std::string::npos; }, ms);
}

bool Program::wait_err(const std::string &text, int ms)
{
    return wait_for([&] { return err_.find(text) != std::string::npos; }, ms);
}

void Program::signal(int sig)
{
    if (pid_ > 0) kill(pid_, sig);
}

int Program::wait_exit(int ms)
{
    if (pid_ <= 0) return -1;
    int status = 0;
    const bool ended = wait_for(
        [&] {
            const pid_t r = waitpid(pid_, &status, WNOHANG);
            return r == pid_ || (r < 0 && errno != EINTR);
        },
        ms);
    if (!ended) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }
    pid_ = -1;
    pump(0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_program(const std::string &path, const std::vector<std::string> &args, std::string *out,
                std::string *err, const std::string &netns, int ms)
{
    Program p;
    if (!p.start(path, args, netns)) return -1;
    const int rc = p.wait_exit(ms);
    if (out) *out = p.out();
    if (err) *err = p.err();
    return rc;
}
