#include "tasklife.h"
