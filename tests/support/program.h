#pragma once
// A program of the build run from a test: optionally inside a named network
// namespace, its standard output and error collected while it runs, every
// wait bounded, and the process killed if the test leaves it running.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

class Program {
public:
    Program() = default;
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // Starts path with args, inside the namespace netns when it is not
    // empty; stdin is /dev/null.  false when it could not be started.
    bool start(const std::string &path, const std::vector<std::string> &args,
               const std::string &netns = "");
    // Reads what the program wrote, waiting at most ms for some of it.
    void pump(int ms);
    // Pumps until cond() holds (true) or ms have passed (false).
    bool wait_for(const std::function<bool()> &cond, int ms);
    bool wait_out(const std::string &text, int ms);
    bool wait_err(const std::string &text, int ms);
    // Sends sig to the program while it has not been reaped.
    void signal(int sig);
    // Waits at most ms for the exit: its status, or -1 when it was killed
    // by a signal or had to be killed after ms.
    int wait_exit(int ms);

    pid_t pid() const { return pid_; }
    const std::string &out() const { return out_; }
    const std::string &err() const { return err_; }

private:
    pid_t pid_ = -1;
    int fds_[2] = {-1, -1};  // read ends of stdout and stderr
    std::string out_, err_;
};

// Runs path with args to its end (at most ms) and gives its exit status
// (-1 as above); out and err get its output.
int run_program(const std::string &path, const std::vector<std::string> &args, std::string *out,
                std::string *err, const std::string &netns = "", int ms = 20000);
