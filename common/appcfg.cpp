#include "appcfg.h"
