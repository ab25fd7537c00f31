#include "registry.h"
tavel_ctx g_app;
