#include "KArg.h"
