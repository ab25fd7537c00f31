#pragma once
// Shared test fixtures: temporary directories, captured log output, files.
#include <cstdio>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sends g_log to a temporary file for the object's life (time stamps off
// unless asked for); text() returns what was written so far.
class LogCapture {
public:
    explicit LogCapture(bool with_time = false);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    std::string text() const;
    void clear();

private:
    FILE *fp_;
};

// Sends descriptor 2 (stderr) to a temporary file for the object's life.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;
    std::string text() const;

private:
    int saved_fd_;
    FILE *fp_;
};

// Owns a descriptor for one scope.
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    void reset();
};

// Memory the kernel holds for fd's receive queue (SO_MEMINFO), -1 when
// it cannot be read.  A datagram sent on loopback may still wait in the
// kernel's backlog when sendto returns, more so on a busy machine: a test
// that reads what it sent notes this before sending and waits for it to
// grow.
long rx_queue_mem(int fd);
// Waits up to ms for rx_queue_mem(fd) to exceed than; true when it did.
bool wait_rx_queue_above(int fd, long than, int ms = 5000);

// A TCP socket listening on 127.0.0.1:port (close-on-exec), or -1.
int listen_loopback(int port, int backlog);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
bool file_exists(const std::string &path);

// An HTTP body in chunked transfer coding: payload cut into chunks whose
// sizes are taken from sizes in turn (the last chunk cut short), each size
// followed by ext; then, with end, the last chunk (with ext), the trailer
// lines and the empty line.  *lines (when given) gets the offset of every
// size line.
std::string chunked_body(const std::string &payload, const std::vector<size_t> &sizes,
                         bool end = true, const std::string &ext = "",
                         const std::string &trailer = "", std::vector<size_t> *lines = nullptr);
// s cut at the given increasing offsets.
std::vector<std::string> cut_at(const std::string &s, const std::vector<size_t> &offsets);
