#include "rui.h"
