#include "cfgkeys.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "appcfg.h"
#include "config.h"
#include "cfgtext.h"
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

std::string child_path(const char *path, const char *name)
{
    return *path ? std::string(path) + "." + (name ? name : "?") : std::string(name ? name : "?");
}

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
            log_warn("%s: listener %d of %s%s ignored: at most %zu are read\n", FN, e + 1,
                     path.c_str(), setting_place(el).c_str(), MAX_LISTENERS);
            ++warned;
        } else if (config_setting_is_group(el)) {
            const std::string at = path + "[" + std::to_string(e + 1) + "]";
            warned += warn_unknown_keys(el, at.c_str(), members);
        }
    }
    return warned;
}

// Every named setting under s, in the order of the text that assigned
// them (libconfig keeps a group's settings in that order).
void collect_named(const config_setting_t *s, std::vector<const config_setting_t *> *named)
{
    if (config_setting_name(s)) named->push_back(s);
    const int n = config_setting_is_aggregate(s) ? config_setting_length(s) : 0;
    for (int i = 0; i < n; ++i) collect_named(config_setting_get_elem(s, unsigned(i)), named);
}

// The name the configuration gives the file of s (null: the main file).
const char *source_file(const config_setting_t *s)
{
    const config_setting_t *root = s;
    while (config_setting_parent(root)) root = config_setting_parent(root);
    return cfg_file_name(static_cast<const cfg_text *>(config_setting_get_hook(root)),
                         config_setting_source_file(s));
}

// The integer setting the literal w gives its value to: the setting the
// text assigned in w's place, or the element of its lists or arrays that w
// names; null when the tree does not hold it.
const config_setting_t *setting_at(const std::vector<const config_setting_t *> &named,
                                   const wide_literal &w)
{
    if (w.setting < 0 || size_t(w.setting) >= named.size()) return nullptr;
    const config_setting_t *s = named[size_t(w.setting)];
    if (w.name != config_setting_name(s)) return nullptr;
    for (const int e : w.elems) {
        if (!config_setting_is_list(s) && !config_setting_is_array(s)) return nullptr;
        s = config_setting_get_elem(s, unsigned(e));
        if (!s) return nullptr;
    }
    const int t = config_setting_type(s);
    return t == CONFIG_TYPE_INT || t == CONFIG_TYPE_INT64 ? s : nullptr;
}

}  // namespace

std::string setting_place(const config_setting_t *s)
{
    std::string out = " at line " + std::to_string(config_setting_source_line(s));
    if (const char *file = source_file(s)) out += std::string(" of ") + file;
    return out;
}

std::string setting_path(const config_setting_t *s)
{
    std::string out;
    for (; s && !config_setting_is_root(s); s = config_setting_parent(s)) {
        const char *name = config_setting_name(s);
        std::string part = name ? std::string(name)
                                : "[" + std::to_string(config_setting_index(s) + 1) + "]";
        if (!out.empty() && out[0] != '[') part += ".";
        out = part + out;
    }
    return out;
}

setting_where where_is(const config_setting_t *setting, const char *path)
{
    const config_setting_t *s =
        setting ? config_setting_lookup(const_cast<config_setting_t *>(setting), path)
        : g_libcfg.root ? config_lookup(&g_libcfg, path) : nullptr;
    if (s) return {setting_path(s), setting_place(s)};
    std::string prefix = setting ? setting_path(setting) : std::string();
    return {prefix.empty() ? std::string(path) : prefix + "." + path, std::string()};
}

size_t warn_unknown_keys(const config_setting_t *group, const char *path,
                         std::span<const cfg_key> known) noexcept
{
    size_t warned = 0;
    const int n = config_setting_length(group);
    for (int i = 0; i < n; ++i) {
        const config_setting_t *s = config_setting_get_elem(group, unsigned(i));
        const char *name = config_setting_name(s);
        const std::string at = child_path(path, name);
        const cfg_key *k = find(known, name);
        if (!k) {
            log_warn("%s: unknown setting %s%s ignored\n", FN, at.c_str(),
                     setting_place(s).c_str());
            ++warned;
        } else if (k->kind == CK_VALUE || k->kind == CK_INT) {
            continue;
        } else if (config_setting_is_group(s)) {
            warned += warn_unknown_keys(s, at.c_str(), k->members);
        } else if (k->kind == CK_LISTENERS && config_setting_is_list(s)) {
            warned += warn_listener_list(s, at, k->members);
        } else {
            log_warn("%s: setting %s%s ignored: %s expected\n", FN, at.c_str(),
                     setting_place(s).c_str(),
                     k->kind == CK_GROUP ? "a group" : "a group or a list");
            ++warned;
        }
    }
    return warned;
}

size_t refuse_out_of_range(const config_setting_t *group, const char *path,
                           std::span<const cfg_key> known, const char *skip) noexcept
{
    size_t refused = 0;
    const int n = config_setting_length(group);
    for (int i = 0; i < n; ++i) {
        const config_setting_t *s = config_setting_get_elem(group, unsigned(i));
        const char *name = config_setting_name(s);
        const cfg_key *k = find(known, name);
        if (!k || (skip && strcmp(name, skip) == 0)) continue;
        const std::string at = child_path(path, name);
        const int type = config_setting_type(s);
        if (k->kind == CK_INT && (type == CONFIG_TYPE_INT || type == CONFIG_TYPE_INT64)) {
            const long long v = config_setting_get_int64(s);
            if (v < k->lo || v > k->hi) {
                log_err("%s: %s=%lld%s must be %lld..%lld\n", FN, at.c_str(), v,
                        setting_place(s).c_str(), k->lo, k->hi);
                ++refused;
            }
        } else if ((k->kind == CK_GROUP || k->kind == CK_LISTENERS) &&
                   config_setting_is_group(s)) {
            refused += refuse_out_of_range(s, at.c_str(), k->members, nullptr);
        } else if (k->kind == CK_LISTENERS && config_setting_is_list(s)) {
            const int count = config_setting_length(s);
            for (int e = 0; e < count && size_t(e) < MAX_LISTENERS; ++e) {
                const config_setting_t *el = config_setting_get_elem(s, unsigned(e));
                const std::string el_at = at + "[" + std::to_string(e + 1) + "]";
                if (config_setting_is_group(el))
                    refused += refuse_out_of_range(el, el_at.c_str(), k->members, nullptr);
            }
        }
    }
    return refused;
}

size_t refuse_wide_literals(const config_t *cf, const std::vector<wide_literal> &wide) noexcept
{
    const config_setting_t *root = cf ? config_root_setting(cf) : nullptr;
    std::vector<const config_setting_t *> named;
    if (root) collect_named(root, &named);
    for (const wide_literal &w : wide) {
        const config_setting_t *s = setting_at(named, w);
        const std::string name = s ? setting_path(s) : w.name;
        std::string place = " at line " + std::to_string(w.line);
        if (!w.file.empty()) place += " of " + w.file;
        log_err("%s: %s=%s%s does not fit in %d bits\n", FN, name.c_str(), w.text.c_str(),
                place.c_str(), w.bits);
    }
    return wide.size();
}
