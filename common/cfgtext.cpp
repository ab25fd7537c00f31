#include "cfgtext.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "log.h"
#include "syswrap.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr const char FN[] = "load_config";

// A directive of the text being scanned and the included file it names.
struct redirect {
    size_t at, len;
    size_t file;  // index in cfg_text::files
};

// One text being scanned: the main one or an included one.
struct frame {
    std::string label;  // "" for the main text
    std::vector<redirect> renames;
};

struct reader {
    cfg_text *ct;
    const char *path;
    std::vector<frame> stack;
    size_t scanned = 0;  // bytes scanned so far, inclusions counted each time
};

class fd_owner {
public:
    explicit fd_owner(int fd) noexcept : fd_(fd) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    ~fd_owner()
    {
        if (fd_ >= 0) W_close(FN, fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// " at line N", or " at line N of FILE" inside an included file.
std::string place(const std::string &label, int line)
{
    std::string out = " at line " + std::to_string(line);
    if (!label.empty()) out += " of " + label;
    return out;
}

// name as a log line can hold it: a line break shown as "\n".
std::string shown(const std::string &name)
{
    std::string out;
    for (const char c : name) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// What an included text ends inside, for the message refusing it.
const char *open_construct(cfg_open_end end)
{
    switch (end) {
    case CFG_END_IN_STRING: return "a string";
    case CFG_END_IN_COMMENT: return "a comment";
    case CFG_END_IN_INCLUDE: return "an include name";
    default: return "nothing";
    }
}

// text with each directive's name replaced by the memory file it names.
std::string renamed(const cfg_text &ct, std::string_view text, const std::vector<redirect> &rn)
{
    std::string out;
    size_t from = 0;
    for (const redirect &r : rn) {
        out.append(text.substr(from, r.at - from));
        out += ct.files[r.file].opened;
        from = r.at + r.len;
    }
    out.append(text.substr(from));
    return out;
}

// The whole regular file name into *text, refused past limit bytes.  0, or
// -1 with *why set.
int read_included(const std::string &name, size_t limit, std::string *text, const char **why)
{
    // Non-blocking: a FIFO named here must not stall start-up at its open.
    fd_owner fd(W_open(FN, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0) {
        *why = strerror(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        return -1;
    }
    char buf[65536];
    for (;;) {
        const ssize_t got = W_read_f(FN, fd.get(), buf, sizeof(buf), 1);
        if (got == 0) return 0;
        if (got < 0) {
            if (errno == EINTR) continue;
            *why = strerror(errno);
            return -1;
        }
        if (text->size() + size_t(got) > limit) {
            *why = "too large";
            return -1;
        }
        text->append(buf, size_t(got));
    }
}

// A memory file holding text; its descriptor, or -1 (logged).
int memory_file(const std::string &text)
{
    fd_owner fd(memfd_create("tavel.conf", MFD_CLOEXEC));
    if (fd.get() < 0) {
        log_err("%s: memfd_create() ERROR(%d): %s\n", FN, errno, strerror(errno));
        return -1;
    }
    for (size_t done = 0; done < text.size();) {
        const ssize_t put = W_write_f(FN, fd.get(), text.data() + done, text.size() - done, 1);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;
        done += size_t(put);
    }
    return fd.release();
}

// Scans one text on a frame of its own, which the caller pops.
int scan(reader *rd, cfg_scan *sc, std::string_view text, const std::string &label)
{
    rd->stack.push_back({label, {}});
    rd->scanned += text.size();
    if (rd->scanned > CFG_MAX_TEXT) {
        log_err("%s: configuration [%s] with its included files is larger than %zu bytes\n", FN,
                rd->path, CFG_MAX_TEXT);
        return -1;
    }
    return scan_cfg_text(sc, text, label);
}

int on_include(void *arg, cfg_scan *sc, std::string_view name_v, size_t at, int line)
{
    reader *rd = static_cast<reader *>(arg);
    cfg_text *ct = rd->ct;
    const std::string name(name_v);
    const std::string where = place(rd->stack.back().label, line);
    // libconfig reads \" and \\ in a name as escapes and drops any other
    // backslash, so the file it would open is not the one named by the
    // bytes written; a name broken over lines is refused with them.
    if (name.find_first_of("\\\n") != std::string::npos) {
        log_err("%s: included file [%s]%s: a name holding a backslash or a line break is "
                "refused\n",
                FN, shown(name).c_str(), where.c_str());
        return -1;
    }
    if (rd->stack.size() > CFG_MAX_INCLUDE_DEPTH) {
        log_err("%s: included file [%s]%s is nested deeper than %zu files\n", FN, name.c_str(),
                where.c_str(), CFG_MAX_INCLUDE_DEPTH);
        return -1;
    }
    size_t idx = 0;
    while (idx < ct->files.size() && ct->files[idx].name != name) ++idx;
    const bool first = idx == ct->files.size();
    if (first) {
        cfg_included inc;
        inc.name = name;
        const char *why = "";
        if (read_included(name, CFG_MAX_TEXT, &inc.text, &why) != 0) {
            log_err("%s: cannot read included file [%s]%s: %s\n", FN, name.c_str(), where.c_str(),
                    why);
            return -1;
        }
        ct->files.push_back(std::move(inc));
    }
    rd->stack.back().renames.push_back({at, name_v.size(), idx});
    // The text is scanned wherever it is included: the names before the
    // directive reach into it.  A copy: files may grow while it is scanned.
    const std::string text = ct->files[idx].text;
    int rc = scan(rd, sc, text, name);
    // libconfig would read the rest of the construct from the text after
    // the directive, which was scanned as code.
    if (rc == 0 && sc->end != CFG_END_CLOSED) {
        log_err("%s: included file [%s]%s ends inside %s begun%s\n", FN, name.c_str(),
                where.c_str(), open_construct(sc->end), place(name, sc->end_line).c_str());
        rc = -1;
    }
    if (rc == 0 && ct->files[idx].fd < 0) {
        const std::string out = renamed(*ct, text, rd->stack.back().renames);
        ct->files[idx].fd = memory_file(out);
        if (ct->files[idx].fd < 0) {
            rc = -1;
        } else {
            ct->files[idx].opened = "/proc/self/fd/" + std::to_string(ct->files[idx].fd);
        }
    }
    rd->stack.pop_back();
    return rc;
}

}  // namespace

cfg_text::~cfg_text()
{
    for (cfg_included &f : files)
        if (f.fd >= 0) W_close(FN, f.fd);
}

int read_cfg_text(FILE *fp, const char *path, cfg_text *ct) noexcept
{
    std::string text;
    char buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof(buf), fp)) > 0) {
        if (text.size() + got > CFG_MAX_TEXT) {
            log_err("%s: configuration [%s] is larger than %zu bytes\n", FN, path, CFG_MAX_TEXT);
            return -1;
        }
        text.append(buf, got);
    }
    if (ferror(fp)) {
        log_err("%s: cannot read configuration [%s]: %s\n", FN, path, strerror(errno));
        return -1;
    }
    reader rd{ct, path, {}, 0};
    cfg_scan sc;
    sc.on_include = on_include;
    sc.arg = &rd;
    if (scan(&rd, &sc, text, "") != 0) return -1;
    ct->main = renamed(*ct, text, rd.stack.back().renames);
    ct->wide = std::move(sc.found);
    return 0;
}

const char *cfg_file_name(const cfg_text *ct, const char *opened) noexcept
{
    if (ct && opened)
        for (const cfg_included &f : ct->files)
            if (f.opened == opened) return f.name.c_str();
    return opened;
}
