#include "rtask.h"
