#pragma once
// Drives the real tavel program from tests: runs it with a generated
// configuration in a temporary directory, waits for lines in its output,
// talks HTTP and UDP to it on loopback, and stops it.
#include <sys/types.h>

#include <string>
#include <vector>

namespace tvh {

// The program under test.
std::string tavel_path();
// The top of the checkout: the environment's TAVEL_SOURCE_DIR, else the
// checkout the tests were built from.
std::string source_dir();

// In a child: a mount namespace of its own with a fresh, empty /tmp, in
// which the checkout and the build directory stay at their paths (also when
// they live under /tmp).  false when it cannot be made.
bool private_tmp();

// A daemon run: its directory holds tavel.conf, its output (out.txt), and
// whatever else the test puts there.
class Daemon {
public:
    explicit Daemon(const std::string &dir) : dir_(dir) {}
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Starts tavel (or prog) with args (paths are the caller's); output to
    // out.txt.
    bool start(const std::vector<std::string> &args, const std::string &prog = "");
    // Starts with "-T -C <dir>/tavel.conf" and extra args, and waits for
    // the "STARTING" line.
    bool start_fg(const std::vector<std::string> &extra = {});
    // Waits up to ms for text in the output; true when it came.
    bool wait_for(const std::string &text, int ms = 10000) const;
    // Waits up to ms for the process to end; its exit status, or -1.
    int wait_exit(int ms = 10000);
    // SIGTERM and wait_exit.
    int stop(int ms = 10000);
    std::string output() const;
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_;
    pid_t pid_ = -1;
};

// Runs tavel (or prog) with args to its end (at most ms); *out gets stdout
// and stderr together.  The exit status, or -1.
int run_tavel(const std::vector<std::string> &args, std::string *out, int ms = 10000,
              const std::string &prog = "");

// A configuration: a user listener on 127.0.0.1:port and the given keys
// (text inside "tavel: { ... };"), with the keys of the log and runtime
// sections.
std::string config(int port, const std::string &extra,
                   const std::string &log = "level = \"info\";", const std::string &rt = "");

// Sends raw to 127.0.0.1:port and reads until the peer closes or ms pass.
std::string http(int port, const std::string &raw, int ms = 5000);
// A GET of path.
std::string get(int port, const std::string &path);
// The answers of the daemon, byte for byte.
std::string answer(int code);

// A connected TCP client of 127.0.0.1:port, or -1.
int connect_to(int port);
// Reads what fd receives until it closes or ms pass.
std::string read_all(int fd, int ms);
// True when the peer of fd has closed the connection within ms.
bool closed_within(int fd, int ms);
// Closes fd with a reset.
void reset_close(int fd);

// A UDP socket bound to 127.0.0.1:port (or a group on lo), or -1.
int udp_bind(int port, const char *group = nullptr);
// Sends one datagram to addr:port.
bool udp_send(const char *addr, int port, const std::string &data);
// Receives one datagram within ms ("" when none).
std::string udp_recv(int fd, int ms);

void sleep_ms(int ms);
// Polls cond every 20 ms for at most ms.
template <class F>
bool eventually(F cond, int ms)
{
    for (int waited = 0;; waited += 20) {
        if (cond()) return true;
        if (waited >= ms) return false;
        sleep_ms(20);
    }
}

// The flag store a daemon's log names, as an operator finds it there
// ("... flag store is [/tvl.<pid>.iflag]", the last such line): its path
// under /dev/shm, or "" when the log names none.  Never the name built
// from a pid: another user's object may hold that name, and the daemon
// then takes another.
std::string flag_store(const std::string &log);
// The file's contents ("" when absent).
std::string slurp(const std::string &path);
// Number of task objects in a report text.
int report_tasks(const std::string &report);

}  // namespace tvh
