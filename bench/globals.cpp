// The process-wide signal flags for programs that link the library without
// the test fixtures (benchmarks, fuzz targets).
#include "app.globals.h"

DEFINE_APP_GLOBALS;
