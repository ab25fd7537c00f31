#include "config.h"

#include <cstdlib>
#include <cstring>

#include "log.h"
#include "strops.h"

LOG_MODULE(LM_DEFAULT);

config_t g_libcfg;

namespace {

constexpr size_t LIST_INITIAL = 10;
constexpr size_t LIST_GROWTH = 5;
constexpr size_t SIZE_TEXT_MAX = 32;  // 31 characters and the NUL

// Copies a found string (rc 0) or applies the default; func and what name
// the look-up in the "too long" line.
int copy_found(const char *func, const char *what, const char *value, char *buf, size_t limit,
               const char *dflt)
{
    lfx_assert(buf && limit > 0);
    if (value) {
        size_t len = strlen(value);
        if (len >= limit) {
            log_err("%s: %s value is too long (%ld), max = %ld characters.\n", func, what,
                    (long)len, (long)limit);
            return -1;
        }
        memcpy(buf, value, len + 1);
        return 0;
    }
    size_t len = 0;
    if (dflt) {
        len = strnlen(dflt, limit - 1);
        memcpy(buf, dflt, len);
    }
    buf[len] = '\0';
    return 0;
}

// libconfig dereferences the root unchecked: a zeroed handle has no values.
config_setting_t *lookup(const char *path)
{
    return g_libcfg.root && path ? config_lookup(&g_libcfg, path) : nullptr;
}

// Owns a growing array of strdup'ed strings until released.
class str_list {
public:
    str_list() = default;
    str_list(const str_list &) = delete;
    str_list &operator=(const str_list &) = delete;
    ~str_list()
    {
        for (size_t i = 0; i < n_; ++i) free(v_[i]);
        free(v_);
    }

    // Appends a copy, keeping at least one zero entry behind the last.
    bool add(const char *s)
    {
        if (!v_ && !grow(LIST_INITIAL)) return false;
        char *copy = strdup(s);
        if (!copy) return false;
        v_[n_++] = copy;
        return n_ < cap_ || grow(LIST_GROWTH);
    }
    size_t size() const { return n_; }
    char **release()
    {
        char **v = v_;
        v_ = nullptr;
        n_ = cap_ = 0;
        return v;
    }

private:
    bool grow(size_t by)
    {
        auto *nv = static_cast<char **>(realloc(v_, (cap_ + by) * sizeof(char *)));
        if (!nv) return false;
        memset(nv + cap_, 0, by * sizeof(char *));
        v_ = nv;
        cap_ += by;
        return true;
    }

    char **v_ = nullptr;
    size_t n_ = 0;
    size_t cap_ = 0;
};

}  // namespace

int load_config_str(const char *path, char *buf, size_t limit, const char *dflt) noexcept
{
    const char *value = nullptr;
    if (g_libcfg.root && path && !config_lookup_string(&g_libcfg, path, &value)) value = nullptr;
    return copy_found("load_config_str", path, value, buf, limit, dflt);
}

int load_config_setting_str(const config_setting_t *setting, const char *name, char *buf,
                            size_t limit, const char *dflt) noexcept
{
    const char *value = nullptr;
    if (setting && name && !config_setting_lookup_string(setting, name, &value)) value = nullptr;
    return copy_found("load_config_setting_str", name, value, buf, limit, dflt);
}

char **load_config_string_list(const char *path, size_t *count) noexcept
{
    lfx_assert(count);
    size_t max = *count;
    *count = 0;
    const config_setting_t *setting = lookup(path);
    if (!setting) return nullptr;

    str_list list;
    for (int i = 0; list.size() < max; ++i) {
        const char *s = config_setting_get_string_elem(setting, i);
        if (!s) break;
        if (!list.add(s)) return nullptr;
    }
    if (list.size() == 0) return nullptr;

    *count = list.size();
    log_dbg("%s: %lu elements added to [%s]\n", "load_config_string_list",
            (unsigned long)*count, path);
    return list.release();
}

int load_config_setting_size(const config_setting_t *setting, const char *name, int64_t *value,
                             int64_t dflt) noexcept
{
    char text[SIZE_TEXT_MAX];
    if (int rc = load_config_setting_str(setting, name, text, sizeof(text), ""); rc != 0)
        return rc;
    if (!text[0]) {
        *value = dflt;
        return 0;
    }
    return a2int64(text, value);
}
