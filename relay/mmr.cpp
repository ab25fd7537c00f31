#include "mmr.h"
