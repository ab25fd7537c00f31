#pragma once
// The complete log record, private to the log module (and its white-box
// tests): other code only passes &g_log.
#include <sys/types.h>

#include "log.h"

struct ll_status {
    unsigned mod_ll_set : 1;  // all module levels set in one go
    unsigned sec_ll_set : 1;  // all section thresholds set in one go
};

struct rotation_ctx {
    time_t tm[MAX_CYCLIC_ROTATIONS];  // times of the kept rotated files, 0 = empty
    ssize_t next_idx;                 // next slot to use
    size_t max_idx;                   // number of rotated files to keep
    size_t max_total;                 // size threshold in bytes, 0 = never
};

struct log_ctx {
    char name[LOG_PATHNAME_MAX];  // file path or pipe command; empty for a std stream
    unsigned is_pipe : 1;
    unsigned use_syslog : 1;
    uint32_t time_format;
    FILE *fp;
    FILE *mirror_fp;
    size_t total_out;  // bytes written since opening, from the file's size then
    ll_status llst;
    rotation_ctx rota;
    pid_t pid;
    n64_tag group;
    bool append_old;
    loghook_cb_t hook_cb;
    void *hook_udata;
    char pfx[LOG_PFX_MAX];
};

struct log_module_ctx {
    bool is_ready;
    char app_tag[128];
};

extern log_module_ctx g_logmod;
