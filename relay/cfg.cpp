#include "cfg.h"

#include <cstring>

tavel_cfg g_cfg;

void init_app_config(tavel_cfg *cfg) noexcept { memset(cfg, 0, sizeof(*cfg)); }
