#include "tavel_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char **environ;

namespace tvh {

void sleep_ms(int ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::string tavel_path()
{
    const char *dir = getenv("TAVEL_BUILD_DIR");
    return std::string(dir ? dir : ".") + "/relay/tavel";
}

std::string source_dir()
{
    const char *dir = getenv("TAVEL_SOURCE_DIR");
    return dir && *dir ? dir : TAVEL_SOURCE_DIR;
}

bool private_tmp()
{
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    // What the new /tmp would hide is held open and mounted back after.
    const char *build = getenv("TAVEL_BUILD_DIR");
    struct Kept {
        std::string path;
        int fd;
    };
    std::vector<Kept> kept;
    for (const std::string &dir : {source_dir(), std::string(build ? build : ".")}) {
        char real[PATH_MAX];
        if (!realpath(dir.c_str(), real) || strncmp(real, "/tmp/", 5) != 0) continue;
        kept.push_back({real, open(real, O_PATH | O_DIRECTORY | O_CLOEXEC)});
        if (kept.back().fd < 0) return false;
    }
    if (mount("tmpfs", "/tmp", "tmpfs", 0, "size=16m,mode=1777") != 0) return false;
    for (const Kept &k : kept) {
        for (size_t at = 5; (at = k.path.find('/', at + 1)) != std::string::npos;)
            mkdir(k.path.substr(0, at).c_str(), 0755);
        mkdir(k.path.c_str(), 0755);
        const std::string from = "/proc/self/fd/" + std::to_string(k.fd);
        const bool ok =
            mount(from.c_str(), k.path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
        close(k.fd);
        if (!ok) return false;
    }
    return true;
}

std::string flag_store(const std::string &log)
{
    const std::string said = "flag store is [";
    const size_t at = log.rfind(said);
    if (at == std::string::npos) return "";
    const size_t from = at + said.size(), end = log.find(']', from);
    if (end == std::string::npos) return "";
    return "/dev/shm" + log.substr(from, end - from);
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int report_tasks(const std::string &report)
{
    int n = 0;
    for (size_t p = report.find("{\"tid\""); p != std::string::npos;
         p = report.find("{\"tid\"", p + 1))
        ++n;
    return n;
}

// --- processes ------------------------------------------------------------------

namespace {

pid_t spawn(const std::vector<std::string> &args, const std::string &out,
            const std::string &program = "")
{
    const std::string prog = program.empty() ? tavel_path() : program;
    std::vector<char *> argv{const_cast<char *>(prog.c_str())};
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, prog.c_str(), &fa, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

int wait_pid(pid_t pid, int ms)
{
    for (int waited = 0;; waited += 10) {
        int st = 0;
        const pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        if (r < 0 || waited >= ms) return -1;
        sleep_ms(10);
    }
}

}  // namespace

Daemon::~Daemon()
{
    if (pid_ <= 0) return;
    // A check that failed left the daemon running: stop it the way it
    // cleans up after itself, and only then by force.
    if (stop(5000) == -1 && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        // Its flag store, by the name its output gives (never by the
        // first name of its pid, which another user's object may hold).
        const std::string store = flag_store(output());
        if (!store.empty()) unlink(store.c_str());
    }
}

bool Daemon::start(const std::vector<std::string> &args, const std::string &prog)
{
    pid_ = spawn(args, dir_ + "/out.txt", prog);
    return pid_ > 0;
}

bool Daemon::start_fg(const std::vector<std::string> &extra)
{
    std::vector<std::string> args{"-T", "-C", dir_ + "/tavel.conf"};
    args.insert(args.end(), extra.begin(), extra.end());
    return start(args) && wait_for(" STARTING. PID=");
}

bool Daemon::wait_for(const std::string &text, int ms) const
{
    return eventually([&] { return output().find(text) != std::string::npos; }, ms);
}

int Daemon::wait_exit(int ms)
{
    if (pid_ <= 0) return -1;
    const int rc = wait_pid(pid_, ms);
    if (rc != -1 || kill(pid_, 0) != 0) pid_ = -1;
    return rc;
}

int Daemon::stop(int ms)
{
    if (pid_ <= 0) return wait_exit(ms);
    const pid_t pid = pid_;
    kill(pid, SIGTERM);
    const int rc = wait_exit(ms);
    // Every caller expects 0: say what went wrong, with the end of what
    // the daemon wrote (a sanitizer's report, its last log lines).
    if (rc != 0) {
        const std::string out = output();
        const std::string how = rc == -1 ? "no exit (running still, or ended by a signal)"
                                         : "exit " + std::to_string(rc);
        const std::string tail = out.substr(out.size() > 4000 ? out.size() - 4000 : 0);
        fprintf(stderr, "daemon %ld: %s after SIGTERM; the end of its output:\n%s\n",
                long(pid), how.c_str(), tail.c_str());
    }
    return rc;
}

std::string Daemon::output() const { return slurp(dir_ + "/out.txt"); }

int run_tavel(const std::vector<std::string> &args, std::string *out, int ms,
              const std::string &prog)
{
    char tmpl[] = "/tmp/tavel-run.XXXXXX";
    const int fd = mkstemp(tmpl);
    if (fd < 0) return -1;
    close(fd);
    const pid_t pid = spawn(args, tmpl, prog);
    int rc = -1;
    if (pid > 0) {
        rc = wait_pid(pid, ms);
        if (rc == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    *out = slurp(tmpl);
    unlink(tmpl);
    return rc;
}

std::string config(int port, const std::string &extra, const std::string &log,
                   const std::string &rt)
{
    return "tavel: {\n"
           "  max_tasks = 300;\n"
           "  log: { " + log + " };\n"
           "  runtime: { " + rt + " };\n"
           "  listener: { user: { ifc = \"lo\"; default_af = \"inet\"; port = \"" +
           std::to_string(port) + "\"; }; max_to_accept = 64; };\n" + extra + "\n};\n";
}

// --- sockets ------------------------------------------------------------------------

namespace {

sockaddr_in loopback(const char *addr, int port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, addr, &sa.sin_addr);
    return sa;
}

}  // namespace

int connect_to(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const sockaddr_in sa = loopback("127.0.0.1", port);
    if (connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_all(int fd, int ms)
{
    std::string out;
    char buf[4096];
    for (int waited = 0; waited < ms;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) == 0) {
            waited += 20;
            continue;
        }
        const ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

bool closed_within(int fd, int ms)
{
    char c;
    for (int waited = 0; waited < ms;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) == 0) {
            waited += 20;
            continue;
        }
        const ssize_t n = recv(fd, &c, 1, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
        if (n < 0 && errno != EAGAIN) return true;
    }
    return false;
}

void reset_close(int fd)
{
    const linger lg{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg));
    close(fd);
}

std::string http(int port, const std::string &raw, int ms)
{
    const int fd = connect_to(port);
    if (fd < 0) return "#connect failed";
    send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string out = read_all(fd, ms);
    close(fd);
    return out;
}

std::string get(int port, const std::string &path)
{
    return http(port, "GET " + path + " HTTP/1.1\r\nHost: t\r\n\r\n");
}

std::string answer(int code)
{
    const std::string server = "Server: tvl/0.1-112.2 (prep-0.2-master)\r\n";
    switch (code) {
    case 200: return "HTTP/1.1 200 OK\r\n" + server + "\r\n";
    case 400: return "HTTP/1.1 400 Bad request\r\n" + server + "Content-Length: 0\r\n\r\n";
    case 403:
        return "HTTP/1.1 403 Forbidden\r\n" + server + "Content-Length: 0\r\nConnection: close\r\n\r\n";
    case 404:
        return "HTTP/1.1 404 Not Found\r\n" + server + "Content-Length: 0\r\nConnection: close\r\n\r\n";
    case 500:
        return "HTTP/1.1 500 Service error\r\n" + server +
               "Content-Length: 0\r\nConnection: close\r\n\r\n";
    default: return "#unknown";
    }
}

int udp_bind(int port, const char *group)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    const sockaddr_in sa = loopback(group ? group : "127.0.0.1", port);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    if (group) {
        ip_mreq mr{};
        inet_pton(AF_INET, group, &mr.imr_multiaddr);
        inet_pton(AF_INET, "127.0.0.1", &mr.imr_interface);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mr, sizeof(mr)) != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

bool udp_send(const char *addr, int port, const std::string &data)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const sockaddr_in sa = loopback(addr, port);
    const ssize_t n = sendto(fd, data.data(), data.size(), 0,
                             reinterpret_cast<const sockaddr *>(&sa), sizeof(sa));
    close(fd);
    return n == ssize_t(data.size());
}

std::string udp_recv(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return "";
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    return n > 0 ? std::string(buf, size_t(n)) : "";
}

}  // namespace tvh
