#include "opcstatusbridge.h"
