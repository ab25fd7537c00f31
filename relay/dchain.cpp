#include "dchain.h"
