#include "cfgkeys.h"

#include <cstring>
#include <string>

#include "appcfg.h"
#include "log.h"

LOG_MODULE(LM_DEFAULT);

namespace {

constexpr const char FN[] = "load_config";

const cfg_key *find(std::span<const cfg_key> known, const char *name)
{
    for (const cfg_key &k : known)
        if (name && strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

int line_of(const config_setting_t *s) { return int(config_setting_source_line(s)); }

// The groups of a listener list, named path[1], path[2], ...; elements past
// MAX_LISTENERS are never read.
size_t warn_listener_list(const config_setting_t *list, const std::string &path,
                          std::span<const cfg_key> members)
{
    size_t warned = 0;
    const int count = config_setting_length(list);
    for (int e = 0; e < count; ++e) {
        const config_setting_t *el = config_setting_get_elem(list, unsigned(e));
        if (size_t(e) >= MAX_LISTENERS) {
            log_warn("%s: listener %d of %s at line %d ignored: at most %zu are read\n", FN,
                     e + 1, path.c_str(), line_of(el), MAX_LISTENERS);
            ++warned;
        } else if (config_setting_is_group(el)) {
            const std::string at = path + "[" + std::to_string(e + 1) + "]";
            warned += warn_unknown_keys(el, at.c_str(), members);
        }
    }
    return warned;
}

}  // namespace

size_t warn_unknown_keys(const config_setting_t *group, const char *path,
                         std::span<const cfg_key> known) noexcept
{
    size_t warned = 0;
    const int n = config_setting_length(group);
    for (int i = 0; i < n; ++i) {
        const config_setting_t *s = config_setting_get_elem(group, unsigned(i));
        const char *name = config_setting_name(s);
        const std::string at = std::string(path) + "." + (name ? name : "?");
        const cfg_key *k = find(known, name);
        if (!k) {
            log_warn("%s: unknown setting %s at line %d ignored\n", FN, at.c_str(), line_of(s));
            ++warned;
        } else if (k->kind == CK_VALUE) {
            continue;
        } else if (config_setting_is_group(s)) {
            warned += warn_unknown_keys(s, at.c_str(), k->members);
        } else if (k->kind == CK_LISTENERS && config_setting_is_list(s)) {
            warned += warn_listener_list(s, at, k->members);
        } else {
            log_warn("%s: setting %s at line %d ignored: %s expected\n", FN, at.c_str(),
                     line_of(s), k->kind == CK_GROUP ? "a group" : "a group or a list");
            ++warned;
        }
    }
    return warned;
}
